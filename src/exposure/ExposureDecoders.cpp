#include "exposure/ExposureDecoders.h"

#include <cmath>
#include <limits>

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// The decoders find values by 1-based positions and counts; these keep the
// exact semantics (and failures) of the string functions they were written with.
class Work {
public:
    explicit Work(DecoderOutput &out) : out_(out) {}

    void fail(qint32 number, const QString &what)
    {
        static const char *const names[] = {"", "", "", "", "", "Invalid procedure call or argument", "Overflow",
                                            "", "", "Subscript out of range", "", "", "", "Type mismatch"};
        const QString base = number >= 0 && number < 14 ? QString::fromLatin1(names[number]) : QString();
        out_.errors.append({number, base + QStringLiteral(" (") + what + QLatin1Char(')')});
    }

    // First n characters; a negative n is a failure.
    std::optional<QString> left(const QString &t, qsizetype n, const char *what)
    {
        if (n < 0) {
            fail(ErrorCode::InvalidCall, QString::fromLatin1(what));
            return std::nullopt;
        }
        return t.left(n);
    }
    static QString right(const QString &t, qsizetype n) { return n >= t.size() ? t : t.right(n); }
    // n characters from 1-based position start (n < 0: to the end).
    std::optional<QString> mid(const QString &t, qsizetype start, qsizetype n, const char *what)
    {
        if (start < 1) {
            fail(ErrorCode::InvalidCall, QString::fromLatin1(what));
            return std::nullopt;
        }
        if (start > t.size())
            return QString();
        return n < 0 ? t.mid(start - 1) : t.mid(start - 1, n);
    }
    static qsizetype inStr(const QString &t, const QString &what) { return t.indexOf(what) + 1; }

    std::optional<double> number(const QString &text, const QLocale &locale, const char *what)
    {
        QLocale strict = locale;
        strict.setNumberOptions(QLocale::RejectGroupSeparator);
        bool ok = false;
        const double v = strict.toDouble(text.trimmed(), &ok);
        if (!ok || !std::isfinite(v)) {
            fail(ErrorCode::TypeMismatch, QString::fromLatin1(what) + QStringLiteral(" \"") + text.left(40) + QLatin1Char('"'));
            return std::nullopt;
        }
        return v;
    }

    // value × 10 as a whole number, a half going to the even neighbour.
    std::optional<QString> tenfold(const QString &text, const QLocale &locale, const char *what)
    {
        const auto v = number(text, locale, what);
        if (!v)
            return std::nullopt;
        const double r = std::nearbyint(*v * 10.0); // default rounding: half to even
        if (std::fabs(r) > double(std::numeric_limits<qint32>::max())) {
            fail(ErrorCode::Overflow, QString::fromLatin1(what));
            return std::nullopt;
        }
        return QString::number(qint64(r));
    }

private:
    DecoderOutput &out_;
};

QStringList nonEmpty(const QStringList &parts)
{
    QStringList r;
    for (const QString &p : parts)
        if (!p.isEmpty())
            r.append(p);
    return r;
}

QString at(const QStringList &list, qsizetype i) { return i < list.size() ? list[i] : QString(); }

QString nowTime(const DecoderInput &in) { return in.now.time().toString(QStringLiteral("hh:mm:ss")); }
QString shortToday(const DecoderInput &in) { return in.locale.toString(in.now.date(), QLocale::ShortFormat); }

ExposureRecord openRecord(const DecoderInput &in)
{
    ExposureRecord r;
    r.Status = QStringLiteral("0");
    r.Patname = in.patientName;
    return r;
}

struct Measured {
    QString kv, mas, dicke, druck, dose, exp;
};

// The two units that send no projection: it comes from the counter's place in the unit's cycle.
ExposureRecord polledRecord(const DecoderInput &in, qint16 counter, const Measured &m)
{
    ExposureRecord r = openRecord(in);
    r.KVP = m.kv;
    r.ma = m.mas;
    r.Datum = shortToday(in);
    r.Zeit = nowTime(in);
    r.Druck = m.druck;
    r.Dicke = m.dicke;
    r.mGy = m.dose;
    r.expZeit = m.exp;
    const QString view = ProjectionOfCounter(in.unitType, counter);
    if (!view.isEmpty())
        r.Sonstiges = view;
    return r;
}

