#include "network/PartnerForms.h"

#include "core/Settings.h"
#include "network/TlsSecurity.h"
#include "ui/Prompts.h"
#include "ui/Widgets.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

AddSCP::AddSCP(QWidget *parent, Prompter &prompter, qlonglong id, const QString &alias, const PartnerAddress &address)
    : QDialog(parent), id_(id), prompter_(prompter)
{
    setObjectName(QStringLiteral("AddSCP"));
    setWindowTitle(id == 0 ? QStringLiteral("Add new SCP") : QStringLiteral("Edit SCP"));
    auto *l = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    const QStringList labels{QStringLiteral("Alias:"), QStringLiteral("AET:"), QStringLiteral("IP:"), QStringLiteral("Port:")};
    const QStringList values{alias, address.aet, address.ip, address.port};
    for (int i = 0; i < 4; ++i) {
        txtSCP[i] = new QLineEdit(id == 0 ? QString() : values[i], this);
        txtSCP[i]->setObjectName(QStringLiteral("txtSCP%1").arg(i));
        // Room for a descriptive alias or a host name (about 32 characters) and what is stored.
        FitLineEdit(txtSCP[i], {txtSCP[i]->text(), QString(32, QLatin1Char('n'))});
        form->addRow(labels[i], txtSCP[i]);
    }
    // The partner's certificate must be vouched for by the site's trusted certificates.
    chkTLS = new QCheckBox(QStringLiteral("Use TLS (DICOM over TLS)"), this);
    chkTLS->setObjectName(QStringLiteral("chkTLS"));
    chkTLS->setChecked(id != 0 && address.tls);
    form->addRow(QString(), chkTLS);
    l->addLayout(form);
    auto *buttons = new QHBoxLayout;
    cmdAdd = new QPushButton(id == 0 ? QStringLiteral("Add") : QStringLiteral("Apply"), this);
    cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    cmdAdd->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    buttons->addStretch();
    buttons->addWidget(cmdAdd);
    buttons->addWidget(cmdCancel);
    l->addLayout(buttons);
    connect(cmdAdd, &QPushButton::clicked, this, &AddSCP::cmdAdd_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void AddSCP::cmdAdd_Click()
{
    const QString problem = CheckPartnerFields(txtSCP[0]->text(), txtSCP[1]->text(), txtSCP[2]->text(), txtSCP[3]->text());
    if (!problem.isEmpty()) {
        prompter_.information(this, problem, DefaultPromptTitle);
        return;
    }
    const Result r = SavePartner(id_, txtSCP[0]->text().trimmed(),
                                 {txtSCP[1]->text().trimmed(), txtSCP[2]->text().trimmed(), txtSCP[3]->text().trimmed(), chkTLS->isChecked()});
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("AddSCP cmdAdd_Click"));
        return;
    }
    accept();
}

StoragePartnerList::StoragePartnerList(QTreeWidget *lvSCP, Prompter &prompter) : QObject(lvSCP), lvSCP_(lvSCP), prompter_(prompter)
{
    lvSCP_->setHeaderLabels({QStringLiteral("Alias"), QStringLiteral("AET"), QStringLiteral("IP"), QStringLiteral("Port"), QStringLiteral("Default"),
                            QStringLiteral("TLS")});
    lvSCP_->setContextMenuPolicy(Qt::CustomContextMenu);
    PopupAddSCP = new QMenu(lvSCP_);
    PopupAddSCP->setObjectName(QStringLiteral("PopupAddSCP"));
    actAdd = PopupAddSCP->addAction(QStringLiteral("Add New ..."), this, &StoragePartnerList::addPartner);
    actEdit = PopupAddSCP->addAction(QStringLiteral("Edit ..."), this, [this] { editPartner(currentRow()); });
    actDelete = PopupAddSCP->addAction(QStringLiteral("Delete"), this, [this] { deletePartner(currentRow()); });
    PopupAddSCP->addSeparator();
    actDefault = PopupAddSCP->addAction(QStringLiteral("Set as default"), this, [this] { makeDefault(currentRow()); });
    actVerify = PopupAddSCP->addAction(QStringLiteral("Verify"), this, [this] { verify(currentRow()); });
    PopupAddSCP->addSeparator();
    actKnown = PopupAddSCP->addAction(QStringLiteral("Add to known partners ..."), this, [this] { offerAsKnown(currentRow()); });
    connect(lvSCP_, &QTreeWidget::customContextMenuRequested, this, &StoragePartnerList::showMenuAt);
    connect(&verifyWatcher_, &QFutureWatcher<QString>::finished, this, &StoragePartnerList::verifyFinished);
}

