#include "qa/QaTables.h"

#include "core/DisplayText.h"
#include "dose/Projection.h"

#include <QBrush>
#include <QFile>
#include <QFontMetricsF>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextStream>
#include <cmath>

namespace {

QString Number(double v, int decimals) { return std::isnan(v) ? QString() : QString::number(v, 'f', decimals); }
QString Number(const std::optional<double> &v, int decimals) { return v ? Number(*v, decimals) : QString(); }
QString DoseName(const DoseStatistics &stats) { return stats.doseIsAgd() ? QStringLiteral("AGD") : QStringLiteral("entrance dose"); }

QString CsvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

Result WriteCsv(const QString &path, const QStringList &headers, const QList<QStringList> &rows)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {ErrorCode::PathAccess, file.errorString()};
    QTextStream out(&file);
    auto line = [&out](const QStringList &fields) {
        QStringList quoted;
        for (const QString &f : fields)
            quoted << CsvField(f);
        out << quoted.join(QLatin1Char(',')) << '\n';
    };
    line(headers);
    for (const QStringList &r : rows)
        line(r);
    out.flush();
    if (!file.commit())
        return {ErrorCode::WriteFailed, file.errorString()};
    return {};
}

} // namespace

QaTable BandTable(const DoseStatistics &stats)
{
    const QString dose = DoseName(stats);
    QaTable t;
    t.title = QStringLiteral("Dose per view and thickness band (%1, mGy)").arg(dose);
    t.headers = QStringList{QStringLiteral("View"), QStringLiteral("Thickness mm"), QStringLiteral("Count"),
                            QStringLiteral("With %1").arg(dose), QStringLiteral("Median"), QStringLiteral("Mean"),
                            QStringLiteral("75th pct"), QStringLiteral("Median kV"), QStringLiteral("Median mAs"),
                            QStringLiteral("Median force N")};
    for (const BandStatistics &b : stats.bands())
        t.rows.append({b.view, BandLabel(b.band), QString::number(b.count), QString::number(b.doseCount), Number(b.doseMedian, 3),
                       Number(b.doseMean, 3), Number(b.doseP75, 3), Number(b.kvMedian, 1), Number(b.masMedian, 1),
                       Number(b.forceMedian, 0)});
    return t;
}

QaTable RejectsTable(const DoseStatistics &stats)
{
    QaTable t;
    t.title = QStringLiteral("Repeats and rejects per day and view");
    t.headers = QStringList{QStringLiteral("Day"), QStringLiteral("View"), QStringLiteral("Exposures"),
                            QStringLiteral("Never assigned"), QStringLiteral("Set free")};
    const ShortDateForm dates;
    for (const DayRejects &r : stats.rejects()) {
        t.rows.append({dates.text(r.day), r.view, QString::number(r.total), QString::number(r.neverAssigned),
                       QString::number(r.setFree)});
        t.marked.append(r.neverAssigned + r.setFree > 0);
    }
    return t;
}

QaTable RejectAnalysisTable(const DoseStatistics &stats)
{
    const QaFilter &f = stats.currentFilter();
    const QString period = QStringLiteral("%1 to %2").arg(f.from.toString(Qt::ISODate), f.to.toString(Qt::ISODate));
    QaTable t;
    t.title = QStringLiteral("Rejected exposures %1 (reject rate of the exposures given to patients; added %2 in mGy)").arg(period, DoseName(stats));
    t.headers = QStringList{QStringLiteral("View"), QStringLiteral("Given"), QStringLiteral("Rejected"), QStringLiteral("Reject rate %"),
                            QStringLiteral("Added %1 mGy").arg(DoseName(stats)), QStringLiteral("Rejected with dose")};
    for (const ViewRejects &r : stats.rejectsByView()) {
        t.rows.append({r.view, QString::number(r.given), QString::number(r.rejected), Number(r.rate() * 100.0, 1),
                       r.rejectedWithDose > 0 ? Number(r.addedDose, 3) : QString(), QString::number(r.rejectedWithDose)});
        t.marked.append(r.rejected > 0);
    }
    return t;
}

