// Every window the operator reads, filled with realistic values, on the screen
// this run is given (LUMORA_TEST_SCREEN, 1280x1024 by default; ctest runs it
// also at the smallest screen the start-up check allows): no label, button,
// line edit, box or list column cuts its text, and no column lies beyond its
// list's right edge.
#include "acquisition/SelectPosForm.h"
#include <QStandardItemModel>
#include "ui/Widgets.h"
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/SerialPorts.h"
#include "app/StartupChecks.h"
#include "app/StartupFlow.h"
#include "app/Workstation.h"
#include "dose/DoseCalibrationForm.h"
#include "dose/ReferenceLevels.h"
#include "qa/DoseQaForm.h"
#include "browse/Browser.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "dictionary/DictionaryForms.h"
#include "exposure/DoseList.h"
#include "exposure/DosisForm.h"
#include "jobs/EditForm.h"
#include "network/PartnerForms.h"
#include "network/StoragePartners.h"
#include "network/WorklistForm.h"
#include "store/DatabasePaths.h"
#include "acquisition/ImageViewer.h"
#include "header/HeaderView.h"
#include "header/TaskList.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/UnitMessages.h"
#include "support/Widgets.h"
#include "toolkit/Toolkit.h"
#include "toolkit/ToolkitViewer.h"
#include "transfer/ExportForm.h"

namespace {

QSize TestScreen()
{
    const QStringList wh = qEnvironmentVariable("LUMORA_TEST_SCREEN", u"1280x1024"_s).split(u'x');
    return wh.size() == 2 ? QSize(wh[0].toInt(), wh[1].toInt()) : QSize(1280, 1024);
}

QString Named(const QWidget *w)
{
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
}

// The width of the widget that its ancestors up to the window leave visible.
int VisibleWidth(const QWidget *w)
{
    QRect r = w->rect();
    for (const QWidget *p = w; p && !p->isWindow(); p = p->parentWidget()) {
        r.translate(p->pos());
        r &= p->parentWidget()->rect();
    }
    return r.width();
}

void Need(QStringList &cut, const QWidget *w, const QString &what, const QString &text, int need, int have)
{
    if (!text.isEmpty() && need > have)
        cut << u"%1 %2 \"%3\": needs %4 px, has %5"_s.arg(Named(w), what, text).arg(need).arg(have);
}

// A list's columns: each as wide as its heading and its widest cell, or, in a
// list that wraps, as its longest word with every cell's lines within its row.
// While all of them would fit beside each other, none lies beyond the right
// edge (beyond it, with too little room, the scroll bar reaches them); in the
// main window's header view and task list never: their descriptions wrap.
void CheckList(QStringList &cut, QAbstractItemView *view)
{
    static const QStringList alwaysWithin{u"lvHeader"_s, u"lvTasks"_s};
    const bool within = alwaysWithin.contains(view->objectName());
    bool wraps = false;
    QHeaderView *header = nullptr;
    bool tree = false;
    if (auto *t = qobject_cast<QTreeView *>(view)) {
        header = t->header();
        tree = t->rootIsDecorated();
        wraps = t->wordWrap();
    } else if (auto *t = qobject_cast<QTableView *>(view)) {
        header = t->horizontalHeader();
        wraps = t->wordWrap();
    }
    QAbstractItemModel *model = view->model();
    if (!header || !model)
        return;
    view->horizontalScrollBar()->setValue(0);
    const QStyle *style = view->style();
    const int cellMargin = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
    const int headerMargin = 2 * style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    const int sortMark = style->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header) + headerMargin / 2;
    const int viewport = std::min(view->viewport()->width(), VisibleWidth(view->viewport()));
    struct Column {
        int logical, need = 0;
        QString caption, widest;
    };
    QList<Column> columns;
    int together = 0;
    for (int c = 0; c < model->columnCount(); ++c) {
        if (header->isSectionHidden(c) || header->sectionSize(c) == 0)
            continue;
        Column col{c};
        col.caption = model->headerData(c, Qt::Horizontal).toString();
        if (header->isVisible()) {
            // Any column of a sorted list may come to carry the sort mark.
            // The style may ask a few pixels more than text and margins.
            col.need = std::max(QFontMetrics(header->font()).horizontalAdvance(col.caption) + headerMargin + (header->isSortIndicatorShown() ? sortMark : 0),
                                header->sectionSizeHint(c));
            col.widest = u"heading"_s;
        }
        const int indent = tree && header->visualIndex(c) == 0 ? static_cast<QTreeView *>(view)->indentation() : 0;
        for (int r = 0; r < std::min(model->rowCount(), 200); ++r) {
            const QModelIndex i = model->index(r, c);
            const QString text = i.data().toString();
            QFont font = view->font();
            if (const QVariant f = i.data(Qt::FontRole); f.isValid())
                font = f.value<QFont>();
            const int icon = i.data(Qt::DecorationRole).isValid() || i.data(Qt::CheckStateRole).isValid() ? view->iconSize().width() + 4 : 0;
            const QFontMetrics fm(font);
            int need = fm.horizontalAdvance(text) + cellMargin + indent + icon;
            if (wraps) {
                int word = 0;
                for (const QString &w : text.split(u' ', Qt::SkipEmptyParts))
                    word = std::max(word, fm.horizontalAdvance(w));
                need = word + cellMargin + indent + icon;
                const QRect cell = view->visualRect(i);
                const QRect room = cell.adjusted(cellMargin / 2 + indent + icon, 0, -cellMargin / 2, 0);
                const QRect lines = fm.boundingRect(room, Qt::TextWordWrap, text);
                if (!text.isEmpty() && cell.width() > 0 && lines.height() > cell.height())
                    cut << u"%1 row %2 \"%3\": %4 px of lines in a row %5 px high"_s.arg(Named(view)).arg(r).arg(text).arg(lines.height()).arg(cell.height());
            }
            if (need > col.need) {
                col.need = need;
                col.widest = u"row %1 \"%2\""_s.arg(r).arg(text);
            }
        }
        together += col.need;
        columns << col;
    }
    for (const Column &col : columns) {
        const int size = header->sectionSize(col.logical);
        const int left = header->sectionViewportPosition(col.logical);
        if (left + size > viewport && (together <= viewport || within))
            cut << u"%1 column \"%2\" lies beyond the right edge (%3 + %4 of %5 px)"_s.arg(Named(view), col.caption).arg(left).arg(size).arg(viewport);
        else if (col.need > size)
            cut << u"%1 column \"%2\" %3: needs %4 px, has %5"_s.arg(Named(view), col.caption, col.widest).arg(col.need).arg(size);
    }
}

