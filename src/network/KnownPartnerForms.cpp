#include "network/KnownPartnerForms.h"

#include "store/DatabasePaths.h"
#include "ui/Prompts.h"
#include "ui/Widgets.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

KnownPartnerEditor::KnownPartnerEditor(QWidget *parent, Prompter &prompter, const KnownPartner &partner)
    : QDialog(parent), id_(partner.id), prompter_(prompter)
{
    setObjectName(QStringLiteral("KnownPartnerEditor"));
    setWindowTitle(partner.id == 0 ? QStringLiteral("Add known partner") : QStringLiteral("Edit known partner"));
    auto *l = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    txtAet = NamedLineEdit(this, QStringLiteral("txtKnownAet"));
    txtHost = NamedLineEdit(this, QStringLiteral("txtKnownHost"));
    txtSubject = NamedLineEdit(this, QStringLiteral("txtKnownSubject"));
    txtAet->setText(partner.aet);
    txtHost->setText(partner.host);
    txtSubject->setText(partner.subject);
    txtSubject->setPlaceholderText(QStringLiteral("any: plain or TLS"));
    FitLineEdit(txtAet, {QString(16, QLatin1Char('W'))});
    FitLineEdit(txtHost, {txtHost->text(), QString(32, QLatin1Char('n'))});
    FitLineEdit(txtSubject, {txtSubject->text(), QString(48, QLatin1Char('n'))});
    form->addRow(QStringLiteral("Calling AE title:"), txtAet);
    form->addRow(QStringLiteral("Host:"), txtHost);
    form->addRow(QStringLiteral("Certificate subject:"), txtSubject);
    chkStore = new QCheckBox(QStringLiteral("may store images"), this);
    chkStore->setObjectName(QStringLiteral("chkKnownStore"));
    chkEcho = new QCheckBox(QStringLiteral("may echo (verify)"), this);
    chkEcho->setObjectName(QStringLiteral("chkKnownEcho"));
    chkStore->setChecked(partner.id == 0 || partner.mayStore);
    chkEcho->setChecked(partner.id == 0 || partner.mayEcho);
    form->addRow(QString(), chkStore);
    form->addRow(QString(), chkEcho);
    l->addLayout(form);
    auto *hint = new QLabel(QStringLiteral("A host name is looked up when the receiver reads the list. With a certificate subject "
                                           "(as \"CN=modality1,O=Hospital\") only a TLS association whose peer certificate has it is admitted."),
                            this);
    hint->setWordWrap(true);
    l->addWidget(hint);
    auto *buttons = new QHBoxLayout;
    cmdApply = new QPushButton(partner.id == 0 ? QStringLiteral("Add") : QStringLiteral("Apply"), this);
    cmdApply->setObjectName(QStringLiteral("cmdKnownApply"));
    cmdApply->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdKnownCancel"));
    buttons->addStretch();
    buttons->addWidget(cmdApply);
    buttons->addWidget(cmdCancel);
    l->addLayout(buttons);
    connect(cmdApply, &QPushButton::clicked, this, &KnownPartnerEditor::cmdApply_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void KnownPartnerEditor::cmdApply_Click()
{
    const QString problem = CheckKnownPartnerFields(txtAet->text(), txtHost->text(), txtSubject->text(), chkStore->isChecked(), chkEcho->isChecked());
    if (!problem.isEmpty()) {
        prompter_.information(this, problem, windowTitle());
        return;
    }
    KnownPartner p;
    p.id = id_;
    p.aet = txtAet->text().trimmed();
    p.host = txtHost->text().trimmed();
    p.subject = txtSubject->text().trimmed();
    p.mayStore = chkStore->isChecked();
    p.mayEcho = chkEcho->isChecked();
    if (const Result r = SaveKnownPartner(p); !r.ok()) {
        LogFailure(r, QStringLiteral("KnownPartnerEditor cmdApply_Click"));
        prompter_.critical(this, QStringLiteral("Error #%1: %2").arg(r.number).arg(r.text), windowTitle());
        return;
    }
    accept();
}

KnownPartnerList::KnownPartnerList(QTreeWidget *list, Prompter &prompter) : QObject(list), list_(list), prompter_(prompter)
{
    list_->setHeaderLabels({QStringLiteral("Calling AE title"), QStringLiteral("Host"), QStringLiteral("Certificate subject"),
                            QStringLiteral("Store"), QStringLiteral("Echo")});
    list_->setRootIsDecorated(false);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    menu_ = new QMenu(list_);
    menu_->setObjectName(QStringLiteral("PopupKnownPartner"));
    actAdd = menu_->addAction(QStringLiteral("Add ..."), this, &KnownPartnerList::addPartner);
    actEdit = menu_->addAction(QStringLiteral("Edit ..."), this, [this] { editPartner(currentRow()); });
    actRemove = menu_->addAction(QStringLiteral("Remove"), this, [this] { removePartner(currentRow()); });
    connect(list_, &QTreeWidget::customContextMenuRequested, this, &KnownPartnerList::showMenuAt);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) { editPartner(list_->indexOfTopLevelItem(item)); });
}

