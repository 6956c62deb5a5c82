#include "qa/DoseQaForm.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "store/Database.h"
#include "ui/Prompts.h"
#include "ui/Widgets.h"

#include <QBoxPlotSeries>
#include <QBoxSet>
#include <QBarCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QtConcurrent/QtConcurrentRun>
#include <cmath>

namespace {

const char *const kWhere = "DoseQaForm";

QColor ViewColour(const QString &view)
{
    if (view == QLatin1String("CC"))
        return QColor(0x1f, 0x77, 0xb4);
    if (view == QLatin1String("MLO"))
        return QColor(0x2c, 0xa0, 0x2c);
    return QColor(0x7f, 0x7f, 0x7f);
}

QTableView *TableOn(QaTableModel *model, QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->verticalHeader()->hide();
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    return view;
}

QChartView *ChartView(QWidget *parent)
{
    auto *view = new QChartView(new QChart, parent);
    view->setRenderHint(QPainter::Antialiasing);
    // The series are replaced on every reading; with the scene's default
    // index the next paint crashed after they were.
    view->scene()->setItemIndexMethod(QGraphicsScene::NoIndex);
    // Two charts stacked beside the third, under the tables, within a 768 px screen.
    view->setMinimumSize(320, 160);
    return view;
}

// The view's chart emptied for new figures: its series and axes go.
QChart *Fresh(QChartView *view, const QString &title)
{
    QChart *chart = view->chart();
    chart->removeAllSeries();
    for (QAbstractAxis *axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignBottom);
    QFont small = chart->legend()->font();
    small.setPointSizeF(7.5);
    chart->legend()->setFont(small);
    chart->legend()->show();
    return chart;
}

} // namespace