QaTable ProposedLevelTable(const DoseStatistics &stats, int months)
{
    QaTable t;
    t.title = QStringLiteral("Proposed local reference levels: 75th percentile of %1, last %2 months").arg(DoseName(stats)).arg(months);
    t.headers = QStringList{QStringLiteral("View"), QStringLiteral("Thickness mm"), QStringLiteral("Exposures"), QStringLiteral("Level mGy")};
    for (const ProposedLevel &p : stats.proposedLevels(months))
        t.rows.append({p.view, BandLabel(p.band), QString::number(p.count), Number(p.p75, 3)});
    return t;
}

QaTable DayListTable(const QList<JournalExposure> &rows, const ReferenceLookup &lookup)
{
    QaTable t;
    t.headers = QStringList{QStringLiteral("Time"), QStringLiteral("Patient"), QStringLiteral("Projection"), QStringLiteral("kV"),
                            QStringLiteral("mAs"), QStringLiteral("Thickness mm"), QStringLiteral("Force N"),
                            QStringLiteral("Entrance dose mGy"),
                            QStringLiteral("AGD mGy"), QStringLiteral("AGD from"), QStringLiteral("Above level")};
    for (const JournalExposure &e : rows) {
        const std::optional<ReferenceMatch> over = ExceededLevel(e, lookup);
        const QString mark = over ? QStringLiteral("%1 %2 mGy (%3)")
                                        .arg(over->forAgd() ? QStringLiteral("AGD >") : QStringLiteral("mGy >"))
                                        .arg(over->level, 0, 'f', 2)
                                        .arg(over->setName)
                                  : QString();
        t.rows.append({e.time, e.patientName, e.projection, Number(e.kv, 0), Number(e.mas, 1), Number(e.thickness, 0),
                       Number(e.force, 0), Number(e.entranceDose, 2), Number(e.agd, 2), e.agdSource, mark});
        t.marked.append(over.has_value());
    }
    return t;
}

Result WriteExposureCsv(const QString &path, const DoseStatistics &stats, const ReferenceLookup &lookup)
{
    const QStringList headers{
        QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("Unit"), QStringLiteral("Projection"),
        QStringLiteral("Laterality"), QStringLiteral("View"), QStringLiteral("Band mm"), QStringLiteral("kV"), QStringLiteral("mAs"),
        QStringLiteral("Thickness mm"), QStringLiteral("Force N"), QStringLiteral("Reported dose mGy"), QStringLiteral("Exposure time"),
        QStringLiteral("Status"), QStringLiteral("Assigned to"), QStringLiteral("Target/filter"), QStringLiteral("HVL mm Al"),
        QStringLiteral("K mGy"), QStringLiteral("AGD mGy"), QStringLiteral("AGD source"), QStringLiteral("Age table"),
        QStringLiteral("Calibration"), QStringLiteral("Reference level mGy"), QStringLiteral("Reference quantity"),
        QStringLiteral("Reference set"), QStringLiteral("Above level")};
    QList<QStringList> rows;
    for (int i : stats.selected()) {
        const JournalExposure &e = stats.rows()[i];
        const ExposureProjection p = ProjectionOfExposure(qint16(e.unit.value_or(0)), e.projection);
        std::optional<ReferenceMatch> level;
        if (lookup && e.thickness)
            level = lookup(p.view, *e.thickness);
        const bool over = ExceededLevel(e, lookup).has_value();
        // Full precision: the file is for further calculation, not reading.
        auto full = [](const std::optional<double> &v) { return v ? QString::number(*v, 'g', 10) : QString(); };
        rows.append({QString::number(e.id), e.day.toString(Qt::ISODate), e.time, e.unit ? QString::number(*e.unit) : QString(),
                     e.projection, p.laterality, p.view, BandLabel(ThicknessBand(e.thickness)), full(e.kv), full(e.mas),
                     full(e.thickness), full(e.force), full(e.reportedDose), e.exposureTime, e.status, e.patientId, e.targetFilter,
                     full(e.hvl), full(e.kerma), full(e.agd), e.agdSource, e.ageTable,
                     e.calibrationId ? QString::number(*e.calibrationId) : QString(),
                     level ? QString::number(level->level, 'g', 10) : QString(),
                     level ? (level->forAgd() ? QStringLiteral("AGD") : QStringLiteral("entrance dose")) : QString(),
                     level ? level->setName : QString(), over ? QStringLiteral("yes") : QString()});
    }
    return WriteCsv(path, headers, rows);
}