void decodeSophie(const DecoderInput &in, DecoderOutput &out, Work &w)
{
    QString buf = in.buffer;
    if (buf.isEmpty())
        return;
    const qsizetype name = Work::inStr(buf, QStringLiteral("Name:"));
    if (auto cut = w.mid(buf, name, -1, "no \"Name:\" in the message"))
        buf = *cut;
    buf.replace(kCrLf, QStringLiteral(" "));
    out.tokens = nonEmpty(buf.split(QLatin1Char(' ')));
    out.buffer.clear();
    if (out.tokens.isEmpty())
        return;
    const QStringList t = out.tokens;
    ExposureRecord r = openRecord(in);
    QString datum, kv, mas, exp, druck, dicke;

    const QString dateToken = at(t, 1);
    const QStringList parts = dateToken.isEmpty() ? QStringList() : dateToken.split(QLatin1Char('-'));
    if (parts.size() >= 3)
        datum = parts[2] + QLatin1Char('.') + parts[1] + QLatin1Char('.') + parts[0];
    else
        w.fail(ErrorCode::OutOfRange, QStringLiteral("date token \"%1\"").arg(dateToken.left(40)));

    const QString other = QStringList{at(t, 4), at(t, 5), at(t, 6), at(t, 3), at(t, 10)}.join(QLatin1Char(','));
    kv = at(t, 7).remove(QStringLiteral("kV"));
    mas = at(t, 8).remove(QStringLiteral("mAs"));

    // The unit writes a decimal point; the workstation reads its own separator,
    // so a dot-decimal workstation does not lose the value.
    const QString expText = at(t, 9).remove(QLatin1Char('s')).replace(QLatin1Char('.'), in.locale.decimalPoint());
    if (const auto v = w.number(expText, in.locale, "exposure time")) {
        QLocale plain = in.locale;
        plain.setNumberOptions(QLocale::OmitGroupSeparator);
        exp = plain.toString(*v, 'g', QLocale::FloatingPointShortest);
    }
    if (const auto v = w.tenfold(at(t, 11).remove(QStringLiteral("kg")), in.locale, "compression"))
        druck = *v;
    const QString thick = at(t, 12).remove(QStringLiteral("cm")).replace(QLatin1Char('.'), in.locale.decimalPoint());
    if (const auto v = w.tenfold(thick, in.locale, "thickness"))
        dicke = *v;

    out.tokens.clear(); // the token list is emptied once the values are taken
    r.Datum = datum;
    r.Sonstiges = other;
    r.KVP = kv;
    r.ma = mas;
    r.Druck = druck;
    r.Dicke = dicke;
    r.mGy = at(t, 13);
    r.Zeit = nowTime(in);
    r.expZeit = exp;
    out.record = r;
}

// The framing around the unit's last group (ETX, the CR LF of the exchange
// file) is not part of the value.
QString withoutTrailingControls(QString s)
{
    while (!s.isEmpty() && s.back().unicode() < 32)
        s.chop(1);
    return s;
}

void decodeGiotto(const DecoderInput &in, DecoderOutput &out, Work &w)
{
    if (in.projectionBox.isEmpty()) {
        out.messageBoxes.append(QStringLiteral("Please click on a Projection button first!"));
        out.closingSteps = false;
        out.enableSerTimer = false;
        return;
    }
    if (in.buffer.isEmpty()) {
        out.closingSteps = false;
        out.enableSerTimer = false;
        return;
    }
    QString buf = in.buffer;
    const qsizetype p = Work::inStr(buf, QStringLiteral(" 10"));
    buf = *w.mid(buf, p + 4, -1, "start");

    ExposureRecord r = openRecord(in);
    r.Datum = in.now.date().toString(QStringLiteral("dd.MM.yyyy"));
    QString kv, mas;
    const qsizetype q = Work::inStr(buf, QStringLiteral("0"));
    const qsizetype s = Work::inStr(buf, QStringLiteral(" "));
    if (buf.left(q + 1).size() == 3) {
        kv = buf.left(q);
        mas = w.mid(buf, q + 2, s, "mAs").value_or(QString());
    } else {
        kv = w.left(buf, q - 1, "kV before the first \"0\"").value_or(QString());
        mas = w.mid(buf, q + 1, s, "mAs").value_or(QString());
    }
    const QString last = withoutTrailingControls(buf.mid(buf.lastIndexOf(QLatin1Char(' ')) + 1));
    r.Zeit = nowTime(in);
    out.buffer.clear();
    out.deleteSerialInput = true;

    r.Sonstiges = in.currentProjection;
    r.KVP = kv;
    r.ma = mas;
    r.Druck = last;
    r.Dicke = last;
    r.mGy = last;
    r.expZeit = last;
    out.record = r;
    out.clearProjectionBox = true;
}

