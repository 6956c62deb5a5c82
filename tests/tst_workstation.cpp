// The main window with all its subsystems, offscreen: "Merge Image/s" pairs
// each received view with the exposure of its projection for every unit type,
// and the send that follows asks before it drops undone tasks.
#include "store/Session.h"
#include "acquisition/ImageViewer.h"
#include "acquisition/ProjectionAssignment.h"
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/StartupChecks.h"
#include "app/Workstation.h"
#include "browse/Browser.h"
#include "core/Settings.h"
#include "dictionary/DictionaryForms.h"
#include "dose/DoseStore.h"
#include "dose/ReferenceLevels.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "header/HeaderUpdateJob.h"
#include "header/TaskList.h"
#include "jobs/EditForm.h"
#include "network/WorklistForm.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/DoseTables.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/UnitMessages.h"
#include "support/Widgets.h"
#include "toolkit/Toolkit.h"
#include "toolkit/ToolkitViewer.h"
#include "transfer/ExportForm.h"

namespace {

// A station of the unit type with one received study of the views
// ("ViewPosition|laterality|orientation as the detector may send it") and
// today's exposures with their projections and kV, decoded from the unit's
// messages; what a merge should give.
struct Case {
    int unit = 4;
    QStringList views{"CC|R", "CC|L", "MLO|R", "MLO|L"};
    QStringList projections{"R CC", "L CC", "R MLO", "L MLO"};
    QList<int> kvs{26, 27, 28, 29};
    bool modifyHeader = true;
    int stampedFiles = 4;
    QStringList values;                                 // "image:gggg,eeee=value" in the stamped copies
    QStringList boxes{"No default SCP configured!"};
    QByteArray logged;
    bool pressedTwice = false, whileLoading = false;
    QByteArray projectionButtons{}; // projection.ini
    QString patientName{};          // the worklist's patient the exposures carry
};

} // namespace
Q_DECLARE_METATYPE(Case)

class WorkstationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    std::unique_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<MainForm> w;
    std::unique_ptr<Workstation> ws;
    QStringList uids_;
    QString studyUid_; // of the received study
    // The day of the exposures and of the dose list, so that no case straddles midnight.
    static inline const QDate Day{2026, 12, 7};

    void station(const Case &c)
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStationWithJournal(*f_));
        Settings.XrayComm = qint16(c.unit);
        Settings.ModifyImageHeader = c.modifyHeader ? 1 : 0;
        if (!c.projectionButtons.isEmpty())
            f_->write(u"projection.ini"_s, c.projectionButtons);
        prompter_ = std::make_unique<RecordingPrompter>();

        FixtureStudy study{.patientId = u"P-7"_s, .series = {FixtureSeries{}}};
        for (int i = 0; i < c.views.size(); ++i) {
            const QStringList v = c.views[i].split(u'|');
            study.series[0].images
                << SyntheticImageSpec{.viewPosition = v[0], .laterality = v[1], .instanceNumber = i + 1, .rows = 64, .columns = 48};
            if (v.size() > 2)
                study.series[0].images.last().extra = {{u"0020,0020"_s, v[2]}};
        }
        QString error;
        QVERIFY2(AddStudy(f_->path(), study, &error, false), qPrintable(error));
        studyUid_ = study.studyUid;
        uids_.clear();
        for (const SyntheticImageSpec &spec : study.series[0].images)
            uids_ << spec.sopUid;

        w = std::make_unique<MainForm>(*prompter_);
        ws = std::make_unique<Workstation>(*w, *prompter_);
        ws->doseList().setToday([] { return Day; });
        ws->capture().setClock([] { return QDateTime(Day, QTime(10, 0)); });
        if (!c.patientName.isEmpty())
            ws->capture().MarkPatientChosen(c.patientName);
        // The polled units name the view by their cycle: it stands where the
        // previous examination left it, one before the first projection.
        if (c.unit == UnitGESeno || c.unit == UnitHFE)
            for (qint16 n = 1; n <= 4; ++n)
                if (!c.projections.isEmpty() && ProjectionOfCounter(qint16(c.unit), n) == c.projections[0])
                    ws->capture().setProjectionCounter(qint16(n - 1));
        for (int i = 0; i < c.projections.size(); ++i) {
            const qlonglong id = journalExposure(c.kvs[i], c.projections[i]);
            QVERIFY(id > 0);
            QCOMPARE(ProjectionOfJournalRow(id), c.projections[i]);
        }
    }

    // Patient, study and dose list as the operator brings them up.
    void bringUp()
    {
        ws->browser().RefreshPatientList();
        QCOMPARE(Child<QTreeView>(*w, u"lvPatients"_s)->model()->rowCount(), 1);
        ws->browser().selectPatient(0);
        QCOMPARE(Child<QTreeView>(*w, u"lvStudien"_s)->model()->rowCount(), 1);
        ws->browser().selectStudy(0);
        QTRY_COMPARE(ListCount(ws->session().loadedImages()), uids_.size());
        ws->doseList().lvDosis_Fill();
    }

    // "image:gggg,eeee=value" of each expected entry, read from the stamped
    // copies in the work folder.
    QStringList stampedValues(const QStringList &expected)
    {
        QStringList actual;
        for (const QString &entry : expected) {
            const int image = entry.section(u':', 0, 0).toInt();
            const QString tag = entry.section(u':', 1).left(9);
            const ToolkitImagePtr stamped = ReadImage(f_->file(u"bin/%1.dcm"_s.arg(uids_[image])));
            actual << u"%1:%2=%3"_s.arg(image).arg(tag, stamped ? Attribute(stamped, tag).value : u"<no stamped file>"_s);
        }
        return actual;
    }
    // An exposure of the station's unit type, sent in its layout and decoded:
    // 80 mAs, 0.4 s, 12 daN (unit 1: kg), 45 mm. Unit 1 sends the projection,
    // unit 2 journals the projection button clicked last, 4 and 5 their cycle's next view.
    qlonglong journalExposure(int kv, const QString &projection)
    {
        const qint16 unit = Settings.XrayComm;
        QString message;
        switch (unit) {
        case UnitSophie:
            message = SophieMessage({.day = Day, .projection = projection, .kv = kv, .mAs = u"80"_s, .seconds = u"0.4"_s});
            break;
        case UnitGiotto:
            // The projection button's caption; the box shows the selected exposure's projection.
            ws->capture().setCurrentProjection(projection);
            ws->capture().setSelectedProjection(u"L CC"_s);
            message = u"\x02GIOTTO 10 %1080 120 45 1.1\x03"_s.arg(kv);
            break;
        default: message = SenoMessage({.kv = kv, .mAs = 80, .ms = 400, .force = 12, .mm = 45}); break;
        }
        return DecodeUnitMessage(ws->capture(), unit, message);
    }
    // The projection the journal row holds (unit 1: its fourth field).
    static QString ProjectionOfJournalRow(qlonglong id)
    {
        DatabaseSession db(UserDatabase);
        const QString other = Execute(UserDatabase, u"SELECT Sonstiges FROM tblDosis WHERE ID = ?"_s, {id}).first(u"Sonstiges"_s).toString();
        return Settings.XrayComm == UnitSophie ? other.section(u',', 3, 3) : other;
    }
    // The row the operator sees with `text` in column 0.
    static QModelIndex rowOf(QTreeView *list, const QString &text)
    {
        return list->model()->match(list->model()->index(0, 0), Qt::DisplayRole, text, 1, Qt::MatchExactly).value(0);
    }
    // The row clicked where it shows: the column asked for, or the first shown
    // when that one is hidden (the dose list's journal ID at first).
    static void click(QTreeView *list, const QModelIndex &index)
    {
        QModelIndex shown = index;
        for (int v = 0; list->isColumnHidden(shown.column()) && v < list->header()->count(); ++v)
            shown = index.siblingAtColumn(list->header()->logicalIndex(v));
        list->scrollTo(shown);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(shown).center());
    }
    int workFiles() const { return QDir(f_->file(u"bin"_s)).entryList(QDir::Files).size(); }
    // The archive as the default storage partner, added in the options dialog.
    void addArchive(const StorePeer &archive)
    {
        const QString added = AddStoragePartner(u"Archive"_s, {u"ARCHIVE"_s, u"127.0.0.1"_s, QString::number(archive.port())}, true);
        QVERIFY2(added.isEmpty(), qPrintable(added));
        emit ws->session().partnersChanged();
    }

    // The serial line of the X-ray unit and the receiver of a site station.
    std::unique_ptr<PtyPair> pty_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 receiverPort_ = 0;

    // A station with nothing filed and an empty journal, its window shown: the
    // unit's messages come over a serial line from a Lorad M4 (it sends each
    // exposure unasked), the detector's images through the receiver.
    void siteStation()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStationWithJournal(*f_));
        pty_ = std::make_unique<PtyPair>();
        QVERIFY2(pty_->ready(), "socat made no pty pair");
        StationReceiver started = StartStationReceiver(*f_, u"LUMORA"_s);
        QVERIFY2(started.process, "the receiver did not answer");
        receiver_ = std::move(started.process);
        receiverPort_ = started.port;
        Settings.XrayComm = 3;
        Settings.ModifyImageHeader = 1;
        Settings.Port = 1;
        Settings.ComDevice[0] = pty_->workstationEnd();
        prompter_ = std::make_unique<RecordingPrompter>();
        w = std::make_unique<MainForm>(*prompter_);
        ws = std::make_unique<Workstation>(*w, *prompter_);
        ws->doseList().setToday([] { return Day; });
        ws->capture().setClock([] { return QDateTime(Day, QTime(14, 5, 9)); });
        w->reopenSerialPort();
        QVERIFY(ws->capture().port().isOpen());
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    }
    // One exposure as the Lorad M4 reports it, through the serial line into the journal.
    void expose(const QString &view, int kv)
    {
        const QString journal = f_->file(u"LumoraData.dat"_s);
        const qlonglong before = CountRows(journal, u"tblDosis"_s);
        QVERIFY(pty_->send(u"M4|0017|%1|AEC|Mo/Mo|Grid|07.12.26|14:05|x|y|%2 kV|z|80 mAs|a|b|c|d|100 N|4.5 cm|e|f|1.2 mGy|\r\n"_s
                               .arg(view).arg(kv).toLatin1()));
        QVERIFY2(WaitFor([&] { return CountRows(journal, u"tblDosis"_s) == before + 1; }, 15000), "the exposure did not reach the journal");
    }
    // The detector's images, one study of one patient, sent in this order to
    // the receiver; their SOP instance UIDs are filled in.
    bool receive(QList<SyntheticImageSpec> &images)
    {
        QStringList files;
        const QString study = NewSyntheticUid(), series = NewSyntheticUid();
        for (SyntheticImageSpec &spec : images) {
            spec.studyUid = study;
            spec.seriesUid = series;
            spec.rows = 64;
            spec.columns = 48;
            if (spec.sopUid.isEmpty())
                spec.sopUid = NewSyntheticUid();
            files << f_->file(u"in/%1.dcm"_s.arg(spec.sopUid));
            if (!WriteImage(spec, files.last()))
                return false;
        }
        const qlonglong before = CountRows(u"tblImages"_s);
        return Store(u"LUMORA"_s, receiverPort_, files) == 0
            && WaitFor([&] { return CountRows(u"tblImages"_s) == before + files.size(); }, 20000);
    }
    // The operator's refresh, then her patient's row and its first study clicked.
    // A site station whose four views of PAT0001 came through the receiver
    // and are loaded into the viewer.
    void loadFourViews()
    {
        siteStation();
        if (QTest::currentTestFailed())
            return;
        QList<SyntheticImageSpec> images;
        for (const SyntheticImageSpec &view : FourViews(64, 48))
            images << view;
        QVERIFY(receive(images));
        loadStudyOf(u"PAT0001"_s, 4);
    }

    void loadStudyOf(const QString &patientId, int images)
    {
        w->toolButton(u"refresh"_s)->trigger();
        QTreeView *patients = Child<QTreeView>(*w, u"lvPatients"_s), *studies = Child<QTreeView>(*w, u"lvStudien"_s);
        click(patients, rowOf(patients, patientId));
        QCOMPARE(ws->session().selection().patientId, patientId);
        click(studies, studies->model()->index(0, 0));
        QTRY_COMPARE(ListCount(ws->session().loadedImages()), images);
    }
    ToolkitViewer *tiles() const { return w->findChild<ToolkitViewer *>(u"dv1"_s); }
    void clickTile(int position) { QTest::mouseClick(tiles(), Qt::LeftButton, {}, tiles()->tileRect(position).center()); }
    // The value the header view shows for the tag; "<not listed>" without its row.
    QString headerValue(const QString &tag) const
    {
        const QAbstractItemModel *m = Child<QTreeView>(*w, u"lvHeader"_s)->model();
        for (int i = 0; i < m->rowCount(); ++i)
            if (m->index(i, 1).data().toString() == tag)
                return m->index(i, 0).data().toString();
        return u"<not listed>"_s;
    }
    // The worklist provider the station asks, with the station's settings pointing at it.
    void askWorklist(WorklistPeer &wlm)
    {
        QVERIFY(wlm.start(f_->file(u"wlm"_s), u"WORKLIST"_s));
        Settings.LocalAET = u"MAMMO1"_s;
        Settings.RemoteIP = u"127.0.0.1"_s;
        Settings.RemoteAET = u"WORKLIST"_s;
        Settings.RemotePort = QString::number(wlm.port());
    }
    // The dialog the toolbar opens, once it lists `entries` rows: the row of
    // the patient ID clicked, then Apply. False when it was not there.
    bool applyWorklistEntry(const QString &patientId, int entries)
    {
        bool applied = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *form = qobject_cast<WorklistForm *>(QApplication::activeModalWidget());
            auto *list = form ? form->findChild<QTreeWidget *>(u"lvWorklist"_s) : nullptr;
            if (!list || list->topLevelItemCount() < entries)
                return;
            poll.stop();
            const QList<QTreeWidgetItem *> rows = list->findItems(patientId, Qt::MatchExactly, 5);
            if (rows.size() != 1)
                return form->reject();
            list->scrollToItem(rows[0]);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(rows[0]).center());
            Child<QPushButton>(*form, u"cmdOK"_s)->click();
            applied = true;
        });
        poll.start(20);
        w->command(Command::Worklist)->trigger();
        return applied;
    }
    void activateMammographyFilter()
    {
        Settings.FilterActive = u"MG"_s;
        WriteSetting(QLatin1String(SettingsRoot) + u"Filter\\Active"_s, Settings.FilterActive);
        emit w->filterLoadDue();
    }

    // The files sent to the receiver in the background; `filed` is read from
    // the database while the window runs. The list must show them (`listed`)
    // within 2 s of the filing, counted from the last look that did not yet
    // find them filed, so never less than the time since the filing.
    void arriveWithinTwoSeconds(quint16 port, const QStringList &files, const std::function<bool()> &filed,
                                const std::function<bool()> &listed)
    {
        QVERIFY(!files.isEmpty() && !filed() && !listed());
        QProcess sender;
        EndsWithTheTest(sender);
        StartStore(sender, u"LUMORA"_s, port, files);
        QElapsedTimer clock;
        clock.start();
        qint64 notYet = 0;
        const bool came = WaitFor([&] {
            const qint64 looked = clock.elapsed();
            if (filed())
                return true;
            notYet = looked;
            return false;
        }, 30000);
        // The sender is waited for with the window's events running: the poll goes on.
        QVERIFY(WaitFor([&] { return sender.state() == QProcess::NotRunning; }, 60000));
        QVERIFY2(came && sender.exitCode() == 0, sender.readAll().constData());
        QTRY_VERIFY_WITH_TIMEOUT(listed(), int(std::max<qint64>(0, 2000 - (clock.elapsed() - notYet))));
        const qint64 since = clock.elapsed() - notYet;
        qInfo("listed within %lld ms of the filing", since);
        QVERIFY2(since <= 2000, qPrintable(u"listed %1 ms after the filing"_s.arg(since)));
    }

