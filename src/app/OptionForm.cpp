#include "app/OptionForm.h"

#include "app/Companions.h"
#include "app/SerialPorts.h"
#include "dose/XrayUnit.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "ui/Prompts.h"
#include "ui/UiColors.h"
#include "ui/Widgets.h"
#include "core/VbConvert.h"
#include "dictionary/DictionaryForms.h"
#include "dictionary/DictionaryStore.h"
#include "network/KnownPartnerForms.h"
#include "network/PartnerForms.h"
#include "store/DatabasePaths.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSerialPort>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QStringList kParity{QStringLiteral("E"), QStringLiteral("M"), QStringLiteral("N"), QStringLiteral("O"), QStringLiteral("S")};
const QStringList kDataBits{QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8")};
const QStringList kStopBits{QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
// In the order of the stored ComPort\Flux 0..3.
const QStringList kHandshake{QStringLiteral("None"), QStringLiteral("XOn/XOff"), QStringLiteral("RTS/CTS"), QStringLiteral("RTS/CTS and XOn/XOff")};

void setIndex(QComboBox *box, int index)
{
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

} // namespace

const QStringList &OptionForm::SpeedList()
{
    static const QStringList speeds{QStringLiteral("110"), QStringLiteral("300"), QStringLiteral("600"), QStringLiteral("1200"),
                                    QStringLiteral("2400"), QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("14400"),
                                    QStringLiteral("19200"), QStringLiteral("28800"), QStringLiteral("38400"), QStringLiteral("56000"),
                                    QStringLiteral("128000"), QStringLiteral("256000")};
    return speeds;
}

qint16 GridCountFromText(const QString &text, qint16 previous)
{
    const auto v = ToInt16(text);
    if (!v || *v < 1 || *v > 10)
        return previous;
    return *v;
}

OptionForm::OptionForm(Prompter &prompter, QWidget *parent) : QDialog(parent), prompter_(prompter)
{
    setObjectName(QStringLiteral("OptionForm"));
    setWindowTitle(QStringLiteral("Options"));
    setModal(false);
    auto *layout = new QVBoxLayout(this);
    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("tabs"));
    // Every tab in sight: the dialog is as wide as its tabs rather than hiding some behind arrows.
    tabs->setUsesScrollButtons(false);
    layout->addWidget(tabs);
    const QStringList names{QStringLiteral("General"), QStringLiteral("Communication"), QStringLiteral("Filter"),
                            QStringLiteral("Comm Port"), QStringLiteral("Worklist"), QStringLiteral("Known Partners"),
                            QStringLiteral("Security")};
    for (const QString &n : names)
        tabs->addTab(new QWidget(tabs), n);
    buildGeneralTab(tabs->widget(0));
    buildCommunicationTab(tabs->widget(1));
    buildFilterTab(tabs->widget(2));
    buildCommPortTab(tabs->widget(3));
    buildWorklistTab(tabs->widget(4));
    buildAcceptanceTab(tabs->widget(KnownPartnersTab));
    buildSecurityTab(tabs->widget(KnownPartnersTab + 1));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdOK->setAutoDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    layout->addLayout(buttons);
    connect(cmdOK, &QPushButton::clicked, this, &OptionForm::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &OptionForm::cmdCancel_Click);
    connect(tabs, &QTabWidget::currentChanged, this, [this](int i) {
        if (tabs->tabText(i) == QLatin1String("Communication"))
            RefreshCompanionStatus();
    });
    resize(620, 520);
    // The storage partners are kept in the dialog's own list; the send menus follow a change.
    partners_ = new StoragePartnerList(lvSCP, prompter_);
    connect(partners_, &StoragePartnerList::partnersChanged, this, &OptionForm::partnersChanged);
    known_ = new KnownPartnerList(lvKnown, prompter_);
    connect(cmdKnownAdd, &QPushButton::clicked, known_, &KnownPartnerList::addPartner);
    connect(cmdKnownEdit, &QPushButton::clicked, known_, [this] { known_->editPartner(known_->currentRow()); });
    connect(cmdKnownRemove, &QPushButton::clicked, known_, [this] { known_->removePartner(known_->currentRow()); });
    // A storage partner offered from its row opens the editor of a new known partner, filled in.
    connect(partners_, &StoragePartnerList::addToKnownPartners, this, [this](const PartnerAddress &address) {
        tabs->setCurrentIndex(KnownPartnersTab);
        known_->addFrom(address);
    });
}

void OptionForm::buildGeneralTab(QWidget *tab)
{
    auto *grid = new QGridLayout(tab);
    chkClient = new QCheckBox(QStringLiteral("Run as Dosis Client"), tab);
    chkClient->setObjectName(QStringLiteral("chkClient"));
    chkModify = new QCheckBox(QStringLiteral("Modify image header"), tab);
    chkModify->setObjectName(QStringLiteral("chkModify"));
    chkDebug = new QCheckBox(QStringLiteral("Activate debug logging"), tab);
    chkDebug->setObjectName(QStringLiteral("chkDebug"));
    auto *db = new QHBoxLayout;
    txtdbPath = NamedLineEdit(tab, QStringLiteral("txtdbPath"));
    cmddbPath = new QPushButton(QStringLiteral("..."), tab);
    cmddbPath->setObjectName(QStringLiteral("cmddbPath"));
    cmddbPath->setAutoDefault(false);
    db->addWidget(new QLabel(QStringLiteral("Database:"), tab));
    db->addWidget(txtdbPath, 1);
    db->addWidget(cmddbPath);
    connect(cmddbPath, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Exposure database"), txtdbPath->text(),
                                                          QStringLiteral("Database (*.dat);;All files (*)"));
        if (!file.isEmpty())
            txtdbPath->setText(file);
    });
    grid->addWidget(chkClient, 0, 0);
    grid->addLayout(db, 1, 0, 1, 2);
    grid->addWidget(chkModify, 2, 0);
    grid->addWidget(chkDebug, 3, 0);

    auto *handling = new QGroupBox(QStringLiteral("Image handling"), tab);
    auto *hl = new QVBoxLayout(handling);
    chkKeepImages = new QCheckBox(QStringLiteral("Keep images in database after transfer"), handling);
    chkKeepImages->setObjectName(QStringLiteral("chkKeepImages"));
    chkEditAndSend = new QCheckBox(QStringLiteral("Send active images after task execution"), handling);
    chkEditAndSend->setObjectName(QStringLiteral("chkEditAndSend"));
    hl->addWidget(chkKeepImages);
    hl->addWidget(chkEditAndSend);
    grid->addWidget(handling, 4, 0, 1, 2);

    auto *preview = new QGroupBox(QStringLiteral("DICOM Preview Window"), tab);
    auto *pl = new QGridLayout(preview);
    const QStringList rc{QStringLiteral("Rows:"), QStringLiteral("Columns:")};
    for (int i = 0; i < 2; ++i) {
        txtRC[i] = NamedLineEdit(preview, QStringLiteral("txtRC%1").arg(i));
        txtRC[i]->setMaximumWidth(50);
        UpDown1Up[i] = new QToolButton(preview);
        UpDown1Up[i]->setObjectName(QStringLiteral("UpDown1Up%1").arg(i));
        UpDown1Up[i]->setArrowType(Qt::UpArrow);
        UpDown1Down[i] = new QToolButton(preview);
        UpDown1Down[i]->setObjectName(QStringLiteral("UpDown1Down%1").arg(i));
        UpDown1Down[i]->setArrowType(Qt::DownArrow);
        connect(UpDown1Up[i], &QToolButton::clicked, this, [this, i] { UpDown1_Up(i); });
        connect(UpDown1Down[i], &QToolButton::clicked, this, [this, i] { UpDown1_Down(i); });
        pl->addWidget(new QLabel(rc[i], preview), i, 0);
        pl->addWidget(txtRC[i], i, 1);
        pl->addWidget(UpDown1Up[i], i, 2);
        pl->addWidget(UpDown1Down[i], i, 3);
    }
    txtBackground = NamedLineEdit(preview, QStringLiteral("txtBackground"));
    txtMarker = NamedLineEdit(preview, QStringLiteral("txtMarker"));
    for (QLineEdit *e : {txtBackground, txtMarker}) {
        e->setReadOnly(true);
        e->setCursor(Qt::PointingHandCursor);
        e->installEventFilter(this);
        e->setMaximumWidth(80);
    }
    pl->addWidget(new QLabel(QStringLiteral("Background Colour:"), preview), 0, 4);
    pl->addWidget(txtBackground, 0, 5);
    pl->addWidget(new QLabel(QStringLiteral("Foreground Colour:"), preview), 1, 4);
    pl->addWidget(txtMarker, 1, 5);
    chkWindow = new QCheckBox(QStringLiteral("Overwrite Window Width / Center values"), preview);
    chkWindow->setObjectName(QStringLiteral("chkWindow"));
    chkAutoValue = new QCheckBox(QStringLiteral("compute values"), preview);
    chkAutoValue->setObjectName(QStringLiteral("chkAutoValue"));
    txtWidth = NamedLineEdit(preview, QStringLiteral("txtWidth"));
    txtCenter = NamedLineEdit(preview, QStringLiteral("txtCenter"));
    connect(chkWindow, &QCheckBox::clicked, this, &OptionForm::chkWindow_Click);
    connect(chkAutoValue, &QCheckBox::clicked, this, &OptionForm::chkAutoValue_Click);
    pl->addWidget(chkWindow, 2, 0, 1, 6);
    pl->addWidget(chkAutoValue, 3, 0, 1, 3);
    auto *wc = new QHBoxLayout;
    wc->addWidget(new QLabel(QStringLiteral("Width / Center"), preview));
    wc->addWidget(txtWidth);
    wc->addWidget(txtCenter);
    pl->addLayout(wc, 4, 0, 1, 6);
    grid->addWidget(preview, 5, 0, 1, 2);

    auto *unit = new QGroupBox(QStringLiteral("X-ray unit"), tab);
    auto *ul = new QHBoxLayout(unit);
    optSophie = new QRadioButton(XrayUnitTypeName(1), unit);
    optSophie->setObjectName(QStringLiteral("optSophie"));
    optGiotto = new QRadioButton(XrayUnitTypeName(2), unit);
    optGiotto->setObjectName(QStringLiteral("optGiotto"));
    optLoradM4 = new QRadioButton(XrayUnitTypeName(3), unit);
    optLoradM4->setObjectName(QStringLiteral("optLoradM4"));
    optGESeno = new QRadioButton(XrayUnitTypeName(4), unit);
    optGESeno->setObjectName(QStringLiteral("optGESeno"));
    optHFE = new QRadioButton(XrayUnitTypeName(5), unit);
    optHFE->setObjectName(QStringLiteral("optHFE"));
    const std::array<QRadioButton *, 5> units{optSophie, optGiotto, optLoradM4, optGESeno, optHFE};
    for (int i = 0; i < 5; ++i) {
        ul->addWidget(units[i]);
        // The unit type takes effect in the record at once.
        connect(units[i], &QRadioButton::clicked, this, [i] { Settings.XrayComm = static_cast<qint16>(i + 1); });
    }
    grid->addWidget(unit, 6, 0, 1, 2);
    grid->setRowStretch(7, 1);
}

