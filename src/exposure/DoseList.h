#pragma once

#include "exposure/ExposureControls.h"

#include <QDate>
#include <functional>

class QTreeWidgetItem;
class Session;

// The main window's dose list: today's open exposures from tblDosis, the
// selection that header stamping reads, assignment and removal.
class DoseList : public QObject {
    Q_OBJECT
public:
    // Connects lvDosis (click, right button), cmbDosis (list opening, choice) and PopupDeleteDosis.
    DoseList(Session &session, const ExposureControls &controls, QObject *parent = nullptr);

    // Sets the eleven headings of lvDosis.
    static void PrepareColumns(QTreeWidget *list);

    // Refills the list with today's open exposures (skipped while BatchJobActive).
    void lvDosis_Fill();
    // Applies AssignmentMode (1 all listed rows, 2 remove selected, 3 assign selected), then refills.
    void RefreshDosisList();
    void PopupDeleteDosis();
    void lvDosis_ItemClick(QTreeWidgetItem *item);
    // Right button released at pos (viewport coordinates): select the row there, open Popup_Dosis.
    void lvDosis_MouseUp(Qt::MouseButton button, const QPoint &pos);
    void cmbDosis_DropDown();
    void cmbDosis_Click(int index);

    // "Today" of the list; the workstation's date unless a test fixes it.
    void setToday(std::function<QDate()> today) { today_ = std::move(today); }
    QDate today() const { return today_(); }

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fillFrom(const std::optional<QString> &patientName);

    Session &session_;
    ExposureControls c_;
    std::function<QDate()> today_;
};
