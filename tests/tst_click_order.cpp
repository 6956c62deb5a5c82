// The whole workstation, offscreen: image-list rows, dose-list rows and viewer
// tiles clicked in every order. After each click the session's current image
// and chosen exposure are what the clicks made them, and the viewer's frame,
// the image list's selection, the header view, the status bar, the dose list's
// selection and the exposure boxes show exactly those. One received image's
// file is unreadable: it is listed, but neither loaded nor shown, and a click
// on its row changes nothing.
#include "app/MainForm.h"
#include "app/Workstation.h"
#include "core/Settings.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "store/Session.h"
#include "support/Peers.h"
#include "support/UnitMessages.h"
#include "support/Widgets.h"
#include "toolkit/Toolkit.h"
#include "toolkit/ToolkitViewer.h"

#include <QAction>
#include <QLineEdit>
#include <QScrollBar>
#include <QTreeView>

#include <algorithm>

namespace {

// A click: "row N" on the image-list row of received image N, "dose N" on the
// dose-list row of exposure N, "tile N" on the viewer's tile at page position N.
QStringList Permutations(QStringList clicks)
{
    QList<QStringList> out;
    std::sort(clicks.begin(), clicks.end());
    do
        out << clicks;
    while (std::next_permutation(clicks.begin(), clicks.end()));
    QStringList joined;
    for (const QStringList &order : out)
        joined << order.join(u", "_s);
    return joined;
}

} // namespace

class ClickOrderTest : public QObject {
    Q_OBJECT

    static inline const QDate Day{2026, 12, 7};
    std::unique_ptr<TestFolder> f_;
    std::unique_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<CompanionProcess> receiver_;
    std::unique_ptr<MainForm> w;
    std::unique_ptr<Workstation> ws;

    // The received images in instance order; the third one's file is cut short
    // once filed, so the viewer shows the others at positions 0 to 3.
    QList<SyntheticImageSpec> images_;
    static constexpr int Unreadable = 2;
    QList<qlonglong> exposures_; // journal IDs, in the order decoded

