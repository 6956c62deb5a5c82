// The dose QA window over a journal the station wrote itself: each unit
// type's messages through its decoder on the days the capture's clock gives,
// a dose calibration of unit 4, and what the operator did in the dose list
// (assigned to the patient chosen, rejected with her images loaded, removed
// with none loaded, left open, set free again in "Reload Dosis"). The
// expected figures are worked out here from the values the units sent and
// the calibration: the table per view and band under each filter, repeats
// and rejects, the proposed local levels, the far-off exposure clicked in
// the chart, and the exports (both CSVs, the PDF report and the day list).
#include "app/MainForm.h"
#include "app/Workstation.h"
#include "dose/DoseStore.h"
#include "exposure/DosisForm.h"
#include "qa/DayList.h"
#include "qa/DoseQaForm.h"
#include "store/Database.h"
#include "support/DoseTables.h"
#include "support/ExposureStation.h"

#include <QChartView>
#include <QLineSeries>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QScatterSeries>
#include <QTreeWidget>
#include <QAbstractButton>
#include <algorithm>
#include <array>
#include <cmath>

namespace {

const QDate Today = ExposureFixture::Day; // 2026-12-07

// The levels the tests check against: AGD for CC 40-49 mm, entrance dose for MLO.
constexpr double CcAgdLevel = 4.5;
constexpr double MloEntranceLevel = 9.0;
std::optional<ReferenceMatch> TestLevels(const QString &view, double thickness)
{
    if (view == u"CC"_s && thickness >= 40 && thickness < 50)
        return ReferenceMatch{CcAgdLevel, u"AGD"_s, u"Test set"_s, {}};
    if (view == u"MLO"_s)
        return ReferenceMatch{MloEntranceLevel, u"entrance dose"_s, u"Entrance set"_s, {}};
    return std::nullopt;
}

// What the operator did with the exposure in the dose list.
enum class Fate {
    Assigned,        // assigned to the patient chosen in the browser
    LeftOpen,        // never assigned
    SetFree,         // assigned, then set free in "Reload Dosis"
    Rejected,        // "Delete" with her images loaded
    RemovedUnloaded, // "Delete" with no images loaded: nobody's (a phantom)
};

// One exposure as its unit sends it; a negative value is one it does not send.
struct Shot {
    const char *letter;
    int daysBack;
    qint16 unit;
    bool newExamination;    // "New examination" first: the polled units' cycle starts again
    const char *projection; // as journalled: unit 3 sends it, units 4 and 5 take their cycle's
    int mm, kv, mas, newton;
    double mGy;          // the unit's own dose; unit 4 sends none
    const char *patient; // the ID of the woman whose name is on the label
    Fate fate;
};

// Unit 4 is calibrated (its AGD from output × mAs), units 3 and 5 are not.
const Shot Journal[] = {
    {"H", 40, UnitGESeno, true, "R CC", 43, 28, 62, 10, -1, "P5", Fate::Assigned}, // before the 30 days
    {"G", 2, UnitHFE, true, "L CC", 47, 29, 75, 115, 1.40, "P4", Fate::Assigned},  // no AGD, the other unit
    {"R", 1, UnitGESeno, true, "R CC", 44, 28, 65, 9, -1, "P3", Fate::Rejected},
    {"D", 1, UnitGESeno, false, "L CC", 44, 28, 66, 9, -1, "P3", Fate::LeftOpen},
    {"E", 1, UnitGESeno, false, "R MLO", 52, 29, 90, 13, -1, "P3", Fate::SetFree},
    {"F", 1, UnitGESeno, false, "L MLO", 55, 30, 99, 14, -1, "P3", Fate::Assigned}, // above the MLO entrance level
    {"A", 0, UnitGESeno, true, "R CC", 42, 28, 60, 10, -1, "P1", Fate::Assigned},
    {"B", 0, UnitGESeno, false, "L CC", 45, 29, 80, 12, -1, "P1", Fate::Assigned},
    {"C", 0, UnitGESeno, true, "R CC", 48, 30, 95, 11, -1, "P2", Fate::Assigned}, // above the CC AGD level
    {"I", 0, UnitLoradM4, false, "Phantom", -1, 26, 40, -1, 0.80, "QA", Fate::RemovedUnloaded},
};

QString NameOf(const char *patient) { return u"Patient^"_s + QLatin1String(patient); }

// The shot in its unit's own message layout.
QString MessageOf(const Shot &s)
{
    switch (s.unit) {
    case UnitGESeno: return SenoMessage({.kv = s.kv, .mAs = s.mas, .ms = 450, .force = s.newton, .mm = s.mm});
    case UnitHFE:
        return HfeMessage({.mGy = QString::number(s.mGy, 'f', 2), .kv = s.kv, .mAs = QString::number(s.mas), .ms = 450, .mm = s.mm,
                           .newton = s.newton});
    default:
        return LoradMessage(QString::fromLatin1(s.projection), s.kv, s.mm < 0 ? QString() : QString::number(s.mm / 10.0, 'f', 1),
                            QString::number(s.mGy, 'f', 2), QString::number(s.mas), s.newton < 0 ? QString() : QString::number(s.newton));
    }
}

// Unit 4's K and AGD worked out here from TestCalibration and TestFactorTable:
// W/Rh, HVL and output linear in kV (0.40 mm and 100 µGy/mAs at 26 kV, 0.60
// mm and 140 µGy/mAs at 30 kV) at 500 mm; the surface at 650 mm less the
// thickness; g and c (50-64) bilinear in HVL and thickness; s 1.05.
std::pair<double, double> KermaAndAgd(const Shot &s)
{
    const double f = (s.kv - 26) / 4.0, hvl = 0.40 + 0.20 * f, output = 100 + 40 * f;
    const double ratio = 500.0 / (650.0 - s.mm);
    const double k = output * s.mas * ratio * ratio / 1000.0;
    const double fh = (hvl - 0.40) / 0.20, ft = (s.mm - 20) / 40.0;
    auto bilinear = [&](double h4t20, double h4t60, double h6t20, double h6t60) {
        const double low = h4t20 + ft * (h4t60 - h4t20), high = h6t20 + ft * (h6t60 - h6t20);
        return low + fh * (high - low);
    };
    return {k, k * bilinear(0.50, 0.30, 0.70, 0.40) * bilinear(1.00, 1.10, 1.02, 1.20) * 1.05};
}

// An exposure as the expectations see it.
struct Fact {
    const Shot *shot = nullptr;
    qlonglong id = 0;
    QDate day;
    int unit = 0;
    QString view, status, patientId, source;
    std::optional<double> thickness, kv, mas, force, entrance, agd;
};

const QStringList Views{u"CC"_s, u"MLO"_s, u"other"_s};
QString ViewOfProjection(const QString &projection)
{
    return projection.contains(u"MLO"_s) ? u"MLO"_s : projection.contains(u"CC"_s) ? u"CC"_s : u"other"_s;
}
int BandOf(const std::optional<double> &mm) { return mm ? int(std::floor(*mm / 10)) * 10 : -1; }
QString BandText(int band) { return band < 0 ? u"unknown"_s : u"%1-%2"_s.arg(band).arg(band + 9); }

// Linear between neighbours in the sorted values.
double Percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    const double pos = q * double(v.size() - 1);
    const size_t i = size_t(pos);
    const double next = v[std::min(i + 1, v.size() - 1)];
    return v[i] + (pos - double(i)) * (next - v[i]);
}
QString Figure(const std::vector<double> &v, double q, int decimals)
{
    return v.empty() ? QString() : QString::number(Percentile(v, q), 'f', decimals);
}
QString MeanOf(const std::vector<double> &v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? QString() : QString::number(sum / double(v.size()), 'f', 3);
}

