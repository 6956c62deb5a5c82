// The settings record: defaults, conversions, the images-per-page rule,
// round trips through the settings file and damaged files.
#include "core/Settings.h"
#include "core/VbConvert.h"
#include "support/Station.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

class SettingsTest : public QObject {
    Q_OBJECT

private:
    static QString ini(const TestFolder &f) { return f.file(QStringLiteral("LumoraStation.ini")); }
    static void store(const TestFolder &f, const QString &key, const QString &value)
    {
        QSettings s(ini(f), QSettings::IniFormat);
        s.setValue(key, value);
        s.sync();
    }

private slots:
    void init() { Settings = SettingsRecord(); }

    void integerConversions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("int16"); // INT_MIN: does not convert
        QTest::addColumn<qint64>("int32");
        const int no = std::numeric_limits<int>::min();
        const qint64 noL = std::numeric_limits<qint64>::min();
        QTest::newRow("plain") << "7" << "C" << 7 << qint64(7);
        QTest::newRow("spaces") << "  12 " << "C" << 12 << qint64(12);
        QTest::newRow("negative") << "-3" << "C" << -3 << qint64(-3);
        QTest::newRow("half to even down") << "2.5" << "C" << 2 << qint64(2);
        QTest::newRow("half to even up") << "3.5" << "C" << 4 << qint64(4);
        QTest::newRow("comma decimal") << "3,5" << "de_DE" << 4 << qint64(4);
        QTest::newRow("16-bit overflow") << "40000" << "C" << no << qint64(40000);
        QTest::newRow("16-bit max") << "32767" << "C" << 32767 << qint64(32767);
        QTest::newRow("32-bit overflow") << "2147483648" << "C" << no << noL;
        QTest::newRow("hex long literal") << "&H00C0FFFF&" << "C" << no << qint64(12648447);
        QTest::newRow("hex int literal") << "&HFFFF" << "C" << -1 << qint64(-1);
        QTest::newRow("hex int literal as long") << "&HFFFF&" << "C" << no << qint64(65535);
        QTest::newRow("hex lower case") << "&hff" << "C" << 255 << qint64(255);
        QTest::newRow("octal") << "&O17" << "C" << 15 << qint64(15);
        QTest::newRow("letters") << "abc" << "C" << no << noL;
        QTest::newRow("trailing junk") << "12abc" << "C" << no << noL;
        QTest::newRow("empty") << "" << "C" << no << noL;
        QTest::newRow("bad hex") << "&HXYZ&" << "C" << no << noL;
        QTest::newRow("lone ampersand") << "&" << "C" << no << noL;
        QTest::newRow("nan") << "nan" << "C" << no << noL;
    }
    void integerConversions()
    {
        QFETCH(QString, text);
        QFETCH(QString, locale);
        QFETCH(int, int16);
        QFETCH(qint64, int32);
        const QLocale loc(locale);
        const auto a = ToInt16(text, loc);
        const auto b = ToInt32(text, loc);
        if (int16 == std::numeric_limits<int>::min())
            QVERIFY2(!a, qPrintable(QString::number(a.value_or(0))));
        else
            QCOMPARE(int(a.value_or(-9999)), int16);
        if (int32 == std::numeric_limits<qint64>::min())
            QVERIFY(!b);
        else
            QCOMPARE(qint64(b.value_or(-9999)), int32);
    }

    void firstStartTakesEveryDefault()
    {
        TestFolder f;
        bool hookCalled = false, hookValue = true;
        SetDebugSettingHook([&](bool on) { hookCalled = true; hookValue = on; });
        LoadSettings();
        SetDebugSettingHook({});
        QCOMPARE(Settings.RunAsClient, qint16(0));
        QCOMPARE(Settings.ModifyImageHeader, qint16(1));
        QCOMPARE(Settings.Viewer_Rows, qint16(7));
        QCOMPARE(Settings.Viewer_Columns, qint16(3));
        QCOMPARE(Settings.ImagesPerPage, qint16(21));
        QCOMPARE(Settings.Viewer_bgColor, 0);
        QCOMPARE(Settings.Viewer_fgColor, 12648447);
        QCOMPARE(Settings.SentAndKeep, qint16(1));
        QCOMPARE(Settings.CustomWidth, QStringLiteral("0"));
        QCOMPARE(Settings.IR_AET, QStringLiteral("LumoraStation"));
        QCOMPARE(Settings.IR_Port, QStringLiteral("105"));
        QCOMPARE(Settings.SCP_AET, QString());
        QCOMPARE(Settings.Speed, qint16(5));
        QCOMPARE(Settings.Parity, qint16(2));
        QCOMPARE(Settings.Bit_Get, qint16(4));
        QCOMPARE(Settings.Port, qint16(1));
        QCOMPARE(Settings.Time_Out_End, qint16(5));
        QCOMPARE(Settings.Debug, qint16(0));
        QCOMPARE(Settings.XrayComm, qint16(1));
        QCOMPARE(Settings.Database, QStringLiteral("LumoraData.dat"));
        QCOMPARE(Settings.ComDevice[0], QStringLiteral("/dev/ttyS0"));
        QCOMPARE(ComPortDevice(8), QStringLiteral("/dev/ttyS7"));
        QCOMPARE(ComPortDevice(9), QString());
        QVERIFY(hookCalled);
        QCOMPARE(hookValue, false);
        QVERIFY2(!QFile::exists(ini(f)), "reading must not create the settings file");
    }

    void storedValuesAndTheirRules()
    {
        TestFolder f;
        store(f, QStringLiteral("Com/IR_AET"), QString()); // empty counts as missing
        store(f, QStringLiteral("General/Viewer_fgColor"), QStringLiteral("12648447"));
        store(f, QStringLiteral("General/Viewer_bgColor"), QStringLiteral("&H000000FF&"));
        store(f, QStringLiteral("General/Debug"), QStringLiteral("1"));
        store(f, QStringLiteral("General/XrayComm"), QStringLiteral("4"));
        store(f, QStringLiteral("ComPort/Device2"), QStringLiteral("/dev/ttyUSB0"));
        store(f, QStringLiteral("General/CustomWidth"), QStringLiteral("1,5"));
        bool hookValue = false;
        SetDebugSettingHook([&](bool on) { hookValue = on; });
        LoadSettings();
        SetDebugSettingHook({});
        QCOMPARE(Settings.IR_AET, QStringLiteral("LumoraStation"));
        QCOMPARE(Settings.Viewer_fgColor, 12648447);
        QCOMPARE(Settings.Viewer_bgColor, 255);
        QCOMPARE(Settings.Debug, qint16(1));
        QVERIFY(hookValue);
        QCOMPARE(Settings.XrayComm, qint16(4));
        QCOMPARE(ComPortDevice(2), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(Settings.CustomWidth, QStringLiteral("1,5"));
    }

    void valueThatDoesNotConvertKeepsThePreviousField()
    {
        TestFolder f;
        LoadSettings();
        store(f, QStringLiteral("General/Viewer_Rows"), QStringLiteral("abc"));
        store(f, QStringLiteral("General/Viewer_Columns"), QStringLiteral("4"));
        store(f, QStringLiteral("ComPort/Speed"), QStringLiteral("99999"));
        store(f, QStringLiteral("General/Viewer_fgColor"), QStringLiteral("yellow"));
        LoadSettings();
        QCOMPARE(Settings.Viewer_Rows, qint16(7));
        QCOMPARE(Settings.Viewer_Columns, qint16(4));
        QCOMPARE(Settings.ImagesPerPage, qint16(28));
        QCOMPARE(Settings.Speed, qint16(5));
        QCOMPARE(Settings.Viewer_fgColor, 12648447);
    }

    void debugMissingOrBadIsOffAtFirstStart()
    {
        TestFolder f;
        store(f, QStringLiteral("General/Debug"), QStringLiteral("yes"));
        LoadSettings();
        QCOMPARE(Settings.Debug, qint16(0));
    }

    void imagesPerPageOverflowKeepsThePreviousProduct()
    {
        TestFolder f;
        LoadSettings();
        QCOMPARE(Settings.ImagesPerPage, qint16(21));
        store(f, QStringLiteral("General/Viewer_Rows"), QStringLiteral("200"));
        store(f, QStringLiteral("General/Viewer_Columns"), QStringLiteral("200"));
        LoadSettings();
        QCOMPARE(Settings.Viewer_Rows, qint16(200));
        QCOMPARE(Settings.Viewer_Columns, qint16(200));
        QCOMPARE(Settings.ImagesPerPage, qint16(21));
    }

    void saveWritesDecimalTextAndReadsBackTheSameRecord()
    {
        TestFolder f;
        LoadSettings();
        Settings.Viewer_Rows = 5;
        Settings.SCP_AET = QStringLiteral("ARCHIVE");
        Settings.FilterActive = QStringLiteral("MG");
        Settings.Debug = 1;
        Settings.ComDevice[2] = QStringLiteral("/dev/pts/7");
        SaveSettings();
        {
            QSettings s(ini(f), QSettings::IniFormat);
            QCOMPARE(s.value(QStringLiteral("General/Viewer_fgColor")).toString(), QStringLiteral("12648447"));
            QCOMPARE(s.value(QStringLiteral("General/Viewer_bgColor")).toString(), QStringLiteral("0"));
            QCOMPARE(s.value(QStringLiteral("General/Viewer_Rows")).toString(), QStringLiteral("5"));
            QCOMPARE(s.value(QStringLiteral("Com/SCP_AET")).toString(), QStringLiteral("ARCHIVE"));
            QCOMPARE(s.value(QStringLiteral("Filter/Active")).toString(), QStringLiteral("MG"));
            QCOMPARE(s.value(QStringLiteral("ComPort/Device3")).toString(), QStringLiteral("/dev/pts/7"));
            QVERIFY2(!s.contains(QStringLiteral("Export/Quality")), "export values are not the record's");
        }
        const SettingsRecord saved = Settings;
        Settings = SettingsRecord();
        LoadSettings();
        QCOMPARE(Settings.Viewer_Rows, saved.Viewer_Rows);
        QCOMPARE(Settings.ImagesPerPage, qint16(15));
        QCOMPARE(Settings.SCP_AET, saved.SCP_AET);
        QCOMPARE(Settings.Debug, qint16(1));
        QCOMPARE(Settings.Viewer_fgColor, saved.Viewer_fgColor);
        QCOMPARE(Settings.ComDevice[2], saved.ComDevice[2]);
    }

    void writeSettingTakesTheFullPath()
    {
        TestFolder f;
        WriteSetting(QString::fromLatin1(SettingsRoot) + QStringLiteral("Com\\IR_Port"), QStringLiteral("11112"));
        WriteSetting(QStringLiteral("Filter\\Active"), QStringLiteral("CR"));
        QCOMPARE(ReadSetting(QStringLiteral("Com\\IR_Port"), QStringLiteral("105")), QStringLiteral("11112"));
        QCOMPARE(ReadSetting(QStringLiteral("Filter\\Active"), QString()), QStringLiteral("CR"));
        QCOMPARE(ReadSetting(QStringLiteral("Com\\Missing"), QStringLiteral("d")), QStringLiteral("d"));
    }

    void handWrittenFileIsRead()
    {
        TestFolder f;
        // An administrator's own file: a plain [General] section and an unquoted comma.
        f.write(QStringLiteral("LumoraStation.ini"),
                "[General]\nViewer_Rows=4\nDebug=1\nCustomCenter=2,5\n\n[Com]\nIR_AET=MAMMO1\n");
        LoadSettings();
        QCOMPARE(Settings.Viewer_Rows, qint16(4));
        QCOMPARE(Settings.Debug, qint16(1));
        QCOMPARE(Settings.CustomCenter, QStringLiteral("2,5"));
        QCOMPARE(Settings.IR_AET, QStringLiteral("MAMMO1"));
    }

    void damagedFileGivesDefaults()
    {
        TestFolder f;
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk.append(char((i * 37 + 11) & 0xFF));
        f.write(QStringLiteral("LumoraStation.ini"), junk + "\n[Com\nIR_Port=\n=\n[]\n");
        LoadSettings();
        QCOMPARE(Settings.Viewer_Rows, qint16(7));
        QCOMPARE(Settings.IR_Port, QStringLiteral("105"));
        QCOMPARE(Settings.XrayComm, qint16(1));
    }

    void settingsFileThatIsAFolderFailsSilently()
    {
        TestFolder f;
        QDir().mkpath(ini(f)); // works for root too: nothing can write a file there
        WriteSetting(QStringLiteral("General\\Viewer_Rows"), QStringLiteral("9"));
        LoadSettings();
        QCOMPARE(Settings.Viewer_Rows, qint16(7));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
