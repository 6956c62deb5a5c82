// The worklist dialog against real providers (DCMTK's wlmscpfs, Orthanc's
// worklist plugin): what it lists and how, the identifier as the provider
// receives it, the failures an operator meets, and a double click.
#include "core/Settings.h"
#include "network/WorklistForm.h"
#include "support/Peers.h"
#include "support/Widgets.h"

namespace {

QTreeWidget *list(const WorklistForm &form) { return Child<QTreeWidget>(form, u"lvWorklist"_s); }

QList<QStringList> rows(const WorklistForm &form)
{
    QList<QStringList> out;
    for (int i = 0; i < list(form)->topLevelItemCount(); ++i) {
        out.append(QStringList());
        for (int c = 0; c < 11; ++c)
            out.last() << list(form)->topLevelItem(i)->text(c);
    }
    return out;
}

// Refresh, then the answers (or the failure) once the worker has them.
bool refreshed(WorklistForm &form)
{
    form.Refresh();
    return QTest::qWaitFor([&] { return !form.isQuerying(); }, 30000);
}

QString shortDate(int y, int m, int d) { return QLocale().toString(QDate(y, m, d), QLocale::ShortFormat); }
QString shortTime(int h, int m) { return QLocale().toString(QTime(h, m), QLocale::ShortFormat); }

// The keys of a request as dcmdump shows it, each as indent, tag, "=", value.
QString keysOf(const QString &dump)
{
    static const QRegularExpression key(uR"(^( *)\(([0-9a-e]\w{3},\w{4})\) \w\w (?:\[([^\]]*)\]|(?!\()(\S+))?)"_s,
                                        QRegularExpression::MultilineOption);
    QStringList out;
    for (const QRegularExpressionMatch &m : key.globalMatch(dump))
        out << m.captured(1) + m.captured(2) + u'=' + m.captured(3).trimmed() + m.captured(4);
    return out.join(u' ');
}

} // namespace

class WorklistTest : public QObject {
    Q_OBJECT

    RecordingPrompter prompter_;
    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<WorklistPeer> wlm_;
    std::unique_ptr<OrthancPeer> orthanc_;

    // Starts wlmscpfs with the entries, and Orthanc on the same files when
    // asked, and points the settings at the one asked for.
    bool serve(const QList<WorklistEntry> &entries, bool orthanc = false, const QStringList &options = {}, bool lockfile = true)
    {
        wlm_ = std::make_unique<WorklistPeer>();
        bool ok = wlm_->start(folder_->file(u"wlm"_s), u"WORKLIST"_s, options, lockfile);
        for (const WorklistEntry &e : entries)
            ok = ok && wlm_->add(e);
        Settings.LocalAET = u"MAMMO1"_s; // the entries' station unless they say otherwise
        Settings.RemoteIP = u"127.0.0.1"_s;
        Settings.RemoteAET = u"WORKLIST"_s;
        Settings.RemotePort = QString::number(wlm_->port());
        if (!orthanc || !ok)
            return ok;
        orthanc_ = std::make_unique<OrthancPeer>();
        const QString why = orthanc_->start(folder_->file(u"wlm/db/WORKLIST"_s));
        Settings.RemoteAET = u"ORTHANC"_s;
        Settings.RemotePort = QString::number(orthanc_->dicomPort());
        if (!why.isEmpty())
            qWarning("%s", qPrintable(why));
        return why.isEmpty();
    }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
    void init()
    {
        wlm_.reset();
        orthanc_.reset();
        folder_.reset();
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        prompter_.boxes.clear();
    }

