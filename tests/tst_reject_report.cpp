// The whole workstation, offscreen, with a unit of type 1 on a serial line, the
// receiver and an Orthanc archive as the storage partner: an exposure the
// operator deletes from the dose list during her examination goes with F1 into
// her study's dose report as a rejected irradiation event, counted in her
// breast's accumulated AGD; two studies of one woman on one day each report
// their own exposures, also when the first is sent again.
#include "app/MainForm.h"
#include "app/Workstation.h"
#include "core/Settings.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "jobs/EditForm.h"
#include "store/DatabasePaths.h"
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/UnitOne.h"
#include "support/SendJob.h"
#include "support/Widgets.h"
#include "toolkit/DoseReport.h"

#include <QJsonObject>
#include <QMenu>
#include <QRegularExpression>
#include <QTreeView>

class RejectReportTest : public QObject {
    Q_OBJECT

    static inline const QDate Day{2026, 12, 7};
    OrthancPeer orthanc_;
    std::unique_ptr<TestFolder> f_;
    std::unique_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<PtyPair> pty_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 receiverPort_ = 0;
    std::unique_ptr<MainForm> w;
    std::unique_ptr<Workstation> ws;
    QString sent_; // the last send's progress text

    QString journal() const { return f_->file(u"LumoraData.dat"_s); }