DoseQaForm::DoseQaForm(QString journalPath, ReferenceLookup levels, const QDate &today, Prompter &prompter, QWidget *parent)
    : QWidget(parent, Qt::Window), journalPath_(std::move(journalPath)), levels_(std::move(levels)), prompter_(prompter),
      stats_(std::make_shared<DoseStatistics>())
{
    setObjectName(QStringLiteral("DoseQaForm"));
    setWindowTitle(QStringLiteral("Dose QA"));
    chooseSaveFile = [this](const QString &caption, const QString &name, const QString &filter) {
        return QFileDialog::getSaveFileName(this, caption, name, filter);
    };
    filter_.to = today;
    filter_.from = today.addMonths(-3).addDays(1);

    auto *layout = new QVBoxLayout(this);
    auto *bar = new QHBoxLayout;
    layout->addLayout(bar);
    fromEdit_ = new QDateEdit(filter_.from, this);
    toEdit_ = new QDateEdit(filter_.to, this);
    for (QDateEdit *e : {fromEdit_, toEdit_}) {
        e->setCalendarPopup(true);
        e->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    }
    unitBox_ = new QComboBox(this);
    unitBox_->addItem(QStringLiteral("All units"));
    viewBox_ = new QComboBox(this);
    viewBox_->addItem(QStringLiteral("All views"), QString());
    for (const QString &v : QaViews())
        viewBox_->addItem(v, v);
    bandBox_ = new QComboBox(this);
    bandBox_->addItem(QStringLiteral("All thicknesses"));
    for (int band = 0; band < 150; band += 10)
        bandBox_->addItem(BandLabel(band) + QStringLiteral(" mm"), band);
    monthsBox_ = new QSpinBox(this);
    monthsBox_->setRange(1, 60);
    monthsBox_->setValue(months_);
    monthsBox_->setSuffix(QStringLiteral(" months"));
    monthsBox_->setToolTip(QStringLiteral("Period of the proposed local reference levels"));
    bar->addWidget(new QLabel(QStringLiteral("From"), this));
    bar->addWidget(fromEdit_);
    bar->addWidget(new QLabel(QStringLiteral("to"), this));
    bar->addWidget(toEdit_);
    bar->addWidget(unitBox_);
    bar->addWidget(viewBox_);
    bar->addWidget(bandBox_);
    bar->addStretch();
    // The period and the exports on a line of their own: on one line with
    // the filters the window was wider than a 1024 px screen.
    auto *second = new QHBoxLayout;
    layout->addLayout(second);
    second->addWidget(new QLabel(QStringLiteral("Local levels over"), this));
    second->addWidget(monthsBox_);
    second->addStretch();
    struct Export {
        const char *caption, *name, *filter;
        Result (DoseQaForm::*write)(const QString &);
    };
    const Export exports[] = {
        {"Exposures CSV ...", "dose-exposures.csv", "CSV (*.csv)", &DoseQaForm::exportExposures},
        {"Summary CSV ...", "dose-summary.csv", "CSV (*.csv)", &DoseQaForm::exportSummary},
        {"PDF report ...", "dose-report.pdf", "PDF (*.pdf)", &DoseQaForm::exportReport},
    };
    for (const Export &e : exports) {
        auto *b = new QPushButton(QString::fromLatin1(e.caption), this);
        connect(b, &QPushButton::clicked, this, [this, e] {
            saveWith(QString::fromLatin1(e.caption).remove(QStringLiteral(" ...")), QString::fromLatin1(e.name),
                     QString::fromLatin1(e.filter), e.write);
        });
        second->addWidget(b);
    }

    // The tables above the charts, across the window: beside them the band
    // table was cut after "Median kV".
    auto *split = new QSplitter(Qt::Vertical, this);
    layout->addWidget(split, 1);
    auto *tabs = new QTabWidget(split);
    tabs->addTab(TableOn(&bands_, tabs), QStringLiteral("Views and bands"));
    tabs->addTab(TableOn(&proposed_, tabs), QStringLiteral("Local levels"));
    {
        // The period's reject analysis above the day-by-day table.
        auto *page = new QWidget(tabs);
        auto *column = new QVBoxLayout(page);
        rejectAnalysisTitle_ = new QLabel(page);
        rejectAnalysisTitle_->setWordWrap(true);
        column->addWidget(rejectAnalysisTitle_);
        column->addWidget(TableOn(&rejectAnalysis_, page), 2);
        column->addWidget(new QLabel(QStringLiteral("Repeats and rejects per day and view"), page));
        column->addWidget(TableOn(&rejects_, page), 3);
        rejectsTab_ = tabs->addTab(page, QStringLiteral("Repeats and rejects"));
        tabs_ = tabs;
    }
    auto *charts = new QSplitter(Qt::Horizontal, split);
    doseChart_ = ChartView(charts);
    auto *lower = new QSplitter(Qt::Vertical, charts);
    dailyChart_ = ChartView(lower);
    forceChart_ = ChartView(lower);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 2);
    split->setSizes({280, 560}); // the charts need the height more than the few table rows
    charts->setStretchFactor(0, 3);
    charts->setStretchFactor(1, 2);
    auto *foot = new QHBoxLayout;
    layout->addLayout(foot);
    stateLabel_ = new QLabel(this);
    exposureLabel_ = new QLabel(this);
    exposureLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    foot->addWidget(stateLabel_);
    foot->addStretch();
    foot->addWidget(exposureLabel_);

    auto changed = [this] { filterChanged(); };
    connect(fromEdit_, &QDateEdit::dateChanged, this, changed);
    connect(toEdit_, &QDateEdit::dateChanged, this, changed);
    for (QComboBox *box : {unitBox_, viewBox_, bandBox_})
        connect(box, &QComboBox::currentIndexChanged, this, changed);
    connect(monthsBox_, &QSpinBox::valueChanged, this, changed);
    connect(&watcher_, &QFutureWatcherBase::finished, this, [this] {
        const Reading done = watcher_.result();
        if (done.result.ok()) {
            readRows_ = done.stats->rows();
            readFrom_ = done.from;
            readTo_ = done.to;
        } else {
            LogFailure(done.result, QStringLiteral("DoseQaForm ReadJournal"));
        }
        if (again_) {
            again_ = false;
            reload();
            return;
        }
        present(done.stats);
    });
    ResizeWithinScreen(this, QSize(1240, 860));
    reload();
}

// A reading still running finishes on its own: it holds copies only.
DoseQaForm::~DoseQaForm() = default;

void DoseQaForm::filterChanged()
{
    filter_.from = fromEdit_->date();
    filter_.to = toEdit_->date();
    const QVariant unit = unitBox_->currentData();
    filter_.unit = unit.isValid() ? std::optional<int>(unit.toInt()) : std::nullopt;
    filter_.view = viewBox_->currentData().toString();
    const QVariant band = bandBox_->currentData();
    filter_.band = band.isValid() ? std::optional<int>(band.toInt()) : std::nullopt;
    months_ = monthsBox_->value();
    reload();
}

