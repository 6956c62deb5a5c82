#pragma once

#include <QObject>
#include <memory>

class MainForm;
class OptionForm;
class DoseList;
class ExposureCapture;

// Attaches the subsystems to the main window's controls and hooks. Lives as
// long as the main window (its child).
class Workstation : public QObject {
    Q_OBJECT

public:
    explicit Workstation(MainForm &main);
    ~Workstation() override;

    // For the options dialogs the workstation opens: the partner list.
    static void AttachOptionForm(OptionForm &form);

    DoseList &doseList() { return *doseList_; }
    ExposureCapture &capture() { return *capture_; }

private:
    void attachExposure();
    void attachPartners();

    MainForm &main_;
    std::unique_ptr<DoseList> doseList_;
    std::unique_ptr<ExposureCapture> capture_;
};