StoragePartnerList::~StoragePartnerList()
{
    // The worker keeps its share of the flag and ends on it; nobody waits.
    if (cancel_)
        cancel_->cancel();
    verifyWatcher_.disconnect(this);
}

int StoragePartnerList::currentRow() const
{
    const QTreeWidgetItem *item = lvSCP_->currentItem();
    return item ? lvSCP_->indexOfTopLevelItem(const_cast<QTreeWidgetItem *>(item)) : -1;
}

void StoragePartnerList::UpdateSCP()
{
    const PartnerList list = ReadPartners();
    if (!list.ok())
        LogFailure(list, QStringLiteral("OptionForm UpdateSCP"));
    rows_ = list.partners;
    showRows();
}

void StoragePartnerList::showRows()
{
    lvSCP_->setUpdatesEnabled(false);
    lvSCP_->clear();
    for (const StoragePartner &p : rows_) {
        auto *item = new QTreeWidgetItem(QStringList{p.alias, p.address.aet, p.address.ip, p.address.port, QString(),
                                                     p.address.tls ? QStringLiteral("TLS") : QString()});
        lvSCP_->addTopLevelItem(item);
        markDefault(item, p.isDefault());
    }
    lvSCP_->setUpdatesEnabled(true);
}

void StoragePartnerList::showMenuAt(const QPoint &pos)
{
    QTreeWidgetItem *item = lvSCP_->itemAt(pos);
    if (item)
        lvSCP_->setCurrentItem(item);
    for (QAction *a : {actEdit, actDelete, actDefault, actVerify, actKnown})
        a->setEnabled(item != nullptr);
    actVerify->setEnabled(item && !isVerifying());
    PopupAddSCP->popup(lvSCP_->viewport()->mapToGlobal(pos));
}

void StoragePartnerList::openEditor(AddSCP &editor)
{
    runEditor(editor);
    if (editor.result() == QDialog::Accepted) {
        UpdateSCP();
        emit partnersChanged();
    }
}

void StoragePartnerList::addPartner()
{
    if (rows_.size() == 2) {
        prompter_.information(lvSCP_, QStringLiteral("You can only add two storage partners!"), QStringLiteral("OrvanaMammo"));
        return;
    }
    AddSCP editor(lvSCP_->window(), prompter_, 0);
    openEditor(editor);
}

void StoragePartnerList::editPartner(int row)
{
    if (row < 0 || row >= rows_.size())
        return;
    const StoragePartner &p = rows_[row];
    AddSCP editor(lvSCP_->window(), prompter_, p.id, p.alias, p.address);
    openEditor(editor);
}

void StoragePartnerList::deletePartner(int row)
{
    if (row < 0 || row >= rows_.size())
        return;
    const Result r = DeletePartner(rows_[row].id);
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("OptionForm PopDeleteSCP_Click"));
        return;
    }
    rows_.removeAt(row);
    delete lvSCP_->topLevelItem(row);
    emit partnersChanged();
}

void StoragePartnerList::markDefault(QTreeWidgetItem *item, bool isDefault)
{
    // Bold, and said in words in its own column.
    item->setText(DefaultColumn, isDefault ? QStringLiteral("yes") : QString());
    for (int c = 0; c <= DefaultColumn; ++c) {
        QFont f = item->font(c);
        f.setBold(isDefault);
        item->setFont(c, f);
    }
}

void StoragePartnerList::makeDefault(int row)
{
    if (row < 0 || row >= rows_.size())
        return;
    // Bold at once, as the operator chose it; the table follows.
    for (int i = 0; i < rows_.size(); ++i) {
        rows_[i].defaultFlag = i == row ? 1 : 0;
        markDefault(lvSCP_->topLevelItem(i), i == row);
    }
    const Result r = MakeDefaultPartner(rows_[row].id);
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("OptionForm PopDefault_Click"));
        prompter_.information(lvSCP_, QStringLiteral("Error #%1: %2").arg(r.number).arg(r.text), DefaultPromptTitle);
        return;
    }
    emit partnersChanged();
}