void DoseQaForm::setRange(const QDate &from, const QDate &to)
{
    {
        const QSignalBlocker blockFrom(fromEdit_);
        const QSignalBlocker blockTo(toEdit_);
        fromEdit_->setDate(from);
        toEdit_->setDate(to);
    }
    filterChanged();
}

void DoseQaForm::setView(const QString &view) { viewBox_->setCurrentIndex(std::max(0, viewBox_->findData(view))); }

void DoseQaForm::setUnit(std::optional<int> unit)
{
    unitBox_->setCurrentIndex(unit ? std::max(0, unitBox_->findData(*unit)) : 0);
}

void DoseQaForm::setBand(std::optional<int> band) { bandBox_->setCurrentIndex(band ? std::max(0, bandBox_->findData(*band)) : 0); }

void DoseQaForm::setLevelMonths(int months) { monthsBox_->setValue(months); }

void DoseQaForm::reload()
{
    // Changes made in one go (a range of two dates, several filters) start one reading.
    reading_ = true;
    if (!scheduled_) {
        scheduled_ = true;
        QTimer::singleShot(0, this, &DoseQaForm::startReading);
    }
}

void DoseQaForm::startReading()
{
    scheduled_ = false;
    if (watcher_.isRunning()) {
        again_ = true;
        return;
    }
    stateLabel_->setText(QStringLiteral("Reading the journal ..."));
    // The local levels look back further than the range may.
    const QaFilter filter = filter_;
    const QDate first = std::min(filter.from, filter.to.addMonths(-months_).addDays(1));
    const QString path = journalPath_;
    const qint16 olderRowsUnit = Settings.XrayComm;
    // Another view, unit or band of the same days needs no new reading.
    std::optional<QList<JournalExposure>> rows;
    if (first == readFrom_ && filter.to == readTo_)
        rows = readRows_;
    watcher_.setFuture(QtConcurrent::run([path, first, filter, rows, olderRowsUnit] {
        Reading done;
        done.from = first;
        done.to = filter.to;
        if (rows) {
            done.stats = std::make_shared<DoseStatistics>(*rows);
        } else {
            JournalRead read = ReadJournalExposures(path, first, filter.to, olderRowsUnit);
            done.result = read;
            done.stats = std::make_shared<DoseStatistics>(std::move(read.rows));
        }
        done.stats->filter(filter);
        return done;
    }));
}

void DoseQaForm::present(std::shared_ptr<DoseStatistics> stats)
{
    stats_ = std::move(stats);
    bands_.setTable(BandTable(*stats_));
    proposed_.setTable(ProposedLevelTable(*stats_, months_));
    rejects_.setTable(RejectsTable(*stats_));
    rejectAnalysis_.setTable(RejectAnalysisTable(*stats_));
    rejectAnalysisTitle_->setText(rejectAnalysis_.table().title);
    {
        // Units the journal knows, keeping the one chosen.
        const QSignalBlocker block(unitBox_);
        const QVariant chosen = unitBox_->currentData();
        while (unitBox_->count() > 1)
            unitBox_->removeItem(1);
        for (int unit : stats_->units())
            unitBox_->addItem(QStringLiteral("Unit %1").arg(unit), unit);
        if (chosen.isValid()) {
            if (unitBox_->findData(chosen) < 0)
                unitBox_->addItem(QStringLiteral("Unit %1").arg(chosen.toInt()), chosen);
            unitBox_->setCurrentIndex(unitBox_->findData(chosen));
        }
    }
    buildCharts();
    reading_ = false;
    stateLabel_->setText(QStringLiteral("%1 exposures, dose as %2")
                             .arg(stats_->selected().size())
                             .arg(stats_->doseIsAgd() ? QStringLiteral("AGD") : QStringLiteral("entrance dose (no AGD)")));
    emit figuresShown();
}

