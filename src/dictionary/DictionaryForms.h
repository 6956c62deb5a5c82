#pragma once

// The dialogs over the data dictionary and the modality filters: the
// dictionary itself ("Dicom Dictionary", "Add new"), and the options dialog's
// filter area with its two helpers ("Add DicomTag ...", "Add new filter").
#include <QDialog>
#include <QMap>
#include <QMenu>
#include <QStandardItemModel>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class Prompter;

// "Add new filter": hidden, not destroyed, after OK or Cancel, so that its
// field keeps the last entry for the next use.
class InputBoxForm : public QDialog {
    Q_OBJECT
public:
    explicit InputBoxForm(QWidget *parent = nullptr);
    void setCaption(const QString &caption) { setWindowTitle(caption); }
    void setDefault(const QString &text);
    // Shows the dialog modally and returns the text.
    QString showBox();
    bool isCancelled() const { return cancelled_; }

private:
    bool cancelled_ = true;

    QLineEdit *txtValue = nullptr;
};

// "Add DicomTag ...": the visible attributes not yet in the filter; Apply adds
// the selected ones.
class AddTagForm : public QDialog {
    Q_OBJECT
public:
    AddTagForm(const QString &filter, QWidget *parent = nullptr);
    void Form_Load();
    void cmdAdd_Click();

private:
    QTreeWidget *lvDictionary = nullptr;
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdCancel = nullptr;
    QString filter_;
};

// "Dicom Dictionary": every attribute with its Visible box; Apply stores the
// boxes that changed, a right click deletes a row.
class DatabaseForm : public QDialog {
    Q_OBJECT
public:
    explicit DatabaseForm(Prompter &prompter, QWidget *parent = nullptr);
    void UpdateDictionary();
    void cmdAll_Click();
    void cmdApply_Click();
    void PopDelete_Click();
    // Opens "Add new" modally.
    void cmdAdd_Click();

private:
    QTreeWidget *lvDatabase = nullptr;
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdAll = nullptr;
    QPushButton *cmdApply = nullptr;
    QPushButton *cmdCancel = nullptr;
    QMenu PopUp;
    Prompter &prompter_;
};

// "Add new": one attribute for the dictionary.
class AddTagToDB : public QDialog {
    Q_OBJECT
public:
    AddTagToDB(DatabaseForm *dictionary, Prompter &prompter);
    void cmdOK_Click();

private:
    QLineEdit *txtGroup = nullptr;
    QLineEdit *txtElement = nullptr;
    QLineEdit *txtDescription = nullptr;
    QLineEdit *txtVR = nullptr;
    QCheckBox *chkVisi = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;
    bool eventFilter(QObject *watched, QEvent *event) override;
    DatabaseForm *dictionary_;
    Prompter &prompter_;
};

// The options dialog's filter area: the filters of tblModality and the
// attributes of the one being edited, which the dialog shows and acts on.
class FilterArea : public QObject {
    Q_OBJECT
public:
    // dialog: the parent of the message boxes and of the two helper dialogs.
    FilterArea(QWidget *dialog, Prompter &prompter);
    // The edited filter's attributes: "Tag", "Description"; the row's Index in Qt::UserRole.
    QStandardItemModel *tags() { return &tags_; }
    // Lists the filters of tblModality (filtersChanged), none chosen.
    void FillFilterList();
    // The operator chose a filter to edit.
    void cboModality_Click(const QString &filter);
    void cmdNew_Click();
    void cmdDelMod_Click();
    void cmdAdd_Click();
    // "remove": the attributes of the rows from the edited filter.
    void cmdDelete_Click(const QList<int> &rows);
    void cmdActivate_Click();

    QString EditedFilter;
    InputBoxForm *inputBox() const { return inputBox_; }

signals:
    // The filter names to choose from; none is chosen.
    void filtersChanged(const QStringList &names);
    // Whether the edited filter can be made the active one.
    void activatable(bool can);
    // The active filter's attributes (Tag → Description) changed: attributes
    // joined or left it, or another filter became the active one.
    void activeFilterChanged(const QMap<QString, QString> &tags);
    // Attributes joined a filter: the header view is built anew.
    void visibleTagsChanged();

private:
    // After "add ..." or "remove": the active filter's tags follow the list.
    void activeFilterEdited();
    // The listed rows, Tag → Description.
    QMap<QString, QString> listedTags() const;
    QWidget *dialog_;
    Prompter &prompter_;
    InputBoxForm *inputBox_;
    QStandardItemModel tags_;
};
