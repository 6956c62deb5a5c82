// The main window with all its subsystems, offscreen: "Merge Image/s" pairs
// each received view with the exposure of its projection for every unit type,
// and the send that follows asks before it drops undone tasks.
#include "acquisition/ImageViewer.h"
#include "acquisition/ProjectionAssignment.h"
#include "app/MainForm.h"
#include "core/Settings.h"
#include "app/Workstation.h"
#include "core/WorkstationState.h"
#include "exposure/DoseList.h"
#include "network/SendJobs.h"
#include "browse/Browser.h"
#include "store/DatabasePaths.h"
#include "support/StorePeer.h"
#include "support/TestFolder.h"
#include "support/Widgets.h"
#include "toolkit/SyntheticImage.h"
#include "toolkit/Toolkit.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeWidget>
#include <QtTest>

namespace {

struct View {
    QString viewPosition;
    QString laterality;
    QString orientation; // as the detector may send it
};

} // namespace

class WorkstationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    RecordingPrompter prompter_;
    QStringList uids_;

    void station(qint16 unit, const QList<View> &views, const QStringList &projections, const QList<int> &kvs)
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(MakeStationDatabases(f_->path()));
        QVERIFY(QFile::copy(f_->file(QStringLiteral("Data/LumoraDef.dat")), f_->file(QStringLiteral("LumoraData.dat"))));
        QDir().mkpath(f_->file(QStringLiteral("bin")));
        Settings = SettingsRecord();
        LoadSettings();
        Settings.XrayComm = unit;
        SetDatabasePaths();
        DefaultPartner = {};
        SecondPartner = {};
        ExaminationType = 0;
        AssignmentMode = 0;
        RememberedSide.clear();
        ClearCurrentImage();
        ListClear(LoadedImageList);
        CurrentSelection = BrowserSelection();
        prompter_.boxes.clear();
        prompter_.answer = true;
        SetPrompter(&prompter_);

        // The received study, as the receiver files it.
        const QString study = NewSyntheticUid(), series = NewSyntheticUid();
        OpenImageDatabase();
        Execute(ImageDatabase, QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname) VALUES ('P-7', 'Doe', 'Jane')"));
        Execute(ImageDatabase, QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID, StudyDate) VALUES (?, 1, '20261206')"), {study});
        Execute(ImageDatabase, QStringLiteral("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID) VALUES (?, 1, 1)"), {series});
        uids_.clear();
        for (int i = 0; i < views.size(); ++i) {
            SyntheticImageSpec spec;
            spec.rows = 64;
            spec.columns = 48;
            spec.patientId = QStringLiteral("P-7");
            spec.studyUid = study;
            spec.seriesUid = series;
            spec.sopUid = NewSyntheticUid();
            spec.instanceNumber = i + 1;
            spec.viewPosition = views[i].viewPosition;
            spec.laterality = views[i].laterality;
            if (!views[i].orientation.isEmpty())
                spec.extra = {{QStringLiteral("0020,0020"), views[i].orientation}};
            QDir().mkpath(f_->file(QStringLiteral("images/") + study));
            QVERIFY(WriteSyntheticImage(spec, f_->file(QStringLiteral("images/%1/%2.dcm").arg(study, spec.sopUid))));
            Execute(ImageDatabase, QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime) VALUES (?, ?, 1, '20261206', ?)"),
                    {spec.sopUid, i + 1, QStringLiteral("0915%1").arg(i, 2, 10, QLatin1Char('0'))});
            uids_ << spec.sopUid;
        }
        CloseImageDatabase();
        // Today's exposures.
        QVERIFY(OpenUserDatabase());
        for (int i = 0; i < projections.size(); ++i)
            QVERIFY(Execute(UserDatabase, QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
                                                         "VALUES (?, '80', '10:00:00', '45', '1,1', '12', ?, ?, '0', '400')"),
                            {QString::number(kvs[i]), DbDate(QDate::currentDate()), projections[i]})
                        .ok);
        CloseUserDatabase();
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
        ws.doseList().lvDosis_Fill();
    }

    QString stamped(int image, quint16 g, quint16 e)
    {
        ToolkitImageList list;
        if (!ReadFileIntoList(list, f_->file(QStringLiteral("bin/%1.dcm").arg(uids_[image]))))
            return QStringLiteral("<no stamped file>");
        return GetAttribute(ListItem(list, 1), g, e).value;
    }

    const QList<View> fourViews{{QStringLiteral("CC"), QStringLiteral("R"), {}}, {QStringLiteral("CC"), QStringLiteral("L"), {}},
                                {QStringLiteral("MLO"), QStringLiteral("R"), {}}, {QStringLiteral("MLO"), QStringLiteral("L"), {}}};

