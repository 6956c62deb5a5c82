#pragma once

#include "qa/DoseStatistics.h"

#include <QAbstractTableModel>
#include <QImage>
#include <QStringList>

class QPagedPaintDevice;

// A table of texts as the window, the summary CSV and the reports show it.
struct QaTable {
    QString title;
    QStringList headers;
    QList<QStringList> rows;
    QList<bool> marked; // per row, drawn in red when set (may be shorter than rows)
};

// Per view and band: count, dose median, mean, 75th percentile, medians of kV, mAs, force.
QaTable BandTable(const DoseStatistics &stats);
// Per day and view: exposures, never assigned, set free.
QaTable RejectsTable(const DoseStatistics &stats);
// Reject analysis of the period per view: exposures given to patients,
// rejected, reject rate, the dose the rejected added.
QaTable RejectAnalysisTable(const DoseStatistics &stats);
// The proposed local reference levels of the last `months` months.
QaTable ProposedLevelTable(const DoseStatistics &stats, int months);
// One row per exposure of the day with its dose and the level it exceeds.
QaTable DayListTable(const QList<JournalExposure> &rows, const ReferenceLookup &lookup);

// Every field of every selected exposure, one row each.
Result WriteExposureCsv(const QString &path, const DoseStatistics &stats, const ReferenceLookup &lookup);
// The band table.
Result WriteSummaryCsv(const QString &path, const DoseStatistics &stats);

// Title lines, the tables and the chart pictures, paged onto the device (a
// PDF writer or a printer).
void PaintReport(QPagedPaintDevice &device, const QStringList &heading, const QList<QaTable> &tables, const QList<QImage> &charts = {});
Result WriteReportPdf(const QString &path, const QStringList &heading, const QList<QaTable> &tables, const QList<QImage> &charts = {});

// Shows a QaTable in a view.
class QaTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setTable(QaTable table);
    const QaTable &table() const { return table_; }
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QaTable table_;
};
