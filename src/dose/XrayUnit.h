#pragma once

// The X-ray unit a calibration belongs to, as the physicist entered it with
// the calibration: the dose report names it as the device that observed and
// irradiated. All three texts empty: the unit is not identified.
#include <QString>
#include <QStringList>

struct XrayUnitIdentity {
    QString manufacturer, model, serialNumber;
    // Assigned when the unit is first stored, kept across later
    // calibrations of its unit type; never typed.
    QString deviceUid;
    // Saving: the entries name another unit than before (the unit was
    // replaced), which gets a device UID of its own.
    bool anotherUnit = false;

    bool identified() const { return !manufacturer.isEmpty() || !model.isEmpty() || !serialNumber.isEmpty(); }
};

// Everything wrong with the entries, one text each naming the field; empty
// when they can be stored (all three empty among them).
QStringList ValidateXrayUnit(const XrayUnitIdentity &unit);

// A new device UID: "2.25." and a random UUID in decimal.
QString NewDeviceUid();

// The name of unit type 1..5 (General\XrayComm) as the options list it, the
// message layout it stands for; empty outside.
QString XrayUnitTypeName(int unitType);