// The texts of the window's visible controls that do not fit, one line each.
QStringList CutTexts(QWidget *window)
{
    QStringList cut;
    const QRect screen = window->screen()->availableGeometry();
    if (window->frameGeometry().width() > screen.width() || window->frameGeometry().height() > screen.height())
        cut << u"%1 is %2 x %3, larger than the screen"_s.arg(Named(window)).arg(window->frameGeometry().width()).arg(window->frameGeometry().height());
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisible() || w->window() != window)
            continue;
        const QFontMetrics fm(w->font());
        const QStyle *style = w->style();
        const int visible = VisibleWidth(w);
        if (auto *l = qobject_cast<QLabel *>(w)) {
            if (l->wordWrap() || l->textFormat() == Qt::RichText || Qt::mightBeRichText(l->text()))
                continue;
            const int have = l->contentsRect().width() - 2 * l->margin() - std::max(l->indent(), 0);
            for (const QString &line : l->text().split(u'\n'))
                Need(cut, l, u"label"_s, line, fm.horizontalAdvance(line), std::min(have, visible));
        } else if (auto *b = qobject_cast<QPushButton *>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = b->text();
            opt.features = b->isFlat() ? QStyleOptionButton::Flat : QStyleOptionButton::None;
            const QString text = QString(b->text()).remove(u'&');
            const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + 4;
            const int have = style->subElementRect(QStyle::SE_PushButtonContents, &opt, b).width();
            Need(cut, b, u"button"_s, text, fm.horizontalAdvance(text) + icon, std::min(have, visible));
        } else if (qobject_cast<QCheckBox *>(w) || qobject_cast<QRadioButton *>(w)) {
            auto *b = static_cast<QAbstractButton *>(w);
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = b->text();
            const bool check = qobject_cast<QCheckBox *>(w);
            const QRect contents = style->subElementRect(check ? QStyle::SE_CheckBoxContents : QStyle::SE_RadioButtonContents, &opt, b);
            const QString text = QString(b->text()).remove(u'&');
            Need(cut, b, check ? u"check box"_s : u"option"_s, text, fm.horizontalAdvance(text), std::min(contents.width(), visible - contents.left()));
        } else if (auto *e = qobject_cast<QLineEdit *>(w)) {
            if (e->echoMode() != QLineEdit::Normal)
                continue;
            QStyleOptionFrame opt;
            opt.initFrom(e);
            opt.lineWidth = e->hasFrame() ? style->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e) : 0;
            const QMargins m = e->textMargins();
            const int have = style->subElementRect(QStyle::SE_LineEditContents, &opt, e).width() - m.left() - m.right() - 4;
            const QString text = e->text().isEmpty() ? e->placeholderText() : e->text();
            Need(cut, e, u"line edit"_s, text, fm.horizontalAdvance(text), std::min(have, visible));
        } else if (auto *box = qobject_cast<QComboBox *>(w)) {
            QStyleOptionComboBox opt;
            opt.initFrom(box);
            opt.editable = box->isEditable();
            const int have = style->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, box).width() - (box->isEditable() ? 4 : 0);
            Need(cut, box, u"box"_s, box->currentText(), fm.horizontalAdvance(box->currentText()), std::min(have, visible));
        } else if (auto *view = qobject_cast<QAbstractItemView *>(w)) {
            CheckList(cut, view);
        } else if (auto *bar = qobject_cast<QTabBar *>(w)) {
            // A tab behind the scroll arrows, or its caption elided, is a page the operator does not see.
            const int visibleRight = std::min(bar->width(), visible);
            for (int i = 0; i < bar->count(); ++i) {
                const QRect tab = bar->tabRect(i);
                if (tab.left() < 0 || tab.right() >= visibleRight)
                    cut << u"%1 tab \"%2\" lies outside the tab bar (%3..%4 of %5 px)"_s.arg(Named(bar), bar->tabText(i)).arg(tab.left()).arg(tab.right()).arg(visibleRight);
                else
                    Need(cut, bar, u"tab"_s, bar->tabText(i), fm.horizontalAdvance(QString(bar->tabText(i)).remove(u'&')), tab.width());
            }
        }
    }
    return cut;
}