void OptionForm::buildCommunicationTab(QWidget *tab)
{
    auto *grid = new QGridLayout(tab);
    auto *receiver = new QGroupBox(QStringLiteral("OrvanaMammo Receiver"), tab);
    auto *rl = new QFormLayout(receiver);
    txtIR[0] = NamedLineEdit(receiver, QStringLiteral("txtIR0"));
    txtIR[1] = NamedLineEdit(receiver, QStringLiteral("txtIR1"));
    txtIR[1]->installEventFilter(this);
    txtIR[1]->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), txtIR[1]));
    rl->addRow(QStringLiteral("AET:"), txtIR[0]);
    rl->addRow(QStringLiteral("Port:"), txtIR[1]);
    txtForPort = NamedLineEdit(receiver, QStringLiteral("txtForPort"));
    rl->addRow(QStringLiteral("Forward Port:"), txtForPort);
    chkIRTLS = new QCheckBox(QStringLiteral("Listen with TLS on port:"), receiver);
    chkIRTLS->setObjectName(QStringLiteral("chkIRTLS"));
    txtIRTLSPort = NamedLineEdit(receiver, QStringLiteral("txtIRTLSPort"));
    txtIRTLSPort->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), txtIRTLSPort));
    rl->addRow(chkIRTLS, txtIRTLSPort);
    chkIRPlain = new QCheckBox(QStringLiteral("Keep the plain (unencrypted) port open"), receiver);
    chkIRPlain->setObjectName(QStringLiteral("chkIRPlain"));
    rl->addRow(QString(), chkIRPlain);
    // Closing the plain port leaves only TLS: without it nothing would listen.
    auto tlsChanged = [this] {
        txtIRTLSPort->setEnabled(chkIRTLS->isChecked());
        chkIRPlain->setEnabled(chkIRTLS->isChecked());
        if (!chkIRTLS->isChecked())
            chkIRPlain->setChecked(true);
    };
    connect(chkIRTLS, &QCheckBox::toggled, this, tlsChanged);
    grid->addWidget(receiver, 0, 0);

    const QStringList frames{QStringLiteral("OrvanaMammo Receiver Control"), QStringLiteral("OrvanaMammo Data Manager Control")};
    for (int i = 0; i < 2; ++i) {
        auto *box = new QGroupBox(frames[i], tab);
        auto *bl = new QGridLayout(box);
        txtStatus[i] = NamedLineEdit(box, QStringLiteral("txtStatus%1").arg(i));
        txtStatus[i]->setReadOnly(true);
        cmdStart[i] = new QPushButton(QStringLiteral("Start"), box);
        cmdStart[i]->setObjectName(QStringLiteral("cmdStart%1").arg(i));
        cmdStop[i] = new QPushButton(QStringLiteral("Stop"), box);
        cmdStop[i]->setObjectName(QStringLiteral("cmdStop%1").arg(i));
        cmdStart[i]->setAutoDefault(false);
        cmdStop[i]->setAutoDefault(false);
        connect(cmdStart[i], &QPushButton::clicked, this, [this, i] { cmdStart_Click(i); });
        connect(cmdStop[i], &QPushButton::clicked, this, [this, i] { cmdStop_Click(i); });
        bl->addWidget(new QLabel(QStringLiteral("Status:"), box), 0, 0);
        bl->addWidget(txtStatus[i], 0, 1);
        bl->addWidget(cmdStart[i], 0, 2);
        bl->addWidget(cmdStop[i], 0, 3);
        if (i == 1) {
            chkStopSvr = new QCheckBox(QStringLiteral("stop services on exit"), box);
            chkStopSvr->setObjectName(QStringLiteral("chkStopSvr"));
            bl->addWidget(chkStopSvr, 1, 0, 1, 4);
        }
        grid->addWidget(box, i + 1, 0);
    }

    frmSCP = new QGroupBox(QStringLiteral("Storage Class Providers"), tab);
    frmSCP->setObjectName(QStringLiteral("frmSCP"));
    auto *sl = new QVBoxLayout(frmSCP);
    lvSCP = new QTreeWidget(frmSCP);
    lvSCP->setObjectName(QStringLiteral("lvSCP"));
    lvSCP->setRootIsDecorated(false);
    lvSCP->setHeaderLabels({QStringLiteral("Alias"), QStringLiteral("AET"), QStringLiteral("IP"), QStringLiteral("Port"), QStringLiteral("Default"),
                            QStringLiteral("TLS")});
    FitColumnsToContents(lvSCP);
    sl->addWidget(lvSCP);
    grid->addWidget(frmSCP, 3, 0);
    grid->setRowStretch(3, 1);
}

