#include "app/Workstation.h"

#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/Prompts.h"
#include "app/Settings.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "network/PartnerForms.h"
#include "toolkit/ToolkitNetwork.h"

#include <QLineEdit>
#include <QMenu>
#include <QTreeWidget>

Workstation::Workstation(MainForm &main) : QObject(&main), main_(main)
{
    attachExposure();
    attachPartners();
}

Workstation::~Workstation() = default;

void Workstation::attachExposure()
{
    ExposureControls c;
    c.lvDosis = main_.lvDosis;
    c.cmbDosis = main_.cmbDosis;
    c.Popup_Dosis = main_.Popup_Dosis;
    c.PopupDeleteDosis = main_.action(QStringLiteral("PopupDeleteDosis"));
    c.Text1 = main_.Text1;
    c.Text2 = main_.Text2;
    c.Text3 = main_.Text3;
    c.txtID = main_.txtID;
    c.lblCount = main_.lblCount;
    c.Command1 = main_.Command1;
    c.Command2 = main_.Command2;
    c.Command3 = main_.Command3;
    c.Command4 = main_.Command4;
    c.txtcInput = main_.txtcInput;
    c.List1 = main_.List1;
    c.Text4 = main_.Text4;
    c.Text5 = main_.Text5;
    c.SerTimer = main_.SerTimer;
    c.sendTimer = main_.sendTimer;
    c.lvImages = main_.lvImages;
    c.showMessage = [this](const QString &text) { Prompts().information(&main_, text, DefaultPromptTitle); };
    DoseList::PrepareColumns(main_.lvDosis);
    doseList_ = std::make_unique<DoseList>(c);
    capture_ = std::make_unique<ExposureCapture>(c, *doseList_);
    main_.hooks.Initialise_cPort = [this] { capture_->Initialise_cPort(); };
    main_.hooks.dbFill = [this] { capture_->dbFill(); };
    main_.hooks.lvDosis_Fill = [this] { doseList_->lvDosis_Fill(); };
}

void Workstation::attachPartners()
{
    main_.hooks.UpdateSendToEntries = [this] {
        UpdateSendToEntries(main_.Se_SendTo, main_.St_SendTo, main_.P_SendTo, {});
    };
}

void Workstation::AttachOptionForm(OptionForm &form)
{
    auto *partners = new StoragePartnerList(form.lvSCP);
    form.UpdateSCP = [partners] { partners->UpdateSCP(); };
    partners->verify = [](const PartnerAddress &a) {
        ToolkitError e;
        if (VerifyPartner(a.ip, a.port.toInt(), Settings.IR_AET, a.aet, &e))
            return QString();
        return e.text;
    };
}
