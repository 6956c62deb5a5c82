#include "jobs/EditForm.h"

#include "store/Session.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <utility>

QString JobCaption(JobKind kind)
{
    switch (kind) {
    case JobKind::SendSeries: return QStringLiteral("Send images (Series)");
    case JobKind::SendStudy: return QStringLiteral("Send images (Study)");
    case JobKind::SendPatient: return QStringLiteral("Send Images (Patient)");
    case JobKind::UpdateStudy: return QStringLiteral("Updating Study");
    case JobKind::DeleteAll: return QStringLiteral("Delete Patient list");
    case JobKind::DeleteStudy:
    case JobKind::DeletePatient:
    case JobKind::DeleteSeries: return QStringLiteral("Delete images");
    case JobKind::ImportImages: return QStringLiteral("Import image(s)");
    case JobKind::ImportDir: return QStringLiteral("Import DICOM-Dir");
    }
    return {};
}

EditForm::EditForm(Session &session, JobKind kind, Job job, QWidget *parent)
    : QDialog(parent)
    , session_(session)
    , kind_(kind)
    , job_(std::move(job))
{
    setObjectName(QStringLiteral("EditForm"));
    setWindowTitle(QStringLiteral("What is up"));
    setModal(true);
    auto *l = new QVBoxLayout(this);
    lblProgress = new QLabel(QStringLiteral("What is going on ..."), this);
    lblProgress->setObjectName(QStringLiteral("lblProgress"));
    txtProgress = new QPlainTextEdit(this);
    txtProgress->setObjectName(QStringLiteral("txtProgress"));
    txtProgress->setReadOnly(true);
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("pb1"));
    progressBar->setValue(0);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setEnabled(false);
    l->addWidget(lblProgress);
    l->addWidget(txtProgress, 1);
    l->addWidget(progressBar);
    auto *b = new QHBoxLayout;
    b->addStretch();
    b->addWidget(cmdOK);
    l->addLayout(b);
    connect(cmdOK, &QPushButton::clicked, this, &EditForm::cmdOK_Click);

    jobTimer = new QTimer(this);
    jobTimer->setObjectName(QStringLiteral("jobTimer"));
    jobTimer->setInterval(100);
    jobTimer->setSingleShot(true);
    connect(jobTimer, &QTimer::timeout, this, &EditForm::runJob);
    resize(520, 360);
}

EditForm::~EditForm() { unload(); }

void EditForm::Form_Load()
{
    outcome_ = JobOutcome();
    session_.setBatchActive(true);
    session_.setImageLoadActive(true);
    setCaption(JobCaption(kind_), QStringLiteral("Progress:"));
    jobTimer->start();
}

void EditForm::runJob()
{
    if (job_)
        outcome_ = std::exchange(job_, nullptr)(*this);
    // Told while the dialog is still open, before OK can be pressed.
    emit jobDone(outcome_);
    enableOK();
    // A job that found nothing to do leaves no dialog behind its message.
    if (!outcome_.notice.isEmpty())
        close();
}

void EditForm::setCaption(const QString &caption, const QString &label)
{
    setWindowTitle(caption);
    lblProgress->setText(label);
}

void EditForm::append(const QString &text)
{
    QTextCursor c = txtProgress->textCursor();
    c.movePosition(QTextCursor::End);
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    c.insertText(t);
    txtProgress->setTextCursor(c);
    txtProgress->ensureCursorVisible();
    QCoreApplication::processEvents();
}

void EditForm::setMaximum(int maximum)
{
    progressBar->setRange(0, std::max(0, maximum));
    progressBar->setValue(0);
    progress_ = 0;
    shown_.invalidate();
}

void EditForm::advance()
{
    // The bar's value counts every item; it is painted at most every 40 ms, so
    // that a job of many small items spends its time on the items.
    if (progress_ < progressBar->maximum())
        ++progress_;
    if (!shown_.isValid() || shown_.elapsed() >= 40 || progress_ == progressBar->maximum()) {
        progressBar->setValue(progress_);
        shown_.start();
    }
    QCoreApplication::processEvents();
}

void EditForm::idle() { QCoreApplication::processEvents(); }

void EditForm::enableOK()
{
    cmdOK->setEnabled(true);
    cmdOK->setDefault(true);
    cmdOK->setFocus();
}

bool EditForm::isDone() const { return cmdOK->isEnabled(); }

QString EditForm::progressText() const { return txtProgress->toPlainText(); }

void EditForm::cmdOK_Click()
{
    emit closedWithOk();
    unload();
    accept();
}

void EditForm::unload()
{
    if (unloaded_)
        return;
    unloaded_ = true;
    session_.setBatchActive(false);
    session_.setImageLoadActive(false);
    if (onUnload)
        onUnload();
}

void EditForm::closeEvent(QCloseEvent *event)
{
    // The window closes only by OK once the job is done.
    if (!cmdOK->isEnabled()) {
        event->ignore();
        return;
    }
    unload();
    QDialog::closeEvent(event);
}

void EditForm::reject()
{
    if (cmdOK->isEnabled()) {
        unload();
        QDialog::reject();
    }
}
