// The browser against a real image database filled as the receiver fills it:
// patient list and poll, patient and study selection, series list, loads,
// bad files and the right-button rules, driven through the presenter.
#include "store/Session.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Widgets.h"

#include <QSignalSpy>

class BrowserTest : public QObject {
    Q_OBJECT

    // The browser and viewer, with the task state and the signals recorded.
    struct Rig : BrowserWindow {
        int tasks = 0;
        QSignalSpy taskStateClears{browser.get(), &Browser::taskStateClearRequested};
        QSignalSpy taskListClears{browser.get(), &Browser::taskListClearRequested};
        QSignalSpy patientSelections{browser.get(), &Browser::patientSelected};

        Rig()
        {
            browser->setPendingTasks([this] { return tasks; });
            QObject::connect(browser.get(), &Browser::taskStateClearRequested, [this] { tasks = 0; });
            QObject::connect(browser.get(), &Browser::taskListClearRequested, [this] { tasks = 0; });
            browser->RefreshPatientList();
        }
        QStringList viewerUids() const
        {
            QStringList out;
            for (const ToolkitImagePtr &img : dicomViewer.images())
                out << ImageUid(img);
            return out;
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

    // The lists show dates in the locale's short form; the stored form stays.
    static QString ShortDate(int y, int m, int d) { return QLocale().toString(QDate(y, m, d), QLocale::ShortFormat); }

private slots:
    // A column whose texts do not sort (dates in the locale's form) sorts by
    // the rows' keys, in place and after an update.
    void datesSortByTheirStoredForm()
    {
        RowModel m({u"ID"_s, u"Date"_s});
        const auto row = [](const char *id, const char *shown, const char *stored) {
            return RowModel::Row{{QString::fromLatin1(id), QString::fromLatin1(shown)}, QString::fromLatin1(id), false, false,
                                 {QString::fromLatin1(id), QString::fromLatin1(stored)}};
        };
        m.reset({row("1", "9.12.2026", "20261209"), row("2", "10.01.2027", "20270110"), row("3", "31.12.2026", "20261231")}, 1);
        QCOMPARE(RowTexts(m, 1), (QStringList{"9.12.2026", "31.12.2026", "10.01.2027"}));
        m.update({row("1", "9.12.2026", "20261209"), row("2", "10.01.2027", "20270110"), row("3", "31.12.2026", "20261231"),
                  row("4", "1.01.2027", "20270101")});
        QCOMPARE(RowTexts(m, 1), (QStringList{"9.12.2026", "31.12.2026", "1.01.2027", "10.01.2027"}));
        m.sort(0, Qt::DescendingOrder); // a column without keys sorts by its texts
        QCOMPARE(RowTexts(m, 0), (QStringList{"4", "3", "2", "1"}));
    }
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        // A station that stored a grid of 7 x 3 (a new one has 2 x 2: tst_layout).
        folder_->write(u"LumoraStation.ini"_s, "[General]\nViewer_Rows=7\nViewer_Columns=3\n");
        QVERIFY(PrepareStation(*folder_));
    }
    void cleanup()
    {
        QVERIFY(NoDatabaseLeftOpen());
        folder_.reset();
    }

