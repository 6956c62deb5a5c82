#include "app/SerialPorts.h"

#include <QSerialPort>
#include <QSerialPortInfo>

#include <algorithm>
#include <QStringList>

namespace {

// "FT232R USB UART, FTDI": what the driver says of the device, without repeats.
QString Described(const SerialDevice &d)
{
    QStringList parts;
    for (const QString &p : {d.description.trimmed(), d.manufacturer.trimmed()})
        if (!p.isEmpty() && !parts.contains(p))
            parts << p;
    return parts.join(QStringLiteral(", "));
}

const SerialDevice *Find(const QList<SerialDevice> &machine, const QString &device)
{
    for (const SerialDevice &d : machine)
        if (d.systemLocation == device)
            return &d;
    return nullptr;
}

} // namespace

QList<SerialDevice> MachineSerialDevices()
{
    QList<SerialDevice> devices;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        devices.append({info.portName(), info.systemLocation(), info.description(), info.manufacturer(), info.hasVendorIdentifier()});
    return devices;
}

QList<PortChoice> PortChoices(const std::array<QString, 8> &devices, const QList<SerialDevice> &machine,
                              const std::function<bool(const QString &)> &opens)
{
    QList<PortChoice> choices;
    for (int n = 1; n <= 8; ++n) {
        const QString &device = devices[size_t(n - 1)];
        if (device.isEmpty() || !opens(device))
            continue;
        QString caption = QStringLiteral("Comm%1: %2").arg(n).arg(device);
        if (const SerialDevice *d = Find(machine, device); d && !Described(*d).isEmpty())
            caption += QStringLiteral(" (%1)").arg(Described(*d));
        choices.append({n, device, caption, true});
    }
    for (const SerialDevice &d : machine) {
        if (d.systemLocation.isEmpty() || std::find(devices.begin(), devices.end(), d.systemLocation) != devices.end())
            continue;
        const bool open = opens(d.systemLocation);
        if (!open && !d.usb)
            continue;
        QString caption = d.systemLocation;
        if (!Described(d).isEmpty())
            caption += QStringLiteral(" (%1)").arg(Described(d));
        if (!open)
            caption += QStringLiteral(": cannot be opened");
        choices.append({0, d.systemLocation, caption, open});
    }
    return choices;
}

int FreePortSlot(const std::array<QString, 8> &devices, const std::function<bool(const QString &)> &opens)
{
    for (int n = 1; n <= 8; ++n)
        if (devices[size_t(n - 1)].isEmpty() || !opens(devices[size_t(n - 1)]))
            return n;
    return 0;
}

bool SerialDeviceOpens(const QString &device)
{
    if (device.isEmpty())
        return false;
    QSerialPort serial(device);
    if (!serial.open(QIODevice::ReadWrite))
        return false;
    serial.close();
    return true;
}