    QTreeView *list(const char *name) const { return Child<QTreeView>(*w, QLatin1String(name)); }
    ToolkitViewer *tiles() const { return w->findChild<ToolkitViewer *>(u"dv1"_s); }
    // The row clicked where it shows: its first column in view (the column
    // asked for may be hidden, as the dose list's journal ID at first, or
    // lie beyond the list's edge, as the image UID).
    static void click(QTreeView *view, const QModelIndex &index)
    {
        QVERIFY(index.isValid());
        QModelIndex shown = index.siblingAtColumn(view->header()->logicalIndexAt(0));
        for (int v = 0; (!shown.isValid() || view->isColumnHidden(shown.column())) && v < view->header()->count(); ++v)
            shown = index.siblingAtColumn(view->header()->logicalIndex(v));
        view->scrollTo(shown);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(shown).center());
    }
    static QModelIndex rowWith(QTreeView *view, int column, const QString &text)
    {
        const QAbstractItemModel *m = view->model();
        return m->match(m->index(0, column), Qt::DisplayRole, text, 1, Qt::MatchExactly).value(0);
    }
    static QString kvOf(int image) { return QString::number(21 + image); }
    // The viewer's page position of a readable received image.
    static int positionOf(int image) { return image < Unreadable ? image : image - 1; }
    static int imageAt(int position) { return position < Unreadable ? position : position + 1; }

    // The station with its receiver; five views of one patient received, four
    // exposures decoded from the unit's messages, the mammography filter active.
    void station()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStationWithJournal(*f_));
        StationReceiver started = StartStationReceiver(*f_, u"LUMORA"_s);
        QVERIFY2(started.process, "the receiver did not answer");
        receiver_ = std::move(started.process);
        Settings.XrayComm = 4;
        prompter_ = std::make_unique<RecordingPrompter>();
        w = std::make_unique<MainForm>(*prompter_);
        ws = std::make_unique<Workstation>(*w, *prompter_);
        ws->doseList().setToday([] { return Day; });
        ws->capture().setClock([] { return QDateTime(Day, QTime(9, 30)); });
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));

        // Each view carries a kV of its own, which the header view shows.
        images_ = FourViews(64, 48);
        images_.insert(Unreadable, images_.first());
        const QString study = NewSyntheticUid(), series = NewSyntheticUid();
        QStringList files;
        for (int i = 0; i < images_.size(); ++i) {
            SyntheticImageSpec &spec = images_[i];
            spec.studyUid = study;
            spec.seriesUid = series;
            spec.sopUid = NewSyntheticUid();
            spec.instanceNumber = i + 1;
            spec.extra = {{u"0018,0060"_s, kvOf(i)}};
            files << f_->file(u"in/%1.dcm"_s.arg(spec.sopUid));
            QVERIFY(WriteImage(spec, files.last()));
        }
        QCOMPARE(Store(u"LUMORA"_s, started.port, files), 0);
        QVERIFY2(WaitFor([&] { return CountRows(u"tblImages"_s) == images_.size(); }, 20000), "the images were not filed");
        QFile cut(f_->file(u"images/%1/%2.dcm"_s.arg(study, images_[Unreadable].sopUid)));
        QVERIFY(cut.resize(cut.size() / 2));

        exposures_.clear();
        for (int kv : {26, 27, 28, 29}) {
            exposures_ << DecodeUnitMessage(ws->capture(), 4, SenoMessage({.kv = kv, .mAs = 80, .ms = 400, .force = 12, .mm = 45}));
            QVERIFY(exposures_.last() > 0);
        }

        Settings.FilterActive = u"MG"_s;
        WriteSetting(QLatin1String(SettingsRoot) + u"Filter\\Active"_s, Settings.FilterActive);
        emit w->filterLoadDue();
        QVERIFY(ws->session().activeFilterTags().contains(u"0018,0060"_s));

        w->toolButton(u"refresh"_s)->trigger();
        click(list("lvPatients"), list("lvPatients")->model()->index(0, 0));
        w->command(Command::RefreshDoseList)->trigger();
        QCOMPARE(list("lvDosis")->model()->rowCount(), exposures_.size());
    }

    // The patient's study clicked: loaded anew, nothing current.
    void loadStudy()
    {
        prompter_->boxes.clear();
        click(list("lvStudien"), list("lvStudien")->model()->index(0, 0));
        QTRY_COMPARE(ListCount(ws->session().loadedImages()), images_.size() - 1);
        QCOMPARE(prompter_->texts(), QStringList{u"An error occured during loading - please retry!"_s});
        QCOMPARE(list("lvImages")->model()->rowCount(), images_.size());
        QVERIFY(!ws->session().currentImage());
        QVERIFY(WaitFor([&] { return tiles()->viewComplete(); }, 10000));
    }

    // What the windows show against what the session holds and what the
    // clicks made current (image -1 and exposure 0: none).
    void agree(int image, qlonglong exposure, const QString &after)
    {
        const Session &s = ws->session();
        const QString step = u" after "_s + after;
        const QString uid = image >= 0 ? images_[image].sopUid : QString();
        QVERIFY2(s.currentImageUid() == uid, qPrintable(u"session's image "_s + s.currentImageUid() + step));
        QVERIFY2(s.selectedExposure().journalId == exposure,
                 qPrintable(u"session's exposure %1, expected %2"_s.arg(s.selectedExposure().journalId).arg(exposure) + step));

        // The viewer frames the current image, and no other.
        QVERIFY2(tiles()->framed() == s.currentImage(), qPrintable(u"viewer's frame"_s + step));
        QCOMPARE(tiles()->images(), s.loadedImages().items);
        // The image list selects its row.
        QStringList selected;
        for (const QModelIndex &row : list("lvImages")->selectionModel()->selectedRows(3))
            selected << row.data().toString();
        QVERIFY2(selected == (uid.isEmpty() ? QStringList() : QStringList{uid}), qPrintable(u"image list selects "_s + selected.join(u' ') + step));
        // The header view shows its attributes, and none without one.
        const QAbstractItemModel *header = list("lvHeader")->model();
        QString kv = u"<no row>"_s;
        for (int i = 0; i < header->rowCount(); ++i)
            if (header->index(i, 1).data().toString() == u"0018,0060"_s)
                kv = header->index(i, 0).data().toString();
        if (image >= 0)
            QVERIFY2(kv == kvOf(image), qPrintable(u"header view's kV "_s + kv + step));
        else
            QVERIFY2(header->rowCount() == 0, qPrintable(u"header view has rows"_s + step));
        // The status bar names its position and its view.
        const QString position = image >= 0 ? u"Sel. image #: %1"_s.arg(positionOf(image) + 1) : QString();
        QVERIFY2(w->statusPanel(3) == position, qPrintable(u"status panel 3 "_s + w->statusPanel(3) + step));
        if (image >= 0) {
            const QString view = images_[image].laterality.toUpper() + u'-' + images_[image].viewPosition.toUpper();
            QVERIFY2(w->statusPanel(5) == view, qPrintable(u"status panel 5 "_s + w->statusPanel(5) + step));
        }
        // The dose list selects the exposure's row, and the boxes show it.
        if (exposure > 0) {
            const QModelIndexList rows = list("lvDosis")->selectionModel()->selectedRows(DoseList::Id);
            QVERIFY2(rows.size() == 1 && rows.first().data().toLongLong() == exposure, qPrintable(u"dose list's selection"_s + step));
            QVERIFY2(Child<QLineEdit>(*w, u"txtID"_s)->text().toLongLong() == exposure, qPrintable(u"exposure boxes"_s + step));
            const int kvShown = Child<QLineEdit>(*w, u"Text3_0"_s)->text().toInt();
            QVERIFY2(kvShown == 26 + int(exposures_.indexOf(exposure)), qPrintable(u"exposure's kV box"_s + step));
        }
    }

