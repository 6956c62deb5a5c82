#include "jobs/EditForm.h"

#include "core/WorkstationState.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

qint16 JobMode = 0;
bool EntriesRemoved = false;

namespace {
QHash<int, EditForm::Job> &jobs()
{
    static QHash<int, EditForm::Job> registry;
    return registry;
}
} // namespace

QString JobCaption(qint16 mode)
{
    switch (mode) {
    case 0: return QStringLiteral("Send images (Series)");
    case 1: return QStringLiteral("Send images (Study)");
    case 2: return QStringLiteral("Send Images (Patient)");
    case 3: return QStringLiteral("Updating Study");
    case 4: return QStringLiteral("Delete Patient list");
    case 5:
    case 6:
    case 7: return QStringLiteral("Delete images");
    case 8: return QStringLiteral("Import image(s)");
    case 9: return QStringLiteral("Import DICOM-Dir");
    default: return {};
    }
}

void EditForm::RegisterJob(qint16 mode, Job job) { jobs().insert(mode, std::move(job)); }

EditForm::EditForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("EditForm"));
    setWindowTitle(QStringLiteral("What is up"));
    setModal(true);
    auto *l = new QVBoxLayout(this);
    lblProgress = new QLabel(QStringLiteral("What is going on ..."), this);
    txtProgress = new QPlainTextEdit(this);
    txtProgress->setObjectName(QStringLiteral("txtProgress"));
    txtProgress->setReadOnly(true);
    pb1 = new QProgressBar(this);
    pb1->setObjectName(QStringLiteral("pb1"));
    pb1->setValue(0);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setEnabled(false);
    l->addWidget(lblProgress);
    l->addWidget(txtProgress, 1);
    l->addWidget(pb1);
    auto *b = new QHBoxLayout;
    b->addStretch();
    b->addWidget(cmdOK);
    l->addLayout(b);
    connect(cmdOK, &QPushButton::clicked, this, &EditForm::cmdOK_Click);

    const std::pair<QTimer **, const char *> timers[] = {
        {&SendSeriesTimer, "SendSeriesTimer"}, {&SendStudieTimer, "SendStudieTimer"}, {&SendPatientTimer, "SendPatientTimer"},
        {&UpdateTimer, "UpdateTimer"}, {&DeleteAllTimer, "DeleteAllTimer"}, {&DeleteTimer, "DeleteTimer"},
        {&ImportTimer, "ImportTimer"}, {&ImportDirTimer, "ImportDirTimer"}};
    for (const auto &[timer, name] : timers) {
        *timer = new QTimer(this);
        (*timer)->setObjectName(QString::fromLatin1(name));
        (*timer)->setInterval(100);
        QTimer *t = *timer;
        connect(t, &QTimer::timeout, this, [this, t] {
            // Each timer disables itself and runs its job once.
            t->stop();
            const auto it = jobs().constFind(JobMode);
            if (it != jobs().constEnd() && *it)
                (*it)(*this);
        });
    }
    resize(520, 360);
}

EditForm::~EditForm() { unload(); }

QTimer *EditForm::timerFor(qint16 mode) const
{
    switch (mode) {
    case 0: return SendSeriesTimer;
    case 1: return SendStudieTimer;
    case 2: return SendPatientTimer;
    case 3: return UpdateTimer;
    case 4: return DeleteAllTimer;
    case 5:
    case 6:
    case 7: return DeleteTimer;
    case 8: return ImportTimer;
    case 9: return ImportDirTimer;
    default: return nullptr;
    }
}

void EditForm::Form_Load()
{
    EntriesRemoved = false;
    BatchJobActive = true;
    ImageLoadActive = true;
    const QString caption = JobCaption(JobMode);
    if (!caption.isEmpty())
        setCaption(caption, QStringLiteral("Progress:"));
    if (QTimer *t = timerFor(JobMode))
        t->start();
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

void EditForm::setProgressMaximum(int maximum)
{
    pb1->setRange(0, std::max(0, maximum));
    pb1->setValue(0);
    progress_ = 0;
    shown_.invalidate();
}

void EditForm::advance()
{
    // The bar's value counts every item; it is painted at most every 40 ms, so
    // that a job of many small items spends its time on the items.
    if (progress_ < pb1->maximum())
        ++progress_;
    if (!shown_.isValid() || shown_.elapsed() >= 40 || progress_ == pb1->maximum()) {
        pb1->setValue(progress_);
        shown_.start();
    }
    QCoreApplication::processEvents();
}

void EditForm::enableOK()
{
    cmdOK->setEnabled(true);
    cmdOK->setDefault(true);
    cmdOK->setFocus();
}

void EditForm::cmdOK_Click()
{
    if (AssignmentMode != 0) {
        if (RefreshDosisList)
            RefreshDosisList();
        if (RefreshImageList)
            RefreshImageList();
    }
    unload();
    accept();
}

void EditForm::unload()
{
    if (unloaded_)
        return;
    unloaded_ = true;
    BatchJobActive = false;
    ImageLoadActive = false;
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
