#pragma once

#include <QString>
#include <functional>

struct SettingsRecord;

// The two links the operator cannot see otherwise: the receiver, which runs
// detached, and the serial line to the X-ray unit.
struct LinkState {
    bool up = false;
    QString text;      // "Receiver: port 11112", "X-ray unit: /dev/ttyUSB0 not found"
    QString lastError; // the line that says why, for the tooltip
};

// The receiver's ports as the settings open them: "port 11112",
// "port 11112, TLS port 2762", "TLS port 2762" with the plain one closed.
QString ReceiverPortsText(const SettingsRecord &settings);

// The receiver of this application folder and its ports; when it is not
// running, the reason from the last line of its log.
LinkState ReceiverLinkState();

// The serial line on the device the settings name.
LinkState SerialLinkState(bool portOpen, const QString &device, const QString &portError);

// Checks both links every few seconds. A serial device that appears after it
// was missing is opened again at once.
class LinkMonitor {
public:
    std::function<bool()> serialOpen;
    std::function<QString()> serialError;
    std::function<void()> reopenSerial;

    void check();
    const LinkState &receiver() const { return receiver_; }
    const LinkState &serial() const { return serial_; }

    static constexpr int IntervalMs = 3000;

private:
    LinkState receiver_, serial_;
    bool deviceMissing_ = false;
};
