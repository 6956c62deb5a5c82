// The five message layouts: the values each takes from a real message, the
// projection cycles, locale-dependent numbers, and ugly input of every kind.
#include "exposure/ExposureDecoders.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

const QLocale German(QLocale::German, QLocale::Germany);
const QLocale English(QLocale::English, QLocale::UnitedStates);
const QDateTime Now(QDate(2026, 12, 6), QTime(14, 5, 9));
const QString Today = German.toString(Now.date(), QLocale::ShortFormat);

const QString SophieMessage = QStringLiteral(
    "\x02SOPHIE V3\r\nName: 2005-03-17 10:22:31 W/Rh LCC AEC Grid 28kV 63mAs 1.25s 0 12kg 4.5cm 1.23 mGy\r\n");
const QString GiottoMessage = QStringLiteral("\x02GIOTTO 10 28063 120 45 1.8\x03\r\n");
const QString LoradMessage = QStringLiteral(
    "M4|0017|LCC|AEC|Mo/Mo|Grid|06.12.26|14:05|x|y|28 kV|z|63 mAs|a|b|c|d|120 N|4.5 cm|e|f|1.23 mGy|\r\n");
const QString SenoMessage = QStringLiteral("ABCDEF028100 450ms12 45mm 0 DIGITAL\r\n");
const QString SenoShortFirst = QStringLiteral("28 KV29 080 500MS12 45MM DIGITAL\r\n");
const QString HfeMessage = QStringLiteral(
    "SM 1000 V2.1\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*\r\n");

DecoderInput input(qint16 unit, const QString &buffer, const QLocale &locale = German)
{
    DecoderInput in;
    in.unitType = unit;
    in.buffer = buffer;
    in.patientName = QStringLiteral("O'Neill^Mary");
    in.currentProjection = QStringLiteral("L CC");
    in.projectionBox = QStringLiteral("L CC");
    in.locale = locale;
    in.now = Now;
    return in;
}

QString v(const std::optional<QString> &s) { return s.value_or(QStringLiteral("<unset>")); }

// The named values of a decoding: the record's columns and parts of the output.
QMap<QString, QString> fields(const DecoderOutput &out)
{
    QMap<QString, QString> f{{"record", QString::number(out.record.has_value())}, {"exposureTime", out.currentExposureTime},
                             {"buffer", out.buffer}, {"closingSteps", QString::number(out.closingSteps)},
                             {"enableSerTimer", QString::number(out.enableSerTimer)},
                             {"clearProjectionBox", QString::number(out.clearProjectionBox)},
                             {"deleteSerialInput", QString::number(out.deleteSerialInput)},
                             {"errors", QString::number(out.errors.size())}, {"messageBoxes", out.messageBoxes.join(u'|')},
                             {"firstError", out.errors.isEmpty() ? QString() : QString::number(out.errors.first().number)}};
    if (const auto &r = out.record)
        f.insert({{"Datum", v(r->Datum)}, {"Zeit", v(r->Zeit)}, {"Sonstiges", v(r->Sonstiges)}, {"KVP", v(r->KVP)},
                  {"ma", v(r->ma)}, {"expZeit", v(r->expZeit)}, {"Druck", v(r->Druck)}, {"Dicke", v(r->Dicke)},
                  {"mGy", v(r->mGy)}, {"Status", v(r->Status)}, {"Patname", v(r->Patname)}});
    return f;
}

} // namespace

class ExposureDecodersTest : public QObject {
    Q_OBJECT

private slots:
    void decodesTheValues_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("projectionBox");
        QTest::addColumn<QStringList>("expected"); // "name=value"

