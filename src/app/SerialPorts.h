#pragma once

// The serial ports the options offer: the eight numbered ports of the
// settings ("Comm1" is ComPort\Device1, and so on) with the device behind
// each, and the machine's other serial devices (a USB adapter, /dev/ttyUSB0),
// each with the description its driver gives.
#include <QList>
#include <QString>

#include <array>
#include <functional>

// One serial device of the machine, as QSerialPortInfo describes it.
struct SerialDevice {
    QString portName;       // ttyUSB0
    QString systemLocation; // /dev/ttyUSB0
    QString description;    // FT232R USB UART
    QString manufacturer;   // FTDI
    bool usb = false;       // has a USB vendor id
};

// The machine's serial devices (QSerialPortInfo::availablePorts()).
QList<SerialDevice> MachineSerialDevices();

// One choice in the port list. slot 1..8: a numbered port of the settings;
// 0: a device behind none of them, which OK puts behind a free number.
struct PortChoice {
    int slot = 0;
    QString device;
    QString caption;
    bool opens = false;
};

// The numbered ports whose device opens, then the machine's devices behind no
// number: those that open, and USB adapters that do not (shown, so that the
// operator sees the adapter and learns why it cannot be chosen).
QList<PortChoice> PortChoices(const std::array<QString, 8> &devices, const QList<SerialDevice> &machine,
                              const std::function<bool(const QString &)> &opens);

// The number a device behind no number is put behind: the first whose device
// does not open (it offers nothing now); 0 when all eight open.
int FreePortSlot(const std::array<QString, 8> &devices, const std::function<bool(const QString &)> &opens);

// Whether the device opens for reading and writing now.
bool SerialDeviceOpens(const QString &device);
