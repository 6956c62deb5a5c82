// The browser against a real image database filled as the receiver fills it:
// patient list and poll, patient and study selection, series window, loads,
// bad files and the right-button rules.
#include "core/WorkstationState.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QFile>
#include <QtTest>

class BrowserTest : public QObject {
    Q_OBJECT

    // The main window's browser and viewer controls, with the dialogs and menus recorded.
    struct Rig : BrowserWindow {
        QStringList messages;
        QList<QMenu *> popUps;
        int tasks = 0;
        int taskStateClears = 0;
        int taskListClears = 0;
        bool answer = false;

        Rig()
            : BrowserWindow([this](BrowserControls &c, ViewerControls &v) {
                  v.showPopUp = [](const QPoint &) {};
                  c.taskCount = [this] { return tasks; };
                  c.clearTaskState = [this] { ++taskStateClears; tasks = 0; };
                  c.clearTaskList = [this] { ++taskListClears; tasks = 0; };
                  c.askYesNo = [this](const QString &q) { messages << q; return answer; };
                  c.showCritical = [this](const QString &m) { messages << m; };
                  c.showPopUp = [this](QMenu *m, const QPoint &) { popUps << m; };
              })
        {
            UpdateTimer.setInterval(10000);
            UpdateTimer.start();
            browser->RefreshPatientList();
        }
        QStringList viewerUids() const
        {
            QStringList out;
            for (const ToolkitImagePtr &img : dv1.images())
                out << ImageUid(img);
            return out;
        }
        QPoint rowPoint(QTreeWidget &list, int row) const { return list.visualItemRect(list.topLevelItem(row)).center(); }
    };

    std::unique_ptr<TestFolder> folder_;

    static FixtureStudy study(const QString &id, const QString &family, const QVariant &given, int seriesCount = 1,
                              const QList<SyntheticImageSpec> &views = FourViews())
    {
        FixtureStudy s;
        s.patientId = id;
        s.family = family;
        s.given = given;
        for (int i = 0; i < seriesCount; ++i)
            s.series << FixtureSeries{i + 1, views, {}, 0};
        return s;
    }
    bool add(FixtureStudy &s, bool receipt = true)
    {
        QString error;
        const bool ok = AddStudy(folder_->path(), s, &error, receipt);
        if (!ok)
            qWarning() << error;
        return ok;
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        ClearCurrentImage();
    }
    void cleanup()
    {
        CloseAllDatabases();
        ListClear(LoadedImageList);
        ClearCurrentImage();
        folder_.reset();
    }

