#pragma once

#include "dose/ReferenceLevels.h"
#include "exposure/JournalReader.h"

#include <QDate>
#include <QList>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

// The level the exposure exceeds, if any: an AGD level against its AGD, an
// entrance level against the entrance dose the header has.
std::optional<ReferenceMatch> ExceededLevel(const JournalExposure &e, const ReferenceLookup &lookup);

// Lower edge of the exposure's 10 mm thickness band; -1 when the thickness is unknown.
int ThicknessBand(const std::optional<double> &thicknessMm);
QString BandLabel(int band);

// Quantile q (0..1) of sorted values, linear between neighbours (the
// spreadsheet's PERCENTILE); NaN for none.
double Quantile(const std::vector<double> &sorted, double q);

struct QaFilter {
    QDate from;
    QDate to;
    std::optional<int> unit;
    QString view;             // "CC", "MLO", "other"; empty for all
    std::optional<int> band;  // lower edge in mm; empty for all
};

// Figures of one view and band. The dose figures are over the exposures that
// have the selection's dose quantity.
struct BandStatistics {
    QString view;
    int band = -1;
    int count = 0;
    int doseCount = 0;
    double doseMedian = 0, doseMean = 0, doseP25 = 0, doseP75 = 0;
    double kvMedian = 0, masMedian = 0, forceMedian = 0; // NaN when none is known
};

// Exposures never assigned to images and exposures set free, of one day and view.
struct DayRejects {
    QDate day;
    QString view;
    int total = 0;
    int neverAssigned = 0;
    int setFree = 0;
};

// Reject analysis of one view (or of all, view "all") over the filter's
// period: the exposures given to patients (assigned to images or rejected),
// those rejected during an examination, and the dose the rejected added.
struct ViewRejects {
    QString view;
    int given = 0;
    int rejected = 0;
    int rejectedWithDose = 0; // of the rejected, those with the selection's dose quantity
    double addedDose = 0;     // mGy, their sum
    // rejected / given; NaN when none was given.
    double rate() const;
};

struct DailyMedian {
    QDate day;
    int count = 0;
    double median = 0;
};

struct ViewSpread {
    QString view;
    int count = 0;
    double min = 0, q1 = 0, median = 0, q3 = 0, max = 0;
};

// ln(dose) = a + b · thickness, fitted per view by least squares; sigma is the
// spread of the residuals.
struct DoseCurve {
    QString view;
    int points = 0;
    double a = 0, b = 0, sigma = 0;
    double at(double thickness) const;
};

// An exposure drawn on its own: far from its view's curve.
struct FarExposure {
    qlonglong id = 0;
    QString view;
    double thickness = 0;
    double dose = 0;
    double residual = 0; // in sigmas
};

struct ProposedLevel {
    QString view;
    int band = -1;
    int count = 0;
    double p75 = 0;
};

// The dose figures of the QA view over the rows read from the journal.
// Everything is computed by filter(); the accessors only hand it out.
class DoseStatistics {
public:
    explicit DoseStatistics(QList<JournalExposure> rows = {});

    const QList<JournalExposure> &rows() const { return rows_; }
    // "CC", "MLO" or "other" of rows()[row].
    const QString &viewOf(int row) const;
    void filter(const QaFilter &f);
    const QaFilter &currentFilter() const { return filter_; }

    // Rows passing the filter, in journal order.
    const std::vector<int> &selected() const { return selected_; }
    // True when the selection's dose figures are AGD, false for entrance dose:
    // AGD as soon as any selected exposure has one.
    bool doseIsAgd() const { return doseIsAgd_; }
    std::optional<double> doseOf(const JournalExposure &e) const;

    const QList<BandStatistics> &bands() const { return bands_; }
    const QList<DayRejects> &rejects() const { return rejects_; }
    // Per view in QaViews() order (those with exposures given), then "all".
    const QList<ViewRejects> &rejectsByView() const { return rejectsByView_; }
    const QList<DailyMedian> &dailyMedians() const { return daily_; }
    const QList<ViewSpread> &forceByView() const { return force_; }
    const QList<DoseCurve> &curves() const { return curves_; }
    // At most maxPoints, the farthest first, of those beyond `sigmas`.
    QList<FarExposure> farExposures(double sigmas = 2.0, int maxPoints = 2000) const;

    // The 75th percentile per view and band over the `months` months up to
    // the filter's last day, of the filter's unit, view and band.
    QList<ProposedLevel> proposedLevels(int months) const;

    // Units seen in the rows, ascending.
    QList<int> units() const;

private:
    bool passesUnit(const JournalExposure &e) const;

    QList<JournalExposure> rows_;
    std::vector<int> views_; // index into QaViews() per row
    QaFilter filter_;
    std::vector<int> selected_;
    bool doseIsAgd_ = false;
    QList<BandStatistics> bands_;
    QList<DayRejects> rejects_;
    QList<ViewRejects> rejectsByView_;
    QList<DailyMedian> daily_;
    QList<ViewSpread> force_;
    QList<DoseCurve> curves_;
};

// The view order of tables and charts.
const QStringList &QaViews();
