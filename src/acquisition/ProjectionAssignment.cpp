#include "acquisition/ProjectionAssignment.h"

#include "store/Session.h"

#include "acquisition/ImageViewer.h"
#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "ui/Prompts.h"
#include "core/Settings.h"
#include "toolkit/ToolkitViewer.h"

#include <QCoreApplication>
#include <QDir>
#include <QScopeGuard>
#include <QFile>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTextStream>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString kWhere = QStringLiteral("MainForm cmdAll_Click");

QString binFolder() { return AppPath(QString::fromLatin1(AppFiles::WorkFolder)); }

} // namespace


SelectPosForm::SelectPosForm(QWidget *parent, const ToolkitImagePtr &image) : QDialog(parent)
{
    setObjectName(QStringLiteral("SelectPosForm"));
    setWindowTitle(QStringLiteral("Side"));
    setModal(true);
    auto *l = new QVBoxLayout(this);
    dicomViewer = new ToolkitViewer(this);
    dicomViewer->setRows(1);
    dicomViewer->setColumns(1);
    dicomViewer->setMinimumSize(300, 380);
    dicomViewer->addImage(image);
    l->addWidget(dicomViewer, 1);
    auto *b = new QHBoxLayout;
    cmdLeft = new QPushButton(QStringLiteral("L"), this);
    cmdLeft->setObjectName(QStringLiteral("cmdLeft"));
    cmdRight = new QPushButton(QStringLiteral("R"), this);
    cmdRight->setObjectName(QStringLiteral("cmdRight"));
    b->addWidget(cmdLeft);
    b->addWidget(cmdRight);
    l->addLayout(b);
    connect(cmdLeft, &QPushButton::clicked, this, [this] { choose(QStringLiteral("L")); });
    connect(cmdRight, &QPushButton::clicked, this, [this] { choose(QStringLiteral("R")); });
}

void SelectPosForm::choose(const QString &side)
{
    side_ = side;
    dicomViewer->clearImages();
    accept();
}

ProjectionAssignment::ProjectionAssignment(Session &session, const AssignmentControls &controls, QObject *parent)
    : QObject(parent), session_(session), c_(controls)
{
    for (int i = 0; i < 8; ++i) {
        if (c_.cmdProjection[i])
            connect(c_.cmdProjection[i], &QPushButton::clicked, this, [this, i] { cmdProjection_Click(i); });
    }
}

QString ProjectionAssignment::askSide(const ToolkitImagePtr &image)
{
    if (c_.askSide)
        return c_.askSide(image);
    SelectPosForm form(c_.parent, image);
    form.exec();
    return form.side();
}

void ProjectionAssignment::emptyWorkFolder()
{
    QDir bin(binFolder());
    for (const QString &f : bin.entryList({QStringLiteral("*.dcm")}, QDir::Files))
        bin.remove(f);
}

bool ProjectionAssignment::stamp(const ToolkitImagePtr &image, const QString &key)
{
    const qint16 unit = Settings.XrayComm;
    const int rows = c_.lvDosis->topLevelItemCount();
    for (int j = 0; j < rows; ++j) {
        QTreeWidgetItem *item = c_.lvDosis->topLevelItem(j);
        c_.lvDosis->setCurrentItem(item);
        if (c_.lvDosis_ItemClick)
            c_.lvDosis_ItemClick(item);
        QCoreApplication::processEvents();
        const QString projection = c_.exposureBoxes[5]->text();
        if (unit == 2 && projection.isEmpty()) {
            Prompts().critical(c_.parent,
                               QStringLiteral("You have not set the projection, please click on the correct projection button!\n"
                                              "If you have set the projection please click on Manually button!"),
                               DefaultPromptTitle);
            return false;
        }
        if (ExposureMatchesKey(unit, projection, key))
            break;
    }
    Result error;
    auto log = [&](bool ok) {
        if (!ok)
            WriteErrorLog(error.number, error.text, kWhere);
    };
    if (unit != 2) {
        if (unit >= 3)
            log(SetAttribute(image, Tags::Modality, QStringLiteral("MG"), &error));
        const HeaderExposureValues values = ExposureValuesForHeader(unit, SelectedExposure, CurrentExposureTime);
        if (!values.notNumbers.isEmpty())
            WriteErrorLog(13, QStringLiteral("Not a number, left out: ") + values.notNumbers.join(QStringLiteral(", ")), kWhere);
        log(WriteExposureValues(image, values, &error));
        // The sensitivity: unit 1 reports it with the exposure, units 3 and 4 in the image.
        QString sensitivity;
        if (unit == 1)
            sensitivity = SelectedExposure.other;
        else if (unit == 3 || unit == 4)
            sensitivity = GetAttribute(image, Tags::RelativeXRayExposure).value;
        if (!sensitivity.isEmpty()) {
            const QString ds = DecimalString(sensitivity);
            if (!ds.isEmpty())
                log(SetAttribute(image, Tags::Sensitivity, ds, &error));
            else
                WriteErrorLog(13, QStringLiteral("Sensitivity is not a number: ") + sensitivity, kWhere);
        }
    }
    if (Settings.ModifyImageHeader == 1)
        ModifyImage(image, [this](const ToolkitImagePtr &i) { return askSide(i); });
    if (unit != 2) {
        const QString path = binFolder() + QLatin1Char('/') + ImageUid(image) + QStringLiteral(".dcm");
        log(WriteDicomFile(image, path, &error));
    }
    return true;
}