    // A calibrated station of unit type 1 whose default partner is the archive.
    void station()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        QVERIFY(QFile::copy(f_->file(u"Data/LumoraDef.dat"_s), journal()));
        pty_ = std::make_unique<PtyPair>();
        QVERIFY2(pty_->ready(), "socat made no pty pair");
        StationReceiver started = StartStationReceiver(*f_, u"LUMORA"_s);
        QVERIFY2(started.process, "the receiver did not answer");
        receiver_ = std::move(started.process);
        receiverPort_ = started.port;
        Settings.XrayComm = 1;
        Settings.ModifyImageHeader = 1;
        Settings.SentAndKeep = 1;
        Settings.Port = 1;
        Settings.ComDevice[0] = pty_->workstationEnd();
        prompter_ = std::make_unique<RecordingPrompter>();
        w = std::make_unique<MainForm>(*prompter_);
        ws = std::make_unique<Workstation>(*w, *prompter_);
        const QString calibrated = CalibrateUnitOne(*f_);
        QVERIFY2(calibrated.isEmpty(), qPrintable(calibrated));
        const QString added = AddStoragePartner(u"Archive"_s, {u"ORTHANC"_s, u"127.0.0.1"_s, QString::number(orthanc_.dicomPort())}, true);
        QVERIFY2(added.isEmpty(), qPrintable(added));
        emit ws->session().partnersChanged();
        ws->session().setExaminationType(2);
        ws->doseList().setToday([] { return Day; });
        ws->capture().setClock([] { return QDateTime(Day, QTime(10, 22, 31)); });
        ws->runProgressDialog = [this](EditForm &form) {
            form.show();
            QVERIFY(WaitFor([&] { return form.isDone(); }, 30000));
            sent_ = form.progressText();
            Child<QPushButton>(form, u"cmdOK"_s)->click();
        };
        w->reopenSerialPort();
        QVERIFY(ws->capture().port().isOpen());
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    }

    // One exposure as unit type 1 reports it, through the serial line into the journal.
    void expose(const QString &projection, int kv)
    {
        const qlonglong before = CountRows(journal(), u"tblDosis"_s);
        QVERIFY(pty_->send(UnitOneMessage(projection, kv)));
        QVERIFY2(WaitFor([&] { return CountRows(journal(), u"tblDosis"_s) == before + 1; }, 15000), "the exposure did not reach the journal");
    }

    // Her images of one study ("R CC" ...) through the receiver; the study's UID.
    QString receive(const QStringList &views)
    {
        QStringList files;
        const QString study = NewSyntheticUid(), series = NewSyntheticUid();
        for (int i = 0; i < views.size(); ++i) {
            const SyntheticImageSpec spec{.studyUid = study, .seriesUid = series, .sopUid = NewSyntheticUid(), .studyDate = u"20261207"_s,
                                          .viewPosition = views[i], .laterality = views[i].left(1), .instanceNumber = i + 1,
                                          .rows = 64, .columns = 48};
            files << f_->file(u"in/%1.dcm"_s.arg(spec.sopUid));
            if (!WriteImage(spec, files.last()))
                return {};
        }
        const qlonglong before = CountRows(u"tblImages"_s);
        const bool stored = Store(u"LUMORA"_s, receiverPort_, files) == 0
            && WaitFor([&] { return CountRows(u"tblImages"_s) == before + files.size(); }, 20000);
        return stored ? study : QString();
    }

    static QModelIndex rowOf(QTreeView *list, int column, const QString &text, int role = Qt::DisplayRole)
    {
        return list->model()->match(list->model()->index(0, column), role, text, 1, Qt::MatchExactly).value(0);
    }
    // The row clicked where it shows: the first shown column when the one asked for is hidden.
    static void click(QTreeView *list, const QModelIndex &index, Qt::MouseButton button = Qt::LeftButton)
    {
        QModelIndex shown = index;
        for (int v = 0; list->isColumnHidden(shown.column()) && v < list->header()->count(); ++v)
            shown = index.siblingAtColumn(list->header()->logicalIndex(v));
        list->scrollTo(shown);
        QTest::mouseClick(list->viewport(), button, {}, list->visualRect(shown).center());
    }

    // Refresh, her patient row, the study's row: its images in the viewer.
    void loadStudy(const QString &studyUid, int images)
    {
        w->toolButton(u"refresh"_s)->trigger();
        QTreeView *patients = Child<QTreeView>(*w, u"lvPatients"_s), *studies = Child<QTreeView>(*w, u"lvStudien"_s);
        click(patients, rowOf(patients, 0, u"PAT0001"_s));
        const QModelIndex study = rowOf(studies, 0, studyUid, Qt::UserRole);
        QVERIFY2(study.isValid(), "the study is not listed");
        click(studies, study);
        QTRY_COMPARE(ListCount(ws->session().loadedImages()), images);
        QTRY_VERIFY(!ws->session().imageLoadActive()); // a merge waits for the load to end
        QCOMPARE(ws->session().loadedFor().studyUid, studyUid);
    }

    // The dose list's row right-clicked and "Delete" chosen from its menu.
    void deleteExposure(int row)
    {
        QTreeView *list = Child<QTreeView>(*w, u"lvDosis"_s);
        int shown = 0; // the row where it shows: its first column not hidden
        while (list->isColumnHidden(shown))
            ++shown;
        click(list, list->model()->index(row, shown), Qt::RightButton);
        QTRY_VERIFY_WITH_TIMEOUT(Child<QMenu>(*w, u"Popup_Dosis"_s)->isVisible(), 2000);
        Child<QMenu>(*w, u"Popup_Dosis"_s)->hide();
        w->command(Command::DeleteExposure)->trigger();
    }

    void pressF1() { QTest::keyClick(Child<QPushButton>(*w, u"cmdAll"_s), Qt::Key_F1); }

    // The workstation's report of the study as the archive holds it, written
    // to a file; empty when there is none or more than one.
    QString archivedReport(const QString &studyUid, const QString &name)
    {
        QStringList found;
        const QMap<QString, QString> stored = orthanc_.instances();
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            const QJsonObject tags = orthanc_.get(u"/instances/%1/simplified-tags"_s.arg(*it)).toObject();
            if (tags.value(u"SOPClassUID"_s).toString() == QLatin1String(DoseReportSopClass)
                && tags.value(u"StudyInstanceUID"_s).toString() == studyUid)
                found << *it;
        }
        if (found.size() != 1)
            return {};
        bool ok = false;
        const QByteArray bytes = orthanc_.raw("GET", u"/instances/%1/file"_s.arg(found[0]), &ok);
        const QString path = f_->file(name);
        QFile file(path);
        if (!ok || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }
    static QString tree(const QString &path)
    {
        QProcess p;
        p.start(u"dsrdump"_s, {u"+Pl"_s, path});
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    // The accumulated AGD per breast ("L", "R") in the report's tree.
    static QMap<QString, double> accumulated(const QString &dump)
    {
        QMap<QString, double> out;
        static const QRegularExpression sum(u"\"Accumulated Average Glandular Dose\"\\)=\"([0-9.]+)\"[^\\n]*\\n[^\\n]*\"(Left|Right) breast\""_s);
        for (auto m = sum.globalMatch(dump); m.hasNext();) {
            const QRegularExpressionMatch one = m.next();
            out.insert(one.captured(2).left(1), one.captured(1).toDouble());
        }
        return out;
    }
    // Event UIDs and AGDs of journal rows, read.
    QStringList eventUids(const QString &where)
    {
        QStringList uids;
        for (const QVariantList &row : QueryRows(journal(), u"SELECT IrradiationEventUID FROM tblDosis "_s + where + u" ORDER BY ID"_s))
            uids << row.value(0).toString();
        return uids;
    }
    double agdSum(const QString &where)
    {
        return QueryValue(journal(), u"SELECT SUM(AGD) FROM tblDosis "_s + where).toDouble();
    }

private slots:
    void initTestCase()
    {
        const QString why = orthanc_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    void init() { QVERIFY(orthanc_.removeEverything()); }
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

    // Three exposures, R-CC taken twice: the first is deleted from the dose
    // list (asked, answered Yes), F1 merges the two images with the two
    // exposures left and sends them. The archive's report has three events,
    // the rejected one marked, and the right breast's accumulated AGD counts
    // both R-CC exposures.
    void rejectedExposureReachesTheArchive()
    {
        station();
        if (QTest::currentTestFailed())
            return;
        for (const auto &[projection, kv] : {std::pair{u"R-CC"_s, 27}, std::pair{u"R-CC"_s, 28}, std::pair{u"L-CC"_s, 29}}) {
            expose(projection, kv);
            if (QTest::currentTestFailed())
                return;
        }
        const QString study = receive({u"R CC"_s, u"L CC"_s});
        QVERIFY(!study.isEmpty());
        loadStudy(study, 2);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE(ws->doseList().rowCount(), 3);
        const qlonglong rejected = ws->doseList().id(0);

        // F1 first: two images, three exposures listed.
        pressF1();
        QCOMPARE(prompter_->texts().value(0), u"There are not all images on the system please wait a few second and try again!"_s);
        QVERIFY(orthanc_.instances().isEmpty());

        deleteExposure(0);
        QCOMPARE(prompter_->boxes.size(), 2);
        QCOMPARE(prompter_->boxes[1].kind, u"confirm"_s);
        QVERIFY2(prompter_->boxes[1].text.startsWith(u"Reject exposure Mo,Rh,27,R-CC,AEC (10:22:31, 27 kV"_s) && prompter_->boxes[1].text.contains(u"(ID PAT0001)"_s),
                 qPrintable(prompter_->boxes[1].text));
        QCOMPARE(ws->doseList().rowCount(), 2);
        QCOMPARE(QueryRows(journal(), u"SELECT Status, FKeyPatID, StudyUID FROM tblDosis WHERE ID = ?"_s, {rejected}),
                 (QList<QVariantList>{{u"2"_s, u"PAT0001"_s, study}}));

        pressF1();
        QCOMPARE(prompter_->boxes.size(), 2);
        QTRY_COMPARE(orthanc_.instances().size(), 3);
        const QString report = archivedReport(study, u"report.dcm"_s);
        QVERIFY(!report.isEmpty());
        QCOMPARE(DoseReportEventCount(report), 3);
        const QString dump = tree(report);
        // Kept beside the test to be read (dsrdump of a unit-1 examination with a rejected exposure).
        QFile::remove(TestBinDir() + u"/reject-report.dcm"_s);
        QFile::copy(report, TestBinDir() + u"/reject-report.dcm"_s);
        for (const QString &uid : eventUids(QString()))
            QVERIFY2(dump.contains(uid), qPrintable(uid));
        QVERIFY2(dump.count(u"Rejected exposure: no image kept"_s) == 1, qPrintable(dump));
        // The unit entered with the calibration observed and irradiated, the rejected exposure too.
        QVERIFY2(dump.count(u"=\"Orvix Medical\""_s) == 4 && !dump.contains(u"\"unknown\""_s), qPrintable(dump));
        const QMap<QString, double> sums = accumulated(dump);
        QCOMPARE(sums.keys(), (QList<QString>{u"L"_s, u"R"_s}));
        QVERIFY2(qAbs(sums[u"R"_s] - agdSum(u"WHERE Sonstiges LIKE '%R-CC%'"_s)) < 1e-3, qPrintable(dump));
        QVERIFY2(qAbs(sums[u"L"_s] - agdSum(u"WHERE Sonstiges LIKE '%L-CC%'"_s)) < 1e-3, qPrintable(dump));
        QCOMPARE(ValidationErrors(report), QStringList());
        const QString validated = SrValidatorOutput(report);
        QVERIFY2(validated.contains(u"Found Root Template TID_10001"_s) && !validated.contains(u"Error:"_s), qPrintable(validated));
        // The two sent are hers and assigned; the rejected one stays rejected.
        QCOMPARE(QueryRows(journal(), u"SELECT Status, FKeyPatID, StudyUID FROM tblDosis ORDER BY ID"_s),
                 (QList<QVariantList>{{u"2"_s, u"PAT0001"_s, study}, {u"1"_s, u"PAT0001"_s, study}, {u"1"_s, u"PAT0001"_s, study}}));
        QCOMPARE(ws->doseList().rowCount(), 0);
    }

    // Two examinations of her the same day, each with its own study: the
    // first with R-CC (one rejected) and L-CC, the second with R-MLO (one
    // rejected) and L-MLO. Each F1 sends her studies; each report holds its own exposures
    // only, the first one the same two when it goes again with the second.
    void twoStudiesOfOneDayReportTheirOwn()
    {
        station();
        if (QTest::currentTestFailed())
            return;
        // Each examination rejects one exposure: the second send must not take the first's.
        expose(u"R-CC"_s, 26);
        expose(u"R-CC"_s, 27);
        expose(u"L-CC"_s, 28);
        const QString first = receive({u"R CC"_s, u"L CC"_s});
        QVERIFY(!first.isEmpty());
        loadStudy(first, 2);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE(ws->doseList().rowCount(), 3);
        deleteExposure(0);
        QCOMPARE(ws->doseList().rowCount(), 2);
        pressF1();
        QTRY_COMPARE(orthanc_.instances().size(), 3);
        const QStringList firstEvents = eventUids(QString());
        QCOMPARE(firstEvents.size(), 3);
        QCOMPARE(DoseReportEventCount(archivedReport(first, u"first.dcm"_s)), 3);
        // Its report is filed beside its images before the next study comes.
        QTRY_COMPARE_WITH_TIMEOUT(CountRows(u"tblImages"_s), 3, 10000);

        expose(u"R-MLO45"_s, 29);
        expose(u"R-MLO45"_s, 30);
        expose(u"L-MLO45"_s, 28);
        const QString second = receive({u"R MLO"_s, u"L MLO"_s});
        QVERIFY(!second.isEmpty());
        loadStudy(second, 2);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE(ws->doseList().rowCount(), 3);
        deleteExposure(0);
        QCOMPARE(ws->doseList().rowCount(), 2);
        QVERIFY(orthanc_.removeEverything());
        pressF1();
        QVERIFY2(WaitFor([&] { return orthanc_.instances().size() == 6; }, 10000), qPrintable(sent_));
        QVERIFY2(prompter_->texts().size() == 2, qPrintable(prompter_->texts().join(u" / "_s)));

        const QString firstAgain = archivedReport(first, u"first-again.dcm"_s), secondReport = archivedReport(second, u"second.dcm"_s);
        QCOMPARE(DoseReportEventCount(firstAgain), 3);
        QCOMPARE(DoseReportEventCount(secondReport), 3);
        const QString firstTree = tree(firstAgain), secondTree = tree(secondReport);
        const QStringList secondEvents = eventUids(QString()).mid(3);
        QCOMPARE(secondEvents.size(), 3);
        for (const QString &uid : firstEvents)
            QVERIFY2(firstTree.contains(uid) && !secondTree.contains(uid), qPrintable(uid));
        for (const QString &uid : secondEvents)
            QVERIFY2(secondTree.contains(uid) && !firstTree.contains(uid), qPrintable(uid));
        QCOMPARE(secondTree.count(u"Rejected exposure: no image kept"_s), 1);
        QCOMPARE(firstTree.count(u"Rejected exposure: no image kept"_s), 1);
        QVERIFY2(qAbs(accumulated(secondTree).value(u"R"_s) - agdSum(u"WHERE Sonstiges LIKE '%R-MLO%'"_s)) < 1e-3, qPrintable(secondTree));
        QCOMPARE(QueryRows(journal(), u"SELECT COUNT(*) FROM tblDosis WHERE StudyUID = ?"_s, {first}).value(0).value(0).toInt(), 3);
        QCOMPARE(QueryRows(journal(), u"SELECT COUNT(*) FROM tblDosis WHERE StudyUID = ?"_s, {second}).value(0).value(0).toInt(), 3);
    }
};

LUMORA_WIDGETS_TEST_MAIN(RejectReportTest, 1280, 1024)
#include "tst_reject_report.moc"