    void patientListAndPollOnReceipts()
    {
        FixtureStudy smith = study(QStringLiteral("P1"), QStringLiteral("Smith"), QVariant());
        FixtureStudy oneil = study(QStringLiteral("P2"), QStringLiteral("O'Neil"), QStringLiteral("Anna"));
        FixtureStudy abel = study(QStringLiteral("P3"), QStringLiteral("Abel"), QStringLiteral("Eva"));
        QVERIFY(add(smith) && add(oneil) && add(abel));
        QCOMPARE(CountRows(QStringLiteral("tblReceive")), 12);
        Rig rig;
        // Sorted by the name cell.
        QCOMPARE(rig.lvPatients.topLevelItemCount(), 3);
        QCOMPARE(rig.lvPatients.topLevelItem(0)->text(1), QStringLiteral("Abel, Eva"));
        QCOMPARE(rig.lvPatients.topLevelItem(1)->text(1), QStringLiteral("O'Neil, Anna"));
        QCOMPARE(rig.lvPatients.topLevelItem(2)->text(1), QStringLiteral("Smith")); // null given name: no comma
        QTreeWidgetItem *p1 = rig.patient(QStringLiteral("P1"));
        QCOMPARE(p1->data(0, Qt::UserRole).toLongLong(), smith.patientKey);
        QCOMPARE(p1->text(3), QStringLiteral("19620314"));
        QVERIFY(p1->text(2).isEmpty());
        QVERIFY(rig.lvPatients.selectedItems().isEmpty());
        QCOMPARE(CountRows(QStringLiteral("tblReceive")), 0);
        QVERIFY(!ListRefreshRequested);

        // The apostrophe patient lists its study and loads it.
        rig.loadFirstStudy(QStringLiteral("P2"));
        QCOMPARE(CurrentSelection.patientName, QStringLiteral("O'Neil, Anna"));
        QCOMPARE(rig.lvStudien.topLevelItemCount(), 1);
        QCOMPARE(ListCount(LoadedImageList), 4);
        QVERIFY(rig.messages.isEmpty());

        // Rows without a receipt: the poll does not see them.
        FixtureStudy b = study(QStringLiteral("P4"), QStringLiteral("Jones"), QStringLiteral("Bo"));
        QVERIFY(add(b, false));
        ListRefreshRequested = true;
        rig.browser->RefreshPatientList();
        QVERIFY(!ListRefreshRequested);
        QCOMPARE(rig.lvPatients.topLevelItemCount(), 3);
        QCOMPARE(rig.dv1.imageCount(), 4);
        QCOMPARE(CurrentSelection.patientId, QStringLiteral("P2"));

        // A receipt makes the poll reload and empty the table.
        FixtureStudy c = study(QStringLiteral("P5"), QStringLiteral("Brown"), QStringLiteral("Cy"));
        QVERIFY(add(c));
        ListRefreshRequested = true;
        rig.browser->RefreshPatientList();
        QCOMPARE(rig.lvPatients.topLevelItemCount(), 5);
        QCOMPARE(rig.lvStudien.topLevelItemCount(), 0);
        QCOMPARE(rig.dv1.imageCount(), 0);
        QCOMPARE(CountRows(QStringLiteral("tblReceive")), 0);

        // A manual refresh always reloads; a load in progress keeps refreshes out.
        rig.patient(QStringLiteral("P1"))->setText(1, QStringLiteral("edited"));
        ImageLoadActive = true;
        rig.browser->RefreshPatientList();
        QCOMPARE(rig.patient(QStringLiteral("P1"))->text(1), QStringLiteral("edited"));
        ImageLoadActive = false;
        rig.browser->RefreshPatientList();
        QVERIFY(rig.lvPatients.findItems(QStringLiteral("edited"), Qt::MatchExactly, 1).isEmpty());
    }