    // Today's entries for the station only, by time; the name's parts with
    // the accent for the apostrophe; three character sets; the code value
    // before the body part (wlmscpfs does not return Body Part Examined).
    void listing_data()
    {
        QTest::addColumn<bool>("orthanc");
        QTest::newRow("wlmscpfs") << false;
        QTest::newRow("orthanc") << true;
    }
    void listing()
    {
        QFETCH(bool, orthanc);
        const QString bodyPart = orthanc ? u"BREAST"_s : QString();
        QVERIFY(serve({
            {.name = "Zeta^Zoe^Q", .time = "101500", .id = "P4", .birthDate = "19800102", .codeValue = " MG-SCR "},
            {.name = "O'Brien^Anne", .time = "0805", .id = "P1", .referring = "O'Neil^Pat"},
            {.name = "Müller^Jürgen", .time = "093000.123", .charset = "ISO_IR 100", .id = "P3", .birthDate = "19751231", .sex = "M"},
            {.name = "Ærø^Åse", .time = "0915", .charset = "ISO_IR 192", .id = "P2", .birthDate = "19550601"},
            {.name = "Old^Entry", .date = WorklistDay.addDays(-1), .time = "0700", .id = "P5"},
            {.name = "Other^Station", .time = "0800", .stationAet = "OTHER", .id = "P6"},
        }, orthanc));
        WorklistForm form(prompter_);
        form.query.today = [] { return WorklistDay; };
        form.show(); // opening the dialog queries
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_VERIFY_WITH_TIMEOUT(list(form)->topLevelItemCount() > 0 || !prompter_.boxes.isEmpty(), 15000);
        QCOMPARE(prompter_.texts(), QStringList());
        // The referring physician "O'Neil^Pat" and "Ref^Doc" as spoken.
        const QList<QStringList> expected{
            {shortTime(8, 5), "O´Brien", "Anne", "", shortDate(1962, 3, 14), "P1", "F", bodyPart, "ACC1", "Pat O´Neil", "Clinic"},
            {shortTime(9, 15), "Ærø", "Åse", "", shortDate(1955, 6, 1), "P2", "F", bodyPart, "ACC1", "Doc Ref", "Clinic"},
            {shortTime(9, 30), "Müller", "Jürgen", "", shortDate(1975, 12, 31), "P3", "M", bodyPart, "ACC1", "Doc Ref", "Clinic"},
            {shortTime(10, 15), "Zeta", "Zoe", "Q", shortDate(1980, 1, 2), "P4", "F", "MG-SCR", "ACC1", "Doc Ref", "Clinic"},
        };
        QCOMPARE(rows(form), expected);
        QCOMPARE(list(form)->currentItem(), list(form)->topLevelItem(0));
        QVERIFY(Child<QPushButton>(form, u"cmdOK"_s)->isEnabled());
        QVERIFY(form.grab().save(TestBinDir() + u"/worklist-%1.png"_s.arg(QTest::currentDataTag())));
        // The birth date sorts as a date, not as its text; the time as a time.
        list(form)->sortByColumn(4, Qt::AscendingOrder);
        QCOMPARE(rows(form), (QList<QStringList>{expected[1], expected[0], expected[2], expected[3]}));
        list(form)->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(rows(form), (QList<QStringList>{expected[3], expected[2], expected[1], expected[0]}));
    }

    // One query on a set clock: the identifier as wlmscpfs received it, and an
    // answer in a character set we cannot decode, shown byte for byte and
    // logged, not a failure.
    void identifierAsSent()
    {
        const QDate day(2024, 3, 5);
        QVERIFY(serve({{.name = "Møller^Ida", .date = day, .time = "0900", .charset = "ISO_IR 999"}}));
        WorklistForm form(prompter_);
        form.query.today = [day] { return day; };
        QVERIFY(refreshed(form));
        QCOMPARE(wlm_->requests().size(), 1);
        QCOMPARE(keysOf(wlm_->requests().first()), u"0008,0005= 0008,0050= 0008,0080= 0008,0090= 0008,1110=     0008,1150=     0008,1155= "
            "0010,0010= 0010,0020= 0010,0030= 0010,0040= 0010,1020= 0010,1030= 0010,1040= 0010,2000= 0010,2110= 0010,21c0=0 0018,0015= "
            "0020,000d= 0032,1032= 0032,1033= 0032,1060= 0032,1064=     0008,0100=     0008,0102=     0008,0104= 0038,0010= 0038,0050= "
            "0038,0300= 0038,0400= 0038,0500= 0040,0100=     0008,0060=     0032,1070=     0040,0001=MAMMO1 "
            "    0040,0002=20240305-20240305     0040,0003=000000-235959     0040,0006=     0040,0007=     0040,0008= "
            "        0008,0100=     0040,0009=     0040,0010=     0040,0011=     0040,0012= 0040,1001= 0040,1003= 0040,1004= 0040,3001="_s);
        QCOMPARE(prompter_.texts(), QStringList());
        QCOMPARE(rows(form).value(0).mid(0, 3), (QStringList{shortTime(9, 0), "Møller", "Ida"}));
        const QString log = QString::fromUtf8(folder_->read(u"Logs/Error.log"_s));
        QVERIFY2(log.contains(u"ISO_IR 999"_s) && log.contains(u"WorklistForm QueryWorklist (CHARSET)"_s), qPrintable(log));
    }