void OptionForm::buildFilterTab(QWidget *tab)
{
    auto *grid = new QGridLayout(tab);
    cboModality = new QComboBox(tab);
    cboModality->setObjectName(QStringLiteral("cboModality"));
    filters = new FilterArea(this, prompter_);
    lvTags = new QTreeView(tab);
    lvTags->setObjectName(QStringLiteral("lvTags"));
    lvTags->setRootIsDecorated(false);
    lvTags->setModel(filters->tags());
    lvTags->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvTags->setSelectionMode(QAbstractItemView::ExtendedSelection);
    cmdNew = new QPushButton(QStringLiteral("New ..."), tab);
    cmdNew->setObjectName(QStringLiteral("cmdNew"));
    cmdDelMod = new QPushButton(QStringLiteral("Delete"), tab);
    cmdDelMod->setObjectName(QStringLiteral("cmdDelMod"));
    cmdAdd = new QPushButton(QStringLiteral("add ..."), tab);
    cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    cmdDelete = new QPushButton(QStringLiteral("remove"), tab);
    cmdDelete->setObjectName(QStringLiteral("cmdDelete"));
    cmdActivate = new QPushButton(QStringLiteral("activate"), tab);
    cmdActivate->setObjectName(QStringLiteral("cmdActivate"));
    for (QPushButton *b : {cmdNew, cmdDelMod, cmdAdd, cmdDelete, cmdActivate})
        b->setAutoDefault(false);
    grid->addWidget(new QLabel(QStringLiteral("Name of filter:"), tab), 0, 0);
    grid->addWidget(cboModality, 0, 1);
    grid->addWidget(cmdNew, 0, 2);
    grid->addWidget(cmdDelMod, 0, 3);
    grid->addWidget(lvTags, 1, 0, 4, 2);
    grid->addWidget(cmdAdd, 1, 2);
    grid->addWidget(cmdDelete, 2, 2);
    grid->addWidget(cmdActivate, 3, 2);
    grid->setRowStretch(4, 1);
    connect(filters, &FilterArea::filtersChanged, this, [this](const QStringList &names) {
        cboModality->clear();
        cboModality->addItems(names);
        cboModality->setCurrentIndex(-1);
    });
    connect(filters, &FilterArea::activatable, cmdActivate, &QWidget::setEnabled);
    connect(cboModality, &QComboBox::activated, this, [this] { filters->cboModality_Click(cboModality->currentText()); });
    connect(cmdNew, &QPushButton::clicked, filters, &FilterArea::cmdNew_Click);
    connect(cmdDelMod, &QPushButton::clicked, filters, &FilterArea::cmdDelMod_Click);
    connect(cmdAdd, &QPushButton::clicked, filters, &FilterArea::cmdAdd_Click);
    connect(cmdDelete, &QPushButton::clicked, this, [this] {
        QList<int> rows;
        for (const QModelIndex &row : lvTags->selectionModel()->selectedRows())
            rows << row.row();
        filters->cmdDelete_Click(rows);
    });
    connect(cmdActivate, &QPushButton::clicked, filters, &FilterArea::cmdActivate_Click);
    connect(filters, &FilterArea::activeFilterChanged, this, &OptionForm::activeFilterChanged);
    connect(filters, &FilterArea::visibleTagsChanged, this, &OptionForm::visibleTagsChanged);
}