Result WriteSummaryCsv(const QString &path, const DoseStatistics &stats)
{
    const QaTable t = BandTable(stats);
    return WriteCsv(path, t.headers, t.rows);
}

void PaintReport(QPagedPaintDevice &device, const QStringList &heading, const QList<QaTable> &tables, const QList<QImage> &charts)
{
    QPainter p(&device);
    const QRectF page(0, 0, device.width(), device.height());
    QFont font = p.font();
    font.setPointSizeF(8);
    p.setFont(font);
    QFontMetricsF fm(font, &device);
    const double line = fm.height() * 1.3;
    double y = 0;
    auto newPage = [&] {
        device.newPage();
        y = 0;
    };
    auto room = [&](double h) {
        if (y + h > page.height())
            newPage();
    };
    QFont bold = font;
    bold.setBold(true);
    QFont title = bold;
    title.setPointSizeF(12);
    for (int i = 0; i < heading.size(); ++i) {
        p.setFont(i == 0 ? title : font);
        const double h = QFontMetricsF(p.font(), &device).height() * 1.3;
        p.drawText(QRectF(0, y, page.width(), h), Qt::AlignLeft | Qt::AlignVCenter, heading[i]);
        y += h;
    }
    y += line;
    for (const QaTable &t : tables) {
        room(line * 3);
        p.setFont(bold);
        p.drawText(QRectF(0, y, page.width(), line), Qt::AlignLeft | Qt::AlignVCenter, t.title);
        y += line;
        // Columns as wide as their longest text, shrunk together to the page.
        QList<double> widths;
        for (int c = 0; c < t.headers.size(); ++c) {
            double w = QFontMetricsF(bold, &device).horizontalAdvance(t.headers[c]);
            for (const QStringList &r : t.rows)
                w = std::max(w, fm.horizontalAdvance(r.value(c)));
            widths.append(w + fm.averageCharWidth() * 2);
        }
        double total = 0;
        for (double w : widths)
            total += w;
        const double scale = total > page.width() ? page.width() / total : 1.0;
        auto drawRow = [&](const QStringList &cells, const QFont &f, QColor colour) {
            room(line);
            p.setFont(f);
            p.setPen(colour);
            double x = 0;
            for (int c = 0; c < widths.size(); ++c) {
                const double w = widths[c] * scale;
                p.drawText(QRectF(x, y, w, line), Qt::AlignLeft | Qt::AlignVCenter,
                           fm.elidedText(cells.value(c), Qt::ElideRight, w - fm.averageCharWidth()));
                x += w;
            }
            y += line;
        };
        drawRow(t.headers, bold, Qt::black);
        for (int r = 0; r < t.rows.size(); ++r)
            drawRow(t.rows[r], font, t.marked.value(r) ? QColor(Qt::red) : QColor(Qt::black));
        p.setPen(Qt::black);
        y += line;
    }
    for (const QImage &chart : charts) {
        if (chart.isNull())
            continue;
        const QSizeF size = QSizeF(chart.size()).scaled(page.width(), page.height() / 2, Qt::KeepAspectRatio);
        room(size.height());
        p.drawImage(QRectF(QPointF(0, y), size), chart);
        y += size.height() + line;
    }
}

Result WriteReportPdf(const QString &path, const QStringList &heading, const QList<QaTable> &tables, const QList<QImage> &charts)
{
    // A writer that cannot open the file says nothing; an old file must not pass for the new one.
    QFile::remove(path);
    {
        QPdfWriter writer(path);
        writer.setResolution(300);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
        writer.setTitle(heading.value(0));
        writer.setCreator(QStringLiteral("OrvanaMammo"));
        PaintReport(writer, heading, tables, charts);
    }
    QFile written(path);
    if (!written.exists() || written.size() == 0)
        return {ErrorCode::WriteFailed, QStringLiteral("The PDF file \"%1\" could not be written").arg(path)};
    return {};
}

void QaTableModel::setTable(QaTable table)
{
    beginResetModel();
    table_ = std::move(table);
    endResetModel();
}

int QaTableModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(table_.rows.size()); }
int QaTableModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(table_.headers.size()); }

QVariant QaTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return table_.rows[index.row()].value(index.column());
    if (role == Qt::ForegroundRole && table_.marked.value(index.row()))
        return QBrush(Qt::red);
    return {};
}

QVariant QaTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal)
        return table_.headers.value(section);
    return {};
}