private slots:
    void cleanup()
    {
        SetPrompter(nullptr);
        ReleaseConnections();
        f_.reset();
    }

    void polledUnitPairsByProjection()
    {
        // Exposures in another order than the images.
        station(4, fourViews, {QStringLiteral("L MLO"), QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO")}, {31, 26, 27, 28});
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        QCOMPARE(w.lvDosis->topLevelItemCount(), 4);
        ws.assignment().cmdAll_Click();
        QCOMPARE(AssignmentMode, qint16(1));
        QCOMPARE(stamped(0, 0x0018, 0x0060), QStringLiteral("26"));
        QCOMPARE(stamped(1, 0x0018, 0x0060), QStringLiteral("27"));
        QCOMPARE(stamped(2, 0x0018, 0x0060), QStringLiteral("28"));
        QCOMPARE(stamped(3, 0x0018, 0x0060), QStringLiteral("31"));
        QCOMPARE(stamped(3, 0x0018, 0x1530), QStringLiteral("45"));
        QCOMPARE(stamped(0, 0x0018, 0x1150), QStringLiteral("400"));
        QCOMPARE(stamped(0, 0x0040, 0x8302), QStringLiteral("1.1"));
        QCOMPARE(stamped(2, 0x0020, 0x0020), QStringLiteral("P|FL"));
        // No partner: the stamped images wait in the work folder.
        QCOMPARE(prompter_.boxes.last().text, QStringLiteral("No default SCP configured!"));
    }

    void firstUnitReadsTheFourthField()
    {
        const QList<View> views{{QStringLiteral("R CC"), QStringLiteral("R"), {}}, {QStringLiteral("L-MLO"), QStringLiteral("L"), {}}};
        station(1, views, {QStringLiteral("1,2,3,L-MLO45,5"), QStringLiteral("1,2,3,R-CC,5")}, {30, 25});
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        ws.assignment().cmdAll_Click();
        QCOMPARE(stamped(0, 0x0018, 0x0060), QStringLiteral("25"));
        QCOMPARE(stamped(1, 0x0018, 0x0060), QStringLiteral("30"));
        QCOMPARE(stamped(1, 0x0018, 0x1530), QStringLiteral("45"));
        // The unit reports seconds; the header holds milliseconds.
        QCOMPARE(stamped(0, 0x0018, 0x1150), QStringLiteral("400000"));
        // Its free text is no sensitivity value: logged, not written.
        QCOMPARE(stamped(0, 0x0018, 0x6000), QString());
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains("MainForm cmdAll_Click"));
    }

    void secondUnitStampsInMemoryOnly()
    {
        const QList<View> views{{QStringLiteral("CC"), QStringLiteral("R"), QStringLiteral("P\\L")},
                                {QStringLiteral("MLO"), QStringLiteral("L"), QStringLiteral("A\\FR")}};
        station(2, views, {QStringLiteral("L-LMO45"), QStringLiteral("R-CC")}, {30, 25});
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        ws.assignment().cmdAll_Click();
        QVERIFY(QDir(f_->file(QStringLiteral("bin"))).entryList(QDir::Files).isEmpty());
        QCOMPARE(GetAttribute(ListItem(LoadedImageList, 1), 0x0008, 0x0016).value, QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"));
        QVERIFY(!GetAttribute(ListItem(LoadedImageList, 1), 0x0018, 0x0060).exists); // no exposure values for this unit

        // An exposure without a projection stops the command.
        QVERIFY(OpenUserDatabase());
        Execute(UserDatabase, QStringLiteral("UPDATE tblDosis SET Sonstiges = '' WHERE ID = 1"));
        CloseUserDatabase();
        ws.doseList().lvDosis_Fill();
        prompter_.boxes.clear();
        ws.assignment().cmdAll_Click();
        QCOMPARE(prompter_.boxes.size(), 1);
        QCOMPARE(prompter_.boxes[0].kind, QStringLiteral("critical"));
        QVERIFY(prompter_.boxes[0].text.startsWith(QStringLiteral("You have not set the projection")));
    }

    void countsMustMatch()
    {
        station(4, fourViews, {QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO")}, {26, 27, 28});
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        ws.assignment().cmdAll_Click();
        QCOMPARE(prompter_.boxes.size(), 1);
        QCOMPARE(prompter_.boxes[0].text, QStringLiteral("There are not all images on the system please wait a few second and try again!"));
        QVERIFY(QDir(f_->file(QStringLiteral("bin"))).entryList(QDir::Files).isEmpty());
    }

    void withoutHeaderChangesOnlyTheValues()
    {
        station(4, fourViews, {QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO"), QStringLiteral("L MLO")}, {26, 27, 28, 29});
        Settings.ModifyImageHeader = 0;
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        ws.assignment().cmdAll_Click();
        QCOMPARE(stamped(1, 0x0018, 0x0060), QStringLiteral("27"));
        QCOMPARE(stamped(1, 0x0008, 0x0060), QStringLiteral("MG"));
        QCOMPARE(stamped(1, 0x0054, 0x0220), QString()); // no view code without header changes
        QCOMPARE(stamped(2, 0x0018, 0x1530), QStringLiteral("45"));
    }

    void undoneTasksAnsweredNoSendsNothing()
    {
        station(4, fourViews, {QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO"), QStringLiteral("L MLO")}, {26, 27, 28, 29});
        StorePeer archive;
        QVERIFY(archive.start(f_->file(QStringLiteral("archive")), QStringLiteral("ARCHIVE")));
        DefaultPartner = {QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), QString::number(archive.port())};

        MainForm w;
        Workstation ws(w);
        bool dialogRan = false;
        ws.runProgressDialog = [&](EditForm &) { dialogRan = true; };
        bringUp(w, ws);
        w.lvTasks->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("Study")}));
        prompter_.answer = false;
        ws.assignment().cmdAll_Click();
        QCOMPARE(prompter_.boxes.last().text, QStringLiteral("Undone tasks in list!\r\nContinue?"));
        QVERIFY(!dialogRan);
        QVERIFY(!PartnerConnection);
        QCOMPARE(w.lvTasks->topLevelItemCount(), 1);
        QVERIFY(archive.received().isEmpty());

        // Yes drops the tasks and runs the send.
        prompter_.answer = true;
        ws.assignment().cmdAll_Click();
        QVERIFY(dialogRan);
        QCOMPARE(w.lvTasks->topLevelItemCount(), 0);
    }

    void manualMergeSendsTheStampedImage()
    {
        station(4, fourViews, {QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO"), QStringLiteral("L MLO")}, {26, 27, 28, 29});
        MainForm w;
        Workstation ws(w);
        bringUp(w, ws);
        ws.viewer().SelectImage(2);
        ws.doseList().lvDosis_ItemClick(w.lvDosis->topLevelItem(3));
        ws.assignment().cmdSelected_Click();
        QCOMPARE(AssignmentMode, qint16(3));
        QCOMPARE(stamped(1, 0x0018, 0x0060), QStringLiteral("29"));
        QCOMPARE(stamped(1, 0x0020, 0x0062), QStringLiteral("L"));
        QCOMPARE(QDir(f_->file(QStringLiteral("bin"))).entryList(QDir::Files).size(), 1);
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
        ws.doseList().lvDosis_Fill();
        w.lvDosis->setCurrentItem(w.lvDosis->topLevelItem(0));
        prompter_.answer = false;
        w.cmdProjection[2]->click();
        QCOMPARE(w.lvDosis->topLevelItem(0)->text(8), QStringLiteral("R CC"));
        prompter_.answer = true;
        w.cmdProjection[2]->click();
        QCOMPARE(prompter_.boxes.last().text, QStringLiteral("Do you really want to change the projection entry ?"));
        QCOMPARE(w.lvDosis->topLevelItem(0)->text(8), QStringLiteral("R XCCL"));
        QCOMPARE(w.exposureBoxes[5]->text(), QStringLiteral("R XCCL"));
    }
};

int main(int argc, char **argv)
{
    UseOffscreenScreen(1280, 1024);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    WorkstationTest t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_workstation.moc"
