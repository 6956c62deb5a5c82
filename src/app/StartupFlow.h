#pragma once

#include "app/StartupChecks.h"

#include <QObject>
#include <QWidget>
#include <functional>

class QLabel;
class QTimer;
class MainForm;
class OptionForm;
class Prompter;

// The splash: caption, product and version labels, the picture; a click ends
// the program while nothing else is open.
class fSplash : public QWidget {
    Q_OBJECT

public:
    explicit fSplash(QWidget *parent = nullptr);
    // The 500 ms the splash stands before the options dialog comes (due).
    void startWaiting();
    void stopWaiting();
    bool isWaiting() const;

signals:
    void clicked();
    void due();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QLabel *lblProduct = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *imgLogo = nullptr;
    QTimer *splashTimer = nullptr;
};

// Start-up in the workstation's order: splash, after 500 ms the single-instance
// check and the options dialog, on its OK the main window; Cancel ends.
class StartupFlow : public QObject {
    Q_OBJECT

public:
    // The prompter asks and tells the operator for the start-up and the windows it opens.
    explicit StartupFlow(Prompter &prompter, QObject *parent = nullptr);
    ~StartupFlow() override;

    // Shows the splash. False when the screen is too small: the program ends at once.
    bool start();

    fSplash *splash() const { return splash_; }
    OptionForm *optionForm() const { return optionForm_; }
    MainForm *mainForm() const { return mainForm_; }
    bool ended() const { return ended_; }
    // The single-instance lock, held from the splash's end until the main
    // window takes it over.
    const SingleInstance &singleInstance() const { return instance_; }

    // Called once on the new main window before it loads: the subsystems attach here.
    std::function<void(MainForm &)> attach;

signals:
    void finished(int exitCode);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void splashTick();
    void optionsConfirmed(bool onePartner);
    void end(int exitCode);

    Prompter &prompter_;
    fSplash *splash_ = nullptr;
    OptionForm *optionForm_ = nullptr;
    MainForm *mainForm_ = nullptr;
    bool ended_ = false;
    SingleInstance instance_;
};

// The program's entry point, after the application object exists; its
// boxes go through the program's one prompter, and attach is called on the
// new main window before it loads (the subsystems).
int Main(Prompter &prompter, std::function<void(MainForm &)> attach);
