#include "app/StartupFlow.h"

#include "audit/AuditTrail.h"
#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "ui/Prompts.h"
#include "app/StartupChecks.h"

#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

fSplash::fSplash(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("fSplash"));
    // A splash, not a second window titled like the main window: window
    // managers and tools that look for "OrvanaMammo Version" find the main one.
    setWindowTitle(QStringLiteral("OrvanaMammo"));
    setWindowFlags(Qt::SplashScreen | Qt::WindowStaysOnTopHint);
    auto *l = new QVBoxLayout(this);
    auto *frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Box | QFrame::Raised);
    auto *fl = new QVBoxLayout(frame);
    imgLogo = new QLabel(frame);
    imgLogo->setObjectName(QStringLiteral("imgLogo"));
    const QPixmap picture(AppPath(QString::fromLatin1(AppFiles::SplashPicture)));
    if (!picture.isNull())
        imgLogo->setPixmap(picture);
    lblProduct = new QLabel(QStringLiteral("OrvanaMammo"), frame);
    lblProduct->setObjectName(QStringLiteral("lblProduct"));
    QFont f = lblProduct->font();
    f.setPointSize(f.pointSize() + 8);
    f.setBold(true);
    lblProduct->setFont(f);
    lblVersion = new QLabel(QStringLiteral("Version ") + VersionText(), frame);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    fl->addWidget(imgLogo, 0, Qt::AlignCenter);
    fl->addWidget(lblProduct, 0, Qt::AlignCenter);
    fl->addWidget(lblVersion, 0, Qt::AlignCenter);
    l->addWidget(frame);
    splashTimer = new QTimer(this);
    splashTimer->setObjectName(QStringLiteral("Timer1"));
    splashTimer->setSingleShot(true);
    splashTimer->setInterval(500);
    connect(splashTimer, &QTimer::timeout, this, &fSplash::due);
}

void fSplash::startWaiting() { splashTimer->start(); }
void fSplash::stopWaiting() { splashTimer->stop(); }
bool fSplash::isWaiting() const { return splashTimer->isActive(); }

void fSplash::mouseReleaseEvent(QMouseEvent *event)
{
    QWidget::mouseReleaseEvent(event);
    emit clicked();
}

StartupFlow::StartupFlow(Prompter &prompter, QObject *parent) : QObject(parent), prompter_(prompter) {}

StartupFlow::~StartupFlow()
{
    delete mainForm_;
    delete optionForm_;
    delete splash_;
}

bool StartupFlow::start()
{
    splash_ = new fSplash;
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || !ScreenMeetsMinimum(screen->size())) {
        prompter_.plain(nullptr,
                        QStringLiteral("ATTENTION!\nA screen resolution of 1024x768 pixel is required for this application!"),
                        DefaultPromptTitle);
        end(1);
        return false;
    }
    connect(splash_, &fSplash::clicked, this, [this] {
        const bool early = splash_->isWaiting();
        splash_->stopWaiting();
        splash_->close();
        if (early)
            end(0);
    });
    connect(splash_, &fSplash::due, this, &StartupFlow::splashTick);
    splash_->show();
    splash_->startWaiting();
    return true;
}

void StartupFlow::splashTick()
{
    if (!instance_.acquire()) {
        prompter_.information(nullptr, QStringLiteral("You can only run one instance of 'OrvanaMammo'"), QStringLiteral("OrvanaMammo"));
        splash_->close();
        end(0);
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    splash_->repaint();
    optionForm_ = new OptionForm(prompter_);
    connect(optionForm_, &OptionForm::confirmed, this, &StartupFlow::optionsConfirmed);
    connect(optionForm_, &OptionForm::cancelled, this, [this] {
        if (!mainForm_)
            end(0);
    });
    optionForm_->Form_Load();
    optionForm_->show();
    // Without a window manager nobody else gives the dialog the keyboard.
    optionForm_->raise();
    optionForm_->activateWindow();
    splash_->close();
    QApplication::restoreOverrideCursor();
}

void StartupFlow::optionsConfirmed(bool onePartner)
{
    if (!mainForm_) {
        mainForm_ = new MainForm(prompter_);
        mainForm_->installEventFilter(this);
        mainForm_->setOptionForm(optionForm_);
        mainForm_->takeSingleInstance(std::move(instance_));
        if (attach)
            attach(*mainForm_);
        mainForm_->Form_Load();
    }
    if (onePartner)
        mainForm_->setExaminationTypeShown(false);
    mainForm_->show();
    mainForm_->raise();
    mainForm_->activateWindow();
    mainForm_->reopenSerialPort();
}

bool StartupFlow::eventFilter(QObject *watched, QEvent *event)
{
    // The program ends with its main window, however that is closed.
    if (watched == mainForm_ && event->type() == QEvent::Close)
        end(0);
    return QObject::eventFilter(watched, event);
}

void StartupFlow::end(int exitCode)
{
    if (ended_)
        return;
    ended_ = true;
    emit finished(exitCode);
}

int Main(Prompter &prompter, std::function<void(MainForm &)> attach)
{
    // Between the options dialog and the main window no window is visible;
    // the program ends when the start-up says so, not when the last window hides.
    QApplication::setQuitOnLastWindowClosed(false);
    StartupFlow flow(prompter);
    flow.attach = std::move(attach);
    QObject::connect(&flow, &StartupFlow::finished, qApp, [](int code) { QCoreApplication::exit(code); }, Qt::QueuedConnection);
    if (!flow.start())
        return 1;
    AuditApplicationStart(Settings.LocalAET);
    const int code = QApplication::exec();
    AuditApplicationStop(Settings.LocalAET);
    return code;
}
