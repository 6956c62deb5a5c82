// The browser against a real image database filled as the receiver fills it:
// patient list and poll, patient and study selection, series window, loads,
// bad files and the right-button rules.
#include "store/Session.h"
#include "core/WorkstationState.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Widgets.h"

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
            for (const ToolkitImagePtr &img : dicomViewer.images())
                out << ImageUid(img);
            return out;
        }
        // Pending tasks, task-state clears and menus opened so far.
        QList<int> tally() const { return {tasks, taskStateClears, int(popUps.size())}; }
        QPoint rowPoint(QTreeWidget &list, int row) const { return list.visualItemRect(list.topLevelItem(row)).center(); }
        void rightClick(void (Browser::*mouseUp)(Qt::MouseButton, const QPoint &), QTreeWidget &list, int row)
        {
            (browser.get()->*mouseUp)(Qt::RightButton, rowPoint(list, row));
        }
    };

    std::unique_ptr<TestFolder> folder_;

    // Files the patient's study (of the views in each series) as the receiver would.
    FixtureStudy add(const QString &id, const QString &family, const QVariant &given, int seriesCount = 1,
                     const QList<SyntheticImageSpec> &views = FourViews(), bool receipt = true)
    {
        FixtureStudy s{.patientId = id, .family = family, .given = given};
        for (int i = 0; i < seriesCount; ++i)
            s.series << FixtureSeries{i + 1, views, {}, 0};
        return add(s, receipt);
    }
    FixtureStudy add(FixtureStudy s, bool receipt = true)
    {
        QString error;
        if (!AddStudy(folder_->path(), s, &error, receipt))
            qFatal("cannot file the study: %s", qPrintable(error));
        return s;
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
        const FixtureStudy smith = add(u"P1"_s, u"Smith"_s, QVariant());
        add(u"P2"_s, u"O'Neil"_s, u"Anna"_s);
        add(u"P3"_s, u"Abel"_s, u"Eva"_s);
        Rig rig;
        // Sorted by the name cell; a null given name has no comma.
        QCOMPARE(ColumnTexts(&rig.lvPatients, 1), (QStringList{"Abel, Eva", "O'Neil, Anna", "Smith"}));
        QTreeWidgetItem *p1 = rig.patient(u"P1"_s);
        QCOMPARE(p1->data(0, Qt::UserRole).toLongLong(), smith.patientKey);
        QCOMPARE(p1->text(3), u"19620314"_s);
        QVERIFY(rig.lvPatients.selectedItems().isEmpty());
        QCOMPARE(CountRows(u"tblReceive"_s), 0);

        // The apostrophe patient lists its study and loads it.
        QVERIFY(rig.loadFirstStudy(u"P2"_s));
        QCOMPARE(rig.session.selection().patientName, u"O'Neil, Anna"_s);
        QCOMPARE(ListCount(LoadedImageList), 4);
        QVERIFY(rig.messages.isEmpty());

        // Rows without a receipt: the poll does not see them.
        add(u"P4"_s, u"Jones"_s, u"Bo"_s, 1, FourViews(), false);
        rig.browser->RefreshPatientList(Browser::Refresh::OnReceipts);
        QCOMPARE(rig.lvPatients.topLevelItemCount(), 3);
        QCOMPARE(rig.dicomViewer.imageCount(), 4);
        QCOMPARE(rig.session.selection().patientId, u"P2"_s);

        // A receipt makes the poll reload and empty the table.
        add(u"P5"_s, u"Brown"_s, u"Cy"_s);
        rig.browser->RefreshPatientList(Browser::Refresh::OnReceipts);
        QCOMPARE(rig.lvPatients.topLevelItemCount(), 5);
        QCOMPARE(rig.lvStudien.topLevelItemCount(), 0);
        QCOMPARE(rig.dicomViewer.imageCount(), 0);
        QCOMPARE(CountRows(u"tblReceive"_s), 0);

        // A manual refresh always reloads; a load in progress keeps refreshes out.
        rig.patient(u"P1"_s)->setText(1, u"edited"_s);
        rig.session.setImageLoadActive(true);
        rig.browser->RefreshPatientList();
        QCOMPARE(rig.patient(u"P1"_s)->text(1), u"edited"_s);
        rig.session.setImageLoadActive(false);
        rig.browser->RefreshPatientList();
        QVERIFY(!ColumnTexts(&rig.lvPatients, 1).contains(u"edited"_s));
    }

    void patientSelectionAndRightButtonRules()
    {
        const FixtureStudy a1 = add(u"P1"_s, u"Smith"_s, u"Ann"_s);
        add({.patientId = u"P1"_s, .studyDate = u"20261207"_s, .series = {FixtureSeries{1, FourViews(), {}, 0}}});
        add(u"P2"_s, u"Jones"_s, u"Bo"_s);
        Rig rig;
        rig.panels[3] = u"Sel. image #: 9"_s;
        rig.browser->lvPatients_ItemClick(rig.patient(u"P1"_s));
        QCOMPARE(rig.taskStateClears, 1);
        QVERIFY(rig.panels.value(3).isEmpty());
        QCOMPARE(rig.panels.value(1) + u'|' + rig.panels.value(2), u"Patient: Smith, Ann|ID: P1"_s);
        QVERIFY(!rig.UpdateTimer.isActive());
        QCOMPARE(rig.session.selection().patientKey, a1.patientKey);
        QCOMPARE(rig.lvStudien.topLevelItemCount(), 2);
        QTreeWidgetItem *s = rig.lvStudien.topLevelItem(0);
        QCOMPARE((QStringList{s->text(0), s->data(0, Qt::UserRole).toString(), s->text(1)}),
                 (QStringList{QString::number(a1.studyKey), a1.studyUid, "20261206"}));

        // The same patient again keeps the tasks; another one clears them.
        rig.tasks = 3;
        rig.browser->lvPatients_ItemClick(rig.patient(u"P1"_s));
        QCOMPARE(rig.tally(), (QList<int>{3, 1, 0}));
        rig.browser->lvPatients_ItemClick(rig.patient(u"P2"_s));
        QCOMPARE(rig.tally(), (QList<int>{0, 2, 0}));
        QCOMPARE(rig.lvStudien.topLevelItemCount(), 1);

        // The series frame closes on a patient click.
        rig.lvStudien.setCurrentItem(rig.lvStudien.topLevelItem(0));
        rig.browser->PopUpStudie_SeriesWindow();
        QVERIFY(rig.frmSerien.isVisible());
        rig.browser->lvPatients_ItemClick(rig.patient(u"P1"_s));
        QVERIFY(!rig.frmSerien.isVisible());
        QCOMPARE(rig.lvSerien.topLevelItemCount(), 0);

        // Right button on a patient row: it is selected, the menu opens, its studies list.
        rig.rightClick(&Browser::lvPatients_MouseUp, rig.lvPatients, 0);
        QCOMPARE(rig.popUps, QList<QMenu *>{&rig.PopUpPatient});
        QCOMPARE(rig.session.selection().patientId, rig.lvPatients.topLevelItem(0)->text(0));
        QCOMPARE(rig.lvStudien.topLevelItemCount(), rig.session.selection().patientId == u"P1"_s ? 2 : 1);
        rig.browser->lvPatients_MouseUp(Qt::LeftButton, rig.rowPoint(rig.lvPatients, 1));
        QCOMPARE(rig.popUps.size(), 1);
        rig.browser->lvPatients_ItemClick(rig.patient(u"P1"_s));
        rig.popUps.clear();

        // No tasks: no question.
        rig.rightClick(&Browser::lvStudien_MouseUp, rig.lvStudien, 1);
        QVERIFY(rig.messages.isEmpty());
        QCOMPARE(rig.popUps, QList<QMenu *>{&rig.PopUpStudie});
        QCOMPARE(rig.lvStudien.currentItem(), rig.lvStudien.topLevelItem(1));

        // Pending tasks, answer No: the tasks stay and no menu opens.
        rig.tasks = 2;
        const int clears = rig.taskStateClears;
        rig.rightClick(&Browser::lvStudien_MouseUp, rig.lvStudien, 0);
        QCOMPARE(rig.messages, QStringList{u"Cancel current changes?"_s});
        QCOMPARE(rig.tally(), (QList<int>{2, clears, 1}));
        QCOMPARE(rig.lvStudien.currentItem(), rig.lvStudien.topLevelItem(1));

        // Answer Yes: the tasks go, the row is selected and the menu opens.
        rig.answer = true;
        rig.rightClick(&Browser::lvStudien_MouseUp, rig.lvStudien, 0);
        QCOMPARE(rig.tally(), (QList<int>{0, clears + 1, 2}));
        QCOMPARE(rig.popUps.last(), &rig.PopUpStudie);
        QCOMPARE(rig.lvStudien.currentItem(), rig.lvStudien.topLevelItem(0));

        // Series list, same rule.
        rig.browser->PopUpStudie_SeriesWindow();
        rig.tasks = 1;
        rig.answer = false;
        rig.rightClick(&Browser::lvSerien_MouseUp, rig.lvSerien, 1);
        QCOMPARE(rig.popUps.size(), 2);
        rig.answer = true;
        rig.rightClick(&Browser::lvSerien_MouseUp, rig.lvSerien, 1);
        QCOMPARE(rig.popUps.last(), &rig.PopUpSerie);
        QCOMPARE(rig.lvSerien.currentItem(), rig.lvSerien.topLevelItem(1));
        rig.browser->lvSerien_MouseUp(Qt::LeftButton, rig.rowPoint(rig.lvSerien, 0));
        QCOMPARE(rig.popUps.size(), 3);
    }

    void seriesLoadInOrderAndOneByOne()
    {
        // Series numbered 3, 1, 2 in the order they arrived; images stored out of number order.
        FixtureStudy s{.patientId = u"P1"_s};
        for (int nr : {3, 1, 2})
            s.series << FixtureSeries{nr, FourViews(), {}, 0};
        std::reverse(s.series[1].images.begin(), s.series[1].images.end());
        s.series[2].images = FourViews().mid(0, 2);
        s = add(s);
        Rig rig;
        for (int i = 0; i < 10; ++i)
            new QTreeWidgetItem(&rig.lvDosis);
        rig.loadFirstStudy(u"P1"_s);
        QStringList expected;
        for (const FixtureSeries &series : s.series) { // by SeriesID, then ImageNr
            QList<SyntheticImageSpec> images = series.images;
            std::sort(images.begin(), images.end(), [](auto &a, auto &b) { return a.instanceNumber < b.instanceNumber; });
            for (const SyntheticImageSpec &img : images)
                expected << img.sopUid;
        }
        QCOMPARE(rig.viewerUids(), expected);
        QCOMPARE(rig.session.loadedLevel(), LoadedLevel::Study);
        QCOMPARE(rig.session.selection().studyUid, s.studyUid);
        QCOMPARE(rig.panels.value(4), u"10 image(s)"_s);
        QVERIFY(rig.pbLoad.isHidden());
        QCOMPARE(rig.pbLoad.value(), 10);
        QVERIFY(!rig.session.imageLoadActive());
        QVERIFY(rig.dicomViewer.redraw());
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
        QCOMPARE(rig.panels.value(3), u"Sel. image #: 6"_s);
        QVERIFY(!rig.viewer->SelectImageByUid(u"1.2.3.4"_s));

        // The series window lists by number and loads one series.
        rig.browser->PopUpStudie_SeriesWindow();
        QVERIFY(rig.frmSerien.isVisible());
        QCOMPARE(ColumnTexts(&rig.lvSerien), (QStringList{"..", "# 1", "# 2", "# 3"}));
        QCOMPARE(rig.lvSerien.topLevelItem(0)->data(0, Qt::UserRole).toString(), u"back"_s);
        QCOMPARE(rig.lvSerien.topLevelItem(1)->data(0, Qt::UserRole).toLongLong(), s.series[1].seriesKey);
        QVERIFY(rig.lvSerien.selectedItems().isEmpty());

        rig.browser->lvSerien_DblClick(rig.lvSerien.topLevelItem(2));
        QCOMPARE(rig.session.loadedLevel(), LoadedLevel::Series);
        QCOMPARE(rig.session.selection().seriesKey, s.series[2].seriesKey);
        QCOMPARE(rig.viewerUids(), (QStringList{s.series[2].images[0].sopUid, s.series[2].images[1].sopUid}));
        QCOMPARE(rig.lvImages.topLevelItemCount(), 2);

        rig.lvSerien.setCurrentItem(rig.lvSerien.topLevelItem(3));
        rig.browser->PopUpSerie_Laden();
        QCOMPARE(rig.viewerUids(), expected.mid(0, 4));

        rig.browser->lvSerien_DblClick(rig.lvSerien.topLevelItem(0));
        QVERIFY(!rig.frmSerien.isVisible());
        QCOMPARE(rig.lvSerien.topLevelItemCount(), 0);
        QCOMPARE(rig.dicomViewer.imageCount(), 4);
    }

    // Unreadable files are empty frames and the load goes on; a study without
    // images or without series says so. None leaves a load running.
    void badFilesAndEmptyStudies()
    {
        FixtureStudy s{.patientId = u"P1"_s, .series = {FixtureSeries{1, FourViews() << FourViews().first(), {}, 0}}};
        s.series[0].images[4].instanceNumber = 5;
        s.series[0].images[4].sopUid = u"../../Data/LumoraData.dat#"_s;
        s = add(s);
        add(u"P2"_s, u"Jones"_s, u"Bo"_s, 1, {}); // no images
        add(u"P3"_s, u"Brown"_s, u"Cy"_s, 0);     // no series
        const QList<SyntheticImageSpec> &img = s.series[0].images;
        const auto file = [&](int i) { return u"images/%1/%2.dcm"_s.arg(s.studyUid, img[i].sopUid); };
        QVERIFY(QFile::remove(folder_->file(file(0)))); // missing
        QFile cut(folder_->file(file(1)));              // truncated
        QVERIFY(cut.resize(cut.size() / 2));
        folder_->write(file(3), QByteArray("not an image\n").repeated(100));

        Rig rig;
        rig.loadFirstStudy(u"P1"_s);
        QCOMPARE(rig.messages, QStringList(4, u"An error occured during loading - please retry!"_s));
        QCOMPARE(rig.dicomViewer.imageCount(), 5);
        QCOMPARE(ListCount(LoadedImageList), 1);
        for (int i : {1, 2, 5})
            QVERIFY(!rig.dicomViewer.image(i)->isValid());
        QCOMPARE(ImageUid(rig.dicomViewer.image(3)), img[2].sopUid);
        QCOMPARE(rig.panels.value(4), u"5 image(s)"_s);
        QVERIFY(!rig.session.imageLoadActive());
        const QByteArray log = folder_->read(u"Logs/Error.log"_s);
        QCOMPARE(log.count("MainForm LoadStudy (READ_ERROR)"), 4);
        QVERIFY(log.contains(img[0].sopUid.toUtf8()));
        QVERIFY(QFile::exists(folder_->file(u"Data/LumoraData.dat"_s)));

        // An empty frame is drawn as its frame line only and cannot be selected; the readable image can.
        QVERIFY2(WaitFor([&] { return rig.dicomViewer.viewComplete(); }, 10000), qPrintable(QString::number(rig.dicomViewer.pendingRenders())));
        const QImage shot = rig.dicomViewer.grab().toImage();
        const QRect t0 = rig.dicomViewer.tileRect(0);
        QVERIFY(qGray(shot.pixel(t0.left() + 2, t0.center().y())) > 60);
        QVERIFY(qGray(shot.pixel(t0.center())) < 10);
        rig.viewer->MouseDown(Qt::LeftButton, Qt::NoModifier, t0.center());
        QVERIFY(!CurrentImageExists);
        rig.viewer->MouseDown(Qt::LeftButton, Qt::NoModifier, rig.dicomViewer.tileRect(2).center());
        QCOMPARE(CurrentImageIndex, 3);
        QCOMPARE(rig.lvImages.currentItem()->text(3), img[2].sopUid);

        // No images, and no series: a message, nothing in the error log.
        rig.messages.clear();
        rig.loadFirstStudy(u"P2"_s);
        rig.loadFirstStudy(u"P3"_s);
        QCOMPARE(rig.messages, QStringList(2, u"No images found!"_s));
        QCOMPARE(rig.dicomViewer.imageCount(), 0);
        QVERIFY(!rig.session.imageLoadActive());
        QVERIFY(rig.dicomViewer.redraw());
        QVERIFY(rig.pbLoad.isHidden());
        QCOMPARE(folder_->read(u"Logs/Error.log"_s), log);
    }
};

LUMORA_WIDGETS_TEST_MAIN(BrowserTest, 1280, 1024)
#include "tst_browser.moc"