// With LUMORA_SHOTS set (a folder) the run is on a real display and keeps a
// picture of the screen for each case, to be looked at.
void KeepShot(const QString &page = {})
{
    const QString folder = qEnvironmentVariable("LUMORA_SHOTS");
    if (folder.isEmpty())
        return;
    // What the X server has not painted yet is missing from the picture.
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            QVERIFY(QTest::qWaitForWindowExposed(w));
    QCoreApplication::processEvents();
    QDir().mkpath(folder);
    const QSize s = TestScreen();
    QString name = QString::fromUtf8(QTest::currentDataTag()) + page;
    name.replace(QRegularExpression(u"[^A-Za-z0-9]+"_s), u"-"_s);
    QGuiApplication::primaryScreen()->grabWindow(0).save(u"%1/%2x%3-%4.png"_s.arg(folder).arg(s.width()).arg(s.height()).arg(name));
}

// Every page of the window's tab widgets in turn.
QStringList CutTextsOnEveryPage(QWidget *window)
{
    QStringList cut = CutTexts(window);
    for (QTabWidget *tabs : window->findChildren<QTabWidget *>()) {
        const int was = tabs->currentIndex();
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            QCoreApplication::processEvents();
            if (i > 0)
                KeepShot(u" "_s + tabs->tabText(i));
            for (const QString &line : CutTexts(window))
                if (!cut.contains(line))
                    cut << u"[%1] %2"_s.arg(tabs->tabText(i), line);
        }
        tabs->setCurrentIndex(was);
    }
    return cut;
}

// A modal dialog the action opens: checked while it runs, then closed.
QStringList CutTextsOfModal(const std::function<void()> &open)
{
    QStringList cut{u"no modal dialog came"_s};
    QTimer::singleShot(0, [&cut] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        QCoreApplication::processEvents();
        KeepShot();
        cut = CutTextsOnEveryPage(dialog);
        dialog->close();
    });
    open();
    return cut;
}

QStringList Shown(QWidget &window)
{
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return {u"%1 was never shown"_s.arg(Named(&window))};
    QCoreApplication::processEvents();
    KeepShot();
    return CutTextsOnEveryPage(&window);
}

const QDate Day{2026, 12, 7};

// A text measured against the room its widget or column gives it.
struct Measured {
    QString what;
    int need = 0, have = 0;
};

