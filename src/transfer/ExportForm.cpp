#include "transfer/ExportForm.h"

#include "core/Settings.h"
#include "transfer/ZipArchive.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// The quality list's entries and the slider values they stand for.
const struct {
    const char *text;
    int value;
} QualityLevels[] = {{"Less", 3}, {"Middle", 5}, {"High", 8}, {"Max", 10}};

} // namespace

ExportForm::ExportForm(ExportKind kind, QList<ToolkitImagePtr> images, Prompter &prompter, QWidget *parent)
    : QDialog(parent)
    , kind_(kind)
    , images_(std::move(images))
    , prompter_(prompter)
{
    setObjectName(QStringLiteral("ExportForm"));
    auto named = [](auto *widget, const char *name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };
    txtExportDir = named(new QLineEdit, "txtExportDir");
    cmdBrowse = named(new QPushButton(QStringLiteral("...")), "cmdBrowse");
    cmdBrowse->setMaximumWidth(40);
    chkDicomDir = named(new QCheckBox(QStringLiteral("Create DicomDir file")), "chkDicomDir");
    chkCompress = named(new QCheckBox(QStringLiteral("Compress to ZIP file")), "chkCompress");

    imagePropertiesFrame = named(new QGroupBox(QStringLiteral("Image properties")), "Frame1");
    sldQuality = named(new QSlider(Qt::Horizontal), "sldQuality");
    sldQuality->setRange(1, 10);
    sldQuality->setValue(8);
    sldQuality->setTickPosition(QSlider::TicksBelow);
    txtQuality = named(new QLineEdit, "txtQuality");
    txtQuality->setReadOnly(true);
    txtQuality->setMaximumWidth(40);
    cboQuality = named(new QComboBox, "cboQuality");
    auto *quality = new QGridLayout(imagePropertiesFrame);
    quality->addWidget(new QLabel(QStringLiteral("Small file")), 0, 0);
    quality->addWidget(sldQuality, 0, 1);
    quality->addWidget(new QLabel(QStringLiteral("Big file")), 0, 2);
    quality->addWidget(txtQuality, 0, 3);
    quality->addWidget(new QLabel(QStringLiteral("Quality:")), 1, 0);
    quality->addWidget(cboQuality, 1, 1, 1, 3);

    exportingFrame = named(new QGroupBox(QStringLiteral("Exporting")), "Frame2");
    pbExport = named(new QProgressBar, "pbExport");
    lblFile = named(new QLabel, "lblFile");
    lblCount = named(new QLabel, "lblCount");
    lblCount->setMinimumWidth(90);
    lblCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto *progress = new QGridLayout(exportingFrame);
    progress->addWidget(new QLabel(QStringLiteral("Progress:")), 0, 0);
    progress->addWidget(lblFile, 0, 1);
    progress->addWidget(lblCount, 0, 2);
    progress->addWidget(pbExport, 1, 0, 1, 3);

    cmdExport = named(new QPushButton(QStringLiteral("Export")), "cmdExport");
    cmdCancel = named(new QPushButton(QStringLiteral("Cancel")), "cmdCancel");
    cmdExport->setDefault(true);

    auto *folder = new QHBoxLayout;
    folder->addWidget(new QLabel(QStringLiteral("Export directory:")));
    folder->addWidget(txtExportDir, 1);
    folder->addWidget(cmdBrowse);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdExport);
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(folder);
    layout->addWidget(chkDicomDir);
    layout->addWidget(chkCompress);
    layout->addWidget(imagePropertiesFrame);
    layout->addWidget(exportingFrame);
    layout->addLayout(buttons);
    setMinimumWidth(460);

    hooks.askArchiveName = [this](const QString &proposal) -> std::optional<QString> {
        bool ok = false;
        const QString name = QInputDialog::getText(this, QStringLiteral("ZIP Archive"), QStringLiteral("Please enter ZIP-Archive name:"),
                                                   QLineEdit::Normal, proposal, &ok);
        return ok ? std::optional<QString>(name) : std::nullopt;
    };
    chooseFolder = [this] {
        return QFileDialog::getExistingDirectory(this, QStringLiteral("Export Directory"), txtExportDir->text());
    };

    connect(sldQuality, &QSlider::valueChanged, this, &ExportForm::sldQuality_Change);
    connect(cboQuality, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < int(std::size(QualityLevels)))
            sldQuality->setValue(QualityLevels[index].value);
    });
    connect(cmdBrowse, &QPushButton::clicked, this, &ExportForm::cmdBrowse_Click);
    connect(cmdExport, &QPushButton::clicked, this, &ExportForm::cmdExport_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    step_.setSingleShot(true);
    connect(&step_, &QTimer::timeout, this, &ExportForm::exportStep);
    connect(&archiveWatcher_, &QFutureWatcher<ArchiveOutcome>::finished, this, &ExportForm::archiveDone);
}

