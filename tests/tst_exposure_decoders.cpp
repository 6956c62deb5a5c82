// The five message layouts: the values each takes from a real message, the
// projection cycles, locale-dependent numbers, and ugly input of every kind.
#include "exposure/ExposureDecoders.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QLocale German(QLocale::German, QLocale::Germany);
const QLocale English(QLocale::English, QLocale::UnitedStates);
const QDateTime Now(QDate(2026, 12, 6), QTime(14, 5, 9));
const QString Today = German.toString(Now.date(), QLocale::ShortFormat);

const QString SophieMessage = u"\x02SOPHIE V3\r\nName: 2005-03-17 10:22:31 L-CC W Rh 28 28kV 63mAs 1.25s AEC 12kg 4.5cm 1.23mGy\r\n"_s;
const QString GiottoMessage = u"\x02GIOTTO 10 28063 120 45 1.8\x03\r\n"_s;
const QString LoradMessage = u"M4|0017|LCC|AEC|Mo/Mo|Grid|06.12.26|14:05|x|y|28 kV|z|63 mAs|a|b|c|d|120 N|4.5 cm|e|f|1.23 mGy|\r\n"_s;
const QString SenoMessage = u"ABCDEF028100 450ms12 45mm 0 DIGITAL\r\n"_s;
const QString SenoShortFirst = u"28 KV29 080 500MS12 45MM DIGITAL\r\n"_s;
const QString HfeMessage = u"SM 1000 V2.1\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*\r\n"_s;
const QString HfeDoseLine = u"0.98 mGy W/Rh 28 kV 80 mAs AEC 2 Grid 450LF ms 45 mm Comp 120 N"_s; // and the line after it

DecoderInput input(int unit, const QString &buffer, const QLocale &locale = German)
{
    return {.unitType = qint16(unit), .buffer = buffer, .patientName = u"O'Neill^Mary"_s, .currentProjection = u"L CC"_s,
            .projectionBox = u"L CC"_s, .locale = locale, .now = Now};
}

QString v(const std::optional<QString> &s) { return s.value_or(u"<unset>"_s); }

// The named values of a decoding: the record's columns and parts of the output.
QMap<QString, QString> fields(const DecoderOutput &out)
{
    QMap<QString, QString> f{{"record", QString::number(out.record.has_value())}, {"exposureTime", out.currentExposureTime},
                             {"buffer", out.buffer}, {"closingSteps", QString::number(out.closingSteps)},
                             {"enableSerTimer", QString::number(out.enableSerTimer)},
                             {"clearProjectionBox", QString::number(out.clearProjectionBox)},
                             {"deleteSerialInput", QString::number(out.deleteSerialInput)},
                             {"errors", QString::number(out.errors.size())}, {"messageBoxes", out.messageBoxes.join(u'|')},
                             {"doseLine", out.doseLine},
                             {"firstError", out.errors.isEmpty() ? QString() : QString::number(out.errors.first().number)}};
    if (const auto &r = out.record)
        f.insert({{"Datum", v(r->Datum)}, {"Zeit", v(r->Zeit)}, {"Sonstiges", v(r->Sonstiges)}, {"KVP", v(r->KVP)},
                  {"ma", v(r->ma)}, {"expZeit", v(r->expZeit)}, {"Druck", v(r->Druck)}, {"Dicke", v(r->Dicke)},
                  {"mGy", v(r->mGy)}, {"Status", v(r->Status)}, {"Patname", v(r->Patname)}});
    return f;
}

// A message of a unit type, what is expected of it ("name=value" of fields(),
// or the views of a projection cycle), and the input's other parts.
struct Case {
    int unit;
    QString message;
    QStringList expected;
    QLocale locale = German;
    QString projectionBox = u"L CC"_s;
    bool debug = false;
    QString doseLine{}; // the previous message's
};

} // namespace
Q_DECLARE_METATYPE(Case)

