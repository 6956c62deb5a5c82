// The settings record: defaults, conversions, the images-per-page rule,
// round trips through the settings file and damaged files.
#include "core/DisplayText.h"
#include "core/Settings.h"
#include "core/VbConvert.h"
#include "support/Station.h"

namespace {

// A text and what ToInt16 and ToInt32 make of it; {} when it does not convert.
struct Conversion {
    const char *text;
    std::optional<qint16> int16;
    std::optional<qint32> int32;
    const char *locale = "C";
};

// Values stored through QSettings ("Section/Key=value") and/or a hand-written
// file, optionally over a record already loaded, and the fields expected after
// loading ("Field=text" of field()).
struct Load {
    QStringList stored;
    QByteArray file;
    bool loadedBefore;
    QStringList expected;
};

} // namespace
Q_DECLARE_METATYPE(Conversion)
Q_DECLARE_METATYPE(Load)

class SettingsTest : public QObject {
    Q_OBJECT

private:
    static QString ini(const TestFolder &f) { return f.file(u"LumoraStation.ini"_s); }

    // A field of the loaded record as text, by name; "DeviceN" is ComPortDevice(N).
    static QString field(const QString &name)
    {
        const SettingsRecord &s = Settings;
        if (name.startsWith("Device"_L1))
            return ComPortDevice(name.mid(6).toInt());
        const QHash<QString, QVariant> v{
            {"RunAsClient", s.RunAsClient}, {"ModifyImageHeader", s.ModifyImageHeader}, {"Viewer_Rows", s.Viewer_Rows},
            {"Viewer_Columns", s.Viewer_Columns}, {"ImagesPerPage", s.ImagesPerPage}, {"Viewer_bgColor", s.Viewer_bgColor},
            {"Viewer_fgColor", s.Viewer_fgColor}, {"SentAndKeep", s.SentAndKeep}, {"CustomWidth", s.CustomWidth},
            {"CustomCenter", s.CustomCenter}, {"IR_AET", s.IR_AET}, {"IR_Port", s.IR_Port}, {"SCP_AET", s.SCP_AET}, {"Speed", s.Speed},
            {"Parity", s.Parity}, {"Bit_Get", s.Bit_Get}, {"Port", s.Port}, {"Time_Out_End", s.Time_Out_End}, {"Debug", s.Debug},
            {"XrayComm", s.XrayComm}, {"Database", s.Database}};
        return v.contains(name) ? v.value(name).toString() : u"<unknown field>"_s;
    }
    // Each "Field=text" of the list holds in the loaded record.
    static void expect(const QStringList &pairs)
    {
        for (const QString &kv : pairs)
            QCOMPARE(field(kv.section(u'=', 0, 0)), kv.section(u'=', 1));
    }

private slots:
    // The lists' one date form, one time form and one person-name form, from the stored texts.
    void displayTexts_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("shown");
        QTest::newRow("DICOM date, German") << u"date"_s << u"19620314"_s << u"de_DE"_s << u"14.03.62"_s;
        QTest::newRow("DICOM date, US") << u"date"_s << u"19620314"_s << u"en_US"_s << u"3/14/62"_s;
        QTest::newRow("journal date, German") << u"date"_s << u"2026-12-08"_s << u"de_DE"_s << u"08.12.26"_s;
        QTest::newRow("date with dots") << u"date"_s << u"2026.12.08"_s << u"de_DE"_s << u"08.12.26"_s;
        QTest::newRow("spaces around a date") << u"date"_s << u" 19620314 "_s << u"de_DE"_s << u"14.03.62"_s;
        QTest::newRow("mixed separators") << u"date"_s << u"2026-12.08"_s << u"de_DE"_s << u"2026-12.08"_s;
        QTest::newRow("a digit short") << u"date"_s << u"2026-12-8"_s << u"de_DE"_s << u"2026-12-8"_s;
        QTest::newRow("a sign among the digits") << u"date"_s << u"1962+314"_s << u"de_DE"_s << u"1962+314"_s;
        QTest::newRow("no date") << u"date"_s << u"unknown"_s << u"de_DE"_s << u"unknown"_s;
        QTest::newRow("impossible date") << u"date"_s << u"20261332"_s << u"de_DE"_s << u"20261332"_s;
        QTest::newRow("empty date") << u"date"_s << QString() << u"de_DE"_s << QString();
        QTest::newRow("DICOM time, German") << u"time"_s << u"091500"_s << u"de_DE"_s << u"09:15"_s;
        QTest::newRow("DICOM time, US") << u"time"_s << u"091500"_s << u"en_US"_s << QLocale(u"en_US"_s).toString(QTime(9, 15), QLocale::ShortFormat);
        QTest::newRow("time with fraction") << u"time"_s << u"143059.123456"_s << u"de_DE"_s << u"14:30"_s;
        QTest::newRow("hours and minutes") << u"time"_s << u"0730"_s << u"de_DE"_s << u"07:30"_s;
        QTest::newRow("hours only") << u"time"_s << u"07"_s << u"de_DE"_s << u"07:00"_s;
        QTest::newRow("old form with colons") << u"time"_s << u"09:15:00"_s << u"de_DE"_s << u"09:15"_s;
        QTest::newRow("spaces around a time") << u"time"_s << u" 091500 "_s << u"de_DE"_s << u"09:15"_s;
        QTest::newRow("impossible time") << u"time"_s << u"251500"_s << u"de_DE"_s << u"251500"_s;
        QTest::newRow("odd digits") << u"time"_s << u"09150"_s << u"de_DE"_s << u"09150"_s;
        QTest::newRow("no time") << u"time"_s << u"unknown"_s << u"de_DE"_s << u"unknown"_s;
        QTest::newRow("empty time") << u"time"_s << QString() << u"de_DE"_s << QString();
        QTest::newRow("family and given") << u"name"_s << u"Ref^Doc"_s << QString() << u"Doc Ref"_s;
        QTest::newRow("all five parts") << u"name"_s << u"Smith^John^Paul^Dr.^Jr."_s << QString() << u"Dr. John Paul Smith Jr."_s;
        QTest::newRow("prefix, no middle") << u"name"_s << u"Smith^John^^Dr."_s << QString() << u"Dr. John Smith"_s;
        QTest::newRow("family only") << u"name"_s << u"Ref"_s << QString() << u"Ref"_s;
        QTest::newRow("given only") << u"name"_s << u"^Doc"_s << QString() << u"Doc"_s;
        QTest::newRow("ideographic group dropped") << u"name"_s << u"Yamada^Tarou=山田^太郎"_s << QString() << u"Tarou Yamada"_s;
        QTest::newRow("spaces kept inside parts") << u"name"_s << u"Dr. med. Schönberger-Lindqvist^Friederike"_s << QString()
                                                  << u"Friederike Dr. med. Schönberger-Lindqvist"_s;
    }
    // The short date form read once gives, in every locale Qt knows, what
    // QLocale gives for the same date.
    void shortDateFormAsQLocale_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::newRow("birth date") << QDate(1962, 3, 14);
        QTest::newRow("today in the tests") << QDate(2026, 12, 8);
        QTest::newRow("first of a year") << QDate(2000, 1, 1);
        QTest::newRow("an old birth date") << QDate(1905, 10, 5);
        QTest::newRow("a three-digit year") << QDate(999, 7, 4);
    }
    void shortDateFormAsQLocale()
    {
        QFETCH(QDate, date);
        QStringList differ;
        const QList<QLocale> locales = QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
        QVERIFY(locales.size() > 100);
        for (const QLocale &l : locales)
            if (const QString ours = ShortDateForm(l).text(date), qt = l.toString(date, QLocale::ShortFormat); ours != qt)
                differ << u"%1: %2 / %3"_s.arg(l.name(), ours, qt);
        QVERIFY2(differ.isEmpty(), qPrintable(differ.mid(0, 10).join(u"; "_s)));
    }

    void displayTexts()
    {
        QFETCH(QString, kind);
        QFETCH(QString, stored);
        QFETCH(QString, locale);
        QFETCH(QString, shown);
        const QString text = kind == u"date"_s ? StoredDateText(stored, QLocale(locale))
                           : kind == u"time"_s ? StoredTimeText(stored, QLocale(locale))
                                               : PersonNameText(stored);
        QCOMPARE(text, shown);
    }

    void init() { Settings = SettingsRecord(); }

    void integerConversions_data()
    {
        QTest::addColumn<Conversion>("c");
        QTest::newRow("spaces") << Conversion{"  12 ", 12, 12};
        QTest::newRow("negative") << Conversion{"-3", -3, -3};
        QTest::newRow("half to even down") << Conversion{"2.5", 2, 2};
        QTest::newRow("half to even up") << Conversion{"3.5", 4, 4};
        QTest::newRow("comma decimal") << Conversion{"3,5", 4, 4, "de_DE"};
        QTest::newRow("16-bit overflow") << Conversion{"40000", {}, 40000};
        QTest::newRow("16-bit max") << Conversion{"32767", 32767, 32767};
        QTest::newRow("32-bit overflow") << Conversion{"2147483648", {}, {}};
        QTest::newRow("hex long literal") << Conversion{"&H00C0FFFF&", {}, 12648447};
        QTest::newRow("hex int literal") << Conversion{"&HFFFF", -1, -1};
        QTest::newRow("hex int literal as long") << Conversion{"&HFFFF&", {}, 65535};
        QTest::newRow("hex lower case") << Conversion{"&hff", 255, 255};
        QTest::newRow("octal") << Conversion{"&O17", 15, 15};
        for (const char *text : {"abc", "12abc", "", "&HXYZ&", "&", "nan"})
            QTest::addRow("no number: '%s'", text) << Conversion{text, {}, {}};
    }
    void integerConversions()
    {
        QFETCH(Conversion, c);
        const auto text = [](auto number) { return number ? QString::number(*number) : u"no number"_s; };
        const QLocale locale(QLatin1String(c.locale));
        QCOMPARE(text(ToInt16(QLatin1String(c.text), locale)), text(c.int16));
        QCOMPARE(text(ToInt32(QLatin1String(c.text), locale)), text(c.int32));
    }

    void loadRules_data()
    {
        QTest::addColumn<Load>("c");
        QTest::newRow("first start takes every default")
            << Load{{}, {}, false,
                    {"RunAsClient=0", "ModifyImageHeader=1", "Viewer_Rows=2", "Viewer_Columns=2", "ImagesPerPage=4", "Viewer_bgColor=0",
                     "Viewer_fgColor=12648447", "SentAndKeep=1", "CustomWidth=0", "IR_AET=LumoraStation", "IR_Port=105", "SCP_AET=", "Speed=5",
                     "Parity=2", "Bit_Get=4", "Port=1", "Time_Out_End=5", "Debug=0", "XrayComm=1", "Database=LumoraData.dat",
                     "Device1=/dev/ttyS0", "Device8=/dev/ttyS7", "Device9="}};
        QTest::newRow("stored values and their rules")
            << Load{{"Com/IR_AET=", "General/Viewer_fgColor=12648447", "General/Viewer_bgColor=&H000000FF&", "General/Debug=1",
                     "General/XrayComm=4", "ComPort/Device2=/dev/ttyUSB0", "General/CustomWidth=1,5"},
                    {}, false,
                    {"IR_AET=LumoraStation", "Viewer_fgColor=12648447", "Viewer_bgColor=255", "Debug=1", "XrayComm=4",
                     "Device2=/dev/ttyUSB0", "CustomWidth=1,5"}};
        QTest::newRow("unconvertible value keeps the previous field")
            << Load{{"General/Viewer_Rows=abc", "General/Viewer_Columns=4", "ComPort/Speed=99999", "General/Viewer_fgColor=yellow"}, {}, true,
                    {"Viewer_Rows=2", "Viewer_Columns=4", "ImagesPerPage=8", "Speed=5", "Viewer_fgColor=12648447"}};
        QTest::newRow("bad debug is off at first start") << Load{{"General/Debug=yes"}, {}, false, {"Debug=0"}};
        QTest::newRow("images per page overflow keeps the previous product")
            << Load{{"General/Viewer_Rows=200", "General/Viewer_Columns=200"}, {}, true,
                    {"Viewer_Rows=200", "Viewer_Columns=200", "ImagesPerPage=4"}};
        // A station that ran before stored its grid with its first OK: it keeps it.
        QTest::newRow("an existing station keeps its grid")
            << Load{{"General/Viewer_Rows=7", "General/Viewer_Columns=3", "General/XrayComm=3"}, {}, false,
                    {"Viewer_Rows=7", "Viewer_Columns=3", "ImagesPerPage=21"}};
        // An administrator's own file: a plain [General] section and an unquoted comma.
        QTest::newRow("hand-written file")
            << Load{{}, "[General]\nViewer_Rows=4\nDebug=1\nCustomCenter=2,5\n\n[Com]\nIR_AET=MAMMO1\n", false,
                    {"Viewer_Rows=4", "Debug=1", "CustomCenter=2,5", "IR_AET=MAMMO1"}};
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk.append(char((i * 37 + 11) & 0xFF));
        QTest::newRow("damaged file gives defaults")
            << Load{{}, junk + "\n[Com\nIR_Port=\n=\n[]\n", false, {"Viewer_Rows=2", "IR_Port=105", "XrayComm=1"}};
    }
    void loadRules()
    {
        QFETCH(Load, c);
        TestFolder f;
        if (c.loadedBefore)
            LoadSettings();
        if (!c.file.isNull())
            f.write(u"LumoraStation.ini"_s, c.file);
        {
            QSettings stored(ini(f), QSettings::IniFormat);
            for (const QString &kv : c.stored)
                stored.setValue(kv.section(u'=', 0, 0), kv.section(u'=', 1));
        }
        LoadSettings();
        expect(c.expected);
        if (c.stored.isEmpty() && c.file.isNull())
            QVERIFY2(!QFile::exists(ini(f)), "reading must not create the settings file");
    }

    void saveWritesDecimalTextAndReadsBackTheSameRecord()
    {
        TestFolder f;
        LoadSettings();
        Settings.Viewer_Rows = 5;
        Settings.SCP_AET = u"ARCHIVE"_s;
        Settings.FilterActive = u"MG"_s;
        Settings.Debug = 1;
        Settings.ComDevice[2] = u"/dev/pts/7"_s;
        SaveSettings();
        QSettings written(ini(f), QSettings::IniFormat);
        for (const QString &kv : QStringList{"Viewer_fgColor=12648447", "Viewer_bgColor=0", "Viewer_Rows=5", "Com/SCP_AET=ARCHIVE",
                                             "Filter/Active=MG", "ComPort/Device3=/dev/pts/7"})
            QCOMPARE(written.value(kv.section(u'=', 0, 0)).toString(), kv.section(u'=', 1));
        QVERIFY2(!written.contains(u"Export/Quality"_s), "export values are not the record's");

        Settings = SettingsRecord();
        LoadSettings();
        expect({"Viewer_Rows=5", "ImagesPerPage=10", "SCP_AET=ARCHIVE", "Debug=1", "Viewer_fgColor=12648447", "Device3=/dev/pts/7"});
        QCOMPARE(Settings.FilterActive, u"MG"_s);
    }

    // One [General] section, the one people write: a save goes there, a hand
    // edit after it counts, and a [%General] of earlier versions is folded in
    // once, its saved values winning, each dropped hand value logged.
    void generalSectionIsTheOnePeopleWrite()
    {
        TestFolder f;
        f.write(u"LumoraStation.ini"_s, "[General]\nDebug=1\nViewer_Rows=4\n\n[%General]\nDebug=0\nXrayComm=3\n");
        LoadSettings();
        expect({"Debug=0", "Viewer_Rows=4", "XrayComm=3"});
        QByteArray text = f.read(u"LumoraStation.ini"_s);
        QVERIFY2(!text.contains("%General"), text.constData());
        QVERIFY(f.read(u"Logs/Error.log"_s).contains("[General] Debug=1 written by hand gave way to the saved Debug=0"));

        SaveSettings();
        text = f.read(u"LumoraStation.ini"_s);
        QVERIFY2(text.startsWith("[General]\n") && !text.contains("%General") && text.contains("\nDebug=0\n"), text.constData());
        // QSettings knows a file by its size and time: an edit of the same size
        // within the same millisecond would go unseen, as no person makes it.
        f.write(u"LumoraStation.ini"_s, text.replace("\nDebug=0\n", "\nDebug=1\n") + "; edited by hand\n");
        Settings = SettingsRecord();
        LoadSettings();
        expect({"Debug=1", "Viewer_Rows=4", "XrayComm=3"});
    }

    // A settings file that is a folder fails silently.
    void writeSettingTakesTheFullPath()
    {
        TestFolder f;
        WriteSetting(QString::fromLatin1(SettingsRoot) + u"Com\\IR_Port"_s, u"11112"_s);
        WriteSetting(u"Filter\\Active"_s, u"CR"_s);
        QCOMPARE(ReadSetting(u"Com\\IR_Port"_s, u"105"_s), u"11112"_s);
        QCOMPARE(ReadSetting(u"Filter\\Active"_s, QString()), u"CR"_s);
        QCOMPARE(ReadSetting(u"Com\\Missing"_s, u"d"_s), u"d"_s);

        TestFolder folder;
        QDir().mkpath(ini(folder)); // works for root too: nothing can write a file there
        WriteSetting(u"General\\Viewer_Rows"_s, u"9"_s);
        LoadSettings();
        QCOMPARE(Settings.Viewer_Rows, qint16(2));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
