#pragma once

// "Reload Dosis": searches the whole exposure journal, also assigned rows and
// rows of earlier days, and sets a row free again so that it returns to the
// open list, optionally under another patient's name and today's date.
#include <QDate>
#include <QDialog>
#include <functional>

class QCalendarWidget;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class Prompter;

class DosisForm : public QDialog {
    Q_OBJECT
public:
    explicit DosisForm(Prompter &prompter, QWidget *parent = nullptr);

    // Opens on today's rows.
    void Form_Load();
    // Fills ListView1 by the first criterion that is filled, else by the calendar day.
    void DosisListFill();
    // "All": as DosisListFill, but without a criterion the whole journal.
    void cmdMod_Click();
    // "Set Free" for the selected row. With CL/SE ticked and no name typed it
    // asks for the name; without one nothing changes.
    void updateDosisDB();
    void Check1_Click();
    // Only "Patient Name" (as text) and "Date" (by date) sort; each click reverses the order.
    void ListView1_ColumnClick(int column);

    // The workstation's date unless a test fixes it.
    std::function<QDate()> today = [] { return QDate::currentDate(); };

private:
    Prompter &prompter_;
    QLineEdit *txtID = nullptr;
    QLineEdit *txtPatname = nullptr;
    QCalendarWidget *MonthView1 = nullptr;
    QPushButton *cmdSearch = nullptr;
    QPushButton *cmdMod = nullptr;
    QTreeWidget *ListView1 = nullptr;
    QCheckBox *clSeBox = nullptr;
    QLineEdit *txtDoNo = nullptr;
    QPushButton *cmdFree = nullptr;
    QPushButton *cmdClose = nullptr;
    void fill(bool everything, const QString &source);

    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::DescendingOrder; // the first click gives ascending
};