class ExposureDecodersTest : public QObject {
    Q_OBJECT

private slots:
    void decodesTheValues_data()
    {
        QTest::addColumn<Case>("c");
        QTest::newRow("Sophie: values by token position")
            << Case{UnitSophie, SophieMessage,
                    {"Datum=17.03.2005", "Sonstiges=W,Rh,28,L-CC,AEC", "KVP=28", "ma=63", "expZeit=1,25", "Druck=120", "Dicke=45",
                     "mGy=1.23mGy", "Zeit=14:05:09", "Status=0", "Patname=O'Neill^Mary", "errors=0", "buffer=", "closingSteps=1"}};
        // A dot-decimal workstation reads the unit's decimal point as its own.
        QTest::newRow("Sophie: dot-decimal locale")
            << Case{UnitSophie, SophieMessage, {"expZeit=1.25", "Dicke=45", "Druck=120", "errors=0"}, English};
        // Tenfold values round a half to the even neighbour.
        QTest::newRow("Sophie: tenfold rounding")
            << Case{UnitSophie, QString(SophieMessage).replace(u"12kg"_s, u"1,25kg"_s).replace(u"4.5cm"_s, u"1.75cm"_s),
                    {"Druck=12", "Dicke=18"}};
        QTest::newRow("Sophie: short message")
            << Case{UnitSophie, u"Name: 2005-03-17 10:22:31 W/Rh mGy\r\n"_s,
                    {"Datum=17.03.2005", "KVP=", "mGy=", "Sonstiges=mGy,,,W/Rh,", "errors=3"}};
        // Without "Name:" the whole buffer is taken, and the miss is reported.
        QTest::newRow("Sophie: no name") << Case{UnitSophie, u"X 2005-03-17 a b c d e 30kV 50mAs mGy"_s, {"KVP=30", "firstError=5"}};
        QTest::newRow("Sophie: empty") << Case{UnitSophie, QString(), {"record=0", "closingSteps=1"}};

        QTest::newRow("Giotto: the last group four times")
            << Case{UnitGiotto, GiottoMessage,
                    {"Datum=06.12.2026", "KVP=28", "ma=63 120", "Druck=1.8", "Dicke=1.8", "mGy=1.8", "expZeit=1.8", "Sonstiges=L CC",
                     "clearProjectionBox=1", "deleteSerialInput=1", "buffer="}};
        QTest::newRow("Giotto: kV with its 0 second")
            << Case{UnitGiotto, u"\x02GIOTTO 10 30080 90 50 2.2\x03"_s, {"KVP=30", "ma=80 90 ", "Druck=2.2"}};

        QTest::newRow("Lorad M4: field counts")
            << Case{UnitLoradM4, LoradMessage,
                    {"Sonstiges=LCC", "Datum=" + Today, "Zeit=14:05:09", "KVP=28", "ma=63", "Druck=120", "Dicke=4.5", "mGy=1.23", "expZeit=0"}};
        QTest::newRow("Lorad M4: six fields")
            << Case{UnitLoradM4, u"M4|1|RCC|a|b|4 cm"_s, {"Sonstiges=RCC", "Datum=", "Zeit=", "Druck=0", "mGy=0"}};
        QTest::newRow("Lorad M4: seven fields") << Case{UnitLoradM4, u"M4|1|RCC|a|b|4 cm|d"_s, {"Datum=" + Today, "Zeit="}};
        QTest::newRow("Lorad M4: empty values")
            << Case{UnitLoradM4, QString(LoradMessage).replace(u"120 N"_s, u" "_s).replace(u"1.23 mGy"_s, QString()), {"Druck=0", "mGy=0"}};
        QTest::newRow("Lorad M4: empty") << Case{UnitLoradM4, QString(), {"record=0", "closingSteps=0", "enableSerTimer=1"}};

        // The GE Senograph's groups are told apart by their lengths; in debug mode a box shows each value.
        QTest::newRow("GE Senograph")
            << Case{UnitGESeno, SenoMessage,
                    {"KVP=28", "ma=100", "Druck=12", "expZeit=450", "Dicke=45", "mGy=0", "exposureTime=450", "messageBoxes="}};
        QTest::newRow("GE Senograph: short first group")
            << Case{UnitGESeno, SenoShortFirst, {"KVP=29", "ma=080", "expZeit=500", "Druck=12", "Dicke=45", "messageBoxes="}};
        QTest::newRow("GE Senograph: debug")
            << Case{UnitGESeno, SenoMessage, {"messageBoxes=KVP 28, MAS 100|Druck 12 ExpZeit 450|Dicke 45"}, German, u"L CC"_s, true};
        QTest::newRow("GE Senograph: short first group, debug")
            << Case{UnitGESeno, SenoShortFirst, {"messageBoxes=KVP 29|MAS 080|500|12"}, German, u"L CC"_s, true};

        QTest::newRow("SM 1000: the dose line and the next")
            << Case{UnitHFE, HfeMessage,
                    {"mGy=0.98", "KVP=28", "ma=80", "expZeit=450", "exposureTime=450", "Dicke=45", "Druck=120", "doseLine=" + HfeDoseLine}};
        // A message without a dose line does not decode the previous one again.
        QTest::newRow("SM 1000: no dose line")
            << Case{UnitHFE, u"SM 1000 V2.1\r\n*\r\n"_s, {"record=0", "doseLine="}, German, u"L CC"_s, false, HfeDoseLine};
    }
    void decodesTheValues()
    {
        QFETCH(Case, c);
        DecoderInput in = input(c.unit, c.message, c.locale);
        in.projectionBox = c.projectionBox;
        in.currentExposureTime = u"old"_s;
        in.debug = c.debug;
        in.doseLine = c.doseLine;
        const QMap<QString, QString> got = fields(DecodeExposure(in));
        for (const QString &e : c.expected) {
            const QString name = e.section(u'=', 0, 0);
            QVERIFY2(got.contains(name), qPrintable(name));
            QCOMPARE(got[name], e.mid(name.size() + 1));
        }
    }