    void patientListAndPoll()
    {
        const FixtureStudy smith = add(u"P1"_s, u"Smith"_s, QVariant());
        add(u"P2"_s, u"O'Neil"_s, u"Anna"_s);
        add(u"P3"_s, u"Abel"_s, u"Eva"_s);
        Rig rig;
        // Sorted by the name cell; a null given name has no comma.
        QCOMPARE(RowTexts(rig.browser->patients(), 1), (QStringList{"Abel, Eva", "O'Neil, Anna", "Smith"}));
        const QModelIndex p1 = rig.browser->patients().index(rig.patientRow(u"P1"_s), 0);
        QCOMPARE(p1.data(Qt::UserRole).toLongLong(), smith.patientKey);
        // The stored 19620314 in the locale's short date, as every list shows dates.
        QCOMPARE(p1.siblingAtColumn(3).data().toString(), QLocale().toString(QDate(1962, 3, 14), QLocale::ShortFormat));
        QCOMPARE(CountRows(u"tblReceive"_s), 0);

        // The apostrophe patient lists its study and loads it.
        QVERIFY(rig.loadFirstStudy(u"P2"_s));
        QCOMPARE(rig.session.selection().patientName, u"O'Neil, Anna"_s);
        QCOMPARE(ListCount(rig.session.loadedImages()), 4);
        QVERIFY(rig.boxes.texts.isEmpty());

        // The poll after the database changed: new patients join the list
        // in place, with a receipt or without; the study list, the viewer and
        // the selection stay, and the receipts are emptied.
        QSignalSpy resets(&rig.browser->patients(), &QAbstractItemModel::modelReset);
        add(u"P4"_s, u"Jones"_s, u"Bo"_s, 1, FourViews(), false);
        add(u"P5"_s, u"Brown"_s, u"Cy"_s);
        rig.browser->RefreshPatientList(Browser::Refresh::InPlace);
        QCOMPARE(RowTexts(rig.browser->patients(), 1), (QStringList{"Abel, Eva", "Brown, Cy", "Jones, Bo", "O'Neil, Anna", "Smith"}));
        QCOMPARE(resets.size(), 0);
        QCOMPARE(rig.browser->studies().count(), 1);
        QCOMPARE(rig.dicomViewer.imageCount(), 4);
        QCOMPARE(rig.session.selection().patientId, u"P2"_s);
        QCOMPARE(CountRows(u"tblReceive"_s), 0);
        // A second study of the selected patient joins her study list.
        add({.patientId = u"P2"_s, .family = u"O'Neil"_s, .given = u"Anna"_s, .studyDate = u"20261207"_s, .series = {FixtureSeries{1, FourViews(), {}, 0}}});
        rig.browser->RefreshPatientList(Browser::Refresh::InPlace);
        QCOMPARE(RowTexts(rig.browser->studies(), 1), (QStringList{ShortDate(2026, 12, 6), ShortDate(2026, 12, 7)}));
        QCOMPARE(rig.dicomViewer.imageCount(), 4);

        // A manual refresh always reloads; a load in progress keeps refreshes out.
        resets.clear();
        rig.session.setImageLoadActive(true);
        rig.browser->RefreshPatientList();
        QCOMPARE(resets.size(), 0);
        rig.session.setImageLoadActive(false);
        rig.browser->RefreshPatientList();
        QVERIFY(resets.size() > 0);
        QCOMPARE(rig.browser->patients().count(), 5);
    }

