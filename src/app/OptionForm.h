#pragma once

#include "app/Companions.h"
#include "app/SerialPorts.h"

#include <QDialog>
#include <QMap>
#include <array>
#include <functional>

class QCheckBox;
class StoragePartnerList;
class KnownPartnerList;
class QComboBox;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class FilterArea;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QToolButton;
class QTreeView;
class QTreeWidget;
class Prompter;

// "Options": edits the settings record, controls the companion programs and
// hosts the storage partners and the modality filters. Modeless; one instance.
class OptionForm : public QDialog {
    Q_OBJECT

public:
    explicit OptionForm(Prompter &prompter, QWidget *parent = nullptr);

    // Reads the settings into the fields, points the databases at their files,
    // lists the filters, tests the serial ports and shows the companions' state.
    void Form_Load();

    // Whether serial port number 1..8 can be opened.
    static bool PortTest(int port);
    // Lists the numbered ports that open and the machine's other serial
    // devices; a hint where none can be chosen.
    void existComPorts();
    // Where the port list comes from: the machine's devices and whether one
    // opens. A test hands in others (a USB adapter this machine lacks).
    std::function<QList<SerialDevice>()> serialDevices = MachineSerialDevices;
    std::function<bool(const QString &)> deviceOpens = SerialDeviceOpens;
    void RefreshCompanionStatus();

    // The field handlers, callable from tests as the buttons call them.
    void UpDown1_Up(int index);
    void UpDown1_Down(int index);
    void chkWindow_Click();
    void chkAutoValue_Click();
    void cmdOK_Click();
    void cmdCancel_Click();
    void cmdStart_Click(int index);
    void cmdStop_Click(int index);
    void chooseColour(QLineEdit *field);
    // What the colour dialog does to a colour field (0x00BBGGRR).
    void setColourField(QLineEdit *field, qint32 bgr);

    // The companions the Communication tab starts and stops: the main
    // window's once it has one, until then the dialog's own.
    Companions &companions() { return *companions_; }
    void setCompanions(Companions &companions) { companions_ = &companions; }

    // The tab of the receiver's acceptance ticks and known partners.
    static constexpr int KnownPartnersTab = 5;