void DoseQaForm::buildCharts()
{
    const QString dose = stats_->doseIsAgd() ? QStringLiteral("AGD mGy") : QStringLiteral("Entrance dose mGy");
    QChart *chart = Fresh(doseChart_, dose + QStringLiteral(" against compressed thickness"));
    auto *x = new QValueAxis;
    x->setTitleText(QStringLiteral("Compressed thickness mm"));
    auto *y = new QValueAxis;
    y->setTitleText(dose);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    double maxX = 10, maxY = 0.1;
    auto add = [&](QXYSeries *s) {
        chart->addSeries(s);
        s->attachAxis(x);
        s->attachAxis(y);
        for (const QPointF &p : s->points()) {
            maxX = std::max(maxX, p.x());
            maxY = std::max(maxY, p.y());
        }
    };
    far_ = stats_->farExposures();
    for (const QString &view : QaViews()) {
        const QColor colour = ViewColour(view);
        auto *median = new QLineSeries;
        median->setName(view + QStringLiteral(" median"));
        median->setPen(QPen(colour, 2.5));
        median->setPointsVisible(true);
        auto *p25 = new QLineSeries;
        p25->setName(view + QStringLiteral(" 25-75th"));
        p25->setPen(QPen(colour, 1, Qt::DashLine));
        auto *p75 = new QLineSeries;
        p75->setPen(QPen(colour, 1, Qt::DashLine));
        auto *level = new QLineSeries;
        level->setName(view + QStringLiteral(" level"));
        level->setPen(QPen(QColor(0xd6, 0x27, 0x28), 2, Qt::DotLine));
        for (const BandStatistics &b : stats_->bands()) {
            if (b.view != view || b.band < 0 || b.doseCount == 0)
                continue;
            median->append(b.band + 5, b.doseMedian);
            p25->append(b.band + 5, b.doseP25);
            p75->append(b.band + 5, b.doseP75);
            if (const auto l = levels_ ? levels_(view, b.band + 5) : std::nullopt; l && l->forAgd() == stats_->doseIsAgd()) {
                level->append(b.band, l->level);
                level->append(b.band + 10, l->level);
            }
        }
        if (median->count() == 0) {
            for (QLineSeries *s : {median, p25, p75, level})
                delete s;
            continue;
        }
        add(median);
        add(p25);
        add(p75);
        chart->legend()->markers(p75).constFirst()->setVisible(false);
        if (level->count() > 0)
            add(level);
        else
            delete level;
        for (const DoseCurve &c : stats_->curves()) {
            if (c.view != view)
                continue;
            auto *curve = new QLineSeries;
            curve->setName(view + QStringLiteral(" fit"));
            curve->setPen(QPen(colour.lighter(140), 1.5));
            const double from = median->points().constFirst().x() - 5, to = median->points().constLast().x() + 5;
            for (double t = from; t <= to + 1e-9; t += (to - from) / 40)
                curve->append(t, c.at(t));
            add(curve);
        }
        auto *points = new QScatterSeries;
        points->setName(view + QStringLiteral(" far off"));
        points->setColor(colour);
        points->setBorderColor(colour.darker());
        points->setMarkerSize(6);
        for (const FarExposure &f : far_)
            if (f.view == view)
                points->append(f.thickness, f.dose);
        if (points->count() == 0) {
            delete points;
            continue;
        }
        add(points);
        connect(points, &QScatterSeries::clicked, this, [this, view](const QPointF &p) { showExposureAt(view, p); });
    }
    const double widest = std::ceil(maxX / 10) * 10 + 10;
    x->setRange(0, widest);
    x->setTickCount(int(widest / 10) + 1); // one tick per band edge
    x->setLabelFormat(QStringLiteral("%d"));
    y->setRange(0, maxY * 1.1);
    y->applyNiceNumbers();

    QChart *daily = Fresh(dailyChart_, QStringLiteral("Daily median ") + dose);
    daily->legend()->hide();
    auto *line = new QLineSeries;
    line->setPointsVisible(true);
    double top = 0.1;
    for (const DailyMedian &d : stats_->dailyMedians()) {
        line->append(double(d.day.startOfDay().toMSecsSinceEpoch()), d.median);
        top = std::max(top, d.median);
    }
    daily->addSeries(line);
    auto *days = new QDateTimeAxis;
    days->setFormat(QStringLiteral("MM-dd"));
    days->setRange(filter_.from.startOfDay(), filter_.to.startOfDay());
    auto *dailyY = new QValueAxis;
    dailyY->setRange(0, top * 1.1);
    dailyY->applyNiceNumbers();
    dailyY->setTitleText(dose);
    daily->addAxis(days, Qt::AlignBottom);
    daily->addAxis(dailyY, Qt::AlignLeft);
    line->attachAxis(days);
    line->attachAxis(dailyY);

    QChart *force = Fresh(forceChart_, QStringLiteral("Compression force per view"));
    force->legend()->hide();
    auto *boxes = new QBoxPlotSeries;
    QStringList categories;
    double strongest = 10;
    for (const ViewSpread &v : stats_->forceByView()) {
        auto *set = new QBoxSet(v.min, v.q1, v.median, v.q3, v.max, v.view);
        set->setBrush(ViewColour(v.view));
        boxes->append(set);
        categories << set->label();
        strongest = std::max(strongest, v.max);
    }
    force->addSeries(boxes);
    auto *views = new QBarCategoryAxis;
    views->append(categories);
    auto *newton = new QValueAxis;
    newton->setTitleText(QStringLiteral("N"));
    newton->setRange(0, strongest * 1.1);
    newton->applyNiceNumbers();
    force->addAxis(views, Qt::AlignBottom);
    force->addAxis(newton, Qt::AlignLeft);
    boxes->attachAxis(views);
    boxes->attachAxis(newton);
}

