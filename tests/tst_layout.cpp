// The main window's layout at 1280 x 1024: the patient list as a band across
// the top, names and IDs whole, the panels in splitters, columns the operator
// sizes, hides and shows, all kept per station over a restart; the viewer's
// grid and its place.
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/Workstation.h"
#include "browse/Browser.h"
#include "core/DisplayText.h"
#include "core/Settings.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "store/Session.h"
#include "support/Peers.h"
#include "support/UnitMessages.h"
#include "support/Widgets.h"
#include "toolkit/ToolkitViewer.h"
#include "ui/ListColumns.h"

namespace {

const QDate Day{2026, 12, 7};
const QString LongId = u"PID-1234567890AB"_s;
const QString LongName = u"Müller-Lüdenscheidt, Käthe-Friederike Änne"_s;
// An ID far longer than any other: it may be cut, the others may not.
const QString OutlierId = u"PID-OUTLIER-0000000000000000000000000000000000000000000000000001"_s;

// The viewer's tile grid in the main window's coordinates, measured before
// the patient list became a band: its top left, and its distances to the
// window's right and bottom edges (500 and 1500 twips).
const QPoint ViewerBefore{720, 68};
constexpr int ViewerRightMargin = 33;
constexpr int ViewerBottomMargin = 100;

// The cell's text and the room the view shows of it, in pixels: the text's
// advance with the margins the style draws it within, and the cell's width
// inside the list's viewport.
struct Fit {
    int need = 0;
    int room = 0;
};
Fit CellFit(const QTreeView *list, const QModelIndex &index)
{
    const QString text = index.data().toString();
    const int margin = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
    QFont font = list->font();
    if (const QVariant f = index.data(Qt::FontRole); f.isValid())
        font = f.value<QFont>();
    const QRect cell = list->visualRect(index) & list->viewport()->rect();
    return {QFontMetrics(font).horizontalAdvance(text) + margin, cell.width()};
}

// A heading's caption against its section, within the list's viewport.
Fit HeadingFit(const QTreeView *list, int column)
{
    const QHeaderView *header = list->header();
    const int margin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    const QString caption = list->model()->headerData(column, Qt::Horizontal).toString();
    const int left = header->sectionViewportPosition(column);
    const QRect section = QRect(left, 0, header->sectionSize(column), header->height()) & header->viewport()->rect();
    return {QFontMetrics(header->font()).horizontalAdvance(caption) + margin, header->isSectionHidden(column) ? 0 : section.width()};
}

// A picture of the screen for the report, with LUMORA_SHOTS set (a folder).
void KeepShot(const QString &name)
{
    const QString folder = qEnvironmentVariable("LUMORA_SHOTS");
    if (folder.isEmpty())
        return;
    // What the X server has not painted yet is missing from the picture.
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && !QTest::qWaitForWindowExposed(w))
            return;
    for (int round = 0; round < 3; ++round)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QDir().mkpath(folder);
    QGuiApplication::primaryScreen()->grabWindow(0).save(folder + u'/' + name + u".png"_s);
}

// A mouse event as the window system delivers it, at a point of the widget.
void SendMouse(QWidget *widget, QEvent::Type type, const QPoint &at, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, QPointF(at), QPointF(widget->mapToGlobal(at)), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &e);
}

// The operator drags from a point of the widget by dx, dy.
void Drag(QWidget *widget, const QPoint &from, int dx, int dy)
{
    SendMouse(widget, QEvent::MouseButtonPress, from, Qt::LeftButton);
    for (int step = 1; step <= 4; ++step)
        SendMouse(widget, QEvent::MouseMove, from + QPoint(dx * step / 4, dy * step / 4), Qt::LeftButton);
    SendMouse(widget, QEvent::MouseButtonRelease, from + QPoint(dx, dy), Qt::NoButton);
}

} // namespace

class LayoutTest;
// What a case reads from the window, and what the operator does to change it.
using Read = std::function<QString(LayoutTest &)>;
using Act = std::function<void(LayoutTest &)>;
Q_DECLARE_METATYPE(Read)
Q_DECLARE_METATYPE(Act)

class LayoutTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;
    std::unique_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<MainForm> w_;
    Workstation *ws_ = nullptr; // the window's

    QTreeView *list(const char *name) const { return Child<QTreeView>(*w_, QLatin1String(name)); }

    // Images of patients sent to the station's receiver as a detector sends them.
    void receive(const QList<SyntheticImageSpec> &images)
    {
        QStringList files;
        for (const SyntheticImageSpec &spec : images) {
            files << f_->file(u"in/%1.dcm"_s.arg(spec.sopUid.isEmpty() ? NewSyntheticUid() : spec.sopUid));
            QVERIFY(WriteImage(spec, files.last()));
        }
        const qlonglong before = CountRows(u"tblImages"_s);
        QCOMPARE(Store(u"LUMORA"_s, port_, files), 0);
        QVERIFY2(WaitFor([&] { return CountRows(u"tblImages"_s) == before + images.size(); }, 20000), "the images were not filed");
    }

    // A station with its receiver: her four views, nine other patients and
    // one with an outlying ID; eight exposures of the day decoded.
    // grid: "rows x columns" a station that ran before stored; none for a new one.
    void station(const QString &grid = {})
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStationWithJournal(*f_));
        StationReceiver started = StartStationReceiver(*f_, u"LUMORA"_s);
        QVERIFY2(started.process, "the receiver did not answer");
        receiver_ = std::move(started.process);
        port_ = started.port;
        QList<SyntheticImageSpec> images;
        const QString study = NewSyntheticUid(), series = NewSyntheticUid();
        for (SyntheticImageSpec spec : FourViews(64, 48)) {
            spec.patientId = LongId;
            spec.patientName = u"Müller-Lüdenscheidt^Käthe-Friederike Änne^Walburga"_s;
            spec.birthDate = u"19620314"_s;
            spec.studyUid = study;
            spec.seriesUid = series;
            images << spec;
        }
        for (int i = 0; i < 10; ++i) {
            SyntheticImageSpec spec{.patientName = u"Muster^Eva %1"_s.arg(i), .patientId = i == 9 ? OutlierId : u"P-%1"_s.arg(i),
                                    .birthDate = u"1970010%1"_s.arg(i % 9 + 1), .rows = 48, .columns = 32};
            images << spec;
        }
        receive(images);
        if (QTest::currentTestFailed())
            return;
        if (!grid.isEmpty()) {
            WriteSetting(u"General\\Viewer_Rows"_s, grid.section(u'x', 0, 0));
            WriteSetting(u"General\\Viewer_Columns"_s, grid.section(u'x', 1));
        }
        start();
    }

    // The workstation over the station's folder, as the start-up brings it up.
    void start()
    {
        LoadSettings(); // as the options dialog's load does before the window
        prompter_ = std::make_unique<RecordingPrompter>();
        w_ = std::make_unique<MainForm>(*prompter_);
        ws_ = new Workstation(*w_, *prompter_);
        ws_->doseList().setToday([] { return Day; });
        ws_->capture().setClock([] { return QDateTime(Day, QTime(9, 30)); });
        w_->Form_Load();
        w_->show();
        QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
        w_->activateWindow();
        QTRY_VERIFY(w_->isActiveWindow());
    }

    // Closed as the operator closes it, and gone.
    void stop()
    {
        w_->close();
        w_.reset();
        ws_ = nullptr;
    }

    void decodeExposures(int count)
    {
        for (int i = 0; i < count; ++i)
            QVERIFY(DecodeUnitMessage(ws_->capture(), 4, SenoMessage({.kv = 25 + i})) > 0);
        w_->command(Command::RefreshDoseList)->trigger();
        QCOMPARE(list("lvDosis")->model()->rowCount(), count);
    }

    // Her row clicked, then her study: her four views in the viewer.
    void loadHerStudy()
    {
        QTreeView *patients = list("lvPatients");
        const QAbstractItemModel *m = patients->model();
        const QModelIndex her = m->match(m->index(0, 0), Qt::DisplayRole, LongId, 1, Qt::MatchExactly).value(0);
        QVERIFY(her.isValid());
        click(patients, her);
        QTRY_COMPARE(list("lvStudien")->model()->rowCount(), 1);
        click(list("lvStudien"), list("lvStudien")->model()->index(0, 0));
        QTRY_COMPARE(ListCount(ws_->session().loadedImages()), 4);
    }

    // The row clicked where it shows: in the column asked for, or the first shown when that one is hidden.
    static void click(QTreeView *view, const QModelIndex &index)
    {
        QVERIFY(index.isValid());
        QModelIndex shown = index;
        for (int v = 0; view->isColumnHidden(shown.column()) && v < view->header()->count(); ++v)
            shown = index.siblingAtColumn(view->header()->logicalIndex(v));
        view->scrollTo(shown);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(shown).center());
    }

    QRect viewerGeometry() const
    {
        const auto *grid = w_->findChild<ToolkitViewer *>(u"dv1"_s);
        return QRect(grid->mapTo(w_.get(), QPoint(0, 0)), grid->size());
    }