void OptionForm::buildCommPortTab(QWidget *tab)
{
    auto *grid = new QGridLayout(tab);
    auto *params = new QGroupBox(QStringLiteral("Parameter"), tab);
    auto *pl = new QFormLayout(params);
    speedCombo = new QComboBox(params);
    speedCombo->setObjectName(QStringLiteral("Combo1"));
    speedCombo->addItems(SpeedList());
    parityCombo = new QComboBox(params);
    parityCombo->setObjectName(QStringLiteral("Combo2"));
    parityCombo->addItems(kParity);
    dataBitsCombo = new QComboBox(params);
    dataBitsCombo->setObjectName(QStringLiteral("Combo3"));
    dataBitsCombo->addItems(kDataBits);
    stopBitsCombo = new QComboBox(params);
    stopBitsCombo->setObjectName(QStringLiteral("Combo4"));
    stopBitsCombo->addItems(kStopBits);
    handshakeCombo = new QComboBox(params);
    handshakeCombo->setObjectName(QStringLiteral("Combo5"));
    handshakeCombo->addItems(kHandshake);
    pl->addRow(QStringLiteral("Speed :"), speedCombo);
    pl->addRow(QStringLiteral("Parity :"), parityCombo);
    pl->addRow(QStringLiteral("Bits :"), dataBitsCombo);
    pl->addRow(QStringLiteral("Stop Bits :"), stopBitsCombo);
    pl->addRow(QStringLiteral("Handshake :"), handshakeCombo);
    grid->addWidget(params, 0, 0);

    auto *ports = new QGroupBox(QStringLiteral("Select Port"), tab);
    auto *ol = new QVBoxLayout(ports);
    for (int i = 0; i < 8; ++i) {
        portOptions[i] = new QRadioButton(QStringLiteral("Comm%1").arg(i + 1), ports);
        portOptions[i]->setObjectName(QStringLiteral("Option1_%1").arg(i));
        portOptions[i]->setAutoExclusive(false); // "none checked" must be possible
        connect(portOptions[i], &QRadioButton::clicked, this, [this, i] { setPortChecked(i); });
        ol->addWidget(portOptions[i]);
    }
    deviceOptionList = new QVBoxLayout;
    ol->addLayout(deviceOptionList);
    portHint = new QLabel(ports);
    portHint->setObjectName(QStringLiteral("lblPortHint"));
    portHint->setWordWrap(true);
    portHint->setText(QStringLiteral("No serial port can be opened. Connect the X-ray unit's serial line or a USB serial adapter "
                                     "and open the options again. An account outside the group \"dialout\" cannot open serial "
                                     "devices. Comm1 to Comm8 are the devices ComPort\\Device1 to Device8 of LumoraStation.ini "
                                     "(Comm1: /dev/ttyS0 unless set)."));
    ol->addWidget(portHint);
    ol->addStretch();
    grid->addWidget(ports, 0, 1);

    auto *timeouts = new QGroupBox(QStringLiteral("Time Out"), tab);
    auto *tl = new QFormLayout(timeouts);
    timeOutStartBox = NamedLineEdit(timeouts, QStringLiteral("Text1"));
    timeOutEndBox = NamedLineEdit(timeouts, QStringLiteral("Text2"));
    tl->addRow(QStringLiteral("Duration of the time out beginning in second :"), timeOutStartBox);
    tl->addRow(QStringLiteral("Duration of the end time out in second :"), timeOutEndBox);
    grid->addWidget(timeouts, 1, 0, 1, 2);
    grid->setRowStretch(2, 1);
}