    // Each failure: its reason and "Worklist-Query failed.", then the empty
    // list's message; Apply disabled, a log line, and no long wait. Five
    // entries, each answered within the time-out, take beyond twice that.
    void failures_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("port"); // in place of the provider's
        QTest::addColumn<bool>("lockfile");
        QTest::addColumn<QString>("reason");
        QTest::newRow("association refused") << QStringList{"--refuse"} << "" << true << "Rejected";
        QTest::newRow("failure status") << QStringList() << "" << false << "status 0xa700";
        QTest::newRow("no answer in time") << QStringList{"--sleep-during", "20"} << "" << true << "timeout";
        QTest::newRow("answers without end") << QStringList{"--sleep-during", "2"} << "" << true << "did not end its answers within 6 s";
        QTest::newRow("nothing listens") << QStringList() << QString::number(FreePort()) << true << "Connection refused";
        QTest::newRow("port not a number") << QStringList() << "10a" << true << "Invalid worklist port '10a'";
    }
    void failures()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, port);
        QFETCH(bool, lockfile);
        QFETCH(QString, reason);
        const WorklistEntry entry{.name = "Last^First", .time = "0900"};
        QVERIFY(serve(QList<WorklistEntry>(5, entry), false, options, lockfile));
        if (!port.isEmpty())
            Settings.RemotePort = port;
        WorklistForm form(prompter_);
        form.query.today = [] { return WorklistDay; };
        form.query.timeoutSeconds = 3;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(refreshed(form));
        QVERIFY(clock.elapsed() < 12000);
        QStringList boxes;
        for (const RecordingPrompter::Box &b : prompter_.boxes)
            boxes << b.kind + u'|' + b.title + u'|' + b.text;
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(boxes[0].startsWith("critical|OrvanaMammo|"_L1) && boxes[0].contains(reason)
                     && boxes[0].endsWith("\r\n\r\nWorklist-Query failed."_L1), qPrintable(boxes[0]));
        QCOMPARE(boxes[1], u"information|OrvanaMammo|No patients in worklist!"_s);
        QCOMPARE(list(form)->topLevelItemCount(), 0);
        QVERIFY(!Child<QPushButton>(form, u"cmdOK"_s)->isEnabled());
        QVERIFY(folder_->read(u"Logs/Error.log"_s).contains("WorklistForm QueryWorklist"));
    }

    // The dialog queries when it is first shown, not when it is shown or
    // activated again; an empty list disables Apply until a refresh fills it;
    // a double click applies the row: "First Last" to the main window.
    void emptyUntilRefreshed()
    {
        QVERIFY(serve({}));
        WorklistForm form(prompter_);
        form.query.today = [] { return WorklistDay; };
        QString chosen;
        QDate birth;
        form.patientChosen = [&](const QString &name, const QDate &birthDate) {
            chosen = name;
            birth = birthDate;
        };
        form.show();
        QTRY_COMPARE(prompter_.texts(), QStringList{u"No patients in worklist!"_s});
        QVERIFY(!Child<QPushButton>(form, u"cmdOK"_s)->isEnabled());
        QVERIFY(wlm_->add({.name = "Last^First", .time = "0900"}));
        form.hide();
        form.show();
        form.activateWindow();
        // Queued, so it comes after any query the showing would have queued.
        QMetaObject::invokeMethod(Child<QPushButton>(form, u"cmdRefresh"_s), &QPushButton::click, Qt::QueuedConnection);
        QTRY_COMPARE(rows(form).size(), 1);
        QCOMPARE(wlm_->requests().size(), 2);
        QVERIFY(Child<QPushButton>(form, u"cmdOK"_s)->isEnabled());
        const QPoint row = list(form)->visualItemRect(list(form)->topLevelItem(0)).center();
        QTest::mouseClick(list(form)->viewport(), Qt::LeftButton, {}, row); // a double click starts as a click
        QTest::mouseDClick(list(form)->viewport(), Qt::LeftButton, {}, row);
        QCOMPARE(chosen, u"First Last"_s);
        QCOMPARE(birth, QDate(1962, 3, 14)); // for the age table of her exposures' dose
        QCOMPARE(form.result(), QDialog::Accepted);
    }

    // A provider that is slow: one that takes the connection and never
    // answers the association, and one that takes the query and answers late.
    // The window keeps repainting, shows the query under way with its Cancel,
    // starts one query on opening and no second beside it; Cancel ends it
    // without a message.
    void slowProvider_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::newRow("association never answered") << true;
        QTest::newRow("query answered late") << false;
    }
    void slowProvider()
    {
        QFETCH(bool, silent);
        QVERIFY(serve({{.name = "Last^First", .time = "0900"}}, false, {u"--sleep-before"_s, u"60"_s}));
        QTcpServer mute;
        int connections = 0;
        connect(&mute, &QTcpServer::newConnection, &mute, [&] {
            while (mute.hasPendingConnections())
                connections += mute.nextPendingConnection() != nullptr;
        });
        if (silent) {
            QVERIFY(mute.listen(QHostAddress::LocalHost));
            Settings.RemotePort = QString::number(mute.serverPort());
        }
        const auto queries = [&] { return silent ? connections : int(wlm_->requests().size()); };
        WorklistForm form(prompter_);
        form.query.today = [] { return WorklistDay; };
        TickGaps gaps;
        form.show();
        QTRY_COMPARE(queries(), 1);
        QVERIFY(form.isQuerying());
        QCOMPARE(Child<QLabel>(form, u"lblQuery"_s)->text(), u"Querying WORKLIST at 127.0.0.1:%1 ..."_s.arg(Settings.RemotePort));
        QVERIFY(Child<QLabel>(form, u"lblQuery"_s)->isVisible() && Child<QProgressBar>(form, u"queryBusy"_s)->isVisible() && Child<QPushButton>(form, u"cmdCancelQuery"_s)->isVisible());
        QVERIFY(!Child<QPushButton>(form, u"cmdRefresh"_s)->isEnabled() && !Child<QPushButton>(form, u"cmdOK"_s)->isEnabled());
        const int ticks = gaps.ticks;
        QVERIFY(QTest::qWaitFor([&] { return gaps.ticks >= ticks + 20; }, 5000));
        form.Refresh(); // a second query while one runs
        form.grab().save(TestBinDir() + u"/worklist-slow-%1.png"_s.arg(silent ? u"silent"_s : u"late"_s));
        QElapsedTimer clock;
        clock.start();
        Child<QPushButton>(form, u"cmdCancelQuery"_s)->click();
        QTRY_VERIFY_WITH_TIMEOUT(!form.isQuerying(), 3000);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(gaps.longest < 200, qPrintable(u"the window stood still for %1 ms"_s.arg(gaps.longest)));
        QCOMPARE(Child<QLabel>(form, u"lblQuery"_s)->text(), u"Query cancelled."_s);
        QVERIFY(!Child<QPushButton>(form, u"cmdCancelQuery"_s)->isVisible() && Child<QPushButton>(form, u"cmdRefresh"_s)->isEnabled());
        QCOMPARE(list(form)->topLevelItemCount(), 0);
        QCOMPARE(prompter_.texts(), QStringList());
        QCOMPARE(queries(), 1);
    }
};

LUMORA_WIDGETS_TEST_MAIN(WorklistTest, 1280, 1024)
#include "tst_worklist.moc"
