#pragma once

// The X-ray unit a calibration belongs to, as the physicist entered it with
// the calibration: the dose report names it as the device that observed and
// irradiated. All three texts empty: the unit is not identified.
#include <QString>
#include <QStringList>

struct XrayUnitIdentity {
    QString manufacturer, model, serialNumber;
    // Assigned once per unit type when first stored, kept across later
    // calibrations; never typed.
    QString deviceUid;

    bool identified() const { return !manufacturer.isEmpty() || !model.isEmpty() || !serialNumber.isEmpty(); }
};

// Everything wrong with the entries, one text each naming the field; empty
// when they can be stored (all three empty among them).
QStringList ValidateXrayUnit(const XrayUnitIdentity &unit);

// A new device UID: "2.25." and a random UUID in decimal.
QString NewDeviceUid();
