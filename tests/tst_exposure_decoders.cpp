// The five message layouts: the values each takes from a real message, the
// projection cycles, locale-dependent numbers, and ugly input of every kind.
#include "exposure/ExposureDecoders.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

const QLocale German(QLocale::German, QLocale::Germany);
const QLocale English(QLocale::English, QLocale::UnitedStates);
const QDateTime Now(QDate(2026, 12, 6), QTime(14, 5, 9));

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

} // namespace

class ExposureDecodersTest : public QObject {
    Q_OBJECT

private slots:
    void sophieTakesValuesByTokenPosition()
    {
        const DecoderOutput out = DecodeExposure(input(UnitSophie, SophieMessage));
        QVERIFY(out.record);
        const ExposureRecord &r = *out.record;
        QCOMPARE(v(r.Datum), QStringLiteral("17.03.2005"));
        QCOMPARE(v(r.Sonstiges), QStringLiteral("LCC,AEC,Grid,W/Rh,0"));
        QCOMPARE(v(r.KVP), QStringLiteral("28"));
        QCOMPARE(v(r.ma), QStringLiteral("63"));
        QCOMPARE(v(r.expZeit), QStringLiteral("1,25"));
        QCOMPARE(v(r.Druck), QStringLiteral("120"));
        QCOMPARE(v(r.Dicke), QStringLiteral("45"));
        QCOMPARE(v(r.mGy), QStringLiteral("1.23"));
        QCOMPARE(v(r.Zeit), QStringLiteral("14:05:09"));
        QCOMPARE(v(r.Status), QStringLiteral("0"));
        QCOMPARE(v(r.Patname), QStringLiteral("O'Neill^Mary"));
        QVERIFY(out.errors.isEmpty());
        QVERIFY(out.buffer.isEmpty());
        QVERIFY(out.closingSteps);
    }

    void sophieNumbersFollowTheLocale()
    {
        // A dot-decimal workstation cannot read the comma the layout puts in: logged, left empty.
        DecoderOutput out = DecodeExposure(input(UnitSophie, SophieMessage, English));
        QVERIFY(out.record);
        QCOMPARE(v(out.record->expZeit), QString());
        QCOMPARE(v(out.record->Dicke), QString());
        QCOMPARE(v(out.record->Druck), QStringLiteral("120"));
        QCOMPARE(out.errors.size(), 2);
        QCOMPARE(out.errors[0].number, DecodeErrors::TypeMismatch);

        // Tenfold values round a half to the even neighbour.
        QString m = SophieMessage;
        m.replace(QStringLiteral("12kg"), QStringLiteral("1,25kg")).replace(QStringLiteral("4.5cm"), QStringLiteral("1.75cm"));
        out = DecodeExposure(input(UnitSophie, m));
        QCOMPARE(v(out.record->Druck), QStringLiteral("12"));
        QCOMPARE(v(out.record->Dicke), QStringLiteral("18"));
    }

    void sophieShortOrNamelessMessageStillWritesARecord()
    {
        DecoderOutput out = DecodeExposure(input(UnitSophie, QStringLiteral("Name: 2005-03-17 10:22:31 W/Rh mGy\r\n")));
        QVERIFY(out.record);
        QCOMPARE(v(out.record->Datum), QStringLiteral("17.03.2005"));
        QCOMPARE(v(out.record->KVP), QString());
        QCOMPARE(v(out.record->mGy), QString());
        QCOMPARE(v(out.record->Sonstiges), QStringLiteral("mGy,,,W/Rh,"));
        QCOMPARE(out.errors.size(), 3); // exposure time, compression, thickness

        // Without "Name:" the whole buffer is taken, and the miss is reported.
        out = DecodeExposure(input(UnitSophie, QStringLiteral("X 2005-03-17 a b c d e 30kV 50mAs mGy")));
        QVERIFY(out.record);
        QCOMPARE(v(out.record->KVP), QStringLiteral("30"));
        QCOMPARE(out.errors.first().number, DecodeErrors::InvalidCall);

        out = DecodeExposure(input(UnitSophie, QString()));
        QVERIFY(!out.record);
        QVERIFY(out.closingSteps);
    }

    void giottoTakesTheLastGroupFourTimes()
    {
        DecoderOutput out = DecodeExposure(input(UnitGiotto, GiottoMessage));
        QVERIFY(out.record);
        const ExposureRecord &r = *out.record;
        QCOMPARE(v(r.Datum), QStringLiteral("06.12.2026"));
        QCOMPARE(v(r.KVP), QStringLiteral("28"));
        QCOMPARE(v(r.ma), QStringLiteral("63 120")); // s characters after the "0"
        for (const auto *col : {&r.Druck, &r.Dicke, &r.mGy, &r.expZeit})
            QCOMPARE(v(*col), QStringLiteral("1.8"));
        QCOMPARE(v(r.Sonstiges), QStringLiteral("L CC"));
        QVERIFY(out.clearProjectionBox);
        QVERIFY(out.deleteSerialInput);
        QVERIFY(out.buffer.isEmpty());

        // kV whose "0" is the second character.
        out = DecodeExposure(input(UnitGiotto, QStringLiteral("\x02GIOTTO 10 30080 90 50 2.2\x03")));
        QCOMPARE(v(out.record->KVP), QStringLiteral("30"));
        QCOMPARE(v(out.record->ma), QStringLiteral("80 90 "));
        QCOMPARE(v(out.record->Druck), QStringLiteral("2.2"));
    }