using Table = QList<QStringList>;

QStringList Fields(const QByteArray &line) { return QString::fromUtf8(line).trimmed().split(u','); }

// The text pdftotext reads from a PDF, in layout order, ligatures ("ﬁ")
// spelt out; empty when it cannot.
QString PdfText(const QString &pdf)
{
    QByteArray out;
    return RunProgram(u"pdftotext"_s, {u"-layout"_s, pdf, u"-"_s}, &out) == 0
        ? QString::fromUtf8(out).normalized(QString::NormalizationForm_KC)
        : QString();
}

// Fields separated by blanks as a table row is laid out, empty ones left out.
QString RowPattern(const QStringList &fields)
{
    QStringList parts;
    for (const QString &f : fields)
        if (!f.isEmpty())
            parts << QRegularExpression::escape(f);
    return parts.join(u"\\s+"_s);
}

// An older program's journal, before the dose columns: one row; a negative number is stored as NULL.
struct OldRow {
    int daysBack;
    const char *projection;
    double thickness, kv, mas, force, mGy;
    const char *status;
    const char *patientId; // empty: never assigned
};
const OldRow OldJournal[] = {
    {0, "R CC", 42, 28, 60, 100, 1.0, "1", "P1"},     {0, "L CC", 45, 29, 80, 120, 1.5, "1", "P1"},
    {0, "R CC", 48, 30, 70, 110, 2.0, "1", "P2"},     {1, "L CC", 44, 28, 65, 90, 1.1, "0", ""},
    {1, "R MLO", 52, 31, 90, 130, 2.5, "0", "P3"},    {1, "L MLO", 55, 31, 99.5, 140, 3.0, "1", "P3"},
    {2, "R CC", 47, 29, 75, 115, 1.4, "1", "P4"},     {40, "L CC", 43, 28, 62, 106, 1.0, "1", "P5"},
    {0, "Phantom", -1, 26, 40, -1, 0.8, "1", ""},
};

// The file an older program version left: the station's journal template
// without the dose columns, its rows written by that program. Made by SQL
// because no decoder of this program writes such a file.
QString MakeOldJournal(const TestFolder &folder)
{
    const QString path = folder.file(u"Data/Journal.dat"_s);
    if (!MakeStationDatabases(folder.path()) || !QFile::copy(folder.file(u"Data/LumoraDef.dat"_s), path))
        return {};
    // That program's table: the first thirteen columns, none of the dose ones.
    QueryRows(path, u"DROP TABLE tblDosis"_s);
    QueryRows(path, u"CREATE TABLE tblDosis (ID INTEGER PRIMARY KEY AUTOINCREMENT, KVP TEXT, ma TEXT, Zeit TEXT, Dicke TEXT, "
                    "mGy TEXT, Druck TEXT, Datum TEXT, Sonstiges TEXT, Status TEXT NOT NULL DEFAULT '0', expZeit TEXT, "
                    "Patname TEXT, FKeyPatID TEXT)"_s);
    QueryRows(path, u"PRAGMA user_version = 0"_s);
    if (QueryValue(path, u"SELECT count(*) FROM pragma_table_info('tblDosis')"_s).toInt() != 13)
        return {};
    auto value = [](double v, bool comma = false) {
        QString text = QString::number(v);
        if (comma)
            text.replace(u'.', u','); // mAs with the decimal comma some units send
        return v < 0 ? QVariant() : QVariant(text);
    };
    for (const OldRow &r : OldJournal)
        QueryRows(path,
                  u"INSERT INTO tblDosis (Datum, Zeit, Sonstiges, Dicke, KVP, ma, Druck, mGy, Status, FKeyPatID, Patname) "
                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s,
                  {DbDate(Today.addDays(-r.daysBack)), u"10:00:00"_s, QString::fromUtf8(r.projection), value(r.thickness), value(r.kv),
                   value(r.mas, true), value(r.force), value(r.mGy), QString::fromLatin1(r.status),
                   *r.patientId ? QVariant(QString::fromLatin1(r.patientId)) : QVariant(),
                   u"Patient^"_s + QString::fromLatin1(*r.patientId ? r.patientId : "none")});
    return path;
}

} // namespace

class DoseQaTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ExposureFixture> fx_;
    QString journal_;
    QList<Fact> facts_; // in journal order
    std::unique_ptr<DoseQaForm> form_;

    const Fact &fact(const char *letter) const
    {
        for (const Fact &f : facts_)
            if (qstrcmp(f.shot->letter, letter) == 0)
                return f;
        qFatal("no exposure %s", letter);
    }

    // The facts from daysBack days ago to today, of the unit (0: all), view ("": all) and band (-1: all).
    QList<const Fact *> select(int fromDaysBack, int unit = 0, const QString &view = {}, int band = -1, int toDaysBack = 0) const
    {
        QList<const Fact *> out;
        for (const Fact &f : facts_)
            if (f.day >= Today.addDays(-fromDaysBack) && f.day <= Today.addDays(-toDaysBack) && (!unit || f.unit == unit)
                && (view.isEmpty() || f.view == view) && (band < 0 || BandOf(f.thickness) == band))
                out << &f;
        return out;
    }
    static bool anyAgd(const QList<const Fact *> &facts)
    {
        return std::any_of(facts.begin(), facts.end(), [](const Fact *f) { return f->agd.has_value(); });
    }
    static std::optional<double> doseOf(const Fact &f, bool agd) { return agd ? f.agd : f.entrance; }

    // The band table worked out from the facts: per view, then band.
    Table expectedBands(const QList<const Fact *> &facts) const
    {
        const bool agd = anyAgd(facts);
        QMap<std::pair<int, int>, QList<const Fact *>> groups;
        for (const Fact *f : facts)
            groups[{int(Views.indexOf(f->view)), BandOf(f->thickness)}] << f;
        Table out;
        for (auto it = groups.begin(); it != groups.end(); ++it) {
            std::vector<double> dose, kv, mas, force;
            for (const Fact *f : it.value()) {
                if (const auto d = doseOf(*f, agd))
                    dose.push_back(*d);
                if (f->kv)
                    kv.push_back(*f->kv);
                if (f->mas)
                    mas.push_back(*f->mas);
                if (f->force)
                    force.push_back(*f->force);
            }
            out.append({Views[it.key().first], BandText(it.key().second), QString::number(it.value().size()), QString::number(dose.size()),
                        Figure(dose, 0.5, 3), MeanOf(dose), Figure(dose, 0.75, 3), Figure(kv, 0.5, 1), Figure(mas, 0.5, 1),
                        Figure(force, 0.5, 0)});
        }
        return out;
    }

    // The level the exposure is held against and whether it is above it.
    static std::optional<ReferenceMatch> levelOf(const Fact &f)
    {
        return f.thickness ? TestLevels(f.view, *f.thickness) : std::nullopt;
    }
    static bool above(const Fact &f)
    {
        const auto level = levelOf(f);
        const auto dose = level ? (level->forAgd() ? f.agd : f.entrance) : std::nullopt;
        return dose && *dose > level->level;
    }

    // The window as the operator left it: range, unit, view, band.
    void choose(const QDate &from, const QDate &to, std::optional<int> unit, const QString &view, std::optional<int> band)
    {
        form_->setRange(from, to);
        form_->setUnit(unit);
        form_->setView(view);
        form_->setBand(band);
        QTRY_VERIFY_WITH_TIMEOUT(!form_->reading(), 10000);
    }

    // Where the next export's file dialog is answered.
    QString saveAs(const QString &button, const QString &name)
    {
        const QString path = fx_->folder.file(name);
        form_->chooseSaveFile = [path](const QString &, const QString &, const QString &) { return path; };
        for (QPushButton *b : form_->findChildren<QPushButton *>())
            if (b->text() == button)
                b->click();
        return path;
    }

    // "New examination" on the capture; no unit is on a port here to be polled.
    static void newExamination(ExposureCapture &capture)
    {
        capture.newExaminationButton_Click();
        capture.pollTimer().stop();
    }