        const QString lcc = QStringLiteral("L CC");
        QTest::newRow("Sophie: values by token position")
            << int(UnitSophie) << SophieMessage << German << lcc
            << QStringList{"Datum=17.03.2005", "Sonstiges=LCC,AEC,Grid,W/Rh,0", "KVP=28", "ma=63", "expZeit=1,25",
                           "Druck=120", "Dicke=45", "mGy=1.23", "Zeit=14:05:09", "Status=0", "Patname=O'Neill^Mary",
                           "errors=0", "buffer=", "closingSteps=1"};
        // A dot-decimal workstation reads the unit's decimal point as its own.
        QTest::newRow("Sophie: dot-decimal locale")
            << int(UnitSophie) << SophieMessage << English << lcc
            << QStringList{"expZeit=1.25", "Dicke=45", "Druck=120", "errors=0"};
        // Tenfold values round a half to the even neighbour.
        QTest::newRow("Sophie: tenfold rounding")
            << int(UnitSophie)
            << QString(SophieMessage).replace(QStringLiteral("12kg"), QStringLiteral("1,25kg")).replace(QStringLiteral("4.5cm"), QStringLiteral("1.75cm"))
            << German << lcc << QStringList{"Druck=12", "Dicke=18"};
        QTest::newRow("Sophie: short message")
            << int(UnitSophie) << QStringLiteral("Name: 2005-03-17 10:22:31 W/Rh mGy\r\n") << German << lcc
            << QStringList{"Datum=17.03.2005", "KVP=", "mGy=", "Sonstiges=mGy,,,W/Rh,", "errors=3"};
        // Without "Name:" the whole buffer is taken, and the miss is reported.
        QTest::newRow("Sophie: no name")
            << int(UnitSophie) << QStringLiteral("X 2005-03-17 a b c d e 30kV 50mAs mGy") << German << lcc
            << QStringList{"KVP=30", "firstError=5"};
        QTest::newRow("Sophie: empty") << int(UnitSophie) << QString() << German << lcc << QStringList{"record=0", "closingSteps=1"};

        QTest::newRow("Giotto: the last group four times")
            << int(UnitGiotto) << GiottoMessage << German << lcc
            << QStringList{"Datum=06.12.2026", "KVP=28", "ma=63 120", "Druck=1.8", "Dicke=1.8", "mGy=1.8", "expZeit=1.8",
                           "Sonstiges=L CC", "clearProjectionBox=1", "deleteSerialInput=1", "buffer="};
        QTest::newRow("Giotto: kV with its 0 second")
            << int(UnitGiotto) << QStringLiteral("\x02GIOTTO 10 30080 90 50 2.2\x03") << German << lcc
            << QStringList{"KVP=30", "ma=80 90 ", "Druck=2.2"};
        QTest::newRow("Giotto: no projection keeps the message")
            << int(UnitGiotto) << GiottoMessage << German << QString()
            << QStringList{"record=0", "buffer=" + GiottoMessage, "closingSteps=0", "enableSerTimer=0",
                           "messageBoxes=Please click on a Projection button first!"};

        QTest::newRow("Lorad M4: field counts")
            << int(UnitLoradM4) << LoradMessage << German << lcc
            << QStringList{"Sonstiges=LCC", "Datum=" + Today, "Zeit=14:05:09", "KVP=28", "ma=63", "Druck=120",
                           "Dicke=4.5", "mGy=1.23", "expZeit=0"};
        QTest::newRow("Lorad M4: six fields")
            << int(UnitLoradM4) << QStringLiteral("M4|1|RCC|a|b|4 cm") << German << lcc
            << QStringList{"Sonstiges=RCC", "Datum=", "Zeit=", "Druck=0", "mGy=0"};
        QTest::newRow("Lorad M4: seven fields")
            << int(UnitLoradM4) << QStringLiteral("M4|1|RCC|a|b|4 cm|d") << German << lcc << QStringList{"Datum=" + Today, "Zeit="};
        QTest::newRow("Lorad M4: empty values")
            << int(UnitLoradM4) << QString(LoradMessage).replace(QStringLiteral("120 N"), QStringLiteral(" ")).replace(QStringLiteral("1.23 mGy"), QString())
            << German << lcc << QStringList{"Druck=0", "mGy=0"};
        QTest::newRow("Lorad M4: empty")
            << int(UnitLoradM4) << QString() << German << lcc << QStringList{"record=0", "closingSteps=0", "enableSerTimer=1"};