private slots:
    // After the worklist's Apply the operator reads, beside New Examination,
    // whom the next examination is for: the entry chosen in the dialog the
    // toolbar opens, its name as spoken and its birth date as the lists show dates.
    void worklistApplyShowsTheNextPatient_data()
    {
        QTest::addColumn<QString>("birthDate");
        QTest::addColumn<QString>("shown");
        QTest::newRow("with a birth date") << u"19620314"_s
                                           << u"Next examination: Anne O\u00B4Brien, born "_s + QLocale().toString(QDate(1962, 3, 14), QLocale::ShortFormat);
        QTest::newRow("without one") << QString() << u"Next examination: Anne O\u00B4Brien"_s;
    }
    void worklistApplyShowsTheNextPatient()
    {
        QFETCH(QString, birthDate);
        QFETCH(QString, shown);
        station(Case{});
        WorklistPeer wlm;
        askWorklist(wlm);
        QVERIFY(wlm.add({.name = u"Zeta^Zoe"_s, .date = QDate::currentDate(), .time = u"0700"_s, .id = u"P4"_s}));
        QVERIFY(wlm.add({.name = u"O'Brien^Anne"_s, .date = QDate::currentDate(), .time = u"0805"_s, .id = u"P1"_s, .birthDate = birthDate}));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        auto *next = Child<QLabel>(*w, u"lblNextPatient"_s);
        QVERIFY(next->isVisible());
        QVERIFY(!next->text().contains(u"Brien"_s));

        QVERIFY2(applyWorklistEntry(u"P1"_s, 2), qPrintable(prompter_->texts().join(u'\n')));
        QCOMPARE(ws->session().worklistPatient().name, u"Anne O\u00B4Brien"_s);
        QVERIFY(next->isVisible());
        QCOMPARE(next->text(), shown);
        // Where the operator looks: beside the examination's buttons, inside the window.
        const QRect label(next->mapTo(w.get(), QPoint(0, 0)), next->size());
        QVERIFY(w->rect().contains(label));
    }

    void cleanup()
    {
        ws.reset();
        w.reset();
        prompter_.reset();
        if (receiver_)
            receiver_->terminate();
        receiver_.reset();
        pty_.reset();
        f_.reset();
    }

    void mergeAll_data()
    {
        QTest::addColumn<Case>("c");
        // Exposures in another order than the images; no partner, so the
        // stamped images wait in the work folder. The unit sends no dose: no
        // Entrance Dose is stamped.
        QTest::newRow("polled unit pairs by projection")
            << Case{.projections = {"L MLO", "R CC", "L CC", "R MLO"}, .kvs = {31, 26, 27, 28},
                    .values = {"0:0018,0060=26", "1:0018,0060=27", "2:0018,0060=28", "3:0018,0060=31", "3:0018,1530=45",
                               "0:0018,1150=400", "0:0040,8302=", "2:0020,0020=P|FL"}};
        // F1 pressed again while the images are stamped: one merge.
        QTest::newRow("merge pressed twice")
            << Case{.values = {"0:0018,0060=26", "1:0018,0060=27", "2:0018,0060=28", "3:0018,0060=29"}, .pressedTwice = true};
        // F1 while a study still loads does nothing.
        QTest::newRow("merge while images load") << Case{.whileLoading = true};
        // The unit reports seconds, the header holds milliseconds; its free
        // text is no sensitivity value: logged, not written.
        QTest::newRow("first unit reads the fourth field")
            << Case{.unit = 1, .views = {"R CC|R", "L-MLO|L"}, .projections = {"L-MLO45", "R-CC"}, .kvs = {30, 25},
                    .stampedFiles = 2,
                    .values = {"0:0018,0060=25", "1:0018,0060=30", "1:0018,1530=45", "0:0018,1150=400", "0:0018,6000="},
                    .logged = "MainForm cmdAll_Click"};
        QTest::newRow("counts must match")
            << Case{.projections = {"R CC", "L CC", "R MLO"}, .stampedFiles = 0,
                    .boxes = {"There are not all images on the system please wait a few second and try again!"}};
        QTest::newRow("without header changes only the values")
            << Case{.modifyHeader = false, .values = {"1:0018,0060=27", "1:0008,0060=MG", "1:0054,0220=", "2:0018,1530=45"}};
    }
    void mergeAll()
    {
        QFETCH(Case, c);
        station(c);
        bringUp();
        if (c.pressedTwice)
            QTimer::singleShot(0, w.get(), [this] { ws->assignment().cmdAll_Click(); });
        ws->session().setImageLoadActive(c.whileLoading);
        ws->assignment().cmdAll_Click();
        ws->session().setImageLoadActive(false);
        if (c.whileLoading) {
            QCOMPARE(workFiles(), 0);
            QCOMPARE(prompter_->texts(), QStringList());
            return;
        }
        QCOMPARE(stampedValues(c.values), c.values);
        QCOMPARE(workFiles(), c.stampedFiles);
        QCOMPARE(prompter_->texts(), c.boxes);
        if (!c.logged.isEmpty())
            QVERIFY(f_->read(u"Logs/Error.log"_s).contains(c.logged));
    }

    void secondUnitStampsInMemoryOnly()
    {
        station({.unit = 2, .views = {"CC|R|P\\L", "MLO|L|A\\FR"}, .projections = {"L-LMO45", "R-CC"}, .kvs = {30, 25}});
        bringUp();
        ws->assignment().cmdAll_Click();
        QCOMPARE(workFiles(), 0);
        QCOMPARE(GetAttribute(ListItem(ws->session().loadedImages(), 1), 0x0008, 0x0016).value, u"1.2.840.10008.5.1.4.1.1.1.2"_s);
        QVERIFY(!GetAttribute(ListItem(ws->session().loadedImages(), 1), 0x0018, 0x0060).exists); // no exposure values for this unit
    }

    // The unit sent its first exposure before any projection button was
    // clicked: that exposure has no projection, and the merge stops.
    void secondUnitExposureWithoutProjectionStops()
    {
        station({.unit = 2, .views = {"CC|R|P\\L", "MLO|L|A\\FR"}, .projections = {"", "R-CC"}, .kvs = {30, 25}});
        bringUp();
        ws->assignment().cmdAll_Click();
        QCOMPARE(prompter_->boxes.size(), 1);
        QCOMPARE(prompter_->boxes[0].kind, u"critical"_s);
        QVERIFY(prompter_->boxes[0].text.startsWith(u"You have not set the projection"_s));
    }

    void undoneTasksAnsweredNoSendsNothing()
    {
        station({});
        StorePeer archive;
        QVERIFY(archive.start(f_->file(u"archive"_s), u"ARCHIVE"_s));
        addArchive(archive);

        bool dialogRan = false;
        ws->runProgressDialog = [&](EditForm &form) {
            dialogRan = true;
            if (prompter_->answer) { // the send runs; the operator presses OK when it is done
                form.show();
                QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
                Child<QPushButton>(form, u"cmdOK"_s)->click();
            }
        };
        bringUp();
        ws->tasks().addTask({.level = u"Study"_s});
        prompter_->answer = false;
        ws->assignment().cmdAll_Click();
        QCOMPARE(prompter_->boxes.last().text, u"Undone tasks in list!\r\nContinue?"_s);
        QVERIFY(!dialogRan);
        QCOMPARE(Child<QTreeView>(*w, u"lvTasks"_s)->model()->rowCount(), 1);
        QVERIFY(archive.received().isEmpty());

        // Yes drops the tasks and runs the send; OK assigns the listed exposures to the patient.
        prompter_->answer = true;
        ws->assignment().cmdAll_Click();
        QVERIFY(dialogRan);
        QCOMPARE(Child<QTreeView>(*w, u"lvTasks"_s)->model()->rowCount(), 0);
        QCOMPARE(archive.received().size(), uids_.size());
        const QList<QVariantList> journal = QueryRows(f_->file(u"LumoraData.dat"_s), u"SELECT Status, FKeyPatID FROM tblDosis"_s);
        QCOMPARE(journal.size(), 4);
        for (const QVariantList &row : journal)
            QCOMPARE(row, (QVariantList{u"1"_s, u"P-7"_s}));
    }

    // "Execute tasks ..." runs the header-update job only with an exposure
    // listed and its date shown; the rewritten images go to temp/.
    void executeTasksNeedsAnExposureAndItsDate()
    {
        station({});
        QList<JobKind> ran;
        QString progress;
        ws->runProgressDialog = [&](EditForm &form) {
            ran << form.kind();
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
            progress = form.progressText();
        };
        bringUp();
        // Listed, none chosen yet; one chosen, then the list emptied; listed and chosen.
        const struct {
            bool exposures;
            bool chosen;
            bool runs;
        } cases[] = {{true, false, false}, {false, true, false}, {true, true, true}};
        for (const auto &c : cases) {
            if (ws->doseList().rowCount() == 0)
                ws->doseList().lvDosis_Fill();
            if (c.chosen)
                ws->doseList().choose(0); // the date box shows its date
            if (ws->tasks().taskCount() == 0) // choosing an exposure makes its tasks anew
                ws->tasks().addTask({u"Patient"_s, 0, u"0010,0010 - Patient's Name"_s, u"Doe^Jane"_s, u"Roe^Jane"_s});
            QCOMPARE(Child<QLineEdit>(*w, u"Text1"_s)->text().isEmpty(), !c.chosen);
            if (!c.exposures)
                ws->doseList().clear();
            w->action(u"mnuApplyTasks"_s)->trigger();
            QCOMPARE(ran.size(), c.runs ? 1 : 0);
        }
        QCOMPARE(ran, QList<JobKind>{JobKind::UpdateStudy});
        QVERIFY2(progress.startsWith(u"Updating active images (Studie) ... OK"_s) && progress.endsWith(u"Tasks done."_s), qPrintable(progress));
        QCOMPARE(QDir(f_->file(u"temp"_s)).entryList({u"*.dcm"_s}).size(), uids_.size());
        QCOMPARE(w->findChild<ToolkitViewer *>(u"dv1"_s)->imageCount(), 0);
        QCOMPARE(Child<QTreeView>(*w, u"lvTasks"_s)->model()->rowCount(), 0);
        QCOMPARE(CountRows(u"tblImages"_s), 0);
    }

    // The header-update job refuses a task it cannot carry out (an image the
    // viewer does not hold): the operator is told why while the progress
    // dialog is still open, and the viewer, the tasks and the database stay.
    void executeTasksRefusedTellsWhyAndKeepsEverything()
    {
        station({});
        QStringList toldWhileOpen;
        bool ran = false;
        ws->runProgressDialog = [&](EditForm &form) {
            ran = true;
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
            toldWhileOpen = prompter_->texts();
            Child<QPushButton>(form, u"cmdOK"_s)->click();
        };
        bringUp();
        QVERIFY(ws->doseList().rowCount() > 0);
        ws->doseList().choose(0); // an exposure chosen; choosing makes its tasks anew
        ws->tasks().addTask({u"Image #99"_s, 0, u"0008,1030 - Study Description"_s, QString(), u"NEWDESC"_s});
        const int rows = CountRows(u"tblImages"_s);
        w->action(u"mnuApplyTasks"_s)->trigger();
        QVERIFY(ran);
        QCOMPARE(toldWhileOpen.size(), 1);
        QVERIFY2(toldWhileOpen[0].contains(u"no image 99 in the viewer"_s), qPrintable(toldWhileOpen[0]));
        QCOMPARE(prompter_->texts(), toldWhileOpen);
        QCOMPARE(w->findChild<ToolkitViewer *>(u"dv1"_s)->imageCount(), uids_.size());
        QCOMPARE(Child<QTreeView>(*w, u"lvTasks"_s)->model()->rowCount(), 1);
        QCOMPARE(CountRows(u"tblImages"_s), rows);
        QVERIFY(QDir(f_->file(u"temp"_s)).entryList({u"*.dcm"_s}).isEmpty());
    }

    // A partner that cannot be reached: the send command tells the failure
    // with its number and runs no job.
    void sendToAnUnreachablePartnerTellsAndRunsNothing()
    {
        station({});
        bool ran = false;
        ws->runProgressDialog = [&](EditForm &) { ran = true; };
        const QString added = AddStoragePartner(u"Archive"_s, {u"ARCHIVE"_s, u"127.0.0.1"_s, QString::number(FreePort())}, true);
        QVERIFY2(added.isEmpty(), qPrintable(added));
        emit ws->session().partnersChanged();
        bringUp();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTreeView *studies = Child<QTreeView>(*w, u"lvStudien"_s);
        QTest::mouseClick(studies->viewport(), Qt::RightButton, {}, studies->visualRect(studies->model()->index(0, 1)).center());
        QTRY_VERIFY(Child<QMenu>(*w, u"PopUpStudie"_s)->isVisible());
        Child<QMenu>(*w, u"PopUpStudie"_s)->hide();
        QMenu *sendTo = Child<QMenu>(*w, u"St_SendTo"_s);
        QCOMPARE(sendTo->actions().size(), 1);
        sendTo->actions()[0]->trigger();
        QVERIFY(!ran);
        QCOMPARE(prompter_->texts().size(), 1);
        QVERIFY2(prompter_->texts()[0].startsWith(u"Error #"_s), qPrintable(prompter_->texts()[0]));
        QCOMPARE(CountRows(u"tblImages"_s), uids_.size());
    }

    // Load A's study, select patient B, right-click B's study (or, through
    // "View Series", one of its series) and "Send to" with General\SentAndKeep
    // 0: B's images reach the archive and only B's are removed; A's stay.
    void sendToTheRowRightClicked_data()
    {
        QTest::addColumn<bool>("series");
        QTest::newRow("study") << false;
        QTest::newRow("series") << true;
    }
    void sendToTheRowRightClicked()
    {
        QFETCH(bool, series);
        station({});
        StorePeer archive;
        QVERIFY(archive.start(f_->file(u"archive"_s), u"ARCHIVE"_s));
        addArchive(archive);
        ws->session().setExaminationType(2);
        Settings.SentAndKeep = 0;
        const FiledStudy b = FileStudy(*f_, u"P-8"_s, 2, 2);
        FileStudy(*f_, u"P-8"_s, 1, 1);
        ws->runProgressDialog = [](EditForm &form) {
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
            Child<QPushButton>(form, u"cmdOK"_s)->click();
        };
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        auto rightClick = [&](QTreeView *list, const QPoint &at, QMenu *menu) {
            QTest::mouseClick(list->viewport(), Qt::RightButton, {}, at);
            QTRY_VERIFY(menu->isVisible());
            menu->hide();
        };
        // The row where it shows: its first column shown (the study list's number is hidden at first).
        auto row = [&](QTreeView *list, const QString &text) {
            const QModelIndexList found = list->model()->match(list->model()->index(0, 0), Qt::DisplayRole, text, 1, Qt::MatchExactly);
            return list->visualRect(found.value(0).siblingAtColumn(list->header()->logicalIndex(list->header()->visualIndexAt(0)))).center();
        };
        ws->browser().RefreshPatientList();
        QCOMPARE(Child<QTreeView>(*w, u"lvPatients"_s)->header()->sortIndicatorSection(), 1); // sorted by name
        ws->browser().selectPatient(ws->browser().patients().findText(0, u"P-7"_s));
        ws->browser().selectStudy(0);
        QTRY_COMPARE(ListCount(ws->session().loadedImages()), uids_.size());
        // The right button on B's row selects B and lists B's studies.
        rightClick(Child<QTreeView>(*w, u"lvPatients"_s), row(Child<QTreeView>(*w, u"lvPatients"_s), u"P-8"_s), Child<QMenu>(*w, u"PopUpPatient"_s));
        QCOMPARE(ws->session().selection().patientId, u"P-8"_s);
        rightClick(Child<QTreeView>(*w, u"lvStudien"_s), row(Child<QTreeView>(*w, u"lvStudien"_s), QString::number(b.study)), Child<QMenu>(*w, u"PopUpStudie"_s));
        if (series) {
            w->action(u"PopUpStudie_Serien"_s)->trigger();
            rightClick(Child<QTreeView>(*w, u"lvSerien"_s), row(Child<QTreeView>(*w, u"lvSerien"_s), u"# 1"_s), Child<QMenu>(*w, u"PopUpSerie"_s));
        }
        QMenu *sendTo = series ? Child<QMenu>(*w, u"Se_SendTo"_s) : Child<QMenu>(*w, u"St_SendTo"_s);
        QCOMPARE(sendTo->actions().size(), 1); // the partner added with the window open
        sendTo->actions()[0]->trigger();

        QStringList arrived;
        for (const QString &name : archive.received())
            arrived << name.section(u'.', 1);
        arrived.sort();
        QStringList sent = series ? b.images.mid(0, 2) : b.images;
        sent.sort();
        QCOMPARE(arrived, sent);
        QCOMPARE(CountRows(u"tblImages"_s), uids_.size() + (series ? 3 : 1));
        QVERIFY(!QFile::exists(f_->file(u"images/%1/%2.dcm"_s.arg(b.uid, b.images[0]))));
        for (const QString &uid : uids_)
            QVERIFY(QFile::exists(f_->file(u"images/%1/%2.dcm"_s.arg(studyUid_, uid))));

        // Beside the rows the right button points at no patient: "Delete Patient" deletes none.
        prompter_->boxes.clear();
        const QRect first = Child<QTreeView>(*w, u"lvPatients"_s)->visualRect(Child<QTreeView>(*w, u"lvPatients"_s)->model()->index(0, 0));
        rightClick(Child<QTreeView>(*w, u"lvPatients"_s), first.center() + QPoint(0, 4 * first.height()), Child<QMenu>(*w, u"PopUpPatient"_s));
        w->command(Command::DeletePatient)->trigger();
        QCOMPARE(prompter_->texts(), QStringList{u"Nothing deleted: no entry is selected, or it is no longer in the database."_s});
        QCOMPARE(CountRows(u"tblPatienten"_s), 2);
    }

    // With the MG filter active the operator adds Patient's Name to it in the
    // options, sorts the header view by description and clicks an exposure:
    // each exposure value is paired with its own attribute. The header view
    // follows each edit of the filter at once.
    void filterEditsShowAtOnceAndTasksPairByTag()
    {
        station({});
        Settings.FilterActive = u"MG"_s;
        WriteSetting(QLatin1String(SettingsRoot) + u"Filter\\Active"_s, Settings.FilterActive);
        emit w->filterLoadDue();
        bringUp();
        emit w->taskListPrepareDue(); // as the main window's load does
        ws->viewer().MouseDown(Qt::LeftButton, Qt::NoModifier, w->findChild<ToolkitViewer *>(u"dv1"_s)->tileRect(0).center());
        QCOMPARE(Child<QTreeView>(*w, u"lvHeader"_s)->model()->rowCount(), 5);

        w->mnuAnsichtEinstellungen_Click();
        OptionForm *options = w->optionForm();
        auto *filter = Child<QComboBox>(options, u"cboModality"_s);
        filter->setCurrentText(u"MG"_s);
        emit filter->activated(filter->currentIndex());
        QTimer::singleShot(0, [] {
            QWidget *form = QApplication::activeModalWidget();
            QVERIFY(form);
            auto *list = form->findChild<QTreeWidget *>(u"lvDictionary"_s);
            list->findItems(u"0010,0010"_s, Qt::MatchExactly, 0).value(0)->setSelected(true);
            form->findChild<QPushButton *>(u"cmdAdd"_s)->click();
        });
        Child<QPushButton>(options, u"cmdAdd"_s)->click();
        QVERIFY(ColumnTexts(Child<QTreeView>(*w, u"lvHeader"_s)->model(), 1).contains(u"0010,0010"_s));
        QCOMPARE(Child<QTreeView>(*w, u"lvHeader"_s)->model()->rowCount(), 6);

        emit Child<QTreeView>(*w, u"lvHeader"_s)->header()->sectionClicked(2); // "DICOM Description"
        QCOMPARE(Child<QTreeView>(*w, u"lvHeader"_s)->model()->index(0, 2).data().toString(), u"Body Part Thickness"_s);
        ws->doseList().choose(0);
        QStringList tasks;
        for (int i = 0; i < Child<QTreeView>(*w, u"lvTasks"_s)->model()->rowCount(); ++i)
            tasks << Child<QTreeView>(*w, u"lvTasks"_s)->model()->index(i, 1).data(Qt::UserRole).toString().left(9) + u'=' + Child<QTreeView>(*w, u"lvTasks"_s)->model()->index(i, 4).data().toString();
        tasks.sort();
        // In the attributes' units and DICOM's number form: this unit type
        // journals kilograms times ten, and sends no dose, so no Entrance Dose task.
        QCOMPARE(tasks, (QStringList{"0018,0060=" + ws->doseList().text(0, DoseList::KV), "0018,1152=80", "0018,11A0=45", "0018,11A2=11.76798"}));

        auto *attributes = Child<QTreeView>(options, u"lvTags"_s);
        const int patientName = ColumnTexts(attributes->model()).indexOf(u"0010,0010"_s);
        attributes->selectionModel()->select(attributes->model()->index(patientName, 0),
                                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
        Child<QPushButton>(options, u"cmdDelete"_s)->click();
        QCOMPARE(Child<QTreeView>(*w, u"lvHeader"_s)->model()->rowCount(), 5);
        QVERIFY(!ColumnTexts(Child<QTreeView>(*w, u"lvHeader"_s)->model(), 1).contains(u"0010,0010"_s));

        // Executed, the image carries each value in its own attribute.
        ws->runProgressDialog = [](EditForm &form) {
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
        };
        w->action(u"mnuApplyTasks"_s)->trigger();
        // The job files every loaded image anew; the image task changed one of them.
        int carrying = 0;
        for (const QString &name : QDir(f_->file(u"temp"_s)).entryList({u"*.dcm"_s})) {
            const ToolkitImagePtr image = ReadImage(f_->file(u"temp/"_s + name));
            QStringList stamped;
            for (const QString &tag : {u"0018,0060"_s, u"0018,1152"_s, u"0018,11A0"_s, u"0018,11A2"_s, u"0040,8302"_s})
                stamped << tag + u'=' + Attribute(image, tag).value;
            carrying += stamped == tasks + QStringList{u"0040,8302="_s}; // and no Entrance Dose
        }
        QCOMPARE(carrying, 1);
    }

    // At start, a header update's work folder with its marker goes to the
    // receiver's intake, one without it (nothing was removed) is deleted.
    void interruptedUpdateHandedOverAtStart()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        f_->write(u"update/job-7-1/1.2.3.dcm"_s, "rewritten");
        f_->write(u"update/job-7-1/"_s + HeaderUpdateJob::MarkerName, "old entries removed\n");
        f_->write(u"update/job-7-2/1.2.4.dcm"_s, "never filed");
        prompter_ = std::make_unique<RecordingPrompter>();
        w = std::make_unique<MainForm>(*prompter_);
        ws = std::make_unique<Workstation>(*w, *prompter_);
        QCOMPARE(QDir(f_->file(u"temp"_s)).entryList({u"*.dcm"_s}), QStringList{u"1.2.3.dcm"_s});
        QCOMPARE(f_->read(u"temp/1.2.3.dcm"_s), QByteArray("rewritten"));
        QVERIFY(QDir(f_->file(u"update"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        const QByteArray log = f_->read(u"Logs/Error.log"_s);
        QVERIFY2(log.contains("Handed 1 image(s) of an interrupted header update from " + f_->file(u"update/job-7-1"_s).toUtf8()), log.constData());
        QVERIFY2(log.contains("Deleted " + f_->file(u"update/job-7-2"_s).toUtf8()), log.constData());
    }

    // The operator loads a study, then opens the series of another study of
    // the same patient and executes a study task: the job works on the
    // images in the viewer, and the other study stays as it was.
    void executeTasksOnTheLoadedImages()
    {
        station({});
        ws->runProgressDialog = [](EditForm &form) {
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
        };
        bringUp();
        FixtureStudy other{.patientId = u"P-7"_s, .series = {FixtureSeries{.images = {SyntheticImageSpec{.rows = 32, .columns = 24}}}}};
        QString error;
        QVERIFY2(AddStudy(f_->path(), other, &error, false), qPrintable(error));
        ws->browser().selectPatient(0);
        ws->browser().showSeries(ws->browser().studies().findTag(other.studyUid));
        QCOMPARE(ws->session().selection().studyUid, other.studyUid);
        QCOMPARE(w->findChild<ToolkitViewer *>(u"dv1"_s)->imageCount(), uids_.size());

        ws->doseList().choose(0); // an exposure chosen (its date shown), before the task is written
        ws->tasks().addTask({u"Study"_s, 0, u"0008,1030 - Study Description"_s, QString(), u"NEWDESC"_s});
        w->action(u"mnuApplyTasks"_s)->trigger();
        QStringList rewritten = QDir(f_->file(u"temp"_s)).entryList({u"*.dcm"_s});
        for (QString &name : rewritten) {
            QCOMPARE(Attribute(ReadImage(f_->file(u"temp/"_s + name)), u"0008,1030"_s).value, u"NEWDESC"_s);
            name.chop(4);
        }
        rewritten.sort();
        QStringList loaded = uids_;
        loaded.sort();
        QCOMPARE(rewritten, loaded);
        QCOMPARE(CountRows(u"tblImages"_s), 1);
        QVERIFY(QFile::exists(f_->file(u"images/%1/%2.dcm"_s.arg(other.studyUid, other.series[0].images[0].sopUid))));
    }

    // The image menu's Delete asks about the viewer's current image; No keeps it.
    void imageMenuDeleteAsksFirst()
    {
        station({});
        bringUp();
        ws->viewer().SelectImage(2);
        prompter_->answer = false;
        w->action(u"Popup_Dicom_Delete"_s)->trigger();
        QCOMPARE(prompter_->boxes.size(), 1);
        QCOMPARE(prompter_->boxes.last().text, u"Delete image?"_s);
        QCOMPARE(w->findChild<ToolkitViewer *>(u"dv1"_s)->imageCount(), uids_.size());
        QCOMPARE(CountRows(u"tblImages"_s), uids_.size());
    }

    // Export needs images in the viewer; import runs its job on the chosen files
    // (a DICOMDIR for "DICOM Dir ..."), and a cancelled file dialog runs none.
    void importAndExportEntries()
    {
        station({});
        QStringList exportsShown;
        ws->runExportDialog = [&](ExportForm &form) { exportsShown << form.windowTitle() + u' ' + QString::number(Child<QProgressBar>(form, u"pbExport"_s)->maximum()); };
        w->action(u"mnuExportDICOM"_s)->trigger();
        QCOMPARE(prompter_->texts(), QStringList{u"No images loaded into viewport."_s});
        bringUp();
        w->action(u"mnuExportJPEG"_s)->trigger();
        w->action(u"mnuExportDICOM"_s)->trigger();
        QCOMPARE(exportsShown, (QStringList{u"Export JPEG %1"_s.arg(uids_.size()), u"Export DICOM %1"_s.arg(uids_.size())}));

        QList<JobKind> ran;
        ws->runProgressDialog = [&](EditForm &form) {
            ran << form.kind();
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
        };
        QStringList chosen;
        ws->chooseImportFiles = [&](bool) { return chosen; };
        w->action(u"mnuImportImages"_s)->trigger();
        chosen = {f_->file(u"images/%1/%2.dcm"_s.arg(QueryValue(ImageDatabaseFile(), u"SELECT StudyUID FROM tblStudies"_s).toString(), uids_.value(0)))};
        w->action(u"mnuImportImages"_s)->trigger();
        w->action(u"mnuImportDir"_s)->trigger();
        QCOMPARE(ran, (QList<JobKind>{JobKind::ImportImages, JobKind::ImportDir}));
        QVERIFY(QFile::exists(f_->file(u"temp/%1.dcm"_s.arg(uids_.value(0)))));
    }

    // "Manually" stamps the selected image with the exposure clicked, sends,
    // and OK assigns that exposure alone to the patient.
    void manualMergeStampsTheSelectedImage()
    {
        station({});
        StorePeer archive;
        QVERIFY(archive.start(f_->file(u"archive"_s), u"ARCHIVE"_s));
        addArchive(archive);
        ws->runProgressDialog = [](EditForm &form) {
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
            Child<QPushButton>(form, u"cmdOK"_s)->click();
        };
        bringUp();
        ws->viewer().SelectImage(2);
        QTreeView *images = Child<QTreeView>(*w, u"lvImages"_s);
        images->setCurrentIndex(images->model()->index(1, 0));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        click(Child<QTreeView>(*w, u"lvDosis"_s), Child<QTreeView>(*w, u"lvDosis"_s)->model()->index(3, 1));
        // The exposure's values in the boxes; the image row they go to is marked.
        QCOMPARE((QStringList{Child<QLineEdit>(*w, u"txtID"_s)->text(), Child<QLineEdit>(*w, u"Text3_0"_s)->text(), Child<QLineEdit>(*w, u"Text2"_s)->text()}),
                 (QStringList{ws->doseList().text(3, DoseList::Id), u"29"_s, u"10:00:00"_s}));
        const auto bold = [&](int row) { return images->model()->index(row, 0).data(Qt::FontRole).value<QFont>().bold(); };
        QVERIFY(bold(1) && !bold(0));
        QCOMPARE(images->model()->index(1, 3).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
        ws->assignment().cmdSelected_Click();
        const QStringList expected{"1:0018,0060=29", "1:0020,0062=L"};
        QCOMPARE(stampedValues(expected), expected);
        QCOMPARE(workFiles(), 1);
        QCOMPARE(archive.received().size(), uids_.size());
        const QList<QVariantList> journal = QueryRows(f_->file(u"LumoraData.dat"_s), u"SELECT Status, FKeyPatID FROM tblDosis ORDER BY ID"_s);
        QCOMPARE(journal, (QList<QVariantList>{{u"0"_s, u""_s}, {u"0"_s, u""_s}, {u"0"_s, u""_s}, {u"1"_s, u"P-7"_s}}));
    }

    void projectionButtonRewritesTheExposure()
    {
        station({.projections = {"R CC"}, .kvs = {26}, .projectionButtons = "R CC\r\nL CC\r\nR XCCL\r\n"});
        QCOMPARE(Child<QPushButton>(*w, u"cmdProjection2"_s)->text(), u"R XCCL"_s);
        QVERIFY(Child<QPushButton>(*w, u"cmdProjection2"_s)->isEnabled());
        QVERIFY(!Child<QPushButton>(*w, u"cmdProjection3"_s)->isEnabled());
        ws->doseList().lvDosis_Fill();
        Child<QTreeView>(*w, u"lvDosis"_s)->setCurrentIndex(Child<QTreeView>(*w, u"lvDosis"_s)->model()->index(0, 0));
        prompter_->answer = false;
        Child<QPushButton>(*w, u"cmdProjection2"_s)->click();
        QCOMPARE(ws->doseList().text(0, DoseList::Other), u"R CC"_s);
        prompter_->answer = true;
        Child<QPushButton>(*w, u"cmdProjection2"_s)->click();
        QCOMPARE(prompter_->boxes.last().text, u"Do you really want to change the projection entry ?"_s);
        QCOMPARE(ws->doseList().text(0, DoseList::Other), u"R XCCL"_s);
        QCOMPARE(Child<QLineEdit>(*w, u"Text3_5"_s)->text(), u"R XCCL"_s);
    }

    // At 1280 x 1024 the dose list shows each exposure's AGD without
    // scrolling, in every row, and the exposure over the active set's level
    // is marked there; the other columns keep their captions' widths.
    void doseListShowsTheAgdAndItsMark()
    {
        station({.unit = UnitSophie, .projections = {}, .kvs = {}});
        {
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            f_->write(u"factors.csv"_s, TestFactorTable.toUtf8());
            QVERIFY(ImportFactorFile(DefinitionsDatabase, f_->file(u"factors.csv"_s), QDateTime::currentDateTime()).ok());
            DoseCalibration c = TestCalibration();
            c.unit = UnitSophie;
            QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
            ReferenceSet set{0, u"Site 2026"_s, u"local"_s, true, {{u"CC"_s, 40, 50, u"AGD"_s, 0.6}}};
            QVERIFY(WriteReferenceSet(DefinitionsDatabase, set).ok());
        }
        w->Form_Load(); // as the program starts it
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->activateWindow(); // the dose list shows on activation
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QTreeView *list = Child<QTreeView>(*w, u"lvDosis"_s);
        QVERIFY(list->isVisible());
        // The list takes the capture area's width, under its three buttons.
        QTRY_COMPARE(list->geometry().left(), Child<QPushButton>(*w, u"Command2"_s)->geometry().left());
        QCOMPARE(list->geometry().right(), Child<QPushButton>(*w, u"Command4"_s)->geometry().right());
        // Her four views; only the 45 mm CC lies in the level's band, with AGD 0.63 mGy.
        ws->capture().MarkPatientChosen(u"Kowalczyk-Wiśniewska^Anna-Magdalena"_s);
        for (const SophieExposure &e : {SophieExposure{.projection = u"R-CC"_s}, SophieExposure{.projection = u"L-CC"_s, .cm = u"3.5"_s},
                                        SophieExposure{.projection = u"R-MLO45"_s, .kv = 29, .cm = u"5.0"_s},
                                        SophieExposure{.projection = u"L-MLO45"_s, .kv = 29, .cm = u"5.2"_s}})
            QVERIFY(DecodeUnitMessage(ws->capture(), UnitSophie, SophieMessage(e)) > 0);
        QCOMPARE(list->model()->rowCount(), 4);
        QCOMPARE(list->model()->headerData(DoseList::Agd, Qt::Horizontal).toString(), u"AGD mGy"_s);
        const QHeaderView *header = list->header();
        // Every column as wide as its caption and its widest text, once the list has fitted them.
        // The journal ID and the date are hidden at first (the header's menu shows them).
        const auto unreadable = [&] {
            QStringList cut;
            for (int c = 0; c < DoseList::ColumnCount; ++c)
                if (!header->isSectionHidden(c)
                    && header->sectionSize(c) < std::max(header->sectionSizeHint(c), static_cast<QAbstractItemView *>(list)->sizeHintForColumn(c)))
                    cut << list->model()->headerData(c, Qt::Horizontal).toString();
            return cut.join(u", "_s);
        };
        QTRY_COMPARE(unreadable(), QString());
        QStringList hidden;
        for (int c = 0; c < DoseList::ColumnCount; ++c)
            if (header->isSectionHidden(c))
                hidden << list->model()->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(hidden, (QStringList{u"ID"_s, u"Date"_s}));
        const auto agdInView = [&] {
            for (int row = 0; row < 4; ++row)
                if (!list->viewport()->rect().contains(list->visualRect(list->model()->index(row, DoseList::Agd))))
                    return false;
            return true;
        };
        QTRY_VERIFY2(agdInView(), qPrintable(u"AGD section at %1 + %2 in a viewport %3 wide"_s.arg(header->sectionViewportPosition(DoseList::Agd))
                                                 .arg(header->sectionSize(DoseList::Agd))
                                                 .arg(list->viewport()->width())));
        for (int row = 0; row < 4; ++row)
            QVERIFY2(!ws->doseList().text(row, DoseList::Agd).isEmpty(), qPrintable(f_->read(u"Logs/Error.log"_s)));
        QCOMPARE(ws->doseList().text(0, DoseList::Agd), QLocale().toString(0.629, 'f', 2));
        const QModelIndex over = list->model()->index(0, DoseList::Agd);
        QVERIFY(over.data(Qt::BackgroundRole).isValid());
        QVERIFY2(over.data(Qt::ToolTipRole).toString().contains(u"above 0.60 mGy"_s), qPrintable(over.data(Qt::ToolTipRole).toString()));
        for (int row = 1; row < 4; ++row)
            QVERIFY(!list->model()->index(row, DoseList::Agd).data(Qt::BackgroundRole).isValid());
        w->grab().save(TestBinDir() + u"/doselist-agd.png"_s); // to look at
    }

    // The dose list's captions, its patient filter filled as it opens, and its
    // menu: the right button selects the row under the pointer, "Delete" (with
    // no images loaded, a test exposure once confirmed) takes it off the list
    // (it stays in the journal) and empties the exposure boxes.
    void doseListFilterAndMenu()
    {
        station({.projections = {"R CC", "L CC"}, .kvs = {26, 27}, .patientName = u"Doe^Jane"_s});
        ws->doseList().lvDosis_Fill();
        QCOMPARE(Child<QTreeView>(*w, u"lvDosis"_s)->model()->headerData(8, Qt::Horizontal).toString(), u"Other"_s);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTest::mouseClick(Child<QComboBox>(*w, u"cmbDosis"_s), Qt::LeftButton);
        QCOMPARE(Child<QComboBox>(*w, u"cmbDosis"_s)->count(), 1);
        QCOMPARE(Child<QComboBox>(*w, u"cmbDosis"_s)->itemText(0), u"Doe^Jane"_s);
        Child<QComboBox>(*w, u"cmbDosis"_s)->hidePopup();

        // Rows clicked at their time (the date column is hidden at first).
        const QModelIndex second = Child<QTreeView>(*w, u"lvDosis"_s)->model()->index(1, DoseList::Time);
        QTest::mouseClick(Child<QTreeView>(*w, u"lvDosis"_s)->viewport(), Qt::LeftButton, {}, Child<QTreeView>(*w, u"lvDosis"_s)->visualRect(second).center());
        QCOMPARE(Child<QLineEdit>(*w, u"Text3_0"_s)->text(), u"27"_s);
        const QModelIndex first = Child<QTreeView>(*w, u"lvDosis"_s)->model()->index(0, DoseList::Time);
        QTest::mouseClick(Child<QTreeView>(*w, u"lvDosis"_s)->viewport(), Qt::RightButton, {}, Child<QTreeView>(*w, u"lvDosis"_s)->visualRect(first).center());
        QVERIFY(Child<QTreeView>(*w, u"lvDosis"_s)->selectionModel()->isRowSelected(0, {}));
        QTRY_VERIFY_WITH_TIMEOUT(Child<QMenu>(*w, u"Popup_Dosis"_s)->isVisible(), 2000);
        Child<QMenu>(*w, u"Popup_Dosis"_s)->hide();
        w->command(Command::DeleteExposure)->trigger();
        // No images loaded: asked whether it is nobody's exposure; Yes.
        QVERIFY2(prompter_->texts().value(0).startsWith(u"No patient's images are loaded."_s), qPrintable(prompter_->texts().join(u" / "_s)));
        QCOMPARE(ws->doseList().rowCount(), 1);
        QCOMPARE(ws->doseList().text(0, DoseList::KV), u"27"_s);
        QVERIFY(Child<QLineEdit>(*w, u"Text3_0"_s)->text().isEmpty() && Child<QLineEdit>(*w, u"Text1"_s)->text().isEmpty());
        QCOMPARE(QueryRows(f_->file(u"LumoraData.dat"_s), u"SELECT Status FROM tblDosis ORDER BY ID"_s),
                 (QList<QVariantList>{{u"1"_s}, {u"0"_s}}));
    }
    // The program starts: the dose list shows today's open exposures, as the
    // patient list shows the patients, without F4.
    void doseListFilledAtLoad()
    {
        station({});
        w->Form_Load();
        QCOMPARE(Child<QTreeView>(*w, u"lvDosis"_s)->model()->rowCount(), 4);
    }

    // New Examination empties the dose list; the list is today's open
    // exposures, so the next exposure brings the earlier open ones back with
    // it (as the guide says). Her name in the box lists only hers.
    void newExaminationEmptiesTheListUntilTheNextExposure()
    {
        station({.projections = {"R CC", "L CC"}, .kvs = {26, 27}, .patientName = u"Doe^Jane"_s});
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        ws->doseList().lvDosis_Fill();
        QCOMPARE(ws->doseList().rowCount(), 2);
        QTest::mouseClick(Child<QPushButton>(*w, u"Command2"_s), Qt::LeftButton);
        QCOMPARE(ws->doseList().rowCount(), 0);
        ws->capture().MarkPatientChosen(u"Roe^Mary"_s);
        QVERIFY(journalExposure(28, u"R MLO"_s) > 0);
        QTRY_COMPARE(ws->doseList().rowCount(), 3);
        QCOMPARE(ws->doseList().text(0, DoseList::KV), u"26"_s);
        QComboBox *names = Child<QComboBox>(*w, u"cmbDosis"_s);
        QTest::mouseClick(names, Qt::LeftButton);
        names->hidePopup();
        const int hers = names->findText(u"Roe^Mary"_s);
        QVERIFY2(hers >= 0, qPrintable(RowTexts(*names->model(), 0).join(u", "_s)));
        names->setCurrentIndex(hers);
        emit names->activated(hers);
        QCOMPARE(ws->doseList().rowCount(), 1);
        QCOMPARE(ws->doseList().text(0, DoseList::KV), u"28"_s);
    }

    // The demo station of scripts/run: its views come through the receiver,
    // and a click on a view shows the mammography filter's attributes in the
    // header view without a visit to the options.
    void demoStationShowsTheHeaderOfTheViewClicked()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        const quint16 port = FreePort();
        QByteArray out;
        QVERIFY2(RunProgram(u"bash"_s, {SourceDir() + u"/scripts/demo-station"_s, f_->path(), QString::number(port)}, &out) == 0,
                 out.constData());
        CompanionProcess receiver(ReceiverProgram(), f_->path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(u"LumoraStation"_s, port));
        QVERIFY2(WaitFor([] { return CountRows(u"tblImages"_s) == 4; }, 30000), "the receiver did not file the demo's views");
        prompter_ = std::make_unique<RecordingPrompter>();
        w = std::make_unique<MainForm>(*prompter_);
        ws = std::make_unique<Workstation>(*w, *prompter_);
        w->Form_Load(); // as the program starts it, with the demo's settings
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        loadStudyOf(u"DEMO-1"_s, 4);
        clickTile(1);
        QTRY_COMPARE(ws->session().currentImageIndex(), 2); // 1-based
        for (const QString &tag : {u"0018,0060"_s, u"0018,1152"_s, u"0018,11A0"_s, u"0018,11A2"_s, u"0040,8302"_s})
            QVERIFY2(headerValue(tag) != u"<not listed>"_s, qPrintable(tag));
    }

    // The operator sorts the patient list, clicks a patient and her study,
    // and scrolls the list; meanwhile the receiver files a new patient's
    // study, then a second study of hers. Each is listed within 2 s of its
    // filing, at the poll's own period, and her row, her loaded study and
    // images, the order and the scroll position stay.
    void arrivingStudiesShowByThemselves_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("order");
        QTest::newRow("by name") << 1 << int(Qt::AscendingOrder);
        QTest::newRow("by ID, descending") << 0 << int(Qt::DescendingOrder);
    }
    void arrivingStudiesShowByThemselves()
    {
        QFETCH(int, column);
        QFETCH(int, order);
        station({});
        for (int i = 0; i < 30; ++i) { // enough patients for the list to scroll
            FixtureStudy other{.patientId = u"Q-%1"_s.arg(i, 2, 10, QLatin1Char('0')), .family = u"Name%1"_s.arg(29 - i, 2, 10, QLatin1Char('0')),
                               .series = {FixtureSeries{1, {SyntheticImageSpec{.rows = 32, .columns = 24}}, {}, 0}}};
            QString error;
            QVERIFY2(AddStudy(f_->path(), other, &error, false), qPrintable(error));
        }
        const quint16 port = FreePort();
        WriteReceiverSettings(*f_, u"LUMORA"_s, QString::number(port));
        CompanionProcess receiver(ReceiverProgram(), f_->path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(u"LUMORA"_s, port));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTreeView *patients = Child<QTreeView>(*w, u"lvPatients"_s), *studies = Child<QTreeView>(*w, u"lvStudien"_s);
        ws->browser().RefreshPatientList();
        patients->sortByColumn(column, Qt::SortOrder(order));
        click(patients, rowOf(patients, u"P-7"_s));
        QCOMPARE(ws->session().selection().patientId, u"P-7"_s);
        click(studies, studies->model()->index(0, 0));
        QTRY_COMPARE(ListCount(ws->session().loadedImages()), uids_.size());
        QScrollBar *scroll = patients->verticalScrollBar();
        QVERIFY(scroll->maximum() > 2);
        scroll->setValue(scroll->maximum() / 2);
        const int scrolled = scroll->value();

        const auto studiesOf = [this](const QString &id) {
            return QueryRows(f_->file(u"Data/LumoraData.dat"_s), u"SELECT StudyID FROM view_studies WHERE PatID1 = ?"_s, {id}).size();
        };
        arriveWithinTwoSeconds(port,
                               WriteStudyFiles(f_->path(), {.patientName = u"Aaron^Zoe"_s, .patientId = u"P-9"_s, .rows = 64, .columns = 48}, 1, 2,
                                               u"new"_s),
                               [&] { return studiesOf(u"P-9"_s) == 1; },
                               [&] { return ws->browser().patients().findText(0, u"P-9"_s) >= 0; });
        if (QTest::currentTestFailed())
            return;
        arriveWithinTwoSeconds(port,
                               WriteStudyFiles(f_->path(), {.patientId = u"P-7"_s, .studyDate = u"20261207"_s, .rows = 64, .columns = 48}, 1, 2,
                                               u"again"_s),
                               [&] { return studiesOf(u"P-7"_s) == 2; }, [&] { return studies->model()->rowCount() == 2; });
        if (QTest::currentTestFailed())
            return;

        QCOMPARE(patients->model()->rowCount(), 32);
        const QModelIndexList selected = patients->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected[0].data().toString(), u"P-7"_s);
        QCOMPARE(patients->currentIndex().siblingAtColumn(0).data().toString(), u"P-7"_s);
        QCOMPARE(studies->currentIndex().siblingAtColumn(0).data(Qt::UserRole).toString(), studyUid_);
        QCOMPARE(studies->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(ws->session().selection().studyUid, studyUid_);
        QCOMPARE(w->findChild<ToolkitViewer *>(u"dv1"_s)->imageCount(), uids_.size());
        QCOMPARE(ListCount(ws->session().loadedImages()), uids_.size());
        QCOMPARE(patients->header()->sortIndicatorSection(), column);
        QCOMPARE(int(patients->header()->sortIndicatorOrder()), order);
        const QStringList shown = RowTexts(*patients->model(), column);
        QVERIFY2(order == Qt::AscendingOrder ? std::is_sorted(shown.begin(), shown.end()) : std::is_sorted(shown.rbegin(), shown.rend()),
                 qPrintable(shown.join(u", ")));
        QCOMPARE(scroll->value(), scrolled);
    }

    // A patient filed a moment before F2 (or a click on its button) is
    // listed, at the top by her name, and selected with her study listed; the
    // poll, set far off, cannot have listed her.
    void f2ListsAPatientFiledAMomentAgo_data()
    {
        QTest::addColumn<bool>("key");
        QTest::newRow("F2") << true;
        QTest::newRow("its button clicked") << false;
    }
    void f2ListsAPatientFiledAMomentAgo()
    {
        QFETCH(bool, key);
        siteStation();
        if (QTest::currentTestFailed())
            return;
        Child<QTimer>(*w, u"UpdateTimer"_s)->setInterval(3600 * 1000);
        QList<SyntheticImageSpec> first = FourViews(64, 48);
        for (SyntheticImageSpec &view : first)
            view.patientName = u"Zeller^Zoe"_s, view.patientId = u"Z-1"_s;
        QVERIFY(receive(first));
        w->toolButton(u"refresh"_s)->trigger();
        QCOMPARE(RowTexts(ws->browser().patients()), QStringList{u"Z-1"_s});

        QList<SyntheticImageSpec> arrived = FourViews(64, 48);
        for (SyntheticImageSpec &view : arrived)
            view.patientName = u"Aaron^Ann"_s, view.patientId = u"A-1"_s;
        QVERIFY(receive(arrived)); // filed, the rows read back
        QCoreApplication::processEvents(); // whatever is due now has run: the poll waits an hour
        QCOMPARE(RowTexts(ws->browser().patients()), QStringList{u"Z-1"_s}); // nothing listed her yet

        QPushButton *f2 = Child<QPushButton>(*w, u"cmdLorad0"_s);
        if (key) {
            f2->setFocus();
            QTest::keyClick(f2, Qt::Key_F2);
        } else {
            f2->click();
        }
        QTreeView *patients = Child<QTreeView>(*w, u"lvPatients"_s);
        QCOMPARE(RowTexts(*patients->model()), (QStringList{u"A-1"_s, u"Z-1"_s}));
        QCOMPARE(patients->currentIndex().row(), 0);
        QCOMPARE(ws->session().selection().patientId, u"A-1"_s);
        QCOMPARE(Child<QTreeView>(*w, u"lvStudien"_s)->model()->rowCount(), 1);
        QCOMPARE(ws->browser().studies().at(0)->tag.toString(), arrived[0].studyUid);
    }

    // The series list stands shown and empty from the start and stays so when
    // a study came and was loaded. With its series shown and one of them
    // loaded, a series that arrives for the study is listed within 2 s of its
    // filing, the loaded one still selected; its ".." row empties the list,
    // which stays shown.
    void seriesListShownFromTheStartAndFollowsArrivals()
    {
        siteStation();
        if (QTest::currentTestFailed())
            return;
        QGroupBox *frame = Child<QGroupBox>(*w, u"frmSerien"_s);
        QTreeView *series = Child<QTreeView>(*w, u"lvSerien"_s);
        QVERIFY(frame->isVisible() && series->isVisible());
        QVERIFY(series->height() > series->header()->height());
        QCOMPARE(series->model()->rowCount(), 0);
        const QStringList files = WriteStudyFiles(f_->path(), {.rows = 64, .columns = 48}, 2, 2, u"two"_s);
        QCOMPARE(Store(u"LUMORA"_s, receiverPort_, files), 0);
        QVERIFY(WaitFor([&] { return CountRows(u"tblImages"_s) == 4; }, 20000));
        loadStudyOf(u"PAT0001"_s, 4);
        QVERIFY(frame->isVisible());
        QCOMPARE(series->model()->rowCount(), 0);

        w->command(Command::StudySeries)->trigger();
        QCOMPARE(RowTexts(*series->model()), (QStringList{u".."_s, u"# 1"_s, u"# 2"_s}));
        const auto doubleClick = [series](int row) {
            const QPoint at = series->visualRect(series->model()->index(row, 0)).center();
            QTest::mouseClick(series->viewport(), Qt::LeftButton, {}, at); // a double click starts as a click
            QTest::mouseDClick(series->viewport(), Qt::LeftButton, {}, at);
        };
        doubleClick(2);
        const qlonglong loaded = ws->session().selection().seriesKey;
        QCOMPARE(loaded, series->model()->index(2, 0).data(Qt::UserRole).toLongLong());
        QTRY_COMPARE(ListCount(ws->session().loadedImages()), 2);

        SyntheticImageSpec third{.studyUid = ws->session().selection().studyUid, .seriesUid = NewSyntheticUid(), .sopUid = NewSyntheticUid(),
                                 .seriesNumber = 3, .rows = 64, .columns = 48};
        const QString file = f_->file(u"in/third.dcm"_s);
        QVERIFY(QDir().mkpath(f_->file(u"in"_s)) && WriteImage(third, file));
        const QString db = f_->file(u"Data/LumoraData.dat"_s);
        const auto seriesFiled = [&] {
            return QueryRows(db, u"SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?"_s, {ws->session().selection().studyKey}).size();
        };
        arriveWithinTwoSeconds(receiverPort_, {file}, [&] { return seriesFiled() == 3; },
                               [&] { return series->model()->rowCount() == 4; });
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(RowTexts(*series->model()), (QStringList{u".."_s, u"# 1"_s, u"# 2"_s, u"# 3"_s}));
        QCOMPARE(series->currentIndex().data(Qt::UserRole).toLongLong(), loaded);
        QCOMPARE(series->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(ws->session().selection().seriesKey, loaded);
        QCOMPARE(ListCount(ws->session().loadedImages()), 2);

        doubleClick(0);
        QVERIFY(frame->isVisible());
        QCOMPARE(series->model()->rowCount(), 0);
    }

    // A study and an exposure arrive while an import's progress dialog is up:
    // the lists stay as they are until the operator closes it, then show both
    // without a refresh, the loaded study kept.
    void listsWaitForTheJob()
    {
        station({});
        Child<QTimer>(*w, u"UpdateTimer"_s)->setInterval(50);
        bringUp();
        const int exposures = ws->doseList().rowCount();
        QSignalSpy polls(w.get(), &MainForm::patientListPollDue);
        bool looked = false;
        ws->runProgressDialog = [&](EditForm &form) {
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
            FixtureStudy late{.patientId = u"P-9"_s, .series = {FixtureSeries{1, {SyntheticImageSpec{.rows = 32, .columns = 24}}, {}, 0}}};
            QString error;
            QVERIFY2(AddStudy(f_->path(), late, &error), qPrintable(error));
            journalExposure(30, u"R CC"_s);
            polls.clear();
            QTRY_VERIFY(polls.size() >= 3);
            QCOMPARE(ws->browser().patients().count(), 1);
            QCOMPARE(ws->doseList().rowCount(), exposures);
            looked = true;
        };
        ws->chooseImportFiles = [&](bool) { return QStringList{f_->file(u"images/%1/%2.dcm"_s.arg(studyUid_, uids_.value(0)))}; };
        w->action(u"mnuImportImages"_s)->trigger();
        QVERIFY(looked);
        QTRY_COMPARE(ws->browser().patients().count(), 2);
        QTRY_COMPARE(ws->doseList().rowCount(), exposures + 1);
        QCOMPARE(ws->session().selection().patientId, u"P-7"_s);
        QCOMPARE(ws->session().selection().studyUid, studyUid_);
        QCOMPARE(w->findChild<ToolkitViewer *>(u"dv1"_s)->imageCount(), uids_.size());
    }

    // The operator clicks the third exposure and gives it another projection
    // with a projection button; meanwhile the first exposure is taken off the
    // list and a new one is decoded. The next poll shows the journal as it
    // is, and her exposure stays selected with her projection, and stays the
    // session's exposure that the merge stamps.
    void doseListFollowsTheJournal()
    {
        station({.projectionButtons = "R CC\r\nL CC\r\nR XCCL\r\n"});
        Child<QTimer>(*w, u"UpdateTimer"_s)->setInterval(50);
        bringUp();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTreeView *list = Child<QTreeView>(*w, u"lvDosis"_s);
        click(list, list->model()->index(2, 1));
        const qlonglong chosen = ws->doseList().id(2);
        QCOMPARE(ws->session().selectedExposure().journalId, chosen);
        Child<QPushButton>(*w, u"cmdProjection2"_s)->click();
        QCOMPARE(ws->doseList().text(2, DoseList::Other), u"R XCCL"_s);

        QVERIFY(journalExposure(30, u"R CC"_s) > 0);
        QTRY_COMPARE(ws->doseList().text(ws->doseList().rowCount() - 1, DoseList::KV), u"30"_s);
        QCOMPARE(ws->doseList().rowCount(), 5);
        const QModelIndexList selected = list->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(ws->doseList().id(selected[0].row()), chosen);
        QCOMPARE(list->currentIndex().row(), 2);
        QCOMPARE(ws->doseList().text(2, DoseList::Other), u"R XCCL"_s);
        QCOMPARE(ws->session().selectedExposure().journalId, chosen);
        QCOMPARE(ws->session().selectedExposure().other, u"R XCCL"_s);
        QCOMPARE(Child<QLineEdit>(*w, u"Text3_5"_s)->text(), u"R XCCL"_s);
    }

    // Ann's four views are loaded and her four exposures listed; the operator
    // points at a patient row and gives the merge command. Only Ann's images,
    // stamped, may go, and only to her may her exposures be assigned; after
    // another patient the command is refused, naming both. Afterwards no
    // exposure shows in the boxes, and "Add Task" makes no task of one.
    void mergeActsOnTheLoadedPatient_data()
    {
        QTest::addColumn<QString>("pointed"); // the patient row clicked after the load
        QTest::addColumn<bool>("rightButton");
        QTest::addColumn<QString>("command"); // "F1" on the merge button, or "Manually"
        QTest::addColumn<bool>("merges");
        QTest::newRow("F1 after another patient") << u"P-B"_s << false << u"F1"_s << false;
        QTest::newRow("F1 after another patient's menu") << u"P-B"_s << true << u"F1"_s << false;
        QTest::newRow("Manually after another patient") << u"P-B"_s << false << u"Manually"_s << false;
        QTest::newRow("F1 after her own row again") << u"P-A"_s << false << u"F1"_s << true;
    }
    void mergeActsOnTheLoadedPatient()
    {
        QFETCH(QString, pointed);
        QFETCH(bool, rightButton);
        QFETCH(QString, command);
        QFETCH(bool, merges);
        siteStation();
        if (QTest::currentTestFailed())
            return;
        StorePeer archive;
        QVERIFY(archive.start(f_->file(u"archive"_s), u"ARCHIVE"_s));
        addArchive(archive);
        ws->session().setExaminationType(2);
        Settings.SentAndKeep = 1;
        activateMammographyFilter();
        emit w->taskListPrepareDue();
        ws->runProgressDialog = [](EditForm &form) {
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 20000));
            Child<QPushButton>(form, u"cmdOK"_s)->click();
        };
        const QStringList views{u"R CC"_s, u"L CC"_s, u"R MLO"_s, u"L MLO"_s};
        for (int i = 0; i < views.size() && !QTest::currentTestFailed(); ++i)
            expose(views[i], 26 + i);
        QList<SyntheticImageSpec> ann, bea{SyntheticImageSpec{.patientName = u"Beta^Bea"_s, .patientId = u"P-B"_s}};
        for (int i = 0; i < views.size(); ++i)
            ann << SyntheticImageSpec{.patientName = u"Alpha^Ann"_s, .patientId = u"P-A"_s, .viewPosition = views[i].section(u' ', 1),
                                      .laterality = views[i].left(1), .instanceNumber = i + 1};
        QVERIFY(receive(ann));
        QVERIFY(receive(bea));
        loadStudyOf(u"P-A"_s, 4);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE(ws->doseList().rowCount(), 4);
        if (merges) {
            // She has looked at an exposure first: the send uses it up, and it is forgotten.
            ws->doseList().select(0);
            ws->doseList().choose(0);
            QCOMPARE(ws->session().chosenExposure().key(), ws->doseList().id(0));
        }

        QTreeView *patients = Child<QTreeView>(*w, u"lvPatients"_s);
        const QModelIndex row = rowOf(patients, pointed);
        QTest::mouseClick(patients->viewport(), rightButton ? Qt::RightButton : Qt::LeftButton, {}, patients->visualRect(row).center());
        if (rightButton) {
            QTRY_VERIFY(Child<QMenu>(*w, u"PopUpPatient"_s)->isVisible());
            Child<QMenu>(*w, u"PopUpPatient"_s)->hide();
        }
        if (command == u"F1"_s)
            QTest::keyClick(Child<QPushButton>(*w, u"cmdAll"_s), Qt::Key_F1);
        else
            QTest::mouseClick(Child<QPushButton>(*w, u"cmdSelected"_s), Qt::LeftButton);

        const QString journal = f_->file(u"LumoraData.dat"_s);
        QCOMPARE(QueryValue(journal, u"SELECT COUNT(*) FROM tblDosis WHERE FKeyPatID = 'P-B'"_s).toInt(), 0);
        QStringList received;
        for (const QString &name : archive.received()) {
            const ToolkitImagePtr image = ReadImage(archive.folder() + u'/' + name);
            received << (image ? Attribute(image, u"0010,0020"_s).value + u':' + Attribute(image, u"0018,0060"_s).value : name);
        }
        received.sort();
        if (merges) {
            QCOMPARE(received, (QStringList{u"P-A:26"_s, u"P-A:27"_s, u"P-A:28"_s, u"P-A:29"_s}));
            QCOMPARE(QueryValue(journal, u"SELECT COUNT(*) FROM tblDosis WHERE FKeyPatID = 'P-A' AND CAST(Status AS TEXT) = '1'"_s).toInt(), 4);
            QVERIFY2(prompter_->texts().isEmpty(), qPrintable(prompter_->texts().join(u" / ")));
        } else {
            QCOMPARE(received, QStringList());
            QCOMPARE(QueryValue(journal, u"SELECT COUNT(*) FROM tblDosis WHERE FKeyPatID IS NULL AND CAST(Status AS TEXT) = '0'"_s).toInt(), 4);
            QCOMPARE(prompter_->texts().size(), 1);
            const QString refusal = prompter_->texts().first();
            for (const QString &named : {u"Alpha, Ann"_s, u"P-A"_s, u"Beta, Bea"_s, u"P-B"_s})
                QVERIFY2(refusal.contains(named), qPrintable(refusal));
        }

        // The boxes show no exposure; loaded again and clicked, her image
        // gets no task of the exposure used last.
        QCOMPARE(ws->session().chosenExposure().key(), qlonglong(0));
        for (const QString &box : {u"txtID"_s, u"Text1"_s, u"Text2"_s, u"Text3_0"_s, u"Text3_1"_s, u"Text3_2"_s, u"Text3_3"_s, u"Text3_4"_s, u"Text3_5"_s})
            QVERIFY2(Child<QLineEdit>(*w, box)->text().isEmpty(), qPrintable(box + u": "_s + Child<QLineEdit>(*w, box)->text()));
        loadStudyOf(u"P-A"_s, 4);
        if (QTest::currentTestFailed())
            return;
        clickTile(0);
        QCOMPARE(Child<QTreeView>(*w, u"lvHeader"_s)->model()->rowCount(), 5);
        QTest::mouseClick(Child<QPushButton>(*w, u"cmdTask0"_s), Qt::LeftButton);
        QCOMPARE(Child<QTreeView>(*w, u"lvTasks"_s)->model()->rowCount(), 0);
    }

    // Two images of one series whose instance UIDs differ only in a last
    // "0" ("…7777.1" and "…7777.10"), listed and shown in either order. The
    // operator first clicks the other image's tile, then the image's row or
    // tile: that image is the current one, its row is the current row, and the
    // header view shows its values.
    void imagesAreFoundByTheirWholeUid_data()
    {
        QTest::addColumn<QStringList>("listed"); // the order they arrive in, and are listed in
        QTest::addColumn<QStringList>("shown");  // the order of their instance numbers, and of the tiles
        QTest::addColumn<QString>("clicked");    // "row" or "tile"
        QTest::addColumn<QString>("target");
        const QStringList oneFirst{u"1"_s, u"10"_s}, tenFirst{u"10"_s, u"1"_s};
        QTest::newRow("row of .10, .1 shown first") << oneFirst << oneFirst << u"row"_s << u"10"_s;
        QTest::newRow("row of .1, .10 shown first") << oneFirst << tenFirst << u"row"_s << u"1"_s;
        QTest::newRow("tile of .10, .1 listed first") << oneFirst << oneFirst << u"tile"_s << u"10"_s;
        QTest::newRow("tile of .1, .10 listed first") << tenFirst << oneFirst << u"tile"_s << u"1"_s;
    }
    void imagesAreFoundByTheirWholeUid()
    {
        QFETCH(QStringList, listed);
        QFETCH(QStringList, shown);
        QFETCH(QString, clicked);
        QFETCH(QString, target);
        siteStation();
        if (QTest::currentTestFailed())
            return;
        activateMammographyFilter();
        const QString base = u"2.25.%1.7777."_s.arg(QDateTime::currentMSecsSinceEpoch());
        const QMap<QString, QString> kv{{u"1"_s, u"26"_s}, {u"10"_s, u"31"_s}};
        QList<SyntheticImageSpec> images;
        for (const QString &last : listed)
            images << SyntheticImageSpec{.sopUid = base + last, .instanceNumber = int(shown.indexOf(last)) + 1, .extra = {{u"0018,0060"_s, kv[last]}}};
        QVERIFY(receive(images));
        loadStudyOf(u"PAT0001"_s, 2);
        if (QTest::currentTestFailed())
            return;

        const QString other = target == u"1"_s ? u"10"_s : u"1"_s;
        clickTile(int(shown.indexOf(other)));
        QCOMPARE(ImageUid(ws->session().currentImage()), base + other);
        QCOMPARE(headerValue(u"0018,0060"_s), kv[other]);
        QTreeView *list = Child<QTreeView>(*w, u"lvImages"_s);
        if (clicked == u"row"_s)
            click(list, list->model()->match(list->model()->index(0, 3), Qt::DisplayRole, base + target, 1, Qt::MatchExactly).value(0).siblingAtColumn(0));
        else
            clickTile(int(shown.indexOf(target)));
        QCOMPARE(ImageUid(ws->session().currentImage()), base + target);
        QCOMPARE(list->currentIndex().siblingAtColumn(3).data().toString(), base + target);
        QCOMPARE(headerValue(u"0018,0060"_s), kv[target]);
        QCOMPARE(w->statusPanel(3), u"Sel. image #: %1"_s.arg(shown.indexOf(target) + 1));
    }

    // The merge of the same two images, each of its own exposure (".1" R CC,
    // ".10" L CC), listed and shown in either order: each stamped copy
    // carries its own exposure.
    void mergeStampsEachLoadedImage_data()
    {
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QStringList>("shown");
        const QStringList oneFirst{u"1"_s, u"10"_s}, tenFirst{u"10"_s, u"1"_s};
        QTest::newRow(".1 listed first, .10 shown first") << oneFirst << tenFirst;
        QTest::newRow(".1 listed and shown first") << oneFirst << oneFirst;
        QTest::newRow(".10 listed and shown first") << tenFirst << tenFirst;
    }
    void mergeStampsEachLoadedImage()
    {
        QFETCH(QStringList, listed);
        QFETCH(QStringList, shown);
        siteStation();
        if (QTest::currentTestFailed())
            return;
        expose(u"R CC"_s, 26);
        expose(u"L CC"_s, 31);
        if (QTest::currentTestFailed())
            return;
        const QString base = u"2.25.%1.7777."_s.arg(QDateTime::currentMSecsSinceEpoch());
        QList<SyntheticImageSpec> images;
        for (const QString &last : listed)
            images << SyntheticImageSpec{.sopUid = base + last, .laterality = last == u"1"_s ? u"R"_s : u"L"_s,
                                         .instanceNumber = int(shown.indexOf(last)) + 1};
        QVERIFY(receive(images));
        loadStudyOf(u"PAT0001"_s, 2);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE(ws->doseList().rowCount(), 2);
        QTest::keyClick(Child<QPushButton>(*w, u"cmdAll"_s), Qt::Key_F1);
        QCOMPARE(prompter_->texts(), QStringList{u"No default SCP configured!"_s}); // the stamped copies stay in bin/
        QStringList stamped;
        for (const QString &last : {u"1"_s, u"10"_s}) {
            const ToolkitImagePtr copy = ReadImage(f_->file(u"bin/%1.dcm"_s.arg(base + last)));
            stamped << last + u'=' + (copy ? Attribute(copy, u"0018,0060"_s).value : u"<no stamped copy>"_s);
        }
        QCOMPARE(stamped, (QStringList{u"1=26"_s, u"10=31"_s}));
    }

    // The operator's day: the worklist's patient chosen, her four exposures
    // through the serial line, then New Examination; the next patient's four
    // views come through the receiver, F4 lists the day's open exposures
    // again (four, as many as the images) and F1 merges. Exposures taken for
    // another patient are refused, naming both, and nothing is stamped,
    // sent or assigned; her own are paired as before.
    void mergeRefusesAnotherPatientsExposures_data()
    {
        QTest::addColumn<QString>("worklistName"); // PN in the worklist; empty: no worklist patient chosen
        QTest::addColumn<QString>("worklistBirth");
        QTest::addColumn<QString>("imageName"); // of the views received
        QTest::addColumn<QString>("imageBirth");
        QTest::addColumn<QStringList>("named"); // in the refusal; empty: merged
        QTest::newRow("another patient's exposures") << u"Alpha^Ann"_s << u"19600501"_s << u"Beta^Bea"_s << u"19700101"_s
                                                     << QStringList{u"Ann Alpha"_s, u"Bea Beta (ID P-B"_s};
        // The image's birth date has the last word on her age: the worklist's is no other woman's.
        QTest::newRow("her name, the image's birth date") << u"Alpha^Ann"_s << u"19600501"_s << u"Alpha^Ann"_s << u"19700101"_s << QStringList();
        QTest::newRow("her own exposures") << u"Alpha^Ann"_s << u"19600501"_s << u"ALPHA^ANN"_s << u"19600501"_s << QStringList();
        QTest::newRow("her name with an apostrophe") << u"O'Brien^Anne"_s << u"19600501"_s << u"O'Brien^Anne"_s << u"19600501"_s << QStringList();
        QTest::newRow("taken without a worklist patient") << QString() << QString() << u"Beta^Bea"_s << u"19700101"_s << QStringList();
    }
    void mergeRefusesAnotherPatientsExposures()
    {
        QFETCH(QString, worklistName);
        QFETCH(QString, worklistBirth);
        QFETCH(QString, imageName);
        QFETCH(QString, imageBirth);
        QFETCH(QStringList, named);
        siteStation();
        if (QTest::currentTestFailed())
            return;
        WorklistPeer wlm;
        if (!worklistName.isEmpty()) {
            askWorklist(wlm);
            QVERIFY(wlm.add({.name = worklistName, .date = QDate::currentDate(), .time = u"0800"_s, .id = u"P-A"_s, .birthDate = worklistBirth}));
            QVERIFY(applyWorklistEntry(u"P-A"_s, 1));
        }
        const QStringList views{u"R CC"_s, u"L CC"_s, u"R MLO"_s, u"L MLO"_s};
        for (int i = 0; i < views.size() && !QTest::currentTestFailed(); ++i)
            expose(views[i], 26 + i);
        QTRY_COMPARE(ws->doseList().rowCount(), 4);
        QTest::mouseClick(Child<QPushButton>(*w, u"Command2"_s), Qt::LeftButton);
        QCOMPARE(ws->doseList().rowCount(), 0);

        QList<SyntheticImageSpec> next;
        for (int i = 0; i < views.size(); ++i)
            next << SyntheticImageSpec{.patientName = imageName, .patientId = u"P-B"_s, .birthDate = imageBirth,
                                       .viewPosition = views[i].section(u' ', 1), .laterality = views[i].left(1), .instanceNumber = i + 1};
        QVERIFY(receive(next));
        loadStudyOf(u"P-B"_s, 4);
        if (QTest::currentTestFailed())
            return;
        QTest::keyClick(Child<QPushButton>(*w, u"cmdLorad2"_s), Qt::Key_F4);
        QCOMPARE(ws->doseList().rowCount(), 4);
        QTest::keyClick(Child<QPushButton>(*w, u"cmdAll"_s), Qt::Key_F1);

        if (named.isEmpty()) {
            QCOMPARE(prompter_->texts(), QStringList{u"No default SCP configured!"_s}); // the stamped copies stay in bin/
            QCOMPARE(workFiles(), 4);
            return;
        }
        QCOMPARE(prompter_->texts().size(), 1);
        const QString refusal = prompter_->texts().first();
        for (const QString &name : named)
            QVERIFY2(refusal.contains(name), qPrintable(refusal));
        QVERIFY2(refusal.contains(u"Nothing was stamped or sent"_s), qPrintable(refusal));
        QCOMPARE(workFiles(), 0);
        const QString journal = f_->file(u"LumoraData.dat"_s);
        QCOMPARE(QueryValue(journal, u"SELECT COUNT(*) FROM tblDosis WHERE FKeyPatID IS NULL AND CAST(Status AS TEXT) = '0'"_s).toInt(), 4);
        QVERIFY(f_->read(u"Logs/Error.log"_s).contains(refusal.section(u'\r', 0, 0).toUtf8()));
    }

    // Her study loaded, the operator opens the menu of her row with the right
    // button, or clicks her row again: the image list and the study chosen
    // stay, as the viewer keeps her images.
    void pointingAtHerRowKeepsTheLists_data()
    {
        QTest::addColumn<bool>("rightButton");
        QTest::newRow("right button") << true;
        QTest::newRow("left button") << false;
    }
    void pointingAtHerRowKeepsTheLists()
    {
        QFETCH(bool, rightButton);
        loadFourViews();
        if (QTest::currentTestFailed())
            return;
        QTreeView *patients = Child<QTreeView>(*w, u"lvPatients"_s), *studies = Child<QTreeView>(*w, u"lvStudien"_s);
        const QString study = ws->session().selection().studyUid;
        QTest::mouseClick(patients->viewport(), rightButton ? Qt::RightButton : Qt::LeftButton, {},
                          patients->visualRect(rowOf(patients, u"PAT0001"_s)).center());
        if (rightButton) {
            QTRY_VERIFY(Child<QMenu>(*w, u"PopUpPatient"_s)->isVisible());
            Child<QMenu>(*w, u"PopUpPatient"_s)->hide();
        }
        QCOMPARE(tiles()->imageCount(), 4);
        QCOMPARE(Child<QTreeView>(*w, u"lvImages"_s)->model()->rowCount(), 4);
        QCOMPARE(studies->currentIndex().siblingAtColumn(0).data(Qt::UserRole).toString(), study);
        QVERIFY(studies->selectionModel()->isRowSelected(studies->currentIndex().row(), {}));
        QCOMPARE(ws->session().selection().studyUid, study);
    }

    // The toolbar's refresh empties the viewer and every list: the status bar
    // then names no patient, no image and no count, and nothing stays loaded.
    void refreshLeavesNothingShownOrLoaded()
    {
        loadFourViews();
        if (QTest::currentTestFailed())
            return;
        clickTile(0);
        QCOMPARE((QStringList{w->statusPanel(1), w->statusPanel(3), w->statusPanel(4)}),
                 (QStringList{u"Patient: Doe, Jane"_s, u"Sel. image #: 1"_s, u"4 image(s)"_s}));
        QToolBar *toolbar = Child<QToolBar>(*w, u"Toolbar1"_s);
        QTest::mouseClick(toolbar->widgetForAction(w->toolButton(u"refresh"_s)), Qt::LeftButton);
        QCOMPARE(tiles()->imageCount(), 0);
        for (const char *list : {"lvStudien", "lvImages"})
            QCOMPARE(Child<QTreeView>(*w, QLatin1String(list))->model()->rowCount(), 0);
        QCOMPARE((QStringList{w->statusPanel(1), w->statusPanel(2), w->statusPanel(3), w->statusPanel(4)}), QStringList(4, QString()));
        QCOMPARE(ListCount(ws->session().loadedImages()), 0);
        QVERIFY(!ws->session().currentImage());
    }
};

LUMORA_WIDGETS_TEST_MAIN(WorkstationTest, 1280, 1024)
#include "tst_workstation.moc"
