// The main window with all its subsystems, offscreen: "Merge Image/s" pairs
// each received view with the exposure of its projection for every unit type,
// and the send that follows asks before it drops undone tasks.
#include "acquisition/ImageViewer.h"
#include "acquisition/ProjectionAssignment.h"
#include "app/MainForm.h"
#include "app/Workstation.h"
#include "browse/Browser.h"
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "exposure/DoseList.h"
#include "network/SendJobs.h"
#include "store/DatabasePaths.h"
#include "support/Peers.h"
#include "support/Station.h"
#include "support/Widgets.h"
#include "toolkit/SyntheticImage.h"
#include "toolkit/Toolkit.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QTimer>
#include <QtTest>

class WorkstationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    std::unique_ptr<RecordingPrompter> prompter_;
    QStringList uids_;
    QDate exposureDate_;

    // A station of the unit type with one received study of the views
    // ("ViewPosition|laterality|orientation as the detector may send it") and
    // today's exposures with their projections and kV.
    void station(qint16 unit, const QStringList &views, const QStringList &projections, const QList<int> &kvs)
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        QVERIFY(QFile::copy(f_->file(QStringLiteral("Data/LumoraDef.dat")), f_->file(QStringLiteral("LumoraData.dat"))));
        Settings.XrayComm = unit;
        DefaultPartner = {};
        SecondPartner = {};
        RememberedSide.clear();
        ClearCurrentImage();
        ListClear(LoadedImageList);
        prompter_ = std::make_unique<RecordingPrompter>();

        FixtureStudy study;
        study.patientId = QStringLiteral("P-7");
        FixtureSeries series;
        for (int i = 0; i < views.size(); ++i) {
            const QStringList v = views[i].split(QLatin1Char('|'));
            SyntheticImageSpec spec;
            spec.rows = 64;
            spec.columns = 48;
            spec.instanceNumber = i + 1;
            spec.viewPosition = v[0];
            spec.laterality = v[1];
            if (v.size() > 2)
                spec.extra = {{QStringLiteral("0020,0020"), v[2]}};
            series.images << spec;
        }
        study.series << series;
        QString error;
        QVERIFY2(AddStudy(f_->path(), study, &error, false), qPrintable(error));
        uids_.clear();
        for (const SyntheticImageSpec &spec : study.series[0].images)
            uids_ << spec.sopUid;

        exposureDate_ = QDate::currentDate();
        QVERIFY(OpenUserDatabase());
        for (int i = 0; i < projections.size(); ++i)
            QVERIFY(Execute(UserDatabase, QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
                                                         "VALUES (?, '80', '10:00:00', '45', '1,1', '12', ?, ?, '0', '400')"),
                            {QString::number(kvs[i]), DbDate(exposureDate_), projections[i]})
                        .ok);
        CloseUserDatabase();
    }

    // The dose list shows today's exposures: dated anew should midnight have
    // passed since they were written.
    void fillDoseList(Workstation &ws)
    {
        if (QDate::currentDate() != exposureDate_) {
            exposureDate_ = QDate::currentDate();
            QueryRows(f_->file(QStringLiteral("LumoraData.dat")), QStringLiteral("UPDATE tblDosis SET Datum = ?"), {DbDate(exposureDate_)});
        }
        ws.doseList().lvDosis_Fill();
    }

    // Patient, study and dose list as the operator brings them up.
    void bringUp(MainForm &w, Workstation &ws)
    {
        ws.browser().RefreshPatientList();
        QCOMPARE(w.lvPatients->topLevelItemCount(), 1);
        ws.browser().lvPatients_ItemClick(w.lvPatients->topLevelItem(0));
        QCOMPARE(w.lvStudien->topLevelItemCount(), 1);
        ws.browser().lvStudien_ItemClick(w.lvStudien->topLevelItem(0));
        QTRY_COMPARE(ListCount(LoadedImageList), uids_.size());
        fillDoseList(ws);
    }

    // "image:gggg,eeee=value" of each expected entry, read from the stamped
    // copies in the work folder.
    QStringList stampedValues(const QStringList &expected)
    {
        QStringList actual;
        for (const QString &entry : expected) {
            const int image = entry.section(QLatin1Char(':'), 0, 0).toInt();
            const QString tag = entry.section(QLatin1Char(':'), 1).section(QLatin1Char('='), 0, 0);
            ToolkitImageList list;
            const QString value = ReadFileIntoList(list, f_->file(QStringLiteral("bin/%1.dcm").arg(uids_[image])))
                                      ? GetAttribute(ListItem(list, 1), tag.left(4).toUShort(nullptr, 16), tag.mid(5).toUShort(nullptr, 16)).value
                                      : QStringLiteral("<no stamped file>");
            actual << QStringLiteral("%1:%2=%3").arg(image).arg(tag, value);
        }
        return actual;
    }
    int workFiles() const { return QDir(f_->file(QStringLiteral("bin"))).entryList(QDir::Files).size(); }

    const QStringList fourViews{QStringLiteral("CC|R"), QStringLiteral("CC|L"), QStringLiteral("MLO|R"), QStringLiteral("MLO|L")};
    const QStringList fourProjections{QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO"), QStringLiteral("L MLO")};

private slots:
    void cleanup()
    {
        prompter_.reset();
        ReleaseConnections();
        f_.reset();
    }

    void mergeAll_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QStringList>("views");
        QTest::addColumn<QStringList>("projections");
        QTest::addColumn<QList<int>>("kvs");
        QTest::addColumn<bool>("modifyHeader");
        QTest::addColumn<int>("stampedFiles");
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QByteArray>("logged");
        QTest::addColumn<bool>("pressedTwice");
        QTest::addColumn<bool>("whileLoading");
        // Exposures in another order than the images; no partner, so the
        // stamped images wait in the work folder.
        QTest::newRow("polled unit pairs by projection")
            << 4 << fourViews << QStringList{"L MLO", "R CC", "L CC", "R MLO"} << QList<int>{31, 26, 27, 28} << true << 4
            << QStringList{"0:0018,0060=26", "1:0018,0060=27", "2:0018,0060=28", "3:0018,0060=31", "3:0018,1530=45",
                           "0:0018,1150=400", "0:0040,8302=1.1", "2:0020,0020=P|FL"}
            << QStringList{"No default SCP configured!"} << QByteArray() << false << false;
        // F1 pressed again while the images are stamped: one merge.
        QTest::newRow("merge pressed twice")
            << 4 << fourViews << fourProjections << QList<int>{26, 27, 28, 29} << true << 4
            << QStringList{"0:0018,0060=26", "1:0018,0060=27", "2:0018,0060=28", "3:0018,0060=29"}
            << QStringList{"No default SCP configured!"} << QByteArray() << true << false;
        // F1 while a study still loads does nothing.
        QTest::newRow("merge while images load")
            << 4 << fourViews << fourProjections << QList<int>{26, 27, 28, 29} << true << 0 << QStringList() << QStringList()
            << QByteArray() << false << true;
        // The unit reports seconds, the header holds milliseconds; its free
        // text is no sensitivity value: logged, not written.
        QTest::newRow("first unit reads the fourth field")
            << 1 << QStringList{"R CC|R", "L-MLO|L"} << QStringList{"1,2,3,L-MLO45,5", "1,2,3,R-CC,5"} << QList<int>{30, 25} << true << 2
            << QStringList{"0:0018,0060=25", "1:0018,0060=30", "1:0018,1530=45", "0:0018,1150=400000", "0:0018,6000="}
            << QStringList{"No default SCP configured!"} << QByteArray("MainForm cmdAll_Click") << false << false;
        QTest::newRow("counts must match")
            << 4 << fourViews << fourProjections.mid(0, 3) << QList<int>{26, 27, 28} << true << 0 << QStringList()
            << QStringList{"There are not all images on the system please wait a few second and try again!"} << QByteArray() << false << false;
        QTest::newRow("without header changes only the values")
            << 4 << fourViews << fourProjections << QList<int>{26, 27, 28, 29} << false << 4
            << QStringList{"1:0018,0060=27", "1:0008,0060=MG", "1:0054,0220=", "2:0018,1530=45"}
            << QStringList{"No default SCP configured!"} << QByteArray() << false << false;
    }
    void mergeAll()
    {
        QFETCH(int, unit);
        QFETCH(QStringList, views);
        QFETCH(QStringList, projections);
        QFETCH(QList<int>, kvs);
        QFETCH(bool, modifyHeader);
        QFETCH(int, stampedFiles);
        QFETCH(QStringList, values);
        QFETCH(QStringList, boxes);
        QFETCH(QByteArray, logged);
        QFETCH(bool, pressedTwice);
        QFETCH(bool, whileLoading);
        station(qint16(unit), views, projections, kvs);
        if (!modifyHeader)
            Settings.ModifyImageHeader = 0;
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        if (pressedTwice)
            QTimer::singleShot(0, &w, [&ws] { ws.assignment().cmdAll_Click(); });
        ImageLoadActive = whileLoading;
        ws.assignment().cmdAll_Click();
        ImageLoadActive = false;
        if (whileLoading) {
            QCOMPARE(workFiles(), 0);
            QCOMPARE(prompter_->texts(), QStringList());
            return;
        }
        QCOMPARE(AssignmentMode, qint16(1));
        QCOMPARE(stampedValues(values), values);
        QCOMPARE(workFiles(), stampedFiles);
        QCOMPARE(prompter_->texts(), boxes);
        if (!logged.isEmpty())
            QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains(logged));
    }

    void secondUnitStampsInMemoryOnly()
    {
        station(2, {QStringLiteral("CC|R|P\\L"), QStringLiteral("MLO|L|A\\FR")}, {QStringLiteral("L-LMO45"), QStringLiteral("R-CC")}, {30, 25});
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        ws.assignment().cmdAll_Click();
        QCOMPARE(workFiles(), 0);
        QCOMPARE(GetAttribute(ListItem(LoadedImageList, 1), 0x0008, 0x0016).value, QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"));
        QVERIFY(!GetAttribute(ListItem(LoadedImageList, 1), 0x0018, 0x0060).exists); // no exposure values for this unit

        // An exposure without a projection stops the command.
        QueryRows(f_->file(QStringLiteral("LumoraData.dat")), QStringLiteral("UPDATE tblDosis SET Sonstiges = '' WHERE ID = 1"));
        fillDoseList(ws);
        prompter_->boxes.clear();
        ws.assignment().cmdAll_Click();
        QCOMPARE(prompter_->boxes.size(), 1);
        QCOMPARE(prompter_->boxes[0].kind, QStringLiteral("critical"));
        QVERIFY(prompter_->boxes[0].text.startsWith(QStringLiteral("You have not set the projection")));
    }

    void undoneTasksAnsweredNoSendsNothing()
    {
        station(4, fourViews, fourProjections, {26, 27, 28, 29});
        StorePeer archive;
        QVERIFY(archive.start(f_->file(QStringLiteral("archive")), QStringLiteral("ARCHIVE")));
        DefaultPartner = {QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), QString::number(archive.port())};

        MainForm w;
        Workstation ws(w);
        bool dialogRan = false;
        ws.runProgressDialog = [&](EditForm &) { dialogRan = true; };
        bringUp(w, ws);
        w.lvTasks->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("Study")}));
        prompter_->answer = false;
        ws.assignment().cmdAll_Click();
        QCOMPARE(prompter_->boxes.last().text, QStringLiteral("Undone tasks in list!\r\nContinue?"));
        QVERIFY(!dialogRan);
        QVERIFY(!PartnerConnection);
        QCOMPARE(w.lvTasks->topLevelItemCount(), 1);
        QVERIFY(archive.received().isEmpty());

        // Yes drops the tasks and runs the send.
        prompter_->answer = true;
        ws.assignment().cmdAll_Click();
        QVERIFY(dialogRan);
        QCOMPARE(w.lvTasks->topLevelItemCount(), 0);
    }

    void manualMergeStampsTheSelectedImage()
    {
        station(4, fourViews, fourProjections, {26, 27, 28, 29});
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        ws.viewer().SelectImage(2);
        ws.doseList().lvDosis_ItemClick(w.lvDosis->topLevelItem(3));
        ws.assignment().cmdSelected_Click();
        QCOMPARE(AssignmentMode, qint16(3));
        const QStringList expected{"1:0018,0060=29", "1:0020,0062=L"};
        QCOMPARE(stampedValues(expected), expected);
        QCOMPARE(workFiles(), 1);
    }

    void projectionButtonRewritesTheExposure()
    {
        station(4, fourViews, {QStringLiteral("R CC")}, {26});
        f_->write(QStringLiteral("projection.ini"), "R CC\r\nL CC\r\nR XCCL\r\n");
        MainForm w;
        Workstation ws(w);
        QCOMPARE(w.cmdProjection[2]->text(), QStringLiteral("R XCCL"));
        QVERIFY(w.cmdProjection[2]->isEnabled());
        QVERIFY(!w.cmdProjection[3]->isEnabled());
        fillDoseList(ws);
        w.lvDosis->setCurrentItem(w.lvDosis->topLevelItem(0));
        prompter_->answer = false;
        w.cmdProjection[2]->click();
        QCOMPARE(w.lvDosis->topLevelItem(0)->text(8), QStringLiteral("R CC"));
        prompter_->answer = true;
        w.cmdProjection[2]->click();
        QCOMPARE(prompter_->boxes.last().text, QStringLiteral("Do you really want to change the projection entry ?"));
        QCOMPARE(w.lvDosis->topLevelItem(0)->text(8), QStringLiteral("R XCCL"));
        QCOMPARE(w.exposureBoxes[5]->text(), QStringLiteral("R XCCL"));
    }
};

LUMORA_WIDGETS_TEST_MAIN(WorkstationTest, 1280, 1024)
#include "tst_workstation.moc"