    void patientSelectionAndRightButtonRules()
    {
        const FixtureStudy a1 = add(u"P1"_s, u"Smith"_s, u"Ann"_s);
        add({.patientId = u"P1"_s, .studyDate = u"20261207"_s, .series = {FixtureSeries{1, FourViews(), {}, 0}}});
        add(u"P2"_s, u"Jones"_s, u"Bo"_s);
        Rig rig;
        rig.window.setStatusPanel(3, u"Sel. image #: 9"_s);
        rig.browser->selectPatient(rig.patientRow(u"P1"_s));
        QCOMPARE(rig.taskStateClears.size(), 1);
        QVERIFY(rig.window.statusPanel(3).isEmpty());
        QCOMPARE(rig.window.statusPanel(1) + u'|' + rig.window.statusPanel(2), u"Patient: Smith, Ann|ID: P1"_s);
        QCOMPARE(rig.patientSelections.size(), 1);
        QCOMPARE(rig.session.selection().patientKey, a1.patientKey);
        QCOMPARE(rig.session.selection().patientSecondName, QString());
        QCOMPARE(rig.browser->studies().count(), 2);
        const RowModel::Row *s = rig.browser->studies().at(0);
        QCOMPARE((QStringList{s->cells[0], s->tag.toString(), s->cells[1]}), (QStringList{QString::number(a1.studyKey), a1.studyUid, ShortDate(2026, 12, 6)}));

        // The same patient again keeps the tasks; another one clears them.
        rig.tasks = 3;
        rig.browser->selectPatient(rig.patientRow(u"P1"_s));
        QCOMPARE(rig.tasks, 3);
        rig.browser->selectPatient(rig.patientRow(u"P2"_s));
        QCOMPARE(rig.tasks, 0);
        QCOMPARE(rig.taskStateClears.size(), 2);
        QCOMPARE(rig.browser->studies().count(), 1);
        rig.browser->selectPatient(-1); // beside the rows: nothing changes
        QCOMPARE(rig.session.selection().patientId, u"P2"_s);

        // The series list empties on a patient click; its frame stays shown.
        rig.browser->showSeries(0);
        QVERIFY(rig.frmSerien.isVisible());
        QCOMPARE(rig.browser->series().count(), 2);
        rig.browser->selectPatient(rig.patientRow(u"P1"_s));
        QVERIFY(rig.frmSerien.isVisible());
        QCOMPARE(rig.browser->series().count(), 0);
        QCOMPARE(rig.frmSerien.findChild<QTreeView *>(u"lvSerien"_s)->model()->rowCount(), 0);

        // Right button: no row, no menu; no tasks, no question.
        QVERIFY(!rig.browser->rowMenuAllowed(-1));
        QVERIFY(rig.browser->rowMenuAllowed(1));
        QVERIFY(rig.boxes.texts.isEmpty());
        // Pending tasks, answer No: the tasks stay and no menu opens; Yes drops them.
        const int clears = rig.taskStateClears.size();
        rig.tasks = 2;
        rig.boxes.answer = false;
        QVERIFY(!rig.browser->rowMenuAllowed(0));
        QCOMPARE(rig.boxes.texts, QStringList{u"Cancel current changes?"_s});
        QCOMPARE(rig.tasks, 2);
        QCOMPARE(rig.taskStateClears.size(), clears);
        rig.boxes.answer = true;
        QVERIFY(rig.browser->rowMenuAllowed(0));
        QCOMPARE(rig.tasks, 0);
        QCOMPARE(rig.taskStateClears.size(), clears + 1);

        // The pop-up commands act on the row given: the second study's target.
        const ImageTarget t = rig.browser->studyTarget(1);
        QCOMPARE(t.studyKey, rig.browser->studies().text(1, 0).toLongLong());
        QVERIFY(!rig.browser->studyTarget(2).valid);
        QCOMPARE(rig.browser->patientTarget(rig.patientRow(u"P2"_s)).patientId, u"P2"_s);
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
        QSignalSpy listed(rig.browser.get(), &Browser::studyImagesListed);
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
        QCOMPARE(rig.window.statusPanel(4), u"10 image(s)"_s);
        QVERIFY(rig.pbLoad.isHidden());
        QCOMPARE(rig.pbLoad.value(), 10);
        QVERIFY(!rig.session.imageLoadActive());
        QVERIFY(rig.dicomViewer.redraw());
        QCOMPARE(rig.taskListClears.size(), 1);
        QCOMPARE(rig.browser->images().count(), 10);
        QCOMPARE(listed.value(0).value(0).toInt(), 10); // "Manually" when as many exposures are listed
        QVERIFY(!rig.dv1_vscroll.isVisible()); // 10 images on 21 tiles

        // The series list lists by number and loads one series.
        rig.browser->showSeries(0);
        QVERIFY(rig.frmSerien.isVisible());
        QCOMPARE(RowTexts(rig.browser->series()), (QStringList{"..", "# 1", "# 2", "# 3"}));
        QVERIFY(!rig.browser->seriesTarget(0).valid);
        QCOMPARE(rig.browser->seriesTarget(1).seriesKey, s.series[1].seriesKey);

        rig.browser->loadSeries(2);
        QCOMPARE(rig.session.loadedLevel(), LoadedLevel::Series);
        QCOMPARE(rig.session.selection().seriesKey, s.series[2].seriesKey);
        QCOMPARE(rig.viewerUids(), (QStringList{s.series[2].images[0].sopUid, s.series[2].images[1].sopUid}));
        QCOMPARE(rig.browser->images().count(), 2);
        rig.browser->loadSeries(3);
        QCOMPARE(rig.viewerUids(), expected.mid(0, 4));

        rig.browser->loadSeries(0); // "..": the list empties, its frame stays
        QVERIFY(rig.frmSerien.isVisible());
        QCOMPARE(rig.browser->series().count(), 0);
        QCOMPARE(rig.dicomViewer.imageCount(), 4);
    }