    void giottoWithoutProjectionKeepsTheMessage()
    {
        DecoderInput in = input(UnitGiotto, GiottoMessage);
        in.projectionBox.clear();
        const DecoderOutput out = DecodeExposure(in);
        QVERIFY(!out.record);
        QCOMPARE(out.messageBoxes, QStringList{QStringLiteral("Please click on a Projection button first!")});
        QCOMPARE(out.buffer, GiottoMessage);
        QVERIFY(!out.closingSteps);
        QVERIFY(!out.enableSerTimer);
    }

    void loradFieldCounts()
    {
        DecoderOutput out = DecodeExposure(input(UnitLoradM4, LoradMessage));
        QVERIFY(out.record);
        const ExposureRecord &r = *out.record;
        QCOMPARE(v(r.Sonstiges), QStringLiteral("LCC"));
        QCOMPARE(v(r.Datum), German.toString(Now.date(), QLocale::ShortFormat));
        QCOMPARE(v(r.Zeit), QStringLiteral("14:05:09"));
        QCOMPARE(v(r.KVP), QStringLiteral("28"));
        QCOMPARE(v(r.ma), QStringLiteral("63"));
        QCOMPARE(v(r.Druck), QStringLiteral("120"));
        QCOMPARE(v(r.Dicke), QStringLiteral("4.5"));
        QCOMPARE(v(r.mGy), QStringLiteral("1.23"));
        QCOMPARE(v(r.expZeit), QStringLiteral("0"));

        out = DecodeExposure(input(UnitLoradM4, QStringLiteral("M4|1|RCC|a|b|4 cm")));
        QCOMPARE(v(out.record->Sonstiges), QStringLiteral("RCC"));
        QCOMPARE(v(out.record->Datum), QString());
        QCOMPARE(v(out.record->Zeit), QString());
        QCOMPARE(v(out.record->Druck), QStringLiteral("0"));
        QCOMPARE(v(out.record->mGy), QStringLiteral("0"));

        out = DecodeExposure(input(UnitLoradM4, QStringLiteral("M4|1|RCC|a|b|4 cm|d")));
        QCOMPARE(v(out.record->Datum), German.toString(Now.date(), QLocale::ShortFormat));
        QCOMPARE(v(out.record->Zeit), QString());

        QString empties = LoradMessage;
        empties.replace(QStringLiteral("120 N"), QStringLiteral(" ")).replace(QStringLiteral("1.23 mGy"), QString());
        out = DecodeExposure(input(UnitLoradM4, empties));
        QCOMPARE(v(out.record->Druck), QStringLiteral("0"));
        QCOMPARE(v(out.record->mGy), QStringLiteral("0"));

        out = DecodeExposure(input(UnitLoradM4, QString()));
        QVERIFY(!out.record);
        QVERIFY(!out.closingSteps);
        QVERIFY(out.enableSerTimer);
    }

    void senoInfersGroupsFromTheirLengths()
    {
        DecoderInput in = input(UnitGESeno, SenoMessage);
        in.debug = true;
        DecoderOutput out = DecodeExposure(in);
        QVERIFY(out.record);
        QCOMPARE(v(out.record->KVP), QStringLiteral("28"));
        QCOMPARE(v(out.record->ma), QStringLiteral("100"));
        QCOMPARE(v(out.record->Druck), QStringLiteral("12"));
        QCOMPARE(v(out.record->expZeit), QStringLiteral("450"));
        QCOMPARE(v(out.record->Dicke), QStringLiteral("45"));
        QCOMPARE(v(out.record->mGy), QStringLiteral("0"));
        QCOMPARE(out.currentExposureTime, QStringLiteral("450"));
        QCOMPARE(out.messageBoxes,
                 (QStringList{QStringLiteral("KVP 28, MAS 100"), QStringLiteral("Druck 12 ExpZeit 450"), QStringLiteral("Dicke 45")}));

        in.buffer = SenoShortFirst;
        out = DecodeExposure(in);
        QCOMPARE(v(out.record->KVP), QStringLiteral("29"));
        QCOMPARE(v(out.record->ma), QStringLiteral("080"));
        QCOMPARE(v(out.record->expZeit), QStringLiteral("500"));
        QCOMPARE(v(out.record->Druck), QStringLiteral("12"));
        QCOMPARE(v(out.record->Dicke), QStringLiteral("45"));
        QCOMPARE(out.messageBoxes,
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

    void hfeTakesTheDoseLineAndTheNext()
    {
        DecoderInput in = input(UnitHFE, HfeMessage);
        in.currentExposureTime = QStringLiteral("old");
        DecoderOutput out = DecodeExposure(in);
        QVERIFY(out.record);
        QCOMPARE(v(out.record->mGy), QStringLiteral("0.98"));
        QCOMPARE(v(out.record->KVP), QStringLiteral("28"));
        QCOMPARE(v(out.record->ma), QStringLiteral("80"));
        QCOMPARE(v(out.record->expZeit), QStringLiteral("450"));
        QCOMPARE(out.currentExposureTime, QStringLiteral("450"));
        QCOMPARE(v(out.record->Dicke), QStringLiteral("45"));
        QCOMPARE(v(out.record->Druck), QStringLiteral("120"));
        QVERIFY(out.doseLine.startsWith(QStringLiteral("0.98 mGy")));

        // A message without a dose line does not decode the previous one again.
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
        QCOMPARE(v(two.record->KVP), v(one.record->KVP));
        QCOMPARE(v(two.record->Druck), v(one.record->Druck));
        QCOMPARE(v(two.record->Dicke), v(one.record->Dicke));
        QCOMPARE(v(two.record->mGy), v(one.record->mGy));
        QCOMPARE(v(two.record->expZeit), v(one.record->expZeit));
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