        // The GE Senograph's groups are told apart by their lengths.
        QTest::newRow("GE Senograph")
            << int(UnitGESeno) << SenoMessage << German << lcc
            << QStringList{"KVP=28", "ma=100", "Druck=12", "expZeit=450", "Dicke=45", "mGy=0", "exposureTime=450"};
        QTest::newRow("GE Senograph: short first group")
            << int(UnitGESeno) << SenoShortFirst << German << lcc
            << QStringList{"KVP=29", "ma=080", "expZeit=500", "Druck=12", "Dicke=45"};

        QTest::newRow("SM 1000: the dose line and the next")
            << int(UnitHFE) << HfeMessage << German << lcc
            << QStringList{"mGy=0.98", "KVP=28", "ma=80", "expZeit=450", "exposureTime=450", "Dicke=45", "Druck=120"};
    }
    void decodesTheValues()
    {
        QFETCH(int, unit);
        QFETCH(QString, message);
        QFETCH(QLocale, locale);
        QFETCH(QString, projectionBox);
        QFETCH(QStringList, expected);
        DecoderInput in = input(qint16(unit), message, locale);
        in.projectionBox = projectionBox;
        in.currentExposureTime = QStringLiteral("old");
        const QMap<QString, QString> got = fields(DecodeExposure(in));
        for (const QString &e : expected) {
            const QString name = e.section(QLatin1Char('='), 0, 0);
            QVERIFY2(got.contains(name), qPrintable(name));
            QCOMPARE(got[name], e.mid(name.size() + 1));
        }
    }

    void senoDebugShowsEachValue()
    {
        DecoderInput in = input(UnitGESeno, SenoMessage);
        in.debug = true;
        QCOMPARE(DecodeExposure(in).messageBoxes,
                 (QStringList{QStringLiteral("KVP 28, MAS 100"), QStringLiteral("Druck 12 ExpZeit 450"), QStringLiteral("Dicke 45")}));
        in.buffer = SenoShortFirst;
        QCOMPARE(DecodeExposure(in).messageBoxes,
                 (QStringList{QStringLiteral("KVP 29"), QStringLiteral("MAS 080"), QStringLiteral("500"), QStringLiteral("12")}));
        in.debug = false;
        QVERIFY(DecodeExposure(in).messageBoxes.isEmpty());
    }

    void projectionCyclesOfThePolledUnits_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("views");
        QTest::newRow("GE Senograph") << int(UnitGESeno) << SenoMessage
                                      << QStringList{"R CC", "L CC", "R MLO", "L MLO", "R CC"};
        QTest::newRow("SM 1000") << int(UnitHFE) << HfeMessage << QStringList{"L CC", "R CC", "L MLO", "R MLO", "L CC"};
    }
    void projectionCyclesOfThePolledUnits()
    {
        QFETCH(int, unit);
        QFETCH(QString, message);
        QFETCH(QStringList, views);
        qint16 counter = 0; // "New Examination"
        for (const QString &view : views) {
            DecoderInput in = input(qint16(unit), message);
            in.projectionCounter = counter;
            const DecoderOutput out = DecodeExposure(in);
            QVERIFY(out.record);
            QCOMPARE(v(out.record->Sonstiges), view);
            counter = out.projectionCounter;
        }
        QCOMPARE(counter, qint16(1));
        // An empty call still advances the cycle.
        DecoderInput in = input(qint16(unit), QString());
        in.projectionCounter = 3;
        const DecoderOutput out = DecodeExposure(in);
        QVERIFY(!out.record);
        QCOMPARE(out.projectionCounter, qint16(0));
    }

    void hfeWithoutDoseLineDoesNotRepeatThePrevious()
    {
        DecoderInput in = input(UnitHFE, HfeMessage);
        DecoderOutput out = DecodeExposure(in);
        QVERIFY(out.doseLine.startsWith(QStringLiteral("0.98 mGy")));
        in.buffer = QStringLiteral("SM 1000 V2.1\r\n*\r\n");
        in.doseLine = out.doseLine;
        out = DecodeExposure(in);
        QVERIFY(!out.record);
        QVERIFY(out.doseLine.isEmpty());
    }

    void doubledMessagesGiveTheValuesOfOne_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("message");
        QTest::newRow("Sophie") << int(UnitSophie) << SophieMessage;
        QTest::newRow("Giotto") << int(UnitGiotto) << GiottoMessage;
        QTest::newRow("Lorad M4") << int(UnitLoradM4) << LoradMessage;
        QTest::newRow("GE Senograph") << int(UnitGESeno) << SenoMessage;
        QTest::newRow("SM 1000") << int(UnitHFE) << HfeMessage;
    }
    void doubledMessagesGiveTheValuesOfOne()
    {
        // A cInput.txt that was not taken away gets the next message appended.
        QFETCH(int, unit);
        QFETCH(QString, message);
        const DecoderOutput one = DecodeExposure(input(qint16(unit), message));
        const DecoderOutput two = DecodeExposure(input(qint16(unit), message + message));
        QVERIFY(one.record && two.record);
        for (const char *name : {"KVP", "Druck", "Dicke", "mGy", "expZeit"})
            QCOMPARE(fields(two)[name], fields(one)[name]);
        QVERIFY(!v(one.record->KVP).isEmpty());
    }

    void uglyInputNeverBreaksADecoder()
    {
        QList<QString> corpus = {QString(), QStringLiteral(" "), QStringLiteral("     "), QStringLiteral("|||||||||"),
                                 QStringLiteral("\r\n\r\n\r\n"), QStringLiteral("----"), QStringLiteral("*"),
                                 QStringLiteral("Name:"), QStringLiteral("Name: ----- - - mGy"), QStringLiteral(" 10"),
                                 QStringLiteral(" 10 0"), QStringLiteral("0"), QStringLiteral("\x03"),
                                 QStringLiteral("Name: 9999-99-99 a b c d e f 1e999kV x 1e999s 0 1e308kg nan cm"),
                                 QStringLiteral("mGy\r\nmGy\r\nmGy")};
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
                    QCOMPARE(v(out.record->Status), QStringLiteral("0"));
                    QCOMPARE(v(out.record->Patname), in.patientName);
                }
                QVERIFY(out.projectionCounter >= 0 && out.projectionCounter <= 5);
                QVERIFY(out.messageBoxes.size() <= 10); // one per value taken, at most
            }
        }
        // Noise that is not a message is reported, not stored silently as values.
        const DecoderOutput noisy = DecodeExposure(input(UnitSophie, QString::fromLatin1(noise)));
        QVERIFY(!noisy.errors.isEmpty());
    }

    void decoderDatesParse()
    {
        QCOMPARE(ParseExposureDate(QStringLiteral("17.03.2005"), English), QDate(2005, 3, 17));
        QCOMPARE(ParseExposureDate(English.toString(QDate(2026, 12, 6), QLocale::ShortFormat), English), QDate(2026, 12, 6));
        QCOMPARE(ParseExposureDate(German.toString(QDate(2026, 12, 6), QLocale::ShortFormat), German), QDate(2026, 12, 6));
        QCOMPARE(ParseExposureDate(QStringLiteral("2026-01-02"), German), QDate(2026, 1, 2));
        QVERIFY(!ParseExposureDate(QStringLiteral("99.99.2005"), German).isValid());
        QVERIFY(!ParseExposureDate(QStringLiteral("garbage"), English).isValid());
        QVERIFY(!ParseExposureDate(QString(), English).isValid());
    }
};

QTEST_GUILESS_MAIN(ExposureDecodersTest)
#include "tst_exposure_decoders.moc"
