#pragma once

#include "network/StoragePartners.h"
#include "toolkit/ToolkitNetwork.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QPointer>
#include <QProgressDialog>
#include <array>
#include <functional>
#include <memory>

class QAction;
class Prompter;
class QCheckBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// "Add new SCP" / "Edit SCP": the editor of one storage partner. Add/Apply
// checks the fields and stores the row; the dialog is accepted once it is stored.
class AddSCP : public QDialog {
    Q_OBJECT

public:
    // id 0: a new partner; otherwise the row being edited.
    AddSCP(QWidget *parent, Prompter &prompter, qlonglong id, const QString &alias = {}, const PartnerAddress &address = {});
    qlonglong id() const { return id_; }
    void cmdAdd_Click();

private:
    std::array<QLineEdit *, 4> txtSCP{}; // "Alias:", "AET:", "IP:", "Port:"
    QCheckBox *chkTLS = nullptr;          // "Use TLS"
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdCancel = nullptr;
    qlonglong id_ = 0;
    Prompter &prompter_;
};

// The partner list lvSCP of the options dialog with its context menu. The
// rows are tblSCP's (rows()); every command takes the row it acts on, and the
// list only shows them.
class StoragePartnerList : public QObject {
    Q_OBJECT

public:
    StoragePartnerList(QTreeWidget *lvSCP, Prompter &prompter);
    ~StoragePartnerList() override;

    const QList<StoragePartner> &rows() const { return rows_; }

    // The column that says "yes" for the default partner, and the one that
    // says "TLS" for a partner reached over TLS.
    static constexpr int DefaultColumn = 4;
    static constexpr int TlsColumn = 5;

    // Reads the rows and shows them, the default one in bold and marked.
    void UpdateSCP();
    // The context menu at a point of the list's viewport.
    void showMenuAt(const QPoint &pos);
    // The commands on the row of index `row` (-1: none).
    void addPartner();
    void editPartner(int row);
    void deletePartner(int row);
    void makeDefault(int row);
    // A C-ECHO to the partner from the receiver's AE title, on a worker
    // thread: a progress window shows it under way and offers Cancel; the
    // result comes as a message. One verification at a time.
    void verify(int row);
    // Offers the row's AE title and host for the receiver's known partners.
    void offerAsKnown(int row);
    bool isVerifying() const { return cancel_ != nullptr; }
    // Open while a verification runs.
    QPointer<QProgressDialog> verifyProgress;

    QAction *actAdd = nullptr;
    QAction *actEdit = nullptr;
    QAction *actDelete = nullptr;
    QAction *actDefault = nullptr;
    QAction *actVerify = nullptr;
    QAction *actKnown = nullptr; // "Add to known partners"

    // How an editor is run (modal by default; tests fill and confirm it).
    std::function<int(AddSCP &)> runEditor = [](AddSCP &e) { return e.exec(); };

signals:
    // A partner was stored, removed or made the default.
    void partnersChanged();
    // "Add to known partners" on a row: its AE title and host.
    void addToKnownPartners(const PartnerAddress &address);

private:
    int currentRow() const;
    QMenu *PopupAddSCP = nullptr;
    void showRows();
    static void markDefault(QTreeWidgetItem *item, bool isDefault);
    void openEditor(AddSCP &editor);
    void verifyFinished();
    QTreeWidget *lvSCP_;
    Prompter &prompter_;
    QList<StoragePartner> rows_;
    QFutureWatcher<Result> verifyWatcher_; // success when the partner answered, else why not
    std::shared_ptr<ToolkitCancel> cancel_;  // shared with the worker
    QString verifiedPeer_;                   // "AET at host:port" of the verification under way
};

// Rebuilds the three send menus from tblSCP and takes the partners in use
// from it. Each entry carries its partner's tag as data; triggering one calls
// sendTo(level, tag), level 0 series, 1 study, 2 patient.
void UpdateSendToEntries(QMenu *Se_SendTo, QMenu *St_SendTo, QMenu *P_SendTo, PartnersInUse &inUse,
                         const std::function<void(int level, const QString &tag)> &sendTo);