void StoragePartnerList::verify(int row)
{
    if (row < 0 || row >= rows_.size() || isVerifying())
        return;
    // The partner pointed at and the calling title now, not when the worker reads them.
    const PartnerAddress partner = rows_[row].address;
    const QString callingAe = Settings.IR_AET;
    const ToolkitSecurity security = SecurityFor(partner.tls);
    cancel_ = std::make_shared<ToolkitCancel>();
    verifyProgress = new QProgressDialog(QStringLiteral("Verifying %1 at %2:%3 ...").arg(partner.aet, partner.ip, partner.port),
                                         QStringLiteral("Cancel"), 0, 0, lvSCP_->window());
    verifyProgress->setObjectName(QStringLiteral("VerifyProgress"));
    verifyProgress->setWindowTitle(QStringLiteral("Verify"));
    verifyProgress->setWindowModality(Qt::WindowModal);
    verifyProgress->setAutoClose(false);
    verifyProgress->setAutoReset(false);
    verifyProgress->setMinimumDuration(0);
    connect(verifyProgress, &QProgressDialog::canceled, this, [this] {
        if (cancel_)
            cancel_->cancel();
        verifyProgress->setLabelText(QStringLiteral("Cancelling the verification ..."));
    });
    verifyProgress->show();
    verifyWatcher_.setFuture(QtConcurrent::run([partner, callingAe, security, cancel = cancel_] {
        Result e;
        if (VerifyPartner(partner.ip, partner.port.toInt(), callingAe, partner.aet, &e, cancel.get(), security))
            return Result();
        return e.ok() ? Result::failure(ErrorCode::NetworkError, QStringLiteral("Verification failed")) : e;
    }));
    verifiedPeer_ = QStringLiteral("%1 at %2:%3").arg(partner.aet, partner.ip, partner.port);
}

void StoragePartnerList::offerAsKnown(int row)
{
    if (row < 0 || row >= rows_.size())
        return;
    emit addToKnownPartners(rows_[row].address);
}

void StoragePartnerList::verifyFinished()
{
    const Result failure = verifyWatcher_.result();
    const bool cancelled = cancel_ && cancel_->cancelled();
    cancel_.reset();
    if (verifyProgress) {
        verifyProgress->hide();
        verifyProgress->deleteLater();
        verifyProgress = nullptr;
    }
    if (cancelled)
        return;
    if (failure.ok()) {
        prompter_.information(lvSCP_, QStringLiteral("Verification succeeded."), QStringLiteral("OrvanaMammo"));
        return;
    }
    if (failure.number == ErrorCode::TlsRefused)
        ReportTlsFailure(verifiedPeer_, failure.text);
    prompter_.critical(lvSCP_, failure.text, QStringLiteral("OrvanaMammo"));
}

void UpdateSendToEntries(QMenu *Se_SendTo, QMenu *St_SendTo, QMenu *P_SendTo, PartnersInUse &inUse,
                         const std::function<void(int level, const QString &tag)> &sendTo)
{
    const std::array<QMenu *, 3> menus{Se_SendTo, St_SendTo, P_SendTo};
    for (QMenu *m : menus) {
        m->clear();
        m->menuAction()->setVisible(false);
    }
    const PartnerList list = ReadPartners();
    if (!list.ok()) {
        LogFailure(list, QStringLiteral("MainForm UpdateSendToEntries"));
        return;
    }
    TakePartnersInUse(inUse, list.partners);
    for (int level = 0; level < 3; ++level) {
        for (const StoragePartner &p : list.partners) {
            const QString tag = PartnerTag(p.address);
            QAction *a = menus[level]->addAction(p.alias);
            a->setData(tag);
            if (sendTo)
                QObject::connect(a, &QAction::triggered, a, [sendTo, level, tag] { sendTo(level, tag); });
        }
        menus[level]->menuAction()->setVisible(!list.partners.isEmpty());
    }
}