ExportForm::~ExportForm() = default;

void ExportForm::Form_Load()
{
    cboQuality->clear();
    for (const auto &level : QualityLevels)
        cboQuality->addItem(QString::fromLatin1(level.text));
    sldQuality_Change(sldQuality->value());
    const bool jpeg = kind_ == ExportKind::Jpeg;
    setWindowTitle(jpeg ? QStringLiteral("Export JPEG") : QStringLiteral("Export DICOM"));
    chkDicomDir->setVisible(!jpeg);
    imagePropertiesFrame->setVisible(jpeg);
    pbExport->setRange(0, int(images_.size()));
    pbExport->setValue(0);
    adjustSize();
}

void ExportForm::sldQuality_Change(int value)
{
    txtQuality->setText(QString::number(value));
    cboQuality->setCurrentIndex(-1);
    for (int i = 0; i < int(std::size(QualityLevels)); ++i)
        if (QualityLevels[i].value == value)
            cboQuality->setCurrentIndex(i);
}

void ExportForm::cmdBrowse_Click()
{
    const QString folder = chooseFolder();
    if (!folder.isEmpty())
        txtExportDir->setText(folder);
}

void ExportForm::setBusy(bool busy)
{
    // The progress frame stays readable while the controls are locked.
    // Cancel too: the export cannot be stopped half way, so it does not pretend to.
    const QList<QWidget *> controls{cmdExport, cmdCancel, cmdBrowse, chkDicomDir, txtExportDir, imagePropertiesFrame};
    for (QWidget *w : controls)
        w->setEnabled(!busy);
    busy_ = busy;
}

void ExportForm::reject()
{
    if (!busy_)
        QDialog::reject();
}

void ExportForm::cmdExport_Click()
{
    if (busy_)
        return;
    ExportRequest request;
    request.kind = kind_;
    request.folder = txtExportDir->text().trimmed();
    request.dicomDir = kind_ == ExportKind::Dicom && chkDicomDir->isChecked();
    request.compress = chkCompress->isChecked();
    request.quality = sldQuality->value();
    request.images = images_;
    compress_ = request.compress;
    ExportHooks run = hooks;
    run.parent = this;
    run.progress = [this](int value, int maximum, const QString &file) {
        pbExport->setRange(0, maximum);
        pbExport->setValue(value);
        lblCount->setText(QStringLiteral("%1 of %2").arg(value).arg(maximum));
        lblFile->setText(QFileInfo(file).fileName());
    };
    setBusy(true);
    job_ = std::make_unique<ImageExport>(request, run, prompter_);
    if (!job_->begin())
        return finish(false);
    step_.start(0);
}

void ExportForm::exportStep()
{
    // One image per turn of the event loop; a picture still being made on a
    // worker is looked at again shortly instead of waited for.
    if (job_->imagesLeft()) {
        if (!job_->nextReady())
            return step_.start(10);
        if (!job_->exportNext())
            return finish(false);
        return step_.start(0);
    }
    if (!job_->finishImages())
        return finish(false);
    if (!compress_) {
        job_->report(ZipResult::Written);
        return finish(true);
    }
    int code = ZipResult::Written;
    const std::optional<ArchiveJob> archive = job_->prepareArchive(&code);
    if (!archive) {
        job_->report(code);
        return finish(true);
    }
    // The archive is packed on a worker; the dialog hears when it is done.
    archiveWatcher_.setFuture(QtConcurrent::run([archive = *archive] { return WriteArchive(archive); }));
}

void ExportForm::archiveDone()
{
    job_->report(job_->archiveWritten(archiveWatcher_.result()));
    finish(true);
}

void ExportForm::finish(bool done)
{
    job_.reset();
    setBusy(false);
    if (!done)
        return;
    const QString root = QString::fromLatin1(SettingsRoot);
    WriteSetting(root + QStringLiteral("Export\\Quality"), QString::number(sldQuality->value()));
    WriteSetting(root + QStringLiteral("Export\\Directory"), txtExportDir->text());
    WriteSetting(root + QStringLiteral("Export\\DicomDir"), chkDicomDir->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    WriteSetting(root + QStringLiteral("Export\\Compress"), chkCompress->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    accept();
}