void decodeLorad(const DecoderInput &in, DecoderOutput &out, Work &)
{
    if (in.buffer.isEmpty()) {
        out.closingSteps = false;
        out.enableSerTimer = true;
        return;
    }
    const QStringList f = in.buffer.split(QLatin1Char('|'));
    out.buffer.clear();
    const auto field = [&](qsizetype i, const QString &unit) {
        if (i >= f.size())
            return QString();
        QString v = f[i].toUpper();
        if (!unit.isEmpty())
            v.remove(unit);
        return v.trimmed();
    };
    ExposureRecord r = openRecord(in);
    r.Sonstiges = f.size() > 2 ? f[2] : QString();
    r.Datum = f.size() > 6 ? shortToday(in) : QString();
    r.Zeit = f.size() > 7 ? nowTime(in) : QString();
    r.KVP = field(10, QStringLiteral("KV"));
    r.ma = field(12, QStringLiteral("MAS"));
    const QString druck = field(17, QStringLiteral("N"));
    r.Dicke = field(18, QStringLiteral("CM"));
    // The dose is stored without its unit, like every other value of this unit.
    const QString dose = field(21, QStringLiteral("MGY"));
    r.Druck = druck.isEmpty() ? QStringLiteral("0") : druck;
    r.mGy = dose.isEmpty() ? QStringLiteral("0") : dose;
    r.expZeit = QStringLiteral("0");
    out.record = r;
}

void decodeSeno(const DecoderInput &in, DecoderOutput &out, Work &)
{
    out.projectionCounter = qint16(out.projectionCounter + 1);
    QStringList split;
    if (!in.buffer.isEmpty()) {
        split = in.buffer.split(QLatin1Char(' '));
        out.tokens = nonEmpty(split);
        out.buffer.clear();
    }
    if (out.tokens.isEmpty())
        return;

    QString kv, mas, druck, dicke;
    QString &exp = out.currentExposureTime;
    const auto box = [&](const QString &text) {
        if (in.debug)
            out.messageBoxes.append(text);
    };
    const QString first = split.value(0);
    const qsizetype count = out.tokens.size();
    for (qsizetype i = 0; i < count && i <= 5; ++i) {
        const QString t = split.value(i);
        const auto mid = [&](qsizetype start, qsizetype n) { return t.mid(start - 1, n); };
        const auto right = [&](qsizetype n) { return n >= t.size() ? t : t.right(n); };
        switch (i) {
        case 0:
            if (t.size() <= 4) {
            } else if (t.size() >= 9) {
                kv = t.at(6) == QLatin1Char('0') ? mid(8, 2) : mid(7, 2);
                mas = right(3);
                box(QStringLiteral("KVP ") + kv + QStringLiteral(", MAS ") + mas);
            } else {
                kv = right(2);
                box(QStringLiteral("Case 0, KVP ") + kv);
            }
            break;
        case 1:
            if (!kv.isEmpty() && mas.isEmpty()) {
                mas = t;
            } else if (kv.isEmpty() && first.size() == 2 && t.size() < 7) {
                kv = right(2);
                box(QStringLiteral("KVP ") + kv);
            } else if (kv.isEmpty() && mas.isEmpty()) {
                kv = mid(4, 2);
                mas = right(3);
                box(QStringLiteral("KVP ") + kv + QStringLiteral(", MAS ") + mas);
            } else if (!kv.isEmpty() && !mas.isEmpty()) {
                druck = right(2);
                exp = t.left(3);
                box(QStringLiteral("Druck ") + druck + QStringLiteral(" ExpZeit ") + exp);
            }
            break;
        case 2:
            if (mas.isEmpty()) {
                mas = t;
                box(QStringLiteral("MAS ") + mas);
            } else if (first.size() == 2 && !kv.isEmpty()) {
                exp = t.left(3);
                druck = right(2);
                box(QStringLiteral("Druck ") + druck);
            } else if (!exp.isEmpty()) {
                dicke = t.left(2);
                box(QStringLiteral("Dicke ") + dicke);
            } else {
                exp = t.left(3);
                if (t.size() > 7) {
                    druck = right(2);
                    box(QStringLiteral("Druck ") + druck);
                }
            }
            break;
        case 3:
        case 4:
            if (i == 3 && mas.isEmpty()) {
                mas = t;
            } else if (!druck.isEmpty()) {
                if (dicke.isEmpty())
                    dicke = t.left(2);
            } else {
                exp = t.left(3);
                box(exp);
                druck = right(2);
                box(druck);
            }
            break;
        case 5:
            if (exp.isEmpty()) {
                exp = t.left(3);
                box(exp);
                if (t.size() > 7) {
                    druck = right(2);
                    box(druck);
                }
            }
            if (dicke.isEmpty()) {
                dicke = t.left(2);
                box(dicke);
            }
            break;
        }
    }
    out.record = polledRecord(in, out.projectionCounter, {kv, mas, dicke, druck, QStringLiteral("0"), exp});
}