void OptionForm::buildWorklistTab(QWidget *tab)
{
    auto *grid = new QVBoxLayout(tab);
    auto *auth = new QGroupBox(QStringLiteral("Worklist provider"), tab);
    auto *al = new QFormLayout(auth);
    const QStringList labels{QStringLiteral("Local AET:"), QStringLiteral("Remote AET:"), QStringLiteral("Remote Node:"), QStringLiteral("Remote Port:")};
    for (int i = 0; i < 4; ++i) {
        txtWorklist[i] = NamedLineEdit(auth, QStringLiteral("txtWorklist%1").arg(i));
        al->addRow(labels[i], txtWorklist[i]);
    }
    chkWorklistTLS = new QCheckBox(QStringLiteral("Use TLS (DICOM over TLS)"), auth);
    chkWorklistTLS->setObjectName(QStringLiteral("chkWorklistTLS"));
    al->addRow(QString(), chkWorklistTLS);
    grid->addWidget(auth);
    grid->addStretch();
}

void OptionForm::buildAcceptanceTab(QWidget *tab)
{
    auto *l = new QVBoxLayout(tab);
    auto *policy = new QGroupBox(QStringLiteral("OrvanaMammo Receiver: who may store and echo"), tab);
    auto *pl = new QVBoxLayout(policy);
    chkCheckCalledAE = new QCheckBox(QStringLiteral("Check the called AE title"), policy);
    chkCheckCalledAE->setObjectName(QStringLiteral("chkCheckCalledAE"));
    chkKnownOnly = new QCheckBox(QStringLiteral("Known partners only"), policy);
    chkKnownOnly->setObjectName(QStringLiteral("chkKnownOnly"));
    auto *hint = new QLabel(QStringLiteral("Unticked, the receiver accepts any called AE title, and any calling AE title from any host. "
                                           "Ticked, an association addressed to another AE title than the receiver's, or from a partner "
                                           "not listed below, is rejected and logged. The receiver applies a change at its next association."),
                            policy);
    hint->setWordWrap(true);
    pl->addWidget(chkCheckCalledAE);
    pl->addWidget(chkKnownOnly);
    pl->addWidget(hint);
    l->addWidget(policy);
    auto *listBox = new QGroupBox(QStringLiteral("Known partners"), tab);
    auto *ll = new QGridLayout(listBox);
    lvKnown = new QTreeWidget(listBox);
    lvKnown->setObjectName(QStringLiteral("lvKnown"));
    FitColumnsToContents(lvKnown);
    cmdKnownAdd = new QPushButton(QStringLiteral("Add ..."), listBox);
    cmdKnownAdd->setObjectName(QStringLiteral("cmdKnownAdd"));
    cmdKnownEdit = new QPushButton(QStringLiteral("Edit ..."), listBox);
    cmdKnownEdit->setObjectName(QStringLiteral("cmdKnownEdit"));
    cmdKnownRemove = new QPushButton(QStringLiteral("Remove"), listBox);
    cmdKnownRemove->setObjectName(QStringLiteral("cmdKnownRemove"));
    for (QPushButton *b : {cmdKnownAdd, cmdKnownEdit, cmdKnownRemove})
        b->setAutoDefault(false);
    ll->addWidget(lvKnown, 0, 0, 4, 1);
    ll->addWidget(cmdKnownAdd, 0, 1);
    ll->addWidget(cmdKnownEdit, 1, 1);
    ll->addWidget(cmdKnownRemove, 2, 1);
    ll->setRowStretch(3, 1);
    l->addWidget(listBox, 1);
}