void ProjectionAssignment::cmdAll_Click()
{
    // A study still loading lets events run between its images: its list is
    // not complete yet.
    if (merging_ || session_.imageLoadActive())
        return;
    merging_ = true;
    const auto done = qScopeGuard([this] { merging_ = false; });
    emptyWorkFolder();
    AssignmentMode = 1;
    const int images = ListCount(LoadedImageList);
    if (images != c_.lvDosis->topLevelItemCount()) {
        Prompts().information(c_.parent, QStringLiteral("There are not all images on the system please wait a few second and try again!"),
                              DefaultPromptTitle);
        return;
    }
    QString key;
    for (int i = 1; i <= images; ++i) {
        QTreeWidgetItem *row = c_.lvImages->topLevelItem(i - 1);
        if (row) {
            c_.lvImages->setCurrentItem(row);
            if (c_.lvImages_ItemClick)
                c_.lvImages_ItemClick(row);
        }
        const ToolkitImagePtr image = ListItem(LoadedImageList, i);
        if (row && image && ImageUid(image).contains(row->text(3)) && c_.viewer)
            c_.viewer->SelectImage(i);
        if (!CurrentImage)
            continue;
        // An image whose attributes name no projection keeps the previous key.
        const QString k = ImageProjectionKey(Settings.XrayComm, CurrentImage);
        if (!k.isEmpty())
            key = k;
        if (!stamp(CurrentImage, key))
            return;
    }
    sendToDefault(false);
}

void ProjectionAssignment::cmdSelected_Click()
{
    if (merging_ || session_.imageLoadActive())
        return;
    merging_ = true;
    const auto done = qScopeGuard([this] { merging_ = false; });
    emptyWorkFolder();
    AssignmentMode = 3;
    if (CurrentImage) {
        // The image with the exposure the operator chose by hand: stamped and
        // saved, so that the send takes this copy.
        ModifyImage(CurrentImage, [this](const ToolkitImagePtr &i) { return askSide(i); });
        WriteExposureValues(CurrentImage, ExposureValuesForHeader(Settings.XrayComm, SelectedExposure, CurrentExposureTime));
        Result error;
        if (!WriteDicomFile(CurrentImage, binFolder() + QLatin1Char('/') + ImageUid(CurrentImage) + QStringLiteral(".dcm"), &error))
            WriteErrorLog(error.number, error.text, QStringLiteral("MainForm cmdSelected_Click"));
    }
    sendToDefault(true);
}

void ProjectionAssignment::sendToDefault(bool blankAfterAet)
{
    const QStringList partner = c_.defaultPartner ? c_.defaultPartner() : QStringList();
    Settings.SCP_AET = partner.value(0);
    Settings.SCP_IP = partner.value(1);
    Settings.SCP_Port = partner.value(2);
    if (Settings.SCP_AET.isEmpty() && Settings.SCP_IP.isEmpty() && Settings.SCP_Port.isEmpty()) {
        Prompts().information(c_.parent, QStringLiteral("No default SCP configured!"), DefaultPromptTitle);
        return;
    }
    if (Settings.SCP_AET.isEmpty() || Settings.SCP_IP.isEmpty() || Settings.SCP_Port.isEmpty()) {
        Prompts().plain(c_.parent,
                        QStringLiteral("Incomplete Storage Class Provider values!\r\n") + (blankAfterAet ? QStringLiteral("AET: ") : QStringLiteral("AET:"))
                            + Settings.SCP_AET + QStringLiteral("\r\nIP: ") + Settings.SCP_IP + QStringLiteral("\r\nPort: ") + Settings.SCP_Port,
                        DefaultPromptTitle);
        return;
    }
    if (c_.SCPOnline && c_.SCPOnline() && c_.SendPatient)
        c_.SendPatient();
}

void ProjectionAssignment::cmdProjection_Click(int index)
{
    const QString caption = c_.cmdProjection[index]->text();
    if (!Prompts().question(c_.parent, QStringLiteral("Do you really want to change the projection entry ?"), DefaultPromptTitle))
        return;
    if (QTreeWidgetItem *item = c_.lvDosis->currentItem()) {
        item->setText(8, caption);
        if (c_.lvDosis_ItemClick)
            c_.lvDosis_ItemClick(item);
    }
    if (c_.txtcInput && !c_.txtcInput->toPlainText().isEmpty() && c_.dbFill)
        c_.dbFill();
}

void ProjectionAssignment::LoadProjectionCaptions()
{
    if (Settings.XrayComm < 2 || Settings.XrayComm > 5)
        return;
    QFile f(AppPath(QString::fromLatin1(AppFiles::ProjectionCaptions)));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream in(&f);
    // One caption a line, for the eight buttons; further lines have no button.
    for (int i = 0; i < 8 && !in.atEnd(); ++i) {
        const QString line = in.readLine();
        if (c_.cmdProjection[i]) {
            c_.cmdProjection[i]->setText(line);
            c_.cmdProjection[i]->setEnabled(!line.isEmpty());
        }
    }
}
