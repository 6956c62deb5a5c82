#pragma once

#include "qa/DoseStatistics.h"
#include "qa/QaTables.h"

#include <QFutureWatcher>
#include <QWidget>
#include <functional>
#include <memory>

class QComboBox;
class Prompter;
class QDateEdit;
class QLabel;
class QTabWidget;
class QSpinBox;
class QTableView;
class QChartView;
class QPushButton;

// The "Dose QA" window: the journal over a date range and unit, filtered by
// view and thickness band, as tables and charts, with its exports. The
// journal is read and summed up off the window's thread.
class DoseQaForm : public QWidget {
    Q_OBJECT
public:
    DoseQaForm(QString journalPath, ReferenceLookup levels, const QDate &today, Prompter &prompter, QWidget *parent = nullptr);
    ~DoseQaForm() override;

    // Asks where to save: caption, suggested file name, file filter; empty to cancel.
    std::function<QString(const QString &, const QString &, const QString &)> chooseSaveFile;

    // The range and filters as the operator sets them; each starts a new reading.
    void setRange(const QDate &from, const QDate &to);
    void setView(const QString &view);        // empty for all
    void setUnit(std::optional<int> unit);
    void setBand(std::optional<int> band);
    void setLevelMonths(int months);     // period of the proposed local levels

    // From a change of range or filter until its figures are on screen.
    bool reading() const { return reading_; }
    // Figures of the last completed reading.
    const DoseStatistics &statistics() const { return *stats_; }
    const QaTable &bandTable() const { return bands_.table(); }
    const QaTable &proposedTable() const { return proposed_.table(); }
    const QaTable &rejectsTable() const { return rejects_.table(); }
    const QaTable &rejectAnalysisTable() const { return rejectAnalysis_.table(); }
    // Brings the repeats-and-rejects page to the front, as its tab does.
    void showRejects();
    // The exports of the current figures; failures are logged and shown.
    Result exportExposures(const QString &path);
    Result exportSummary(const QString &path);
    Result exportReport(const QString &path);
    // Picks the drawn point nearest to (thickness, dose) of the view, as a click on it does.
    void showExposureAt(const QString &view, const QPointF &point);
    QString shownExposure() const;

signals:
    void figuresShown();                 // a reading completed and is on screen
    void exposureChosen(qlonglong id);   // a drawn point was clicked

private:
    void filterChanged();
    void reload();
    void startReading();
    void present(std::shared_ptr<DoseStatistics> stats);
    void buildCharts();
    void saveWith(const QString &caption, const QString &name, const QString &filter, Result (DoseQaForm::*write)(const QString &));
    QList<QImage> chartImages() const;
    QStringList heading() const;

    QString journalPath_;
    ReferenceLookup levels_;
    Prompter &prompter_;
    QaFilter filter_;
    int months_ = 12;
    std::shared_ptr<DoseStatistics> stats_;
    QList<FarExposure> far_;
    struct Reading {
        std::shared_ptr<DoseStatistics> stats;
        Result result;
        QDate from, to;
    };
    QFutureWatcher<Reading> watcher_;
    QList<JournalExposure> readRows_; // the last reading's rows, of the days readFrom_..readTo_
    QDate readFrom_, readTo_;
    bool scheduled_ = false;
    bool again_ = false; // the filter changed while reading
    bool reading_ = false;

    QDateEdit *fromEdit_;
    QDateEdit *toEdit_;
    QComboBox *unitBox_;
    QComboBox *viewBox_;
    QComboBox *bandBox_;
    QSpinBox *monthsBox_;
    QLabel *stateLabel_;
    QLabel *exposureLabel_;
    QaTableModel bands_;
    QaTableModel proposed_;
    QaTableModel rejects_;
    QaTableModel rejectAnalysis_;
    QLabel *rejectAnalysisTitle_ = nullptr;
    QTabWidget *tabs_ = nullptr;
    int rejectsTab_ = -1;
    QChartView *doseChart_;
    QChartView *dailyChart_;
    QChartView *forceChart_;
};