void OptionForm::buildSecurityTab(QWidget *tab)
{
    auto *grid = new QVBoxLayout(tab);
    auto *files = new QGroupBox(QStringLiteral("DICOM over TLS"), tab);
    auto *fl = new QFormLayout(files);
    txtTLSKey = NamedLineEdit(files, QStringLiteral("txtTLSKey"));
    txtTLSCert = NamedLineEdit(files, QStringLiteral("txtTLSCert"));
    txtTLSTrusted = NamedLineEdit(files, QStringLiteral("txtTLSTrusted"));
    for (QLineEdit *e : {txtTLSKey, txtTLSCert, txtTLSTrusted})
        FitLineEdit(e, {QString::fromLatin1(DefaultTlsTrustedCertificates) + QStringLiteral("nnnnnnnnnn")});
    fl->addRow(QStringLiteral("Station's private key (PEM):"), txtTLSKey);
    fl->addRow(QStringLiteral("Station's certificate (PEM):"), txtTLSCert);
    fl->addRow(QStringLiteral("Trusted certificates (PEM):"), txtTLSTrusted);
    auto *note = new QLabel(QStringLiteral("Partners and senders are accepted only with a certificate that one of the "
                                           "trusted certificates vouches for. Profile: BCP 195 non-downgrading (TLS 1.2 or newer)."),
                            files);
    note->setWordWrap(true);
    fl->addRow(note);
    grid->addWidget(files);
    grid->addStretch();
}

void OptionForm::takeReceiverFields()
{
    Settings.IR_AET = txtIR[0]->text();
    Settings.IR_Port = txtIR[1]->text();
    Settings.IR_TLS = chkIRTLS->isChecked() ? 1 : 0;
    Settings.IR_TLS_Port = txtIRTLSPort->text().trimmed();
    Settings.IR_PlainPort = chkIRPlain->isChecked() ? 1 : 0;
    Settings.TLS_PrivateKey = txtTLSKey->text().trimmed();
    Settings.TLS_Certificate = txtTLSCert->text().trimmed();
    Settings.TLS_TrustedCertificates = txtTLSTrusted->text().trimmed();
}

void OptionForm::writeReceiverSettings()
{
    const QString root = QString::fromLatin1(SettingsRoot);
    takeReceiverFields();
    WriteSetting(root + QStringLiteral("Com\\IR_AET"), Settings.IR_AET);
    WriteSetting(root + QStringLiteral("Com\\IR_Port"), Settings.IR_Port);
    WriteSetting(root + QStringLiteral("Com\\IR_TLS"), QString::number(Settings.IR_TLS));
    WriteSetting(root + QStringLiteral("Com\\IR_TLS_Port"), Settings.IR_TLS_Port);
    WriteSetting(root + QStringLiteral("Com\\IR_PlainPort"), QString::number(Settings.IR_PlainPort));
    WriteSetting(root + QStringLiteral("Com\\TLS_PrivateKey"), Settings.TLS_PrivateKey);
    WriteSetting(root + QStringLiteral("Com\\TLS_Certificate"), Settings.TLS_Certificate);
    WriteSetting(root + QStringLiteral("Com\\TLS_TrustedCertificates"), Settings.TLS_TrustedCertificates);
}

void OptionForm::setPortChecked(int index)
{
    for (int i = 0; i < 8; ++i)
        portOptions[i]->setChecked(i == index);
    for (QRadioButton *option : deviceOptions)
        option->setChecked(false);
}

void OptionForm::setColourField(QLineEdit *field, qint32 bgr)
{
    field->setProperty("bgr", bgr);
    const QColor c = FromBgr(bgr);
    field->setStyleSheet(QStringLiteral("QLineEdit { background-color: %1; }").arg(c.name()));
}

qint32 OptionForm::colourOf(const QLineEdit *field) const { return field->property("bgr").toInt(); }

void OptionForm::chooseColour(QLineEdit *field)
{
    const QColor chosen = QColorDialog::getColor(FromBgr(colourOf(field)), this);
    if (chosen.isValid())
        setColourField(field, ToBgr(chosen));
}