    // Unreadable files stay out of the loaded images and so out of the viewer,
    // each named in the log, and the load goes on; their rows, listed from the
    // database, select nothing. A study without images or without series says
    // so. None leaves a load running.
    void badFilesAndEmptyStudies()
    {
        // The study's dose report, in a series of its own, is listed but not drawn.
        SyntheticImageSpec report;
        report.sopClassUid = u"1.2.840.10008.5.1.4.1.1.88.67"_s;
        FixtureStudy s{.patientId = u"P1"_s, .series = {FixtureSeries{1, FourViews() << FourViews().first(), {}, 0}, FixtureSeries{999, {report}, {}, 0}}};
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
        QCOMPARE(rig.boxes.texts, QStringList(4, u"An error occured during loading - please retry!"_s));
        QCOMPARE(ListCount(rig.session.loadedImages()), 1);
        QCOMPARE(rig.dicomViewer.images(), rig.session.loadedImages().items);
        QCOMPARE(ImageUid(rig.dicomViewer.image(1)), img[2].sopUid);
        QCOMPARE(rig.window.statusPanel(4), u"1 image(s)"_s);
        QVERIFY(!rig.session.imageLoadActive());
        const QByteArray log = folder_->read(u"Logs/Error.log"_s);
        QCOMPARE(log.count("MainForm LoadStudy (READ_ERROR)"), 4);
        for (int i : {0, 1, 3})
            QVERIFY2(log.contains(folder_->file(file(i)).toUtf8()), qPrintable(img[i].sopUid));
        QVERIFY(log.contains(img[4].sopUid.toUtf8()));
        QVERIFY(QFile::exists(folder_->file(u"Data/LumoraData.dat"_s)));
        QVERIFY2(WaitFor([&] { return rig.dicomViewer.viewComplete(); }, 10000), qPrintable(QString::number(rig.dicomViewer.pendingRenders())));

        // The rows of the files that could not be read select nothing; the readable image's row and tile do.
        const auto rowOf = [&](int i) {
            QAbstractItemModel *m = rig.lvImages.model();
            return m->match(m->index(0, 3), Qt::DisplayRole, img[i].sopUid, 1, Qt::MatchExactly).value(0);
        };
        const auto clickRow = [&](int i) {
            const QModelIndex row = rowOf(i);
            QVERIFY2(row.isValid(), qPrintable(img[i].sopUid));
            QTest::mouseClick(rig.lvImages.viewport(), Qt::LeftButton, {}, rig.lvImages.visualRect(row).center());
        };
        const auto selectedUid = [&] {
            const QModelIndexList rows = rig.lvImages.selectionModel()->selectedRows(3);
            return rows.size() == 1 ? rows.first().data().toString() : QString();
        };
        QCOMPARE(rig.browser->images().count(), 6); // the report's row too
        clickRow(0);
        QVERIFY(!rig.session.currentImage());
        QCOMPARE(selectedUid(), QString());
        QTest::mouseClick(&rig.dicomViewer, Qt::LeftButton, {}, rig.dicomViewer.tileRect(0).center());
        QCOMPARE(rig.session.currentImageUid(), img[2].sopUid);
        QCOMPARE(rig.session.currentImageIndex(), 1);
        QCOMPARE(selectedUid(), img[2].sopUid);
        QCOMPARE(rig.dicomViewer.framed(), rig.session.currentImage());
        clickRow(1);
        QCOMPARE(rig.session.currentImageUid(), img[2].sopUid);
        QCOMPARE(selectedUid(), img[2].sopUid);
        QCOMPARE(rig.window.statusPanel(3), u"Sel. image #: 1"_s);

        // No images, and no series: a message, nothing in the error log.
        rig.boxes.texts.clear();
        rig.loadFirstStudy(u"P2"_s);
        rig.loadFirstStudy(u"P3"_s);
        QCOMPARE(rig.boxes.texts, QStringList(2, u"No images found!"_s));
        QCOMPARE(rig.dicomViewer.imageCount(), 0);
        QVERIFY(!rig.session.imageLoadActive());
        QVERIFY(rig.dicomViewer.redraw());
        QVERIFY(rig.pbLoad.isHidden());
        QCOMPARE(folder_->read(u"Logs/Error.log"_s), log);
    }
};

LUMORA_WIDGETS_TEST_MAIN(BrowserTest, 1280, 1024)
#include "tst_browser.moc"