void decodeHfe(const DecoderInput &in, DecoderOutput &out, Work &)
{
    out.projectionCounter = qint16(out.projectionCounter + 1);
    QStringList split;
    if (!in.buffer.isEmpty()) {
        // A message without a dose line must not decode the previous one again.
        out.doseLine.clear();
        const QStringList lines = in.buffer.split(kCrLf);
        for (qsizetype i = 0; i + 1 < lines.size(); ++i)
            if (lines[i].contains(QStringLiteral("mGy")))
                out.doseLine = lines[i] + lines[i + 1];
        split = out.doseLine.split(QLatin1Char(' '));
        out.tokens = nonEmpty(split);
        out.buffer.clear();
    }
    if (out.tokens.isEmpty())
        return;
    QString kv, mas, dose, dicke, druck;
    for (qsizetype i = 0; i < out.tokens.size(); ++i) {
        const QString t = split.value(i);
        switch (i) {
        case 0: dose = t; break;
        case 3: kv = t; break;
        case 5: mas = t; break;
        case 10: out.currentExposureTime = QString(t).remove(QStringLiteral("LF")); break;
        case 12: dicke = t; break;
        case 15: druck = t; break;
        default: break;
        }
    }
    out.record = polledRecord(in, out.projectionCounter, {kv, mas, dicke, druck, dose, out.currentExposureTime});
}

} // namespace

QString ProjectionOfCounter(qint16 unitType, qint16 counter)
{
    static const char *const seno[] = {"R CC", "L CC", "R MLO", "L MLO"};
    static const char *const hfe[] = {"L CC", "R CC", "L MLO", "R MLO"};
    if (counter < 1 || counter > 4)
        return {};
    if (unitType == UnitGESeno)
        return QString::fromLatin1(seno[counter - 1]);
    if (unitType == UnitHFE)
        return QString::fromLatin1(hfe[counter - 1]);
    return {};
}

DecoderOutput DecodeExposure(const DecoderInput &in)
{
    DecoderOutput out;
    out.buffer = in.buffer;
    out.doseLine = in.doseLine;
    out.projectionCounter = in.projectionCounter;
    out.currentExposureTime = in.currentExposureTime;
    Work w(out);
    switch (in.unitType) {
    case UnitSophie: decodeSophie(in, out, w); break;
    case UnitGiotto: decodeGiotto(in, out, w); break;
    case UnitLoradM4: decodeLorad(in, out, w); break;
    case UnitGESeno: decodeSeno(in, out, w); break;
    case UnitHFE: decodeHfe(in, out, w); break;
    default: break;
    }
    if (out.closingSteps && out.projectionCounter == 4)
        out.projectionCounter = 0;
    return out;
}

QDate ParseExposureDate(const QString &text, const QLocale &locale)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return {};
    QDate d = QDate::fromString(t, QStringLiteral("dd.MM.yyyy"));
    if (d.isValid())
        return d;
    d = QDate::fromString(t, Qt::ISODate);
    if (d.isValid())
        return d;
    const QString shortFormat = locale.dateFormat(QLocale::ShortFormat);
    d = locale.toDate(t, shortFormat);
    // A two-digit year belongs to this century, not to the 1900s.
    if (d.isValid() && !shortFormat.contains(QStringLiteral("yyyy")) && d.year() < 2000)
        d = d.addYears(100);
    return d;
}