int KnownPartnerList::currentRow() const
{
    QTreeWidgetItem *item = list_->currentItem();
    return item ? list_->indexOfTopLevelItem(item) : -1;
}

void KnownPartnerList::update()
{
    const KnownPartnerRows read = ReadKnownPartners(DefinitionsDatabase);
    if (!read.ok())
        LogFailure(read, QStringLiteral("OptionForm known partners"));
    rows_ = read.partners;
    list_->setUpdatesEnabled(false);
    list_->clear();
    for (const KnownPartner &p : rows_)
        list_->addTopLevelItem(new QTreeWidgetItem(QStringList{p.aet, p.host, p.subject, p.mayStore ? QStringLiteral("yes") : QStringLiteral("no"),
                                                               p.mayEcho ? QStringLiteral("yes") : QStringLiteral("no")}));
    list_->setUpdatesEnabled(true);
}

void KnownPartnerList::showMenuAt(const QPoint &pos)
{
    QTreeWidgetItem *item = list_->itemAt(pos);
    if (item)
        list_->setCurrentItem(item);
    actEdit->setEnabled(item != nullptr);
    actRemove->setEnabled(item != nullptr);
    menu_->popup(list_->viewport()->mapToGlobal(pos));
}

void KnownPartnerList::openEditor(const KnownPartner &partner)
{
    KnownPartnerEditor editor(list_->window(), prompter_, partner);
    runEditor(editor);
    if (editor.result() == QDialog::Accepted) {
        update();
        emit changed();
    }
}

void KnownPartnerList::addPartner() { openEditor({}); }

void KnownPartnerList::addFrom(const PartnerAddress &address)
{
    KnownPartner p;
    p.aet = address.aet.trimmed();
    p.host = address.ip.trimmed();
    openEditor(p);
}

void KnownPartnerList::editPartner(int row)
{
    if (row < 0 || row >= rows_.size())
        return;
    openEditor(rows_[row]);
}

void KnownPartnerList::removePartner(int row)
{
    if (row < 0 || row >= rows_.size())
        return;
    const KnownPartner p = rows_[row];
    if (!prompter_.confirm(list_, QStringLiteral("Remove the known partner %1 at %2? The receiver no longer admits it when only known partners may "
                                                 "store and echo.")
                                      .arg(p.aet, p.host),
                           QStringLiteral("Known partners")))
        return;
    if (const Result r = DeleteKnownPartner(p.id); !r.ok()) {
        LogFailure(r, QStringLiteral("OptionForm remove known partner"));
        prompter_.critical(list_, QStringLiteral("Error #%1: %2").arg(r.number).arg(r.text), QStringLiteral("Known partners"));
        return;
    }
    update();
    emit changed();
}