    void patientSelectionAndRightButtonRules()
    {
        FixtureStudy a1 = study(QStringLiteral("P1"), QStringLiteral("Smith"), QStringLiteral("Ann"));
        FixtureStudy a2 = a1;
        a2.studyDate = QStringLiteral("20261207");
        FixtureStudy b = study(QStringLiteral("P2"), QStringLiteral("Jones"), QStringLiteral("Bo"));
        QVERIFY(add(a1) && add(a2) && add(b));
        Rig rig;
        rig.panels[3] = QStringLiteral("Sel. image #: 9");
        rig.browser->lvPatients_ItemClick(rig.patient(QStringLiteral("P1")));
        QCOMPARE(rig.taskStateClears, 1);
        QVERIFY(rig.panels.value(3).isEmpty());
        QCOMPARE(rig.panels.value(1), QStringLiteral("Patient: Smith, Ann"));
        QCOMPARE(rig.panels.value(2), QStringLiteral("ID: P1"));
        QVERIFY(!rig.UpdateTimer.isActive());
        QCOMPARE(CurrentSelection.patientKey, a1.patientKey);
        QCOMPARE(rig.lvStudien.topLevelItemCount(), 2);
        QTreeWidgetItem *s = rig.lvStudien.topLevelItem(0);
        QCOMPARE(s->text(0), QString::number(a1.studyKey));
        QCOMPARE(s->data(0, Qt::UserRole).toString(), a1.studyUid);
        QCOMPARE(s->text(1), QStringLiteral("20261206"));
        QCOMPARE(s->text(3), QStringLiteral("MG"));
        QCOMPARE(s->text(4), QStringLiteral("BREAST"));

        rig.tasks = 3;
        rig.browser->lvPatients_ItemClick(rig.patient(QStringLiteral("P1")));
        QCOMPARE(rig.taskStateClears, 1);
        QCOMPARE(rig.tasks, 3);
        rig.browser->lvPatients_ItemClick(rig.patient(QStringLiteral("P2")));
        QCOMPARE(rig.taskStateClears, 2);
        QCOMPARE(rig.tasks, 0);
        QCOMPARE(rig.lvStudien.topLevelItemCount(), 1);

        // The series frame closes on a patient click.
        rig.lvStudien.setCurrentItem(rig.lvStudien.topLevelItem(0));
        rig.browser->PopUpStudie_SeriesWindow();
        QVERIFY(rig.frmSerien.isVisible());
        rig.browser->lvPatients_ItemClick(rig.patient(QStringLiteral("P1")));
        QVERIFY(!rig.frmSerien.isVisible());
        QCOMPARE(rig.lvSerien.topLevelItemCount(), 0);

        // Right button on a patient row: it is selected, the menu opens, its studies list.
        rig.browser->lvPatients_MouseUp(Qt::RightButton, rig.rowPoint(rig.lvPatients, 0));
        QCOMPARE(rig.popUps, QList<QMenu *>{&rig.PopUpPatient});
        QCOMPARE(CurrentSelection.patientId, rig.lvPatients.topLevelItem(0)->text(0));
        QCOMPARE(rig.lvStudien.topLevelItemCount(), CurrentSelection.patientId == QStringLiteral("P1") ? 2 : 1);
        rig.browser->lvPatients_MouseUp(Qt::LeftButton, rig.rowPoint(rig.lvPatients, 1));
        QCOMPARE(rig.popUps.size(), 1);
        rig.browser->lvPatients_ItemClick(rig.patient(QStringLiteral("P1")));
        rig.popUps.clear();

        // No tasks: no question.
        rig.browser->lvStudien_MouseUp(Qt::RightButton, rig.rowPoint(rig.lvStudien, 1));
        QVERIFY(rig.messages.isEmpty());
        QCOMPARE(rig.popUps, QList<QMenu *>{&rig.PopUpStudie});
        QCOMPARE(rig.lvStudien.currentItem(), rig.lvStudien.topLevelItem(1));

        // Pending tasks, answer No: the tasks stay and no menu opens.
        rig.tasks = 2;
        const int clears = rig.taskStateClears;
        rig.answer = false;
        rig.browser->lvStudien_MouseUp(Qt::RightButton, rig.rowPoint(rig.lvStudien, 0));
        QCOMPARE(rig.messages, QStringList{QStringLiteral("Cancel current changes?")});
        QCOMPARE(rig.tasks, 2);
        QCOMPARE(rig.taskStateClears, clears);
        QCOMPARE(rig.popUps.size(), 1);
        QCOMPARE(rig.lvStudien.currentItem(), rig.lvStudien.topLevelItem(1));

        // Answer Yes: the tasks go, the row is selected and the menu opens.
        rig.answer = true;
        rig.browser->lvStudien_MouseUp(Qt::RightButton, rig.rowPoint(rig.lvStudien, 0));
        QCOMPARE(rig.taskStateClears, clears + 1);
        QCOMPARE(rig.tasks, 0);
        QCOMPARE(rig.popUps.last(), &rig.PopUpStudie);
        QCOMPARE(rig.lvStudien.currentItem(), rig.lvStudien.topLevelItem(0));

        // Series list, same rule.
        rig.browser->PopUpStudie_SeriesWindow();
        rig.tasks = 1;
        rig.answer = false;
        rig.browser->lvSerien_MouseUp(Qt::RightButton, rig.rowPoint(rig.lvSerien, 1));
        QCOMPARE(rig.popUps.size(), 2);
        rig.answer = true;
        rig.browser->lvSerien_MouseUp(Qt::RightButton, rig.rowPoint(rig.lvSerien, 1));
        QCOMPARE(rig.popUps.last(), &rig.PopUpSerie);
        QCOMPARE(rig.lvSerien.currentItem(), rig.lvSerien.topLevelItem(1));
        rig.browser->lvSerien_MouseUp(Qt::LeftButton, rig.rowPoint(rig.lvSerien, 0));
        QCOMPARE(rig.popUps.size(), 3);
    }