// Each column of the list: its caption and cells against the column's width,
// and the column's right edge against the list's visible width.
QList<Measured> MeasureColumns(QAbstractItemView *view, const QStringList &only = {})
{
    QList<Measured> out;
    QHeaderView *header = nullptr;
    if (auto *t = qobject_cast<QTreeView *>(view))
        header = t->header();
    else if (auto *t = qobject_cast<QTableView *>(view))
        header = t->horizontalHeader();
    QAbstractItemModel *model = view->model();
    if (!header || !model)
        return {{u"%1 has no columns"_s.arg(Named(view)), 1, 0}};
    view->horizontalScrollBar()->setValue(0);
    const QStyle *style = view->style();
    const int cellMargin = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
    const int headerMargin = 2 * style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    const int viewport = std::min(view->viewport()->width(), VisibleWidth(view->viewport()));
    for (int c = 0; c < model->columnCount(); ++c) {
        const QString caption = model->headerData(c, Qt::Horizontal).toString();
        if (header->isSectionHidden(c) || (!only.isEmpty() && !only.contains(caption)))
            continue;
        const int size = header->sectionSize(c);
        out << Measured{u"%1 heading \"%2\""_s.arg(Named(view), caption), QFontMetrics(header->font()).horizontalAdvance(caption) + headerMargin, size};
        for (int r = 0; r < model->rowCount(); ++r) {
            const QString text = model->index(r, c).data().toString();
            out << Measured{u"%1 row %2 \"%3\""_s.arg(Named(view)).arg(r).arg(text), QFontMetrics(view->font()).horizontalAdvance(text) + cellMargin, size};
        }
        out << Measured{u"%1 column \"%2\" right edge"_s.arg(Named(view), caption), header->sectionViewportPosition(c) + size, viewport};
    }
    return out;
}

// A line edit's text against its contents rectangle.
Measured MeasureLineEdit(QLineEdit *e)
{
    QStyleOptionFrame opt;
    opt.initFrom(e);
    opt.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e) : 0;
    const QMargins m = e->textMargins();
    const int have = e->style()->subElementRect(QStyle::SE_LineEditContents, &opt, e).width() - m.left() - m.right() - 4;
    return {u"%1 \"%2\""_s.arg(Named(e), e->text()), e->fontMetrics().horizontalAdvance(e->text()), std::min(have, VisibleWidth(e))};
}

} // namespace

class TextFitTest;
using OpenWindow = std::function<QStringList(TextFitTest &)>;
Q_DECLARE_METATYPE(OpenWindow)
using MeasureTexts = std::function<QList<Measured>(TextFitTest &)>;
Q_DECLARE_METATYPE(MeasureTexts)

class TextFitTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    std::unique_ptr<RecordingPrompter> prompter_;
    std::unique_ptr<MainForm> w_;
    Workstation *ws_ = nullptr;
    std::unique_ptr<WorklistPeer> wlm_;
    QString imageFile_;

    // A station as a site runs it: a patient with a long name and her study
    // of four views, today's exposures in the journal, two storage partners.
    void station()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStationWithJournal(*f_));
        Settings.XrayComm = UnitHFE;
        prompter_ = std::make_unique<RecordingPrompter>();
        FixtureStudy study{.patientId = u"0004711-2026-HX"_s, .family = u"Kowalczyk-Wiśniewska"_s, .given = u"Anna-Magdalena Theresia"_s,
                           .series = {FixtureSeries{}}};
        const QStringList views{u"CC|R"_s, u"CC|L"_s, u"MLO|R"_s, u"MLO|L"_s};
        for (int i = 0; i < views.size(); ++i)
            study.series[0].images << SyntheticImageSpec{.viewPosition = views[i].section(u'|', 0, 0), .laterality = views[i].section(u'|', 1),
                                                          .instanceNumber = i + 1, .rows = 64, .columns = 48};
        QString error;
        QVERIFY2(AddStudy(f_->path(), study, &error, false), qPrintable(error));
        FixtureStudy second{.patientId = u"0004712-2026-HX"_s, .family = u"Oberhuber-Grünewald"_s, .given = u"Maria"_s,
                            .series = {FixtureSeries{.images = {SyntheticImageSpec{.rows = 64, .columns = 48}}}}};
        QVERIFY2(AddStudy(f_->path(), second, &error, false), qPrintable(error));
        imageFile_ = f_->file(u"images/%1/%2.dcm"_s.arg(study.studyUid, study.series[0].images[0].sopUid));
        QVERIFY(AddStoragePartner(u"PACS Radiology Archive"_s, {u"RADARCHIVE01"_s, u"192.168.100.250"_s, u"11112"_s}, true).isEmpty());
        QVERIFY(AddStoragePartner(u"Mammography Reading Station 2"_s, {u"MAMMOREAD2"_s, u"192.168.100.251"_s, u"104"_s}, false).isEmpty());
        w_ = std::make_unique<MainForm>(*prompter_);
        ws_ = new Workstation(*w_, *prompter_);
        ws_->doseList().setToday([] { return Day; });
        ws_->runProgressDialog = [](EditForm &) {};
        // Her four exposures from the SM 1000, whose texts are among the longest
        // a unit sends (a dose with three decimals, mAs with one, 1250 ms).
        ws_->capture().setClock([] { return QDateTime(Day, QTime(14, 59, 15)); });
        ws_->capture().MarkPatientChosen(u"Kowalczyk-Wiśniewska^Anna-Magdalena Theresia"_s);
        for (int i = 0; i < 4; ++i)
            QVERIFY(DecodeUnitMessage(ws_->capture(), UnitHFE,
                                      HfeMessage({.mGy = u"1.234"_s, .kv = 28 + i, .mAs = u"112.5"_s, .ms = 1250, .mm = 48, .newton = 118}))
                    > 0);
    }

    // The operator's day so far, on a new station: the active MG filter, her
    // study loaded, an image and an exposure clicked, the values in the task list.
    void bringUp()
    {
        station();
        if (QTest::currentTestFailed())
            return;
        Settings.FilterActive = u"MG"_s;
        WriteSetting(QLatin1String(SettingsRoot) + u"Filter\\Active"_s, Settings.FilterActive);
        w_->Form_Load();
        w_->show();
        QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
        w_->activateWindow(); // the dose list shows on activation
        QTRY_VERIFY(w_->isActiveWindow());
        const int row = ws_->browser().patients().findText(0, u"0004711-2026-HX"_s);
        QVERIFY(row >= 0);
        ws_->browser().selectPatient(row);
        ws_->browser().selectStudy(0);
        QTRY_COMPARE(ListCount(ws_->session().loadedImages()), 4);
        ws_->doseList().lvDosis_Fill();
        ws_->viewer().MouseDown(Qt::LeftButton, Qt::NoModifier, w_->findChild<ToolkitViewer *>(u"dv1"_s)->tileRect(0).center());
        QVERIFY(ws_->headerView().rowCount() > 0);
        ws_->doseList().choose(0);
        QVERIFY(ws_->tasks().model()->rowCount() > 0);
    }

