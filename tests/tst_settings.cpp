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

    static inline QString hook_; // what the debug hook was told last

    // A field of the loaded record as text, by name; "DeviceN" is ComPortDevice(N).
    static QString field(const QString &name)
    {
        const SettingsRecord &s = Settings;
        if (name == QLatin1String("hook"))
            return hook_;
        if (name.startsWith(QLatin1String("Device")))
            return ComPortDevice(name.mid(6).toInt());
        const QHash<QString, QVariant> v{
            {QStringLiteral("RunAsClient"), s.RunAsClient}, {QStringLiteral("ModifyImageHeader"), s.ModifyImageHeader},
            {QStringLiteral("Viewer_Rows"), s.Viewer_Rows}, {QStringLiteral("Viewer_Columns"), s.Viewer_Columns},
            {QStringLiteral("ImagesPerPage"), s.ImagesPerPage}, {QStringLiteral("Viewer_bgColor"), s.Viewer_bgColor},
            {QStringLiteral("Viewer_fgColor"), s.Viewer_fgColor}, {QStringLiteral("SentAndKeep"), s.SentAndKeep},
            {QStringLiteral("CustomWidth"), s.CustomWidth}, {QStringLiteral("CustomCenter"), s.CustomCenter},
            {QStringLiteral("IR_AET"), s.IR_AET}, {QStringLiteral("IR_Port"), s.IR_Port}, {QStringLiteral("SCP_AET"), s.SCP_AET},
            {QStringLiteral("Speed"), s.Speed}, {QStringLiteral("Parity"), s.Parity}, {QStringLiteral("Bit_Get"), s.Bit_Get},
            {QStringLiteral("Port"), s.Port}, {QStringLiteral("Time_Out_End"), s.Time_Out_End}, {QStringLiteral("Debug"), s.Debug},
            {QStringLiteral("XrayComm"), s.XrayComm}, {QStringLiteral("Database"), s.Database}};
        return v.contains(name) ? v.value(name).toString() : QStringLiteral("<unknown field>");
    }
    // Each "Field=text" of the list holds in the loaded record.
    static void expect(const QStringList &pairs)
    {
        for (const QString &kv : pairs)
            QCOMPARE(field(kv.section(QLatin1Char('='), 0, 0)), kv.section(QLatin1Char('='), 1));
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

    // Each row: values stored through QSettings and/or a hand-written file,
    // optionally over a record already loaded, and the fields expected after
    // loading. "hook" is what the debug hook was told.
    void loadRules_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("loadedBefore");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("first start takes every default")
            << QStringList() << QByteArray() << false
            << QStringList{"RunAsClient=0", "ModifyImageHeader=1", "Viewer_Rows=7", "Viewer_Columns=3", "ImagesPerPage=21",
                           "Viewer_bgColor=0", "Viewer_fgColor=12648447", "SentAndKeep=1", "CustomWidth=0", "IR_AET=LumoraStation",
                           "IR_Port=105", "SCP_AET=", "Speed=5", "Parity=2", "Bit_Get=4", "Port=1", "Time_Out_End=5", "Debug=0",
                           "XrayComm=1", "Database=LumoraData.dat", "Device1=/dev/ttyS0", "Device8=/dev/ttyS7", "Device9=", "hook=0"};
        QTest::newRow("stored values and their rules")
            << QStringList{"Com/IR_AET=", "General/Viewer_fgColor=12648447", "General/Viewer_bgColor=&H000000FF&", "General/Debug=1",
                           "General/XrayComm=4", "ComPort/Device2=/dev/ttyUSB0", "General/CustomWidth=1,5"}
            << QByteArray() << false
            << QStringList{"IR_AET=LumoraStation", "Viewer_fgColor=12648447", "Viewer_bgColor=255", "Debug=1", "hook=1", "XrayComm=4",
                           "Device2=/dev/ttyUSB0", "CustomWidth=1,5"};
        QTest::newRow("unconvertible value keeps the previous field")
            << QStringList{"General/Viewer_Rows=abc", "General/Viewer_Columns=4", "ComPort/Speed=99999", "General/Viewer_fgColor=yellow"}
            << QByteArray() << true << QStringList{"Viewer_Rows=7", "Viewer_Columns=4", "ImagesPerPage=28", "Speed=5", "Viewer_fgColor=12648447"};
        QTest::newRow("bad debug is off at first start") << QStringList{"General/Debug=yes"} << QByteArray() << false
                                                         << QStringList{"Debug=0", "hook=0"};
        QTest::newRow("images per page overflow keeps the previous product")
            << QStringList{"General/Viewer_Rows=200", "General/Viewer_Columns=200"} << QByteArray() << true
            << QStringList{"Viewer_Rows=200", "Viewer_Columns=200", "ImagesPerPage=21"};
        // An administrator's own file: a plain [General] section and an unquoted comma.
        QTest::newRow("hand-written file") << QStringList()
                                           << QByteArray("[General]\nViewer_Rows=4\nDebug=1\nCustomCenter=2,5\n\n[Com]\nIR_AET=MAMMO1\n") << false
                                           << QStringList{"Viewer_Rows=4", "Debug=1", "CustomCenter=2,5", "IR_AET=MAMMO1"};
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk.append(char((i * 37 + 11) & 0xFF));
        QTest::newRow("damaged file gives defaults") << QStringList() << junk + "\n[Com\nIR_Port=\n=\n[]\n" << false
                                                     << QStringList{"Viewer_Rows=7", "IR_Port=105", "XrayComm=1"};
    }
    void loadRules()
    {
        QFETCH(QStringList, stored);
        QFETCH(QByteArray, file);
        QFETCH(bool, loadedBefore);
        QFETCH(QStringList, expected);
        TestFolder f;
        if (loadedBefore)
            LoadSettings();
        if (!file.isNull())
            f.write(QStringLiteral("LumoraStation.ini"), file);
        for (const QString &kv : stored)
            store(f, kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
        hook_ = QStringLiteral("not called");
        SetDebugSettingHook([](bool on) { hook_ = QString::number(on); });
        LoadSettings();
        SetDebugSettingHook({});
        expect(expected);
        if (stored.isEmpty() && file.isNull())
            QVERIFY2(!QFile::exists(ini(f)), "reading must not create the settings file");
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
        QSettings written(ini(f), QSettings::IniFormat);
        for (const QString &kv : {"Viewer_fgColor=12648447", "Viewer_bgColor=0", "Viewer_Rows=5", "Com/SCP_AET=ARCHIVE",
                                  "Filter/Active=MG", "ComPort/Device3=/dev/pts/7"})
            QCOMPARE(written.value(kv.section(QLatin1Char('='), 0, 0)).toString(), kv.section(QLatin1Char('='), 1));
        QVERIFY2(!written.contains(QStringLiteral("Export/Quality")), "export values are not the record's");

        Settings = SettingsRecord();
        LoadSettings();
        expect({"Viewer_Rows=5", "ImagesPerPage=15", "SCP_AET=ARCHIVE", "Debug=1", "Viewer_fgColor=12648447", "Device3=/dev/pts/7"});
        QCOMPARE(Settings.FilterActive, QStringLiteral("MG"));
    }

    // One [General] section, the one people write: a save goes there, a hand
    // edit after it counts, and a [%General] of earlier versions is folded in
    // once, its saved values winning, each dropped hand value logged.
    void generalSectionIsTheOnePeopleWrite()
    {
        TestFolder f;
        f.write(QStringLiteral("LumoraStation.ini"), "[General]\nDebug=1\nViewer_Rows=4\n\n[%General]\nDebug=0\nXrayComm=3\n");
        LoadSettings();
        expect({"Debug=0", "Viewer_Rows=4", "XrayComm=3"});
        QByteArray text = f.read(QStringLiteral("LumoraStation.ini"));
        QVERIFY2(!text.contains("%General"), text.constData());
        QVERIFY(f.read(QStringLiteral("Logs/Error.log")).contains("[General] Debug=1 written by hand gave way to the saved Debug=0"));

        SaveSettings();
        text = f.read(QStringLiteral("LumoraStation.ini"));
        QVERIFY2(text.startsWith("[General]\n") && !text.contains("%General") && text.contains("\nDebug=0\n"), text.constData());
        // QSettings knows a file by its size and time: an edit of the same size
        // within the same millisecond would go unseen, as no person makes it.
        f.write(QStringLiteral("LumoraStation.ini"), text.replace("\nDebug=0\n", "\nDebug=1\n") + "; edited by hand\n");
        Settings = SettingsRecord();
        LoadSettings();
        expect({"Debug=1", "Viewer_Rows=4", "XrayComm=3"});
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