private slots:
    void initTestCase()
    {
        ResetWorkstationState();
        fx_ = std::make_unique<ExposureFixture>();
        QVERIFY(fx_->ready);
        ExposureFixture &f = *fx_;
        // The physicist's factor tables and calibration of unit 4.
        f.folder.write(u"factors.csv"_s, TestFactorTable.toUtf8());
        {
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            QVERIFY(ImportFactorFile(DefinitionsDatabase, f.folder.file(u"factors.csv"_s), QDateTime::currentDateTime()).ok());
            DoseCalibration c = TestCalibration();
            c.id = 0;
            c.unit = UnitGESeno;
            QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
        }

        // Each exposure decoded on its day; what the operator did with it in the dose list.
        QList<qlonglong> setFree;
        for (int i = 0; i < int(std::size(Journal)); ++i) {
            const Shot &s = Journal[i];
            const QDate day = Today.addDays(-s.daysBack);
            f.capture->setClock([day, i] { return QDateTime(day, QTime(10, 0).addSecs(60 * i)); });
            if (s.newExamination)
                newExamination(*f.capture);
            const QString name = NameOf(s.patient), patientId = QLatin1String(s.patient);
            f.capture->MarkPatientChosen(name);
            const qlonglong id = DecodeUnitMessage(*f.capture, s.unit, MessageOf(s));
            QVERIFY2(id > 0, s.letter);
            QCOMPARE(f.journalRowById(id, u"Sonstiges|Datum|Unit"_s), u"%1|%2|%3"_s.arg(QLatin1String(s.projection), DbDate(day)).arg(s.unit));
            const BrowserSelection her{.patientKey = i + 1, .patientId = patientId, .patientName = name, .studyUid = u"1.2.826.0.1.%1"_s.arg(i)};
            switch (s.fate) {
            case Fate::SetFree:
                setFree << id;
                [[fallthrough]];
            case Fate::Assigned:
                QVERIFY2(f.assign(id, patientId, name), s.letter);
                break;
            case Fate::LeftOpen: break;
            case Fate::Rejected:
            case Fate::RemovedUnloaded:
                f.session.setSelection(s.fate == Fate::Rejected ? her : BrowserSelection{});
                f.session.setLoadedFor(s.fate == Fate::Rejected ? her : BrowserSelection{});
                QVERIFY(f.selectListed(id));
                f.doseList->PopupDeleteDosis();
                f.session.setLoadedFor({});
                break;
            }
            facts_.append({&s, id, day, s.unit, ViewOfProjection(QLatin1String(s.projection)), {}, {}, {},
                           s.mm < 0 ? std::nullopt : std::optional<double>(s.mm), double(s.kv), double(s.mas),
                           s.newton < 0 ? std::nullopt : std::optional<double>(s.newton), {}, {}});
        }
        f.capture->stopButton_Click();
        // Set free again in "Reload Dosis": open once more, with the ID of the images it had.
        {
            DosisForm reload(f.prompter);
            reload.today = [] { return Today; };
            reload.Form_Load();
            for (qlonglong id : setFree) {
                Child<QAbstractButton>(reload, u"cmdMod"_s)->click();
                auto *list = Child<QTreeWidget>(reload, u"ListView1"_s);
                const QList<QTreeWidgetItem *> found = list->findItems(QString::number(id), Qt::MatchExactly, 0);
                QCOMPARE(found.size(), 1);
                list->setCurrentItem(found.first());
                Child<QAbstractButton>(reload, u"cmdFree"_s)->click();
            }
        }
        journal_ = UserDatabase.path();
        QCOMPARE(CountRows(journal_, u"tblDosis"_s), qlonglong(std::size(Journal)));

        // What the journal holds: the status the dose list left, and unit 4's
        // K and AGD as worked out above; units 3 and 5 have no calibration.
        for (Fact &x : facts_) {
            const Shot &s = *x.shot;
            const QString expectedState = s.fate == Fate::Assigned ? u"1|"_s + QLatin1String(s.patient)
                                        : s.fate == Fate::SetFree  ? u"0|"_s + QLatin1String(s.patient)
                                        : s.fate == Fate::Rejected ? u"2|"_s + QLatin1String(s.patient)
                                        : s.fate == Fate::LeftOpen ? u"0|<null>"_s
                                                                   : u"1|<null>"_s;
            QCOMPARE(f.journalRowById(x.id, u"Status|FKeyPatID"_s), expectedState);
            const QStringList read = f.journalRowById(x.id, u"Status|FKeyPatID|Kerma|AGD|AgdSource"_s).split(u'|');
            x.status = read[0];
            x.patientId = read[1] == u"<null>"_s ? QString() : read[1];
            x.source = read[4];
            if (s.unit == UnitGESeno) {
                const auto [k, agd] = KermaAndAgd(s);
                QVERIFY2(qAbs(read[2].toDouble() - k) < 1e-9 * k, qPrintable(read[2] + u" "_s + QString::number(k, 'g', 12)));
                QVERIFY2(qAbs(read[3].toDouble() - agd) < 1e-9 * agd, qPrintable(read[3] + u" "_s + QString::number(agd, 'g', 12)));
                x.entrance = read[2].toDouble(); // the header's entrance dose: K at the surface
                x.agd = read[3].toDouble();
            } else {
                QCOMPARE(read.mid(2, 2), (QStringList{u"<null>"_s, u"<null>"_s}));
                x.entrance = s.mGy;
            }
        }
        QVERIFY2(!f.errorLog().contains(u"No AGD"_s), qPrintable(f.errorLog()));
        // The design the cases rely on: C alone above the CC level, F alone above the MLO level.
        for (const Fact &x : facts_)
            QCOMPARE(above(x), QByteArray(x.shot->letter) == "C" || QByteArray(x.shot->letter) == "F");

        form_ = std::make_unique<DoseQaForm>(journal_, TestLevels, Today, f.prompter);
        form_->show();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->reading(), 10000);
    }
    void cleanupTestCase()
    {
        form_.reset();
        fx_.reset();
    }

    // The operator sets range, unit, view and band; the table per view and
    // band (AGD where any exposure shown has one) is what the figures sent
    // and the calibration give.
    void bandTable_data()
    {
        QTest::addColumn<int>("fromDaysBack");
        QTest::addColumn<int>("unit"); // 0: all
        QTest::addColumn<QString>("view");
        QTest::addColumn<int>("band"); // -1: all
        QTest::addColumn<QString>("quantity");
        QTest::addColumn<QStringList>("rows"); // view, band and count of each row
        QTest::newRow("30 days, all") << 29 << 0 << QString() << -1 << u"AGD"_s
                                      << QStringList{u"CC 40-49 6"_s, u"MLO 50-59 2"_s, u"other unknown 1"_s};
        QTest::newRow("CC only") << 29 << 0 << u"CC"_s << -1 << u"AGD"_s << QStringList{u"CC 40-49 6"_s};
        QTest::newRow("band 50-59") << 29 << 0 << QString() << 50 << u"AGD"_s << QStringList{u"MLO 50-59 2"_s};
        QTest::newRow("unit 5: entrance dose") << 29 << 5 << QString() << -1 << u"entrance dose"_s << QStringList{u"CC 40-49 1"_s};
        QTest::newRow("unit 3: entrance dose") << 29 << 3 << QString() << -1 << u"entrance dose"_s << QStringList{u"other unknown 1"_s};
        QTest::newRow("60 days, CC: H joins") << 59 << 0 << u"CC"_s << -1 << u"AGD"_s << QStringList{u"CC 40-49 7"_s};
        QTest::newRow("today, unit 4") << 0 << 4 << QString() << -1 << u"AGD"_s << QStringList{u"CC 40-49 3"_s};
    }
    void bandTable()
    {
        QFETCH(int, fromDaysBack);
        QFETCH(int, unit);
        QFETCH(QString, view);
        QFETCH(int, band);
        QFETCH(QString, quantity);
        QFETCH(QStringList, rows);
        const Table expected = expectedBands(select(fromDaysBack, unit, view, band));
        QStringList shape;
        for (const QStringList &r : expected)
            shape << r.mid(0, 3).join(u' ');
        QCOMPARE(shape, rows);
        choose(Today.addDays(-fromDaysBack), Today, unit ? std::optional<int>(unit) : std::nullopt, view,
               band >= 0 ? std::optional<int>(band) : std::nullopt);
        QVERIFY2(form_->bandTable().title.contains(quantity), qPrintable(form_->bandTable().title));
        QCOMPARE(form_->bandTable().rows, expected);
    }

    // Per day and view: never assigned (D left open, I removed with nothing
    // loaded), set free (E, open again with her ID). The reject analysis:
    // R, rejected with her images loaded, is one of the CC exposures given.
    void rejects()
    {
        choose(Today.addDays(-29), Today, {}, {}, {});
        QMap<std::pair<QDate, int>, std::array<int, 3>> days;
        std::array<int, 3> cc{}; // given, rejected, of CC
        double added = 0;
        for (const Fact *f : select(29)) {
            std::array<int, 3> &d = days[{f->day, int(Views.indexOf(f->view))}];
            ++d[0];
            d[1] += f->patientId.isEmpty() ? 1 : 0;
            d[2] += !f->patientId.isEmpty() && f->status == u"0"_s ? 1 : 0;
            if (f->view == u"CC"_s && !f->patientId.isEmpty() && f->status != u"0"_s) {
                ++cc[0];
                if (f->status == u"2"_s) {
                    ++cc[1];
                    added += f->agd.value_or(0);
                }
            }
        }
        Table expected;
        for (auto it = days.begin(); it != days.end(); ++it)
            // Listed in the locale's short date.
            expected.append({QLocale().toString(it.key().first, QLocale::ShortFormat), Views[it.key().second], QString::number(it.value()[0]),
                             QString::number(it.value()[1]), QString::number(it.value()[2])});
        QCOMPARE(expected.size(), 5); // days 2, 1 (CC, MLO), 0 (CC, other)
        QCOMPARE(form_->rejectsTable().rows, expected);
        QCOMPARE(cc[1], 1);
        QCOMPARE(form_->rejectAnalysisTable().rows.value(0).mid(0, 5),
                 (QStringList{u"CC"_s, QString::number(cc[0]), u"1"_s, QString::number(100.0 / cc[0], 'f', 1), QString::number(added, 'f', 3)}));
    }

    // The 75th percentile per view and band over the months chosen, also
    // where the range shown is shorter: H (40 days back) counts for 12 months.
    void proposedLevels_data()
    {
        QTest::addColumn<int>("months");
        QTest::addColumn<QStringList>("rows"); // view, band and exposures with an AGD
        QTest::newRow("12 months") << 12 << QStringList{u"CC 40-49 6"_s, u"MLO 50-59 2"_s};
        QTest::newRow("1 month") << 1 << QStringList{u"CC 40-49 5"_s, u"MLO 50-59 2"_s};
    }
    void proposedLevels()
    {
        QFETCH(int, months);
        QFETCH(QStringList, rows);
        const QDate first = Today.addMonths(-months).addDays(1);
        QMap<std::pair<int, int>, std::vector<double>> groups;
        for (const Fact *f : select(59))
            if (f->day >= first && f->agd)
                groups[{int(Views.indexOf(f->view)), BandOf(f->thickness)}].push_back(*f->agd);
        Table expected;
        QStringList shape;
        for (auto it = groups.begin(); it != groups.end(); ++it) {
            expected.append({Views[it.key().first], BandText(it.key().second), QString::number(it.value().size()), Figure(it.value(), 0.75, 3)});
            shape << expected.last().mid(0, 3).join(u' ');
        }
        QCOMPARE(shape, rows);
        choose(Today.addDays(-59), Today, {}, {}, {}); // H is read, whatever the months
        form_->setLevelMonths(months);
        QTRY_VERIFY_WITH_TIMEOUT(!form_->reading(), 10000);
        QCOMPARE(form_->proposedTable().rows, expected);
    }

    // What the daily and force charts are drawn from.
    void chartFigures()
    {
        choose(Today.addDays(-29), Today, {}, {}, {});
        const DoseStatistics &s = form_->statistics();
        QMap<QDate, std::vector<double>> daily;
        QMap<int, std::vector<double>> force;
        for (const Fact *f : select(29)) {
            if (f->agd)
                daily[f->day].push_back(*f->agd);
            if (f->force)
                force[int(Views.indexOf(f->view))].push_back(*f->force);
        }
        QCOMPARE(daily.size(), 2); // G's day has no AGD
        QCOMPARE(s.dailyMedians().size(), daily.size());
        int i = 0;
        for (auto it = daily.begin(); it != daily.end(); ++it, ++i) {
            QCOMPARE(s.dailyMedians()[i].day, it.key());
            QCOMPARE(s.dailyMedians()[i].median, Percentile(it.value(), 0.5));
        }
        QCOMPARE(force.size(), 2); // I has no force
        QCOMPARE(s.forceByView().size(), force.size());
        i = 0;
        for (auto it = force.begin(); it != force.end(); ++it, ++i) {
            const ViewSpread &v = s.forceByView()[i];
            QCOMPARE(v.view, Views[it.key()]);
            QCOMPARE((QList<double>{v.min, v.q1, v.median, v.q3, v.max}),
                     (QList<double>{Percentile(it.value(), 0), Percentile(it.value(), 0.25), Percentile(it.value(), 0.5),
                                    Percentile(it.value(), 0.75), Percentile(it.value(), 1)}));
        }
        // The AGD chart draws the CC band's AGD level; MLO's level is of entrance dose and stays off it.
        QMap<QString, QList<QPointF>> lines;
        for (QChartView *v : form_->findChildren<QChartView *>())
            for (QAbstractSeries *series : v->chart()->series())
                if (auto *line = qobject_cast<QLineSeries *>(series); line && line->name().endsWith(u" level"_s))
                    lines[line->name()] = line->points();
        QCOMPARE(lines, (QMap<QString, QList<QPointF>>{{u"CC level"_s, {QPointF(40, CcAgdLevel), QPointF(50, CcAgdLevel)}}}));
    }

    // A journal an older program left, before the dose columns: the same
    // window on entrance dose, worked out by hand from its rows.
    void journalWithoutDoseColumns()
    {
        TestFolder folder;
        const QString journal = MakeOldJournal(folder);
        QVERIFY(!journal.isEmpty());
        QCOMPARE(CountRows(journal, u"tblDosis"_s), qlonglong(std::size(OldJournal)));
        // Its rows are read as the station's unit type sends them: unit 4 (mm, N, mGy).
        Settings.XrayComm = UnitGESeno;
        RecordingPrompter prompts;
        DoseQaForm form(journal, TestLevels, Today, prompts);
        QTRY_VERIFY_WITH_TIMEOUT(!form.reading(), 10000);
        form.setRange(Today.addDays(-29), Today);
        QTRY_VERIFY_WITH_TIMEOUT(!form.reading(), 10000);
        QVERIFY(form.bandTable().title.contains(u"entrance dose"_s));
        QCOMPARE(form.bandTable().rows,
                 (Table{{u"CC"_s, u"40-49"_s, u"5"_s, u"5"_s, u"1.400"_s, u"1.400"_s, u"1.500"_s, u"29.0"_s, u"70.0"_s, u"110"_s},
                        {u"MLO"_s, u"50-59"_s, u"2"_s, u"2"_s, u"2.750"_s, u"2.750"_s, u"2.875"_s, u"31.0"_s, u"94.8"_s, u"135"_s},
                        {u"other"_s, u"unknown"_s, u"1"_s, u"1"_s, u"0.800"_s, u"0.800"_s, u"0.800"_s, u"26.0"_s, u"40.0"_s, {}}}));
    }

    // Unit 3's exposures on one curve of thickness and dose and one four
    // times above it: only that one is drawn as a point, and clicking it shows that exposure.
    void farExposureClicked()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        f.capture->setClock([] { return QDateTime(Today, QTime(9, 0)); });
        auto dose = [](double mm, double times) { return QString::number(times * std::exp(-1 + 0.03 * mm), 'f', 4); };
        for (int mm = 30; mm <= 70; ++mm)
            QVERIFY(DecodeUnitMessage(*f.capture, UnitLoradM4, LoradMessage(u"RCC"_s, 28, QString::number(mm / 10.0, 'f', 1), dose(mm, 1))) > 0);
        const QString far = dose(50, 4);
        const qlonglong farId = DecodeUnitMessage(*f.capture, UnitLoradM4, LoradMessage(u"LCC"_s, 29, u"5.0"_s, far));
        QVERIFY(farId > 0);
        DoseQaForm form(UserDatabase.path(), TestLevels, Today, f.prompter);
        form.resize(1200, 800);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_VERIFY_WITH_TIMEOUT(!form.reading(), 10000);
        QChartView *view = nullptr;
        QScatterSeries *points = nullptr;
        for (QChartView *v : form.findChildren<QChartView *>())
            for (QAbstractSeries *s : v->chart()->series())
                if (auto *scatter = qobject_cast<QScatterSeries *>(s)) {
                    view = v;
                    points = scatter;
                }
        QVERIFY(points);
        QCOMPARE(points->points(), QList<QPointF>({QPointF(50, far.toDouble())}));
        QSignalSpy chosen(&form, &DoseQaForm::exposureChosen);
        QTRY_VERIFY(view->chart()->plotArea().isValid());
        const QPoint at = view->mapFromScene(view->chart()->mapToScene(view->chart()->mapToPosition(points->at(0), points)));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTRY_COMPARE(chosen.size(), 1);
        QCOMPARE(chosen[0][0].toLongLong(), farId);
        QVERIFY2(form.shownExposure().startsWith(u"Exposure %1,"_s.arg(farId)), qPrintable(form.shownExposure()));
    }

    // The operator opens the window from the main window's View menu: it
    // shows the station's journal of the last three months, written by the
    // station's own capture on the days its clock gave.
    void openedFromTheViewMenu()
    {
        TestFolder folder;
        QVERIFY(PrepareStation(folder));
        // The journal as the station is set up: a copy of its template.
        QVERIFY(QFile::copy(folder.file(u"Data/LumoraDef.dat"_s), UserDatabase.path()));
        RecordingPrompter prompts;
        MainForm main(prompts);
        Workstation station(main, prompts);
        const QDate today = QDate::currentDate();
        const struct {
            int daysBack, mm;
        } shots[] = {{0, 45}, {0, 46}, {0, 52}, {0, 53}, {40, 44}, {120, 47}}; // unit 4: R CC, L CC, R MLO, L MLO; R CC; R CC
        int shown = 0, cc = 0;
        for (const auto &s : shots) {
            const QDate day = today.addDays(-s.daysBack);
            station.capture().setClock([day] { return QDateTime(day, QTime(11, 0)); });
            if (s.daysBack > 0)
                newExamination(station.capture());
            QVERIFY(DecodeUnitMessage(station.capture(), UnitGESeno, SenoMessage({.mm = s.mm})) > 0);
            const bool recent = day >= today.addMonths(-3).addDays(1);
            shown += recent ? 1 : 0;
            cc += recent && s.mm < 50 ? 1 : 0;
        }
        station.capture().stopButton_Click();
        QCOMPARE(shown, 5);
        main.action(u"mnuDoseQa"_s)->trigger();
        DoseQaForm *form = nullptr;
        QTRY_VERIFY((form = main.findChild<DoseQaForm *>()) && form->isVisible() && !form->reading());
        QCOMPARE(form->statistics().selected().size(), size_t(shown)); // 40 days back too, not 120
        QCOMPARE(form->bandTable().rows.value(0).mid(0, 3), (QStringList{u"CC"_s, u"40-49"_s, QString::number(cc)}));
        form->close();
        QTRY_VERIFY(!main.findChild<DoseQaForm *>()); // closing lets it go
    }

    // The exposure CSV: every field, the view and band, the level and whether it is exceeded.
    void exposureCsv_data()
    {
        QTest::addColumn<QString>("letter");
        QTest::addColumn<bool>("above");
        QTest::newRow("A below the AGD level") << u"A"_s << false;
        QTest::newRow("C above the AGD level") << u"C"_s << true;
        QTest::newRow("E below the entrance level") << u"E"_s << false;
        QTest::newRow("F above the entrance level") << u"F"_s << true;
        QTest::newRow("G without AGD") << u"G"_s << false;
        QTest::newRow("I without thickness") << u"I"_s << false;
    }
    void exposureCsv()
    {
        QFETCH(QString, letter);
        QFETCH(bool, above);
        const Fact &x = fact(qPrintable(letter));
        QCOMPARE(DoseQaTest::above(x), above);
        choose(Today.addDays(-29), Today, {}, {}, {});
        const QList<QByteArray> lines = ReadFile(saveAs(u"Exposures CSV ..."_s, u"exposures.csv"_s)).split('\n');
        const QStringList header = Fields(lines.value(0));
        QCOMPARE(header, (QStringList{u"ID"_s, u"Date"_s, u"Time"_s, u"Unit"_s, u"Projection"_s, u"Laterality"_s, u"View"_s,
                                     u"Band mm"_s, u"kV"_s, u"mAs"_s, u"Thickness mm"_s, u"Force N"_s, u"Reported dose mGy"_s,
                                     u"Exposure time"_s, u"Status"_s, u"Assigned to"_s, u"Target/filter"_s, u"HVL mm Al"_s,
                                     u"K mGy"_s, u"AGD mGy"_s, u"AGD source"_s, u"Age table"_s, u"Calibration"_s,
                                     u"Reference level mGy"_s, u"Reference quantity"_s, u"Reference set"_s, u"Above level"_s}));
        QCOMPARE(lines.size(), 1 + select(29).size() + 1); // header, all but H, the final line end
        QStringList fields;
        for (const QByteArray &line : lines)
            if (Fields(line).value(0) == QString::number(x.id))
                fields = Fields(line);
        QCOMPARE(fields.size(), header.size());
        auto field = [&](const char *name) { return fields.value(header.indexOf(QLatin1String(name))); };
        QCOMPARE(field("Projection"), QLatin1String(x.shot->projection));
        QCOMPARE((QStringList{field("Unit"), field("View"), field("Band mm"), field("Status"), field("Assigned to")}),
                 (QStringList{QString::number(x.unit), x.view, BandText(BandOf(x.thickness)), x.status, x.patientId}));
        QCOMPARE(field("AGD mGy").isEmpty(), !x.agd);
        if (x.agd)
            QVERIFY2(qAbs(field("AGD mGy").toDouble() - *x.agd) < 1e-8 * *x.agd, qPrintable(field("AGD mGy")));
        const auto level = levelOf(x);
        QCOMPARE((QStringList{field("Reference level mGy"), field("Reference quantity"), field("Reference set"), field("Above level")}),
                 level ? (QStringList{QString::number(level->level), level->forAgd() ? u"AGD"_s : u"entrance dose"_s, level->setName,
                                      above ? u"yes"_s : QString()})
                       : (QStringList{{}, {}, {}, {}}));
    }

    // The summary CSV is the table on screen.
    void summaryCsv()
    {
        choose(Today.addDays(-29), Today, {}, {}, {});
        const QList<QByteArray> lines = ReadFile(saveAs(u"Summary CSV ..."_s, u"summary.csv"_s)).trimmed().split('\n');
        QCOMPARE(lines.size(), 1 + form_->bandTable().rows.size());
        QCOMPARE(Fields(lines[0]), form_->bandTable().headers);
        for (int i = 0; i < form_->bandTable().rows.size(); ++i)
            QCOMPARE(Fields(lines[i + 1]), form_->bandTable().rows[i]);
    }

    // The PDF report holds the tables as text that pdftotext reads back.
    void pdfReport()
    {
        choose(Today.addDays(-29), Today, {}, u"CC"_s, {});
        const Table cc = expectedBands(select(29, 0, u"CC"_s));
        QCOMPARE(cc.size(), 1);
        const QString text = PdfText(saveAs(u"PDF report ..."_s, u"report.pdf"_s));
        QVERIFY2(text.contains(u"Dose QA report"_s), qPrintable(text));
        QVERIFY(text.contains(u"2026-11-08 to 2026-12-07"_s));
        QVERIFY2(QRegularExpression(RowPattern(cc[0])).match(text).hasMatch(), qPrintable(RowPattern(cc[0]) + u"\n"_s + text));
        QVERIFY(text.contains(u"Repeats and rejects per day and view"_s));
        QVERIFY(text.contains(u"Proposed local reference levels"_s));
        QVERIFY(!text.contains(u"MLO"_s)); // the view filter holds
    }

    // The day list of each day: its exposures, their doses and the level exceeded.
    void dayList_data()
    {
        QTest::addColumn<int>("daysBack");
        QTest::addColumn<int>("exposures");
        QTest::addColumn<int>("aboveLevel");
        QTest::newRow("today") << 0 << 4 << 1;
        QTest::newRow("yesterday") << 1 << 4 << 1;
        QTest::newRow("no exposures") << 3 << 0 << 0;
    }
    void dayList()
    {
        QFETCH(int, daysBack);
        QFETCH(int, exposures);
        QFETCH(int, aboveLevel);
        const QList<const Fact *> day = select(daysBack, 0, {}, -1, daysBack);
        QCOMPARE(day.size(), exposures);
        QCOMPARE(int(std::count_if(day.begin(), day.end(), [](const Fact *f) { return above(*f); })), aboveLevel);
        const QString pdf = fx_->folder.file(u"daylist.pdf"_s);
        const QDate date = Today.addDays(-daysBack);
        QVERIFY(WriteDayListPdf(pdf, date, journal_, TestLevels).ok());
        const QString text = PdfText(pdf);
        QVERIFY2(text.contains(u"Day list "_s + date.toString(Qt::ISODate)), qPrintable(text));
        QVERIFY2(text.contains(u"%1 exposures, %2 above a reference level"_s.arg(exposures).arg(aboveLevel)), qPrintable(text));
        auto number = [](const std::optional<double> &v, int decimals) { return v ? QString::number(*v, 'f', decimals) : QString(); };
        for (const Fact *f : day) {
            const auto level = levelOf(*f);
            const QString mark = above(*f) ? u"%1 %2 mGy (%3)"_s.arg(level->forAgd() ? u"AGD >"_s : u"mGy >"_s)
                                                 .arg(level->level, 0, 'f', 2)
                                                 .arg(level->setName)
                                           : QString();
            const QString line = RowPattern({NameOf(f->shot->patient), QLatin1String(f->shot->projection), number(f->kv, 0),
                                             number(f->mas, 1), number(f->thickness, 0), number(f->force, 0), number(f->entrance, 2),
                                             number(f->agd, 2), f->source, mark})
                + u"\\s*$"_s;
            QVERIFY2(QRegularExpression(line, QRegularExpression::MultilineOption).match(text).hasMatch(), qPrintable(line + u"\n"_s + text));
        }
    }
};

QTEST_MAIN(DoseQaTest)
#include "tst_doseqa.moc"