    // The serial parameter lists, in list order.
    static const QStringList &SpeedList();

signals:
    // OK stored the fields; the main window is to be shown. onePartner: the
    // partner list holds exactly one partner.
    void confirmed(bool onePartner);
    // Cancel closed the dialog without storing anything.
    void cancelled();
    // The active filter's attributes changed; the header view shows them at once.
    void activeFilterChanged(const QMap<QString, QString> &tags);
    // Attributes joined a filter.
    void visibleTagsChanged();
    // A storage partner was stored, removed or made the default.
    void partnersChanged();

public:
    // The known partners' list and its editor runner, for the tests' clicks.
    KnownPartnerList &knownPartners() { return *known_; }
    StoragePartnerList &storagePartners() { return *partners_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void reject() override;

private:
    Prompter &prompter_; // the partner list's and the filter area's
    void buildGeneralTab(QWidget *tab);
    void buildCommunicationTab(QWidget *tab);
    void buildFilterTab(QWidget *tab);
    void buildCommPortTab(QWidget *tab);
    void buildWorklistTab(QWidget *tab);
    void buildAcceptanceTab(QWidget *tab);
    void buildSecurityTab(QWidget *tab);
    // The receiver's ports and the TLS files into the settings file, where the receiver reads them.
    void writeReceiverSettings();
    // The receiver's fields and the TLS files into the settings record.
    void takeReceiverFields();
    qint32 colourOf(const QLineEdit *field) const;
    void setPortChecked(int index);

    QTabWidget *tabs = nullptr;
    // General
    QCheckBox *chkClient = nullptr;
    QLineEdit *txtdbPath = nullptr;
    QPushButton *cmddbPath = nullptr;
    QCheckBox *chkModify = nullptr;
    QCheckBox *chkDebug = nullptr;
    QCheckBox *chkKeepImages = nullptr;
    QCheckBox *chkEditAndSend = nullptr;
    std::array<QLineEdit *, 2> txtRC{};
    std::array<QToolButton *, 2> UpDown1Up{};
    std::array<QToolButton *, 2> UpDown1Down{};
    QLineEdit *txtBackground = nullptr;
    QLineEdit *txtMarker = nullptr;
    QCheckBox *chkWindow = nullptr;
    QCheckBox *chkAutoValue = nullptr;
    QLineEdit *txtWidth = nullptr;
    QLineEdit *txtCenter = nullptr;
    QRadioButton *optSophie = nullptr;
    QRadioButton *optGiotto = nullptr;
    QRadioButton *optLoradM4 = nullptr;
    QRadioButton *optGESeno = nullptr;
    QRadioButton *optHFE = nullptr;
    // Communication
    std::array<QLineEdit *, 2> txtIR{};
    QLineEdit *txtForPort = nullptr;
    QCheckBox *chkIRTLS = nullptr;      // listen with TLS
    QLineEdit *txtIRTLSPort = nullptr;  // on this port
    QCheckBox *chkIRPlain = nullptr;    // the plain port stays open
    std::array<QLineEdit *, 2> txtStatus{};
    std::array<QPushButton *, 2> cmdStart{};
    std::array<QPushButton *, 2> cmdStop{};
    QCheckBox *chkStopSvr = nullptr;
    QGroupBox *frmSCP = nullptr;
    QTreeWidget *lvSCP = nullptr;
    // Filter
    FilterArea *filters = nullptr;
    QComboBox *cboModality = nullptr;
    QTreeView *lvTags = nullptr; // the filter area's attributes
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdDelete = nullptr;
    QPushButton *cmdNew = nullptr;
    QPushButton *cmdDelMod = nullptr;
    QPushButton *cmdActivate = nullptr;
    // Comm Port; object names keep the numbered names (Combo1, Option1_0, Text1 ...)
    QComboBox *speedCombo = nullptr;
    QComboBox *parityCombo = nullptr;
    QComboBox *dataBitsCombo = nullptr;
    QComboBox *stopBitsCombo = nullptr;
    QComboBox *handshakeCombo = nullptr;
    std::array<QRadioButton *, 8> portOptions{};
    // The machine's devices behind no number (optDevice0 ...), with their paths.
    QList<QRadioButton *> deviceOptions;
    QStringList deviceOptionPaths;
    QLayout *deviceOptionList = nullptr;
    QLabel *portHint = nullptr;
    QLineEdit *timeOutStartBox = nullptr;
    QLineEdit *timeOutEndBox = nullptr;
    // Worklist
    std::array<QLineEdit *, 4> txtWorklist{};
    // Known Partners: the receiver's association acceptance
    QCheckBox *chkCheckCalledAE = nullptr;
    QCheckBox *chkKnownOnly = nullptr;
    QTreeWidget *lvKnown = nullptr;
    QPushButton *cmdKnownAdd = nullptr;
    QPushButton *cmdKnownEdit = nullptr;
    QPushButton *cmdKnownRemove = nullptr;
    QCheckBox *chkWorklistTLS = nullptr;
    // Security: the station's key and certificate, the site's trusted certificates
    QLineEdit *txtTLSKey = nullptr;
    QLineEdit *txtTLSCert = nullptr;
    QLineEdit *txtTLSTrusted = nullptr;

    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

    StoragePartnerList *partners_ = nullptr; // over lvSCP, owned by it
    KnownPartnerList *known_ = nullptr;      // over lvKnown, owned by it
    Companions ownCompanions_;
    Companions *companions_ = &ownCompanions_;
};

// Whole-number fields of the dialog: a number of 1..10 for the viewer grid; a
// text that is not one keeps the previous value.
qint16 GridCountFromText(const QString &text, qint16 previous);
