#pragma once

#include "core/ExposureUnits.h"
#include "store/Session.h"

#include <QDate>
#include <QAbstractTableModel>
#include <QHash>
#include <QItemSelectionModel>

class QWidget;
class Prompter;
#include <functional>
#include <optional>

// The rows of the dose list: the journal's texts as shown, the key as user
// data of the ID column.
class DoseListModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(rows_.size()); }
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    struct Row {
        qlonglong id = 0;
        QStringList cells;
        QString agdSource;
        // The journal's dose values for stamping, as ExposureValues carries them.
        QString agd, hvl, targetFilter, kerma;
        qlonglong calibrationId = 0;
        qint16 unit = 0;
        QString eventUid; // empty for a row journalled before there were any
        QString overReference; // the level exceeded and its set; empty when within or unchecked
        QString patientName, patientId; // the journal's Patname and FKeyPatID
    };
    const Row *row(int index) const { return index >= 0 && index < rows_.size() ? &rows_[index] : nullptr; }
    void reset(QList<Row> rows);
    // The rows brought up to date in place, matched by journal key (both in
    // key order): rows gone removed, changed ones replaced, new ones added.
    // The selection follows its rows; a cell the operator rewrote stays.
    void update(QList<Row> rows);
    void setEventUid(qlonglong id, const QString &uid);

private:
    QList<Row> rows_;
    QHash<qlonglong, QHash<int, QString>> rewritten_; // by key: column → text set in the list
};

// The main window's dose list: today's open exposures from tblDosis as an
// item model, the row the operator chose (the session's selected exposure,
// which header stamping reads), assignment and removal. The window shows the
// model and shares the selection model.
class DoseList : public QObject {
    Q_OBJECT
public:
    // The columns "ID" … "expTime" and the AGD in mGy; ID holds the row key as
    // user data, AGD's tooltip where it came from.
    enum Column { Id, Date, Time, KV, MA, Thickness, Press, MGy, Other, Status, ExpTime, Agd, ColumnCount };

    DoseList(Session &session, Prompter &prompter, QObject *parent = nullptr);

    QAbstractItemModel *model() { return &model_; }
    QItemSelectionModel *selectionModel() { return &selection_; }
    int rowCount() const { return model_.rowCount(); }
    QString text(int row, int column) const;
    qlonglong id(int row) const;

    // Refills the list with today's open exposures (skipped while a job runs).
    void lvDosis_Fill();
    // The patient-name filter: only that patient's open rows of today (skipped while BatchJobActive).
    void fillForPatient(const QString &patientName);
    // The journal changed: the list (with the patient filter it was filled
    // with) brought up to date in place; the selected exposure stays selected
    // and stays the session's. Skipped while a job runs.
    void refreshInPlace();
    // An exposure was decoded: all of today's open exposures again (the new
    // one may be another patient's), brought up to date in place, so that the
    // exposure the operator chose stays chosen with the projection she gave it.
    void showDecoded();
    // The names of today's open rows, for the filter's drop-down, as the patients came.
    QStringList patientNames() const;
    void clear();

    // Applies the assignment (all listed rows, remove or assign the selected
    // one) for the patient, then refills; the chosen exposure, once it is no
    // longer listed, is forgotten and its boxes empty. Without a patient: the
    // one selected.
    void RefreshDosisList(DoseAssignment mode);
    void RefreshDosisList(DoseAssignment mode, const BrowserSelection &patient);
    // "Delete" of the list's menu, asked first. With a patient's images
    // loaded, the selected row becomes a rejected exposure of hers and of the
    // study loaded: it leaves the list and stays in her dose report. Refused
    // when another patient was selected since the load. With no images
    // loaded it leaves the list as nobody's (a test or phantom exposure).
    // The exposure boxes empty.
    void PopupDeleteDosis();
    // The parent of the questions "Delete" asks.
    void setPromptParent(QWidget *parent) { promptParent_ = parent; }

    // The examination's exposures for a merge of the study, as the list
    // stands now: the rows the merge assigns (all listed, or the selected
    // one) and those rejected during the study. Empty when the journal
    // cannot be read (logged).
    struct Examination {
        QList<qlonglong> listed, rejected;
    };
    std::optional<Examination> examinationExposures(DoseAssignment mode, const QString &studyUid) const;
    // Assigns exactly these rows to the patient (the ones her send took), then refills.
    void assignExposures(const QList<qlonglong> &ids, const BrowserSelection &patient);
    // The operator chose the row: it becomes the session's chosen exposure.
    void choose(int row);
    // The listed rows as exposures, in the list's order, for pairing (each
    // with its event UID, given now to a row journalled before there were any).
    QList<ChosenExposure> listedExposures();
    // Makes the row the current and only selected one, as a click does.
    void select(int row);
    // A projection button: the current row's "Other" becomes the caption and
    // the row is chosen again. False when no row is current. The row of the
    // session's chosen exposure follows the session's projection likewise.
    bool rewriteCurrentProjection(const QString &caption);

    // "Today" of the list; the workstation's date unless a test fixes it.
    void setToday(std::function<QDate()> today) { today_ = std::move(today); }
    QDate today() const { return today_(); }

signals:
    // The operator chose a row; its eleven cells. The exposure boxes follow
    // the session's chosen exposure.
    void exposureChosen(const QStringList &cells);
    // The chosen exposure left the list, or "Delete" ran: the session's
    // chosen exposure is cleared.
    void exposureCleared();

private:
    QString ensureEventUid(qlonglong id);
    // The row as an exposure, with an event UID.
    ChosenExposure exposureAt(int row);
    // The session's chosen exposure forgotten, and said.
    void forgetChosen();
    // The session's chosen exposure changed: its row shows its projection.
    void followChosen();
    void fillFrom(const std::optional<QString> &patientName);
    // Today's open rows from the journal, with the patient filter; empty when the read failed.
    std::optional<QList<DoseListModel::Row>> readRows(const std::optional<QString> &patientName);
    // Marks the rows over the active reference set's level.
    static void markOverReference(QList<DoseListModel::Row> &rows);
    bool assign(DoseAssignment mode, const BrowserSelection &patient);
    // The list refilled after rows left it; the chosen exposure forgotten once it is gone.
    void refillAfterChange();
    bool rejectSelected(qlonglong key, const QString &exposure);

    QWidget *promptParent_ = nullptr;
    Prompter &prompter_;
    Session &session_;
    DoseListModel model_;
    QItemSelectionModel selection_;
    std::function<QDate()> today_;
    std::optional<QString> filter_; // the patient the list was last filled for
};

// The chosen exposure's values for an image whose header gives the patient's
// birth date: when that date puts her in another glandularity table than the
// journal row's AGD used, the AGD is computed again from the row's values and
// its calibration, and the row takes it with the table. Unchanged otherwise.
ExposureValues DoseForBirthDate(const ExposureValues &exposure, const QDate &birthDate);