    void seriesLoadInOrderAndOneByOne()
    {
        // Series numbered 3, 1, 2 in the order they arrived; images stored out of number order.
        FixtureStudy s = study(QStringLiteral("P1"), QStringLiteral("Smith"), QStringLiteral("Ann"), 3);
        s.series[0].seriesNr = 3;
        s.series[1].seriesNr = 1;
        s.series[2].seriesNr = 2;
        std::reverse(s.series[1].images.begin(), s.series[1].images.end());
        s.series[2].images = FourViews().mid(0, 2);
        QVERIFY(add(s));
        Rig rig;
        for (int i = 0; i < 10; ++i)
            new QTreeWidgetItem(&rig.lvDosis);
        rig.loadFirstStudy(QStringLiteral("P1"));
        QStringList expected;
        for (const FixtureSeries &series : s.series) { // by SeriesID, then ImageNr
            QList<SyntheticImageSpec> images = series.images;
            std::sort(images.begin(), images.end(), [](auto &a, auto &b) { return a.instanceNumber < b.instanceNumber; });
            for (const SyntheticImageSpec &img : images)
                expected << img.sopUid;
        }
        QCOMPARE(rig.viewerUids(), expected);
        QCOMPARE(LoadedLevel, QStringLiteral("Studie"));
        QCOMPARE(CurrentSelection.studyUid, s.studyUid);
        QCOMPARE(rig.panels.value(4), QStringLiteral("10 image(s)"));
        QVERIFY(rig.pbLoad.isHidden());
        QCOMPARE(rig.pbLoad.value(), 10);
        QVERIFY(!ImageLoadActive);
        QVERIFY(rig.dv1.redraw());
        QCOMPARE(rig.taskListClears, 1);
        QCOMPARE(rig.lvImages.topLevelItemCount(), 10);
        QVERIFY(rig.cmdSelected.isEnabled()); // as many dose rows as images
        QVERIFY(!rig.dv1_vscroll.isVisible()); // 10 images on 21 tiles

        delete rig.lvDosis.topLevelItem(0);
        rig.browser->lvStudien_ItemClick(rig.lvStudien.topLevelItem(0));
        QVERIFY(!rig.cmdSelected.isEnabled());

        // An image row selects its viewer image.
        QTreeWidgetItem *row = rig.lvImages.findItems(expected.at(5), Qt::MatchExactly, 3).value(0);
        QVERIFY(row);
        rig.browser->lvImages_ItemClick(row);
        QCOMPARE(CurrentImageIndex, 6);
        QCOMPARE(rig.panels.value(3), QStringLiteral("Sel. image #: 6"));
        QVERIFY(!rig.viewer->SelectImageByUid(QStringLiteral("1.2.3.4")));

        // The series window lists by number and loads one series.
        rig.browser->PopUpStudie_SeriesWindow();
        QVERIFY(rig.frmSerien.isVisible());
        QStringList rows;
        for (int i = 0; i < rig.lvSerien.topLevelItemCount(); ++i)
            rows << rig.lvSerien.topLevelItem(i)->text(0);
        QCOMPARE(rows, (QStringList{QStringLiteral(".."), QStringLiteral("# 1"), QStringLiteral("# 2"), QStringLiteral("# 3")}));
        QCOMPARE(rig.lvSerien.topLevelItem(0)->data(0, Qt::UserRole).toString(), QStringLiteral("back"));
        QCOMPARE(rig.lvSerien.topLevelItem(1)->data(0, Qt::UserRole).toLongLong(), s.series[1].seriesKey);
        QVERIFY(rig.lvSerien.selectedItems().isEmpty());

        rig.browser->lvSerien_DblClick(rig.lvSerien.topLevelItem(2));
        QCOMPARE(LoadedLevel, QStringLiteral("Serie"));
        QCOMPARE(CurrentSelection.seriesKey, s.series[2].seriesKey);
        QCOMPARE(rig.viewerUids(), (QStringList{s.series[2].images[0].sopUid, s.series[2].images[1].sopUid}));
        QCOMPARE(rig.lvImages.topLevelItemCount(), 2);

        rig.lvSerien.setCurrentItem(rig.lvSerien.topLevelItem(3));
        rig.browser->PopUpSerie_Laden();
        QCOMPARE(rig.viewerUids(), expected.mid(0, 4));

        rig.browser->lvSerien_DblClick(rig.lvSerien.topLevelItem(0));
        QVERIFY(!rig.frmSerien.isVisible());
        QCOMPARE(rig.lvSerien.topLevelItemCount(), 0);
        QCOMPARE(rig.dv1.imageCount(), 4);
    }

