#pragma once

#include "network/StoragePartners.h"
#include "store/KnownPartners.h"

#include <QDialog>
#include <functional>

class QAction;
class QCheckBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;
class Prompter;

// "Known partner": the editor of one entry of the receiver's known partners.
// Add/Apply checks the fields and stores the row; the dialog is accepted once
// it is stored.
class KnownPartnerEditor : public QDialog {
    Q_OBJECT

public:
    // partner.id 0: a new entry (its fields prefilled from partner).
    KnownPartnerEditor(QWidget *parent, Prompter &prompter, const KnownPartner &partner);
    void cmdApply_Click();

private:
    QLineEdit *txtAet = nullptr;
    QLineEdit *txtHost = nullptr;
    QLineEdit *txtSubject = nullptr;
    QCheckBox *chkStore = nullptr;
    QCheckBox *chkEcho = nullptr;
    QPushButton *cmdApply = nullptr;
    QPushButton *cmdCancel = nullptr;
    qlonglong id_ = 0;
    Prompter &prompter_;
};

// The known partners list of the options dialog (tblKnownPartner), with its
// context menu. Every command takes the row it acts on; the list only shows rows().
class KnownPartnerList : public QObject {
    Q_OBJECT

public:
    KnownPartnerList(QTreeWidget *list, Prompter &prompter);

    const QList<KnownPartner> &rows() const { return rows_; }
    void update();
    void showMenuAt(const QPoint &pos);
    // The row under the list's current item; -1 when none.
    int currentRow() const;

    void addPartner();
    // A new entry with the storage partner's AE title and host filled in.
    void addFrom(const PartnerAddress &address);
    void editPartner(int row);
    // Asks first (No is the default).
    void removePartner(int row);

    QAction *actAdd = nullptr;
    QAction *actEdit = nullptr;
    QAction *actRemove = nullptr;

    // How an editor is run (modal by default; tests fill and confirm it).
    std::function<int(KnownPartnerEditor &)> runEditor = [](KnownPartnerEditor &e) { return e.exec(); };

signals:
    void changed();

private:
    void openEditor(const KnownPartner &partner);
    QTreeWidget *list_;
    QMenu *menu_ = nullptr;
    Prompter &prompter_;
    QList<KnownPartner> rows_;
};