void DoseQaForm::showExposureAt(const QString &view, const QPointF &point)
{
    const FarExposure *nearest = nullptr;
    double best = 0;
    for (const FarExposure &f : far_) {
        if (f.view != view)
            continue;
        // Thickness and dose have different scales; compare in relative terms.
        const double d = std::hypot((f.thickness - point.x()) / 10.0, (f.dose - point.y()) / std::max(point.y(), 1e-6));
        if (!nearest || d < best) {
            nearest = &f;
            best = d;
        }
    }
    if (!nearest)
        return;
    for (const JournalExposure &e : stats_->rows()) {
        if (e.id != nearest->id)
            continue;
        exposureLabel_->setText(QStringLiteral("Exposure %1, %2 %3, %4, %5 mm, %6 kV, %7 mAs, %8 N, %9 mGy, AGD %10, %11 sigma from the fit")
                                    .arg(e.id)
                                    .arg(e.day.toString(Qt::ISODate), e.time, e.projection)
                                    .arg(e.thickness.value_or(NAN))
                                    .arg(e.kv.value_or(NAN))
                                    .arg(e.mas.value_or(NAN))
                                    .arg(e.force.value_or(NAN))
                                    .arg(e.entranceDose.value_or(NAN))
                                    .arg(e.agd ? QString::number(*e.agd, 'f', 2) + QStringLiteral(" mGy") : QStringLiteral("none"))
                                    .arg(nearest->residual, 0, 'f', 1));
        emit exposureChosen(e.id);
        return;
    }
}

QString DoseQaForm::shownExposure() const { return exposureLabel_->text(); }

QStringList DoseQaForm::heading() const
{
    return {QStringLiteral("Dose QA report"),
            QStringLiteral("%1 to %2, %3, %4, %5")
                .arg(filter_.from.toString(Qt::ISODate), filter_.to.toString(Qt::ISODate), unitBox_->currentText(),
                     viewBox_->currentText(), bandBox_->currentText()),
            stateLabel_->text()};
}

QList<QImage> DoseQaForm::chartImages() const
{
    QList<QImage> out;
    for (QChartView *v : {doseChart_, dailyChart_, forceChart_}) {
        // Drawn at a fixed size so that the report does not depend on the window's.
        QImage image(1000, 600, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QGraphicsScene *scene = v->chart()->scene();
        const QSizeF before = v->chart()->size();
        v->chart()->resize(QSizeF(1000, 600));
        scene->render(&p, QRectF(0, 0, 1000, 600), v->chart()->sceneBoundingRect());
        v->chart()->resize(before);
        out.append(image);
    }
    return out;
}

Result DoseQaForm::exportExposures(const QString &path) { return WriteExposureCsv(path, *stats_, levels_); }
Result DoseQaForm::exportSummary(const QString &path) { return WriteSummaryCsv(path, *stats_); }

Result DoseQaForm::exportReport(const QString &path)
{
    return WriteReportPdf(path, heading(), {bands_.table(), proposed_.table(), rejectAnalysis_.table(), rejects_.table()}, chartImages());
}

void DoseQaForm::saveWith(const QString &caption, const QString &name, const QString &filter, Result (DoseQaForm::*write)(const QString &))
{
    const QString path = chooseSaveFile(caption, name, filter);
    if (path.isEmpty())
        return;
    const Result r = (this->*write)(path);
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("%1 %2").arg(QLatin1String(kWhere), caption));
        prompter_.critical(this, QStringLiteral("%1 could not be written: %2").arg(caption, r.text), windowTitle());
    }
}

void DoseQaForm::showRejects() { tabs_->setCurrentIndex(rejectsTab_); }