    // Unreadable files are empty frames and the load goes on; a study without
    // images or without series says so. None leaves a load running.
    void badFilesAndEmptyStudies()
    {
        FixtureStudy s = study(QStringLiteral("P1"), QStringLiteral("Smith"), QStringLiteral("Ann"));
        s.series[0].images.append(FourViews().mid(0, 1));
        s.series[0].images[4].instanceNumber = 5;
        s.series[0].images[4].sopUid = QStringLiteral("../../Data/LumoraData.dat#");
        FixtureStudy empty = study(QStringLiteral("P2"), QStringLiteral("Jones"), QStringLiteral("Bo"), 1, {});
        FixtureStudy bare = study(QStringLiteral("P3"), QStringLiteral("Brown"), QStringLiteral("Cy"), 0);
        QVERIFY(add(s) && add(empty) && add(bare));
        const QString dir = QStringLiteral("images/") + s.studyUid + QLatin1Char('/');
        const QList<SyntheticImageSpec> &img = s.series[0].images;
        QVERIFY(QFile::remove(folder_->file(dir + img[0].sopUid + QStringLiteral(".dcm")))); // missing
        QFile cut(folder_->file(dir + img[1].sopUid + QStringLiteral(".dcm")));             // truncated
        QVERIFY(cut.resize(cut.size() / 2));
        folder_->write(dir + img[3].sopUid + QStringLiteral(".dcm"), QByteArray("not an image\n").repeated(100));

        Rig rig;
        rig.loadFirstStudy(QStringLiteral("P1"));
        QCOMPARE(rig.messages, QStringList(4, QStringLiteral("An error occured during loading - please retry!")));
        QCOMPARE(rig.dv1.imageCount(), 5);
        QCOMPARE(ListCount(LoadedImageList), 1);
        QVERIFY(!rig.dv1.image(1)->isValid());
        QVERIFY(!rig.dv1.image(2)->isValid());
        QVERIFY(rig.dv1.image(3)->isValid());
        QCOMPARE(ImageUid(rig.dv1.image(3)), img[2].sopUid);
        QVERIFY(!rig.dv1.image(5)->isValid());
        QCOMPARE(rig.panels.value(4), QStringLiteral("5 image(s)"));
        QVERIFY(!ImageLoadActive);
        const QByteArray log = folder_->read(QStringLiteral("Logs/Error.log"));
        QCOMPARE(log.count("MainForm LoadStudy (READ_ERROR)"), 4);
        QVERIFY(log.contains(img[0].sopUid.toUtf8()));
        QVERIFY(QFile::exists(folder_->file(QStringLiteral("Data/LumoraData.dat"))));

        // An empty frame is drawn as its frame line only and cannot be selected; the readable image can.
        QVERIFY2(WaitFor([&] { return rig.dv1.viewComplete(); }, 10000), qPrintable(QString::number(rig.dv1.pendingRenders())));
        const QImage shot = rig.dv1.grab().toImage();
        const QRect t0 = rig.dv1.tileRect(0);
        QVERIFY(qGray(shot.pixel(t0.left() + 2, t0.center().y())) > 60);
        QVERIFY(qGray(shot.pixel(t0.center())) < 10);
        rig.viewer->MouseDown(Qt::LeftButton, Qt::NoModifier, t0.center());
        QVERIFY(!CurrentImageExists);
        rig.viewer->MouseDown(Qt::LeftButton, Qt::NoModifier, rig.dv1.tileRect(2).center());
        QCOMPARE(CurrentImageIndex, 3);
        QCOMPARE(rig.lvImages.currentItem()->text(3), img[2].sopUid);

        // No images, and no series: a message, nothing in the error log.
        rig.messages.clear();
        rig.loadFirstStudy(QStringLiteral("P2"));
        rig.loadFirstStudy(QStringLiteral("P3"));
        QCOMPARE(rig.messages, QStringList(2, QStringLiteral("No images found!")));
        QCOMPARE(rig.dv1.imageCount(), 0);
        QVERIFY(!ImageLoadActive);
        QVERIFY(rig.dv1.redraw());
        QVERIFY(rig.pbLoad.isHidden());
        QCOMPARE(folder_->read(QStringLiteral("Logs/Error.log")), log);
    }
};

LUMORA_WIDGETS_TEST_MAIN(BrowserTest, 1280, 1024)
#include "tst_browser.moc"