private slots:
    void initTestCase()
    {
        station();
    }
    void cleanupTestCase()
    {
        ws.reset();
        w.reset();
        prompter_.reset();
        if (receiver_)
            receiver_->terminate();
        receiver_.reset();
        f_.reset();
    }

    void clicksAgreeInEveryOrder_data()
    {
        QTest::addColumn<QString>("clicks");
        const QList<QStringList> sets{
            {u"row 1"_s, u"dose 2"_s, u"tile 3"_s},
            // One image by its row and by its tile, and its exposure.
            {u"tile 0"_s, u"row 0"_s, u"dose 0"_s},
            // The row of the file that could not be read selects nothing.
            {u"row 2"_s, u"tile 2"_s, u"dose 1"_s, u"row 4"_s},
            // Rows after the unreadable one: the list's rows are not the viewer's positions.
            {u"row 3"_s, u"row 4"_s, u"tile 1"_s, u"dose 3"_s},
            // The same tile twice, dose rows back and forth.
            {u"tile 1"_s, u"tile 1"_s, u"dose 0"_s, u"dose 3"_s},
        };
        for (const QStringList &set : sets)
            for (const QString &order : Permutations(set))
                QTest::newRow(qPrintable(order)) << order;
    }
    void clicksAgreeInEveryOrder()
    {
        QFETCH(QString, clicks);
        loadStudy();
        int image = -1;
        qlonglong exposure = ws->session().selectedExposure().journalId;
        if (exposure > 0)
            agree(image, exposure, u"the load"_s);
        for (const QString &c : clicks.split(u", "_s)) {
            const int n = c.section(u' ', 1).toInt();
            if (c.startsWith(u"row"_s)) {
                click(list("lvImages"), rowWith(list("lvImages"), 3, images_[n].sopUid));
                if (n != Unreadable)
                    image = n;
            } else if (c.startsWith(u"dose"_s)) {
                click(list("lvDosis"), rowWith(list("lvDosis"), DoseList::Id, QString::number(exposures_[n])));
                exposure = exposures_[n];
            } else {
                QTest::mouseClick(tiles(), Qt::LeftButton, {}, tiles()->tileRect(n).center());
                image = imageAt(n);
                // The list shows the tile's row from its first column: ID, date and time stay in view.
                QVERIFY2(list("lvImages")->horizontalScrollBar()->value() == 0, qPrintable(u"image list scrolled sideways after "_s + c));
            }
            agree(image, exposure, c);
            if (QTest::currentTestFailed())
                return;
        }
    }
};

LUMORA_WIDGETS_TEST_MAIN(ClickOrderTest, 1280, 1024)
#include "tst_click_order.moc"