bool OptionForm::eventFilter(QObject *watched, QEvent *event)
{
    if ((watched == txtBackground || watched == txtMarker) && event->type() == QEvent::MouseButtonRelease) {
        chooseColour(static_cast<QLineEdit *>(watched));
        return true;
    }
    if (watched == txtIR[1] && event->type() == QEvent::KeyPress) {
        // Typed characters other than digits and backspace are dropped.
        const auto *key = static_cast<QKeyEvent *>(event);
        const QString text = key->text();
        const bool control = text.isEmpty() || key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter
            || key->key() == Qt::Key_Escape || key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab
            || key->key() == Qt::Key_Backspace || (key->modifiers() & Qt::ControlModifier);
        if (!control && !(text.size() == 1 && text[0] >= QLatin1Char('0') && text[0] <= QLatin1Char('9')))
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

void OptionForm::Form_Load()
{
    LoadSettings();
    chkDebug->setChecked(Settings.Debug == 1);

    chkClient->setChecked(Settings.RunAsClient == 1);
    txtdbPath->setText(Settings.Database);
    chkModify->setChecked(Settings.ModifyImageHeader == 1);
    chkKeepImages->setChecked(Settings.SentAndKeep == 1);
    chkEditAndSend->setChecked(Settings.EditAndSend == 1);
    txtRC[0]->setText(QString::number(Settings.Viewer_Rows));
    txtRC[1]->setText(QString::number(Settings.Viewer_Columns));
    setColourField(txtBackground, Settings.Viewer_bgColor);
    setColourField(txtMarker, Settings.Viewer_fgColor);
    chkWindow->setChecked(Settings.AutoWindow == 1);
    chkAutoValue->setChecked(Settings.ComputeWindow == 1);
    txtWidth->setText(Settings.CustomWidth);
    txtCenter->setText(Settings.CustomCenter);
    chkWindow_Click();
    const std::array<QRadioButton *, 5> units{optSophie, optGiotto, optLoradM4, optGESeno, optHFE};
    for (int i = 0; i < 5; ++i)
        units[i]->setChecked(Settings.XrayComm == i + 1);
    txtIR[0]->setText(Settings.IR_AET);
    txtIR[1]->setText(Settings.IR_Port);
    txtForPort->setText(Settings.FOR_Port);
    chkIRTLS->setChecked(Settings.IR_TLS == 1);
    txtIRTLSPort->setText(Settings.IR_TLS_Port);
    chkIRPlain->setChecked(Settings.IR_PlainPort == 1 || Settings.IR_TLS != 1);
    txtIRTLSPort->setEnabled(chkIRTLS->isChecked());
    chkIRPlain->setEnabled(chkIRTLS->isChecked());
    chkWorklistTLS->setChecked(Settings.WorklistTLS == 1);
    txtTLSKey->setText(Settings.TLS_PrivateKey);
    txtTLSCert->setText(Settings.TLS_Certificate);
    txtTLSTrusted->setText(Settings.TLS_TrustedCertificates);
    chkStopSvr->setChecked(Settings.StopService == 1);
    chkCheckCalledAE->setChecked(Settings.CheckCalledAE == 1);
    chkKnownOnly->setChecked(Settings.KnownPartnersOnly == 1);
    setIndex(speedCombo, Settings.Speed);
    setIndex(parityCombo, Settings.Parity);
    setIndex(dataBitsCombo, Settings.Bit_Get);
    setIndex(stopBitsCombo, Settings.Bit_Put);
    setIndex(handshakeCombo, Settings.Flux);
    setPortChecked(Settings.Port - 1);
    timeOutStartBox->setText(QString::number(Settings.Time_Out_Start));
    timeOutEndBox->setText(QString::number(Settings.Time_Out_End));
    txtWorklist[0]->setText(Settings.LocalAET);
    txtWorklist[1]->setText(Settings.RemoteAET);
    txtWorklist[2]->setText(Settings.RemoteIP);
    txtWorklist[3]->setText(Settings.RemotePort);

    SetDatabasePaths();

    filters->FillFilterList();
    existComPorts();
    partners_->UpdateSCP();
    known_->update();
    RefreshCompanionStatus();
}

bool OptionForm::PortTest(int port)
{
    return SerialDeviceOpens(ComPortDevice(port));
}

void OptionForm::existComPorts()
{
    const QList<PortChoice> choices = PortChoices(Settings.ComDevice, serialDevices(), deviceOpens);
    for (int port = 1; port <= 8; ++port)
        portOptions[port - 1]->setVisible(false);
    qDeleteAll(deviceOptions);
    deviceOptions.clear();
    deviceOptionPaths.clear();
    bool any = false;
    for (const PortChoice &c : choices) {
        any = any || c.opens;
        if (c.slot > 0) {
            portOptions[c.slot - 1]->setText(c.caption);
            portOptions[c.slot - 1]->setVisible(true);
            continue;
        }
        auto *option = new QRadioButton(c.caption, portHint->parentWidget());
        option->setObjectName(QStringLiteral("optDevice%1").arg(deviceOptions.size()));
        option->setAutoExclusive(false);
        option->setEnabled(c.opens);
        const int index = int(deviceOptions.size());
        connect(option, &QRadioButton::clicked, this, [this, index] {
            setPortChecked(-1);
            deviceOptions[index]->setChecked(true);
        });
        deviceOptionList->addWidget(option);
        deviceOptions << option;
        deviceOptionPaths << c.device;
    }
    portHint->setVisible(!any);
}

void OptionForm::RefreshCompanionStatus()
{
    for (int i = 0; i < 2; ++i) {
        const bool alive = companions_->isRunning(Companions::Which(i));
        txtStatus[i]->setText(alive ? QStringLiteral("- started") : QStringLiteral("- stopped"));
        cmdStop[i]->setEnabled(alive);
        cmdStart[i]->setEnabled(!alive);
    }
}

void OptionForm::cmdStart_Click(int index)
{
    writeReceiverSettings();
    cmdStart[index]->setEnabled(false);
    txtStatus[index]->setText(QStringLiteral("- starting"));
    companions_->start(Companions::Which(index));
    RefreshCompanionStatus();
}

void OptionForm::cmdStop_Click(int index)
{
    cmdStop[index]->setEnabled(false);
    txtStatus[index]->setText(QStringLiteral("- stopping"));
    // "- stopping" until it has gone; the dialog stays usable meanwhile.
    companions_->stop(Companions::Which(index), this, [this] { RefreshCompanionStatus(); });
}

void OptionForm::UpDown1_Up(int index)
{
    const int n = txtRC[index]->text().toInt();
    if (n < 10)
        txtRC[index]->setText(QString::number(std::max(n + 1, 1)));
}

void OptionForm::UpDown1_Down(int index)
{
    const int n = txtRC[index]->text().toInt();
    if (n >= 2)
        txtRC[index]->setText(QString::number(std::min(n - 1, 10)));
}

void OptionForm::chkAutoValue_Click()
{
    const bool on = chkAutoValue->isChecked();
    txtWidth->setEnabled(!on);
    txtCenter->setEnabled(!on);
}

void OptionForm::chkWindow_Click()
{
    if (chkWindow->isChecked()) {
        chkAutoValue->setVisible(true);
        txtWidth->setEnabled(!chkAutoValue->isChecked());
        txtCenter->setEnabled(!chkAutoValue->isChecked());
    } else {
        chkAutoValue->setVisible(false);
        txtWidth->setEnabled(false);
        txtCenter->setEnabled(false);
    }
}

void OptionForm::cmdOK_Click()
{
    // Ticked over an empty list, the receiver would turn every sender away.
    if (chkKnownOnly->isChecked() && known_->rows().isEmpty()
        && !prompter_.confirm(this, QStringLiteral("No known partners are listed: with \"Known partners only\" the receiver rejects every "
                                                   "association. Keep it so?"),
                              windowTitle())) {
        tabs->setCurrentIndex(KnownPartnersTab);
        return;
    }
    Settings.RunAsClient = chkClient->isChecked() ? 1 : 0;
    Settings.Database = txtdbPath->text();
    Settings.ModifyImageHeader = chkModify->isChecked() ? 1 : 0;
    Settings.Debug = chkDebug->isChecked() ? 1 : 0;
    Settings.SentAndKeep = chkKeepImages->isChecked() ? 1 : 0;
    Settings.EditAndSend = chkEditAndSend->isChecked() ? 1 : 0;
    Settings.Viewer_Rows = GridCountFromText(txtRC[0]->text(), Settings.Viewer_Rows);
    Settings.Viewer_Columns = GridCountFromText(txtRC[1]->text(), Settings.Viewer_Columns);
    Settings.ImagesPerPage = static_cast<qint16>(Settings.Viewer_Rows * Settings.Viewer_Columns);
    Settings.Viewer_bgColor = colourOf(txtBackground);
    Settings.Viewer_fgColor = colourOf(txtMarker);
    Settings.AutoWindow = chkWindow->isChecked() ? 1 : 0;
    Settings.ComputeWindow = chkAutoValue->isChecked() ? 1 : 0;
    Settings.CustomWidth = txtWidth->text();
    Settings.CustomCenter = txtCenter->text();
    takeReceiverFields();
    Settings.WorklistTLS = chkWorklistTLS->isChecked() ? 1 : 0;
    Settings.FOR_Port = txtForPort->text();
    Settings.StopService = chkStopSvr->isChecked() ? 1 : 0;
    Settings.CheckCalledAE = chkCheckCalledAE->isChecked() ? 1 : 0;
    Settings.KnownPartnersOnly = chkKnownOnly->isChecked() ? 1 : 0;
    Settings.LocalAET = txtWorklist[0]->text();
    Settings.RemoteAET = txtWorklist[1]->text();
    Settings.RemoteIP = txtWorklist[2]->text();
    Settings.RemotePort = txtWorklist[3]->text();
    Settings.Speed = static_cast<qint16>(speedCombo->currentIndex());
    Settings.Parity = static_cast<qint16>(parityCombo->currentIndex());
    Settings.Bit_Get = static_cast<qint16>(dataBitsCombo->currentIndex());
    Settings.Bit_Put = static_cast<qint16>(stopBitsCombo->currentIndex());
    Settings.Flux = static_cast<qint16>(handshakeCombo->currentIndex());
    for (int i = 0; i < 8; ++i) {
        if (portOptions[i]->isChecked())
            Settings.Port = static_cast<qint16>(i + 1);
    }
    // A device behind no number goes behind the first number that offers nothing now.
    for (int i = 0; i < deviceOptions.size(); ++i) {
        if (!deviceOptions[i]->isChecked())
            continue;
        const int slot = FreePortSlot(Settings.ComDevice, deviceOpens);
        if (slot == 0) {
            prompter_.information(this, QStringLiteral("%1 cannot be chosen: Comm1 to Comm8 all stand for devices that open. "
                                                   "Set one of ComPort\\Device1 to Device8 in LumoraStation.ini to it.")
                                        .arg(deviceOptionPaths[i]),
                              windowTitle());
            break;
        }
        Settings.ComDevice[size_t(slot - 1)] = deviceOptionPaths[i];
        Settings.Port = static_cast<qint16>(slot);
    }
    Settings.Time_Out_Start = static_cast<qint16>(std::clamp(LeadingWholeNumber(timeOutStartBox->text()), -32768, 32767));
    Settings.Time_Out_End = static_cast<qint16>(std::clamp(LeadingWholeNumber(timeOutEndBox->text()), -32768, 32767));
    SaveSettings();
    const bool onePartner = lvSCP->topLevelItemCount() == 1;
    done(QDialog::Accepted);
    emit confirmed(onePartner);
}

void OptionForm::cmdCancel_Click()
{
    done(QDialog::Rejected);
    emit cancelled();
}

void OptionForm::reject() { cmdCancel_Click(); }