    void projectionCyclesOfThePolledUnits_data()
    {
        QTest::addColumn<Case>("c"); // the views one after the other
        QTest::newRow("GE Senograph") << Case{UnitGESeno, SenoMessage, {"R CC", "L CC", "R MLO", "L MLO", "R CC"}};
        QTest::newRow("SM 1000") << Case{UnitHFE, HfeMessage, {"L CC", "R CC", "L MLO", "R MLO", "L CC"}};
    }
    void projectionCyclesOfThePolledUnits()
    {
        QFETCH(Case, c);
        qint16 counter = 0; // "New Examination"
        for (const QString &view : c.expected) {
            DecoderInput in = input(c.unit, c.message);
            in.projectionCounter = counter;
            const DecoderOutput out = DecodeExposure(in);
            QVERIFY(out.record);
            QCOMPARE(v(out.record->Sonstiges), view);
            counter = out.projectionCounter;
        }
        QCOMPARE(counter, qint16(1));
        // An empty call still advances the cycle.
        DecoderInput in = input(c.unit, QString());
        in.projectionCounter = 3;
        const DecoderOutput out = DecodeExposure(in);
        QVERIFY(!out.record);
        QCOMPARE(out.projectionCounter, qint16(0));
    }

    void doubledMessagesGiveTheValuesOfOne_data()
    {
        QTest::addColumn<Case>("c");
        QTest::newRow("Sophie") << Case{UnitSophie, SophieMessage, {}};
        QTest::newRow("Giotto") << Case{UnitGiotto, GiottoMessage, {}};
        QTest::newRow("Lorad M4") << Case{UnitLoradM4, LoradMessage, {}};
        QTest::newRow("GE Senograph") << Case{UnitGESeno, SenoMessage, {}};
        QTest::newRow("SM 1000") << Case{UnitHFE, HfeMessage, {}};
    }
    void doubledMessagesGiveTheValuesOfOne()
    {
        // A cInput.txt that was not taken away gets the next message appended.
        QFETCH(Case, c);
        const DecoderOutput one = DecodeExposure(input(c.unit, c.message));
        const DecoderOutput two = DecodeExposure(input(c.unit, c.message + c.message));
        QVERIFY(one.record && two.record);
        for (const char *name : {"KVP", "Druck", "Dicke", "mGy", "expZeit"})
            QCOMPARE(fields(two)[name], fields(one)[name]);
        QVERIFY(!v(one.record->KVP).isEmpty());
    }

    void uglyInputNeverBreaksADecoder()
    {
        QStringList corpus = {"", " ", "     ", "|||||||||", "\r\n\r\n\r\n", "----", "*", "Name:", "Name: ----- - - mGy", " 10", " 10 0", "0",
                              "\x03", "Name: 9999-99-99 a b c d e f 1e999kV x 1e999s 0 1e308kg nan cm", "mGy\r\nmGy\r\nmGy"};
        QByteArray binary;
        for (int i = 0; i < 256; ++i)
            binary.append(char(i));
        corpus.append(QString::fromLatin1(binary));
        QRandomGenerator rng(20261206);
        QByteArray noise(100 * 1024, 0);
        for (char &c : noise)
            c = char(rng.bounded(256));
        corpus.append(QString::fromLatin1(noise));
        QString spaced;
        for (int i = 0; i < 20000; ++i)
            spaced += QString::number(rng.bounded(100)) + QLatin1Char(i % 7 ? ' ' : '|');
        corpus.append(spaced);
        for (const QString &m : {SophieMessage, GiottoMessage, LoradMessage, SenoMessage, SenoShortFirst, HfeMessage})
            for (qsizetype n = 0; n <= m.size(); ++n)
                corpus.append(m.left(n));

        for (qint16 unit = 0; unit <= 6; ++unit) {
            for (const QString &m : corpus) {
                DecoderInput in = input(unit, m);
                in.debug = true;
                in.projectionCounter = qint16(m.size() % 5);
                const DecoderOutput out = DecodeExposure(in);
                if (unit < 1 || unit > 5)
                    QVERIFY(!out.record);
                if (out.record) {
                    QCOMPARE(v(out.record->Status), u"0"_s);
                    QCOMPARE(v(out.record->Patname), in.patientName);
                }
                QVERIFY(out.projectionCounter >= 0 && out.projectionCounter <= 5);
                QVERIFY(out.messageBoxes.size() <= 10); // one per value taken, at most
            }
        }
        // Noise that is not a message is reported, not stored silently as values.
        QVERIFY(!DecodeExposure(input(UnitSophie, QString::fromLatin1(noise))).errors.isEmpty());
    }

    void decoderDatesParse()
    {
        const QDate day(2026, 12, 6);
        QCOMPARE(ParseExposureDate(u"17.03.2005"_s, English), QDate(2005, 3, 17));
        QCOMPARE(ParseExposureDate(English.toString(day, QLocale::ShortFormat), English), day);
        QCOMPARE(ParseExposureDate(German.toString(day, QLocale::ShortFormat), German), day);
        QCOMPARE(ParseExposureDate(u"2026-01-02"_s, German), QDate(2026, 1, 2));
        for (const QString &bad : {u"99.99.2005"_s, u"garbage"_s, QString()})
            QVERIFY(!ParseExposureDate(bad, German).isValid());
    }
};

QTEST_GUILESS_MAIN(ExposureDecodersTest)
#include "tst_exposure_decoders.moc"