private slots:
    void cleanup()
    {
        w_.reset();
        prompter_.reset();
        wlm_.reset();
        f_.reset();
    }

    // A long list measures only its longest texts; the longest must be among them,
    // wherever it stands and whatever the list's order.
    void longListFitsItsLongestName_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("at");
        QTest::newRow("short list") << 150 << 120;
        QTest::newRow("long list, near the end") << 5000 << 4321;
        QTest::newRow("long list, first row") << 5000 << 0;
    }
    void longListFitsItsLongestName()
    {
        QFETCH(int, rows);
        QFETCH(int, at);
        const QString name = u"Kowalczyk-Wiśniewska, Anna-Magdalena Theresia"_s;
        QStandardItemModel model(rows, 2);
        for (int r = 0; r < rows; ++r) {
            model.setItem(r, 0, new QStandardItem(QString::number(r)));
            model.setItem(r, 1, new QStandardItem(r == at ? name : u"Muster, Eva %1"_s.arg(r)));
        }
        QTreeView list;
        list.setRootIsDecorated(false);
        list.setModel(&model);
        list.resize(900, 300);
        FitColumnsToContents(&list);
        QVERIFY(list.columnWidth(1) >= list.fontMetrics().horizontalAdvance(name));
    }

    // The texts an operator found cut at 1280 x 1024, each measured with its
    // font against the room its widget or column gives it.
    void namedTextsWhole_data()
    {
        QTest::addColumn<MeasureTexts>("measure");
        QTest::newRow("task list: Source column") << MeasureTexts([](TextFitTest &t) {
            auto *tasks = t.w_->findChild<QTreeView *>(u"lvTasks"_s);
            // The columns are fitted after the round of events that brought the rows.
            const auto fits = [tasks] {
                const QList<Measured> m = MeasureColumns(tasks, {u"Source"_s});
                return std::all_of(m.begin(), m.end(), [](const Measured &x) { return x.need <= x.have; });
            };
            static_cast<void>(QTest::qWaitFor(fits, 2000)); // what is still cut then is measured below
            QList<Measured> m = MeasureColumns(tasks, {u"Source"_s});
            // The tasks' sources as the header view gives them ("Body Part Thickness").
            if (m.size() < 3)
                m << Measured{u"the task list lists no source"_s, 1, 0};
            return m;
        });
        QTest::newRow("Tag field") << MeasureTexts([](TextFitTest &t) {
            // The KVP row of the header view clicked, as the operator picks it.
            auto *header = t.w_->findChild<QTreeView *>(u"lvHeader"_s);
            const int row = t.ws_->headerView().rowOf(u"0018,0060"_s);
            if (row < 0)
                return QList<Measured>{{u"the header view lists no KVP"_s, 1, 0}};
            const QModelIndex index = header->model()->index(row, 0);
            header->scrollTo(index);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, header->visualRect(index).center());
            auto *tag = t.w_->findChild<QLineEdit *>(u"txtSelected"_s);
            if (!tag->text().contains(u"KVP"_s))
                return QList<Measured>{{u"the Tag field shows \"%1\", not KVP"_s.arg(tag->text()), 1, 0}};
            return QList<Measured>{MeasureLineEdit(tag)};
        });
        QTest::newRow("reference-level header") << MeasureTexts([](TextFitTest &t) {
            DoseCalibrationForm form(UnitLoradM4, *t.prompter_, t.w_.get());
            form.show();
            if (!QTest::qWaitForWindowExposed(&form))
                return QList<Measured>{{u"the calibration was never shown"_s, 1, 0}};
            KeepShot(u" first page"_s);
            auto *tabs = form.findChild<QTabWidget *>();
            tabs->setCurrentIndex(tabs->count() - 1);
            QCoreApplication::processEvents();
            KeepShot();
            return MeasureColumns(form.findChild<QTableWidget *>(u"tblReferenceLevels"_s));
        });
        QTest::newRow("Dose QA table") << MeasureTexts([](TextFitTest &t) {
            DoseQaForm form(UserDatabase.path(), ActiveReferenceLookup(u"test"_s), Day, *t.prompter_, t.w_.get());
            form.show();
            if (!QTest::qWaitForWindowExposed(&form) || !QTest::qWaitFor([&] { return !form.reading() && !form.bandTable().rows.isEmpty(); }, 20000))
                return QList<Measured>{{u"the dose QA window never showed its figures"_s, 1, 0}};
            QCoreApplication::processEvents();
            KeepShot();
            for (QTableView *table : form.findChildren<QTableView *>())
                if (table->isVisible())
                    return MeasureColumns(table);
            return QList<Measured>{{u"no table shown"_s, 1, 0}};
        });
    }
    void namedTextsWhole()
    {
        QFETCH(MeasureTexts, measure);
        bringUp();
        if (QTest::currentTestFailed())
            return;
        QStringList cut;
        for (const Measured &m : measure(*this))
            if (m.need > m.have)
                cut << u"%1: needs %2 px, has %3"_s.arg(m.what).arg(m.need).arg(m.have);
        for (const QString &line : cut)
            qWarning("cut: %s", qPrintable(line));
        QVERIFY2(cut.isEmpty(), qPrintable(u"%1 cut texts, first: %2"_s.arg(cut.size()).arg(cut.value(0))));
    }

    // The dose calibration and the Dose QA window on the smallest screen the
    // start-up allows: the least size their layouts ask, with the window's
    // frame, within 1024 x 768, and shown on this run's screen, within it.
    void fitsTheSmallestScreen_data()
    {
        QTest::addColumn<OpenWindow>("open");
        QTest::newRow("dose calibration") << OpenWindow([](TextFitTest &t) {
            auto *form = new DoseCalibrationForm(UnitLoradM4, *t.prompter_, t.w_.get());
            form->setAttribute(Qt::WA_DeleteOnClose);
            form->show();
            return QStringList{form->objectName()};
        });
        QTest::newRow("Dose QA") << OpenWindow([](TextFitTest &t) {
            auto *form = new DoseQaForm(UserDatabase.path(), ActiveReferenceLookup(u"test"_s), Day, *t.prompter_, t.w_.get());
            form->setAttribute(Qt::WA_DeleteOnClose);
            form->show();
            return QStringList{form->objectName()};
        });
    }
    void fitsTheSmallestScreen()
    {
        QFETCH(OpenWindow, open);
        bringUp();
        if (QTest::currentTestFailed())
            return;
        const QString name = open(*this).value(0);
        QWidget *window = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->objectName() == name && top->isVisible())
                window = top;
        QVERIFY2(window, qPrintable(name + u" was not shown"_s));
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QSize smallest(1024, 768);
        const QSize least = window->minimumSizeHint().expandedTo(window->minimumSize()) + WindowFrameAllowance;
        QVERIFY2(least.width() <= smallest.width() && least.height() <= smallest.height(),
                 qPrintable(u"%1 needs at least %2 x %3 with its frame"_s.arg(name).arg(least.width()).arg(least.height())));
        const QRect screen = window->screen()->availableGeometry();
        QVERIFY2(window->width() + WindowFrameAllowance.width() <= screen.width() && window->height() + WindowFrameAllowance.height() <= screen.height(),
                 qPrintable(u"%1 is %2 x %3 on a screen of %4 x %5"_s.arg(name).arg(window->width()).arg(window->height()).arg(screen.width()).arg(screen.height())));
        // Where the screen has the room, every text whole on every page, none scrolled out of view.
        if (screen.width() >= 1280 && screen.height() >= 1024) {
            // The QA window lays out its figures once the journal is read.
            static_cast<void>(QTest::qWaitFor([window] { return CutTextsOnEveryPage(window).isEmpty(); }, 10000));
            const QStringList cut = CutTextsOnEveryPage(window);
            for (const QString &line : cut)
                qWarning("cut: %s", qPrintable(line));
            QVERIFY2(cut.isEmpty(), qPrintable(u"%1 cut texts, first: %2"_s.arg(cut.size()).arg(cut.value(0))));
        }
        KeepShot();
        window->close();
    }

    void nothingCut_data()
    {
        using Open = OpenWindow;
        QTest::addColumn<Open>("open");
        QTest::newRow("main window with a study") << Open([](TextFitTest &t) {
            // Rows grown by wrapping may bring a scroll bar that narrows the list once more.
            // Settled or not, the texts are checked below.
            [[maybe_unused]] const bool settled = QTest::qWaitFor([&t] { return CutTexts(t.w_.get()).isEmpty(); }, 1000);
            KeepShot();
            return CutTexts(t.w_.get());
        });
        QTest::newRow("options") << Open([](TextFitTest &t) {
            t.w_->mnuAnsichtEinstellungen_Click();
            // The worklist provider as the operator types it in.
            const QStringList worklist{u"MAMMO_STATION_01"_s, u"RIS_WORKLIST_SCP"_s, u"ris-worklist.radiology.example.org"_s, u"104"_s};
            for (int i = 0; i < worklist.size(); ++i)
                Child<QLineEdit>(t.w_->optionForm(), u"txtWorklist%1"_s.arg(i))->setText(worklist[i]);
            // The operator picks the active filter: its attributes are listed.
            auto *filter = Child<QComboBox>(t.w_->optionForm(), u"cboModality"_s);
            filter->setCurrentText(u"MG"_s);
            emit filter->activated(filter->currentIndex());
            if (!Child<QTreeView>(t.w_->optionForm(), u"lvTags"_s)->model()->rowCount())
                return QStringList{u"the filter lists no attributes"_s};
            return Shown(*t.w_->optionForm());
        });
        QTest::newRow("options: port choice with a USB adapter") << Open([](TextFitTest &t) {
            // The machine's serial devices and, passed in as data, a USB
            // adapter as QSerialPortInfo describes an FTDI cable; no device
            // file can stand in for one.
            OptionForm form(*t.prompter_, t.w_.get());
            form.setWindowFlag(Qt::Window);
            form.serialDevices = [] {
                return MachineSerialDevices() << SerialDevice{u"ttyUSB0"_s, u"/dev/ttyUSB0"_s, u"FT232R USB UART"_s, u"FTDI"_s, true};
            };
            form.deviceOpens = [](const QString &device) { return device == u"/dev/ttyUSB0"_s || SerialDeviceOpens(device); };
            form.Form_Load();
            if (!form.findChild<QRadioButton *>(u"optDevice0"_s))
                return QStringList{u"the USB adapter is not offered"_s};
            return Shown(form);
        });
        QTest::newRow("worklist") << Open([](TextFitTest &t) {
            t.wlm_ = std::make_unique<WorklistPeer>();
            if (!t.wlm_->start(t.f_->file(u"wlm"_s), u"WORKLIST"_s))
                return QStringList{u"no worklist provider"_s};
            t.wlm_->add({.name = u"Kowalczyk-Wiśniewska^Anna-Magdalena Theresia"_s, .time = u"145915"_s, .charset = u"ISO_IR 192"_s, .id = u"0004711-2026-HX"_s,
                         .codeValue = u"MAMSCR"_s, .referring = u"Dr. med. Schönberger-Lindqvist^Friederike"_s});
            t.wlm_->add({.name = u"Oberhuber-Grünewald^Maria"_s, .time = u"083000"_s, .id = u"0004712-2026-HX"_s});
            Settings.LocalAET = u"MAMMO1"_s;
            Settings.RemoteIP = u"127.0.0.1"_s;
            Settings.RemoteAET = u"WORKLIST"_s;
            Settings.RemotePort = QString::number(t.wlm_->port());
            WorklistForm form(*t.prompter_, t.w_.get());
            form.query.today = [] { return WorklistDay; };
            form.show(); // opening the dialog queries
            if (!QTest::qWaitFor([&] { return form.findChild<QTreeWidget *>(u"lvWorklist"_s)->topLevelItemCount() == 2; }, 30000))
                return QStringList{u"the worklist stayed empty"_s} + t.prompter_->texts();
            return Shown(form);
        });
        QTest::newRow("journal") << Open([](TextFitTest &t) {
            DosisForm form(*t.prompter_, t.w_.get());
            form.today = [] { return Day; };
            form.Form_Load();
            return Shown(form);
        });
        QTest::newRow("export") << Open([](TextFitTest &t) {
            ExportForm form(ExportKind::Jpeg, {ReadImage(t.imageFile_)}, *t.prompter_, t.w_.get());
            form.Form_Load();
            return Shown(form);
        });
        QTest::newRow("dictionary") << Open([](TextFitTest &t) {
            DatabaseForm form(*t.prompter_, t.w_.get());
            form.UpdateDictionary();
            if (!form.findChild<QTreeWidget *>(u"lvDatabase"_s)->topLevelItemCount())
                return QStringList{u"the dictionary stayed empty"_s};
            return Shown(form);
        });
        QTest::newRow("dictionary: Add new") << Open([](TextFitTest &t) {
            DatabaseForm dictionary(*t.prompter_, t.w_.get());
            dictionary.UpdateDictionary();
            AddTagToDB form(&dictionary, *t.prompter_);
            return Shown(form);
        });
        QTest::newRow("dictionary: Add DicomTag") << Open([](TextFitTest &t) {
            AddTagForm form(u"MG"_s, t.w_.get());
            form.Form_Load();
            return Shown(form);
        });
        QTest::newRow("dictionary: Add new filter") << Open([](TextFitTest &t) {
            InputBoxForm form(t.w_.get());
            form.setDefault(u"MG"_s);
            return Shown(form);
        });
        QTest::newRow("storage partner") << Open([](TextFitTest &t) {
            AddSCP form(t.w_.get(), *t.prompter_, 1, u"PACS Radiology Archive"_s, {u"RADARCHIVE01"_s, u"192.168.100.250"_s, u"11112"_s});
            return Shown(form);
        });
        QTest::newRow("progress") << Open([](TextFitTest &t) {
            EditForm form(t.ws_->session(), JobKind::SendStudy, [](JobProgress &p) {
                p.setCaption(u"Send study"_s, u"Progress:"_s);
                p.append(u"Kowalczyk-Wiśniewska^Anna-Magdalena Theresia: 4 images to PACS Radiology Archive"_s);
                p.setMaximum(4);
                p.advance();
                return JobOutcome();
            }, t.w_.get());
            form.Form_Load();
            if (!QTest::qWaitFor([&] { return form.isDone(); }, 10000))
                return QStringList{u"the progress job never finished"_s};
            return Shown(form);
        });
        QTest::newRow("side") << Open([](TextFitTest &t) {
            SelectPosForm form(t.w_.get(), ReadImage(t.imageFile_));
            return Shown(form);
        });
        QTest::newRow("about") << Open([](TextFitTest &t) { return CutTextsOfModal([&t] { t.w_->showAbout(); }); });
        QTest::newRow("error list") << Open([](TextFitTest &t) {
            WriteErrorLog(ErrorCode::PathNotFound, u"Path not found: /srv/lumora/images/1.2.826.0.1.3680043.8.498.1"_s, u"EditForm DeleteSeriesFromDatabase"_s);
            t.w_->showErrorLog();
            auto *view = t.w_->findChild<QDialog *>(u"ErrorLogView"_s);
            return view ? Shown(*view) : QStringList{u"no error list"_s};
        });
        QTest::newRow("splash") << Open([](TextFitTest &) {
            fSplash splash;
            return Shown(splash);
        });
    }
    void nothingCut()
    {
        QFETCH(OpenWindow, open);
        bringUp();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(QGuiApplication::primaryScreen()->size() == TestScreen());
        const QStringList cut = open(*this);
        for (const QString &line : cut)
            qWarning("cut: %s", qPrintable(line));
        QVERIFY2(cut.isEmpty(), qPrintable(u"%1 cut texts, first: %2"_s.arg(cut.size()).arg(cut.value(0))));
    }
};

int main(int argc, char **argv)
{
    std::unique_ptr<QApplication> app;
    if (qEnvironmentVariableIsEmpty("LUMORA_SHOTS"))
        app = OffscreenApplication(argc, argv, TestScreen().width(), TestScreen().height());
    else
        app = std::make_unique<QApplication>(argc, argv);
    app->setQuitOnLastWindowClosed(false);
    TextFitTest t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_textfit.moc"