private slots:
    void cleanup()
    {
        w_.reset();
        prompter_.reset();
        receiver_.reset();
        f_.reset();
    }

    // ID, name, second name and birth date whole in the band of eight rows;
    // the outlying ID cut, whole in its tooltip, its column no wider than
    // the room the others leave; the dose list's eight rows, Status and
    // expTime whole.
    void bandShowsPatientsWhole_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        QTest::newRow("long ID") << LongId << 0 << LongId;
        QTest::newRow("name") << LongId << 1 << LongName;
        QTest::newRow("second name") << LongId << 2 << u"Walburga"_s;
        QTest::newRow("birth date") << LongId << 3 << DateText(QDate(1962, 3, 14));
        QTest::newRow("a name beside the outlying ID") << OutlierId << 1 << u"Muster, Eva 9"_s;
        QTest::newRow("a birth date beside the outlying ID") << OutlierId << 3 << DateText(QDate(1970, 1, 1));
    }
    void bandShowsPatientsWhole()
    {
        QFETCH(QString, id);
        QFETCH(int, column);
        QFETCH(QString, text);
        station();
        if (QTest::currentTestFailed())
            return;
        QTreeView *patients = list("lvPatients");
        const QAbstractItemModel *m = patients->model();
        const QModelIndex row = m->match(m->index(0, 0), Qt::DisplayRole, id, 1, Qt::MatchExactly).value(0);
        QVERIFY(row.isValid());
        const QModelIndex cell = row.siblingAtColumn(column);
        QCOMPARE(cell.data().toString(), text);
        patients->scrollTo(cell);
        QTRY_VERIFY2(CellFit(patients, cell).need <= CellFit(patients, cell).room,
                     qPrintable(u"\"%1\" needs %2 px, has %3"_s.arg(text).arg(CellFit(patients, cell).need).arg(CellFit(patients, cell).room)));
        QVERIFY(!CellTextCut(patients, cell));
        // Eight rows in the band, and no column beyond its right edge.
        QVERIFY2(patients->viewport()->height() >= 8 * patients->sizeHintForRow(0),
                 qPrintable(u"%1 px for rows of %2"_s.arg(patients->viewport()->height()).arg(patients->sizeHintForRow(0))));
        QVERIFY(patients->header()->length() <= patients->viewport()->width());
        KeepShot(u"main-window-long-id-and-name"_s);
    }

    void outlyingIdIsCutWithItsTooltip()
    {
        station();
        if (QTest::currentTestFailed())
            return;
        QTreeView *patients = list("lvPatients");
        const QAbstractItemModel *m = patients->model();
        const QModelIndex outlier = m->match(m->index(0, 0), Qt::DisplayRole, OutlierId, 1, Qt::MatchExactly).value(0);
        const QModelIndex longId = m->match(m->index(0, 0), Qt::DisplayRole, LongId, 1, Qt::MatchExactly).value(0);
        QVERIFY(outlier.isValid() && longId.isValid());
        patients->scrollTo(outlier);
        QTRY_VERIFY(CellFit(patients, outlier).need > CellFit(patients, outlier).room);
        QVERIFY(CellFit(patients, longId).need <= patients->columnWidth(0));
        // The column is no wider than what the other columns leave.
        int others = 0;
        for (int c = 1; c < m->columnCount(); ++c)
            others += patients->columnWidth(c);
        QCOMPARE(patients->columnWidth(0), patients->viewport()->width() - others);
        // Pointed at, the cut cell shows its whole text; a whole one none of its own.
        const auto tipAt = [patients](const QModelIndex &index) {
            QToolTip::hideText();
            const QPoint at = patients->visualRect(index).center();
            QHelpEvent help(QEvent::ToolTip, at, patients->viewport()->mapToGlobal(at));
            QApplication::sendEvent(patients->viewport(), &help);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        QCOMPARE(tipAt(longId), QString());
        QCOMPARE(tipAt(outlier), OutlierId);
    }

    void doseListShowsItsColumns_data()
    {
        QTest::addColumn<int>("column");
        QTest::newRow("Status") << int(DoseList::Status);
        QTest::newRow("expTime") << int(DoseList::ExpTime);
        QTest::newRow("AGD") << int(DoseList::Agd);
        QTest::newRow("projection") << int(DoseList::Other);
    }
    void doseListShowsItsColumns()
    {
        QFETCH(int, column);
        station();
        if (QTest::currentTestFailed())
            return;
        decodeExposures(8);
        QTreeView *doses = list("lvDosis");
        QTRY_VERIFY2(HeadingFit(doses, column).need <= HeadingFit(doses, column).room,
                     qPrintable(u"needs %1 px, has %2"_s.arg(HeadingFit(doses, column).need).arg(HeadingFit(doses, column).room)));
        // The rows' widths come with the round of events after they came.
        const auto cutCell = [doses, column] {
            for (int r = 0; r < doses->model()->rowCount(); ++r) {
                const QModelIndex cell = doses->model()->index(r, column);
                if (CellFit(doses, cell).need > CellFit(doses, cell).room)
                    return u"%1 needs %2 px, has %3"_s.arg(cell.data().toString()).arg(CellFit(doses, cell).need).arg(CellFit(doses, cell).room);
            }
            return QString();
        };
        QTRY_VERIFY2(cutCell().isEmpty(), qPrintable(cutCell()));
        QVERIFY2(doses->viewport()->height() >= 8 * doses->sizeHintForRow(0),
                 qPrintable(u"%1 px for rows of %2"_s.arg(doses->viewport()->height()).arg(doses->sizeHintForRow(0))));
    }

    // Her study clicked in a new station's study list, at its first width:
    // its date and time whole, the time in the locale's short form (the
    // detector's "091500" stays stored as it came).
    void studyListShowsDateAndTimeWhole_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        QTest::newRow("Date") << 1 << DateText(QDate(2026, 12, 6));
        QTest::newRow("Time") << 2 << QLocale().toString(QTime(9, 15), QLocale::ShortFormat);
    }
    void studyListShowsDateAndTimeWhole()
    {
        QFETCH(int, column);
        QFETCH(QString, text);
        station();
        if (QTest::currentTestFailed())
            return;
        loadHerStudy();
        if (QTest::currentTestFailed())
            return;
        QTreeView *studies = list("lvStudien");
        const QModelIndex cell = studies->model()->index(0, column);
        QCOMPARE(cell.data().toString(), text);
        QTRY_VERIFY2(CellFit(studies, cell).need <= CellFit(studies, cell).room,
                     qPrintable(u"\"%1\" needs %2 px, has %3"_s.arg(text).arg(CellFit(studies, cell).need).arg(CellFit(studies, cell).room)));
        QVERIFY2(HeadingFit(studies, column).need <= HeadingFit(studies, column).room,
                 qPrintable(u"heading needs %1 px, has %2"_s.arg(HeadingFit(studies, column).need).arg(HeadingFit(studies, column).room)));
        if (column == 2)
            KeepShot(u"study-list"_s);
    }

    // Each thing the operator arranges, changed in one window and found
    // again in the next over the same station.
    void arrangementSurvivesARestart_data()
    {
        QTest::addColumn<Read>("read");
        QTest::addColumn<Act>("act");
        const auto sizes = [](const char *name) {
            return Read([name](LayoutTest &t) {
                QStringList out;
                for (int size : Child<QSplitter>(*t.w_, QLatin1String(name))->sizes())
                    out << QString::number(size);
                return out.join(u',');
            });
        };
        const auto dragHandle = [](const char *name, int by) {
            return Act([name, by](LayoutTest &t) {
                auto *s = Child<QSplitter>(*t.w_, QLatin1String(name));
                QSplitterHandle *handle = s->handle(1);
                const QPoint middle = handle->rect().center();
                Drag(handle, middle, s->orientation() == Qt::Horizontal ? by : 0, s->orientation() == Qt::Vertical ? by : 0);
            });
        };
        const auto width = [](const char *name, int column) {
            return Read([name, column](LayoutTest &t) { return QString::number(t.list(name)->columnWidth(column)); });
        };
        const auto dragEdge = [](const char *name, int column, int by) {
            return Act([name, column, by](LayoutTest &t) {
                QHeaderView *header = t.list(name)->header();
                const QPoint edge(header->sectionViewportPosition(column) + header->sectionSize(column) - 1, header->height() / 2);
                Drag(header->viewport(), edge, by, 0);
            });
        };
        const auto shown = [](const char *name, int column) {
            return Read([name, column](LayoutTest &t) { return t.list(name)->isColumnHidden(column) ? u"hidden"_s : u"shown"_s; });
        };
        const auto toggle = [](const char *name, int column) {
            return Act([name, column](LayoutTest &t) {
                QHeaderView *header = t.list(name)->header();
                const QPoint at(header->sectionViewportPosition(0) + 4, header->height() / 2);
                QContextMenuEvent menuAt(QContextMenuEvent::Mouse, at, header->viewport()->mapToGlobal(at));
                QApplication::sendEvent(header->viewport(), &menuAt);
                auto *menu = header->findChild<QMenu *>(u"ColumnMenu"_s);
                QVERIFY(menu);
                QTRY_VERIFY(menu->isVisible());
                menu->findChild<QAction *>(u"ColumnShown%1"_s.arg(column))->trigger();
                menu->close();
            });
        };
        QTest::newRow("the viewer's splitter") << sizes("mainSplitter") << dragHandle("mainSplitter", -60);
        QTest::newRow("the patient band's height") << sizes("leftSplitter") << dragHandle("leftSplitter", 40);
        QTest::newRow("the study lists beside the capture") << sizes("lowerSplitter") << dragHandle("lowerSplitter", 30);
        QTest::newRow("the dose list's height") << sizes("workSplitter") << dragHandle("workSplitter", -30);
        QTest::newRow("the name column's width") << width("lvPatients", 1) << dragEdge("lvPatients", 1, -40);
        QTest::newRow("the dose list's kV column") << width("lvDosis", DoseList::KV) << dragEdge("lvDosis", DoseList::KV, 25);
        QTest::newRow("the second name hidden") << shown("lvPatients", 2) << toggle("lvPatients", 2);
        QTest::newRow("the dose list's journal ID shown") << shown("lvDosis", DoseList::Id) << toggle("lvDosis", DoseList::Id);
    }
    void arrangementSurvivesARestart()
    {
        QFETCH(Read, read);
        QFETCH(Act, act);
        station();
        if (QTest::currentTestFailed())
            return;
        decodeExposures(3);
        QCoreApplication::processEvents(); // the columns fitted to the rows, due after this round of events
        const QString before = read(*this);
        act(*this);
        if (QTest::currentTestFailed())
            return;
        const QString arranged = read(*this);
        QVERIFY2(arranged != before, qPrintable(arranged));
        const QRect viewer = viewerGeometry();
        stop();
        start();
        QTRY_COMPARE(read(*this), arranged);
        QCOMPARE(viewerGeometry(), viewer);
    }

    // A new station shows one four-view study a page; a station that stored
    // its grid keeps it.
    void viewerGrid_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QSize>("grid"); // columns x rows
        QTest::addColumn<int>("scrollMaximum"); // -1: no scroll bar
        // As many images as tiles: the scroll bar shows, with nowhere to go.
        QTest::newRow("new station") << QString() << QSize(2, 2) << 0;
        QTest::newRow("existing station") << u"7x3"_s << QSize(3, 7) << -1;
        QTest::newRow("existing station, one row") << u"1x3"_s << QSize(3, 1) << 1;
    }
    void viewerGrid()
    {
        QFETCH(QString, stored);
        QFETCH(QSize, grid);
        QFETCH(int, scrollMaximum);
        station(stored);
        if (QTest::currentTestFailed())
            return;
        loadHerStudy();
        const auto *tiles = w_->findChild<ToolkitViewer *>(u"dv1"_s);
        QCOMPARE(QSize(tiles->columns(), tiles->rows()), grid);
        const auto *scroll = w_->findChild<QScrollBar *>(u"dv1_vscroll"_s);
        QCOMPARE(scroll->isVisible() ? scroll->maximum() : -1, scrollMaximum);
        QCOMPARE(tiles->firstTile(), 1);
        if (stored.isEmpty()) {
            QTRY_VERIFY(tiles->viewComplete());
            QTRY_COMPARE(list("lvImages")->model()->rowCount(), 4);
            KeepShot(u"four-views-2x2"_s);
        }
    }

    // The grid changed in the options takes effect when OK is pressed.
    void gridChangedInOptionsAppliesOnOk()
    {
        station();
        if (QTest::currentTestFailed())
            return;
        loadHerStudy();
        auto *tiles = w_->findChild<ToolkitViewer *>(u"dv1"_s);
        QCOMPARE(QSize(tiles->columns(), tiles->rows()), QSize(2, 2));
        w_->action(u"mnuAnsichtEinstellungen"_s)->trigger();
        OptionForm *options = w_->optionForm();
        QVERIFY(options && options->isVisible());
        Child<QLineEdit>(options, u"txtRC0"_s)->setText(u"1"_s);
        Child<QLineEdit>(options, u"txtRC1"_s)->setText(u"3"_s);
        Child<QPushButton>(options, u"cmdOK"_s)->click();
        QCOMPARE(QSize(tiles->columns(), tiles->rows()), QSize(3, 1));
        QVERIFY(w_->findChild<QScrollBar *>(u"dv1_vscroll"_s)->isVisible()); // four images, three tiles
        QCOMPARE(tiles->firstTile(), 1);
        QCOMPARE(ReadSetting(u"General\\Viewer_Columns"_s, QString()), u"3"_s);
    }

    // The active filter's attributes (MG: five) all in the header view at
    // first, a view clicked, the day's exposures listed and a task entered:
    // no row scrolled out of sight.
    void headerViewShowsTheActiveFilter()
    {
        station();
        if (QTest::currentTestFailed())
            return;
        Settings.FilterActive = u"MG"_s; // as the options activate it
        WriteSetting(QLatin1String(SettingsRoot) + u"Filter\\Active"_s, Settings.FilterActive);
        emit w_->filterLoadDue();
        decodeExposures(8);
        loadHerStudy();
        if (QTest::currentTestFailed())
            return;
        auto *tiles = w_->findChild<ToolkitViewer *>(u"dv1"_s);
        QTest::mouseClick(tiles, Qt::LeftButton, {}, tiles->tileRect(0).center());
        QTreeView *header = list("lvHeader");
        QTRY_COMPARE(header->model()->rowCount(), 5);
        const QRect shown = header->viewport()->rect();
        QStringList hidden;
        for (int r = 0; r < header->model()->rowCount(); ++r) {
            const QModelIndex row = header->model()->index(r, 0);
            if (!shown.contains(header->visualRect(row)))
                hidden << u"%1 at %2..%3 of %4 px"_s.arg(row.siblingAtColumn(1).data().toString())
                              .arg(header->visualRect(row).top()).arg(header->visualRect(row).bottom()).arg(shown.height());
        }
        QVERIFY2(hidden.isEmpty(), qPrintable(u"not in view: "_s + hidden.join(u", "_s)));
        QCOMPARE(header->verticalScrollBar()->maximum(), 0);
        KeepShot(u"header-view-and-task-list"_s);
    }

    // The viewer's place and size as before the band, however the lists are filled.
    void viewerKeepsItsPlace()
    {
        station();
        if (QTest::currentTestFailed())
            return;
        decodeExposures(8);
        loadHerStudy();
        // 1280 x 960 with the frame the window system draws around it within
        // the screen's free area: offscreen draws 2 px on each side (1276 px
        // wide), X without a window manager none (1280 px).
        const QRect available = w_->screen()->availableGeometry();
        const QSize frame = w_->frameGeometry().size() - w_->size();
        const QSize window(std::min(1280, available.width() - frame.width()), std::min(960, available.height() - frame.height()));
        QTRY_COMPARE(w_->size(), window);
        QCOMPARE(viewerGeometry(), QRect(ViewerBefore, QSize(window.width() - ViewerBefore.x() - ViewerRightMargin,
                                                             window.height() - ViewerBefore.y() - ViewerBottomMargin)));
    }
};

LUMORA_WIDGETS_TEST_MAIN(LayoutTest, 1280, 1024)
#include "tst_layout.moc"
