#pragma once

#include "toolkit/Result.h"
#include "toolkit/ImageList.h"

#include <QList>
#include <QString>
#include <optional>

// The X-ray radiation dose report of one mammography study (root template
// 10001 with the mammography rows of 10003 and 10005), built from plain
// values. A value left empty or unset is left out of the report.

// The patient and study the report belongs to, as the study's images carry them.
struct DoseReportStudy {
    QString patientName, patientId, birthDate, sex;
    QString studyUid, studyDate, studyTime, studyId, accessionNumber, referringPhysician, studyDescription;
};

// A device the report names: the workstation that writes it (the equipment
// module; DCMTK writes no report without model, serial number and software
// versions), or the X-ray unit (the device observer and irradiating device).
struct DoseReportDevice {
    QString observerUid;
    QString name, manufacturer, model, serialNumber, softwareVersions;
};

// The X-ray unit when nobody entered it: "unknown" for name, manufacturer,
// model and serial number, and this UID (the same on every station; a
// registry files these doses under "not identified", never under a workstation).
inline constexpr const char *UnknownXrayUnitUid = "2.25.109091184053903831197437516778605133681";
DoseReportDevice UnknownXrayUnit();

// One exposure of the study, whether or not it gave a kept image.
struct DoseReportEvent {
    QString eventUid;
    QString dateTime;   // YYYYMMDDHHMMSS
    QString laterality; // "L", "R" or empty
    QString view;       // "CC", "MLO", "ML" or empty
    std::optional<double> kvp;
    std::optional<double> exposureUAs;
    std::optional<double> exposureTimeMs;
    std::optional<double> thicknessMm;
    std::optional<double> compressionN;
    QString anodeTarget;    // the defined terms: TUNGSTEN, MOLYBDENUM, RHODIUM
    QString filterMaterial; // MOLYBDENUM, RHODIUM, SILVER, ALUMINUM, COPPER
    std::optional<double> hvlMm;
    std::optional<double> entranceExposureMGy; // incident air kerma at the breast's upper surface
    std::optional<double> agdMGy;
    QString agdMissing; // why there is no AGD, for the refusal
    DoseReportDevice irradiatingDevice; // the X-ray unit; without a UID the report's xrayUnit
    bool rejected = false; // taken off the dose list during her examination: no image kept
};

struct DoseReportInput {
    DoseReportStudy study;
    DoseReportDevice device;   // the workstation writing the report
    DoseReportDevice xrayUnit; // the device observer; without a UID: UnknownXrayUnit()
    QString seriesUid; // empty: new ones; else the UIDs of the workstation's own report this one replaces
    QString sopUid;
    QString seriesNumber, instanceNumber;
    QList<DoseReportEvent> events;
};

struct DoseReportWritten : Result {
    QString seriesUid;
    QString sopUid;
    // The report as written, in memory: sent from here, the file is not read back.
    ToolkitImagePtr object;
};

// Builds the report and writes it as a DICOM file. Fails, and writes nothing,
// when there is no event, an event has no UID, or one lacks its AGD, which
// the template requires for every mammography event.
DoseReportWritten WriteDoseReport(const DoseReportInput &input, const QString &path);

// A UID that is the same for the same name on every run ("2.25." and a
// name-based UUID): the device observer's UID.
QString UidForName(const QString &name);

// The number of irradiation events of the dose report in the file; -1 when
// the file is no readable dose report.
int DoseReportEventCount(const QString &path, Result *error = nullptr);

// The SOP class of the report.
inline constexpr const char *DoseReportSopClass = "1.2.840.10008.5.1.4.1.1.88.67";

// The Manufacturer (0008,0070) and Manufacturer's Model Name (0008,1090) this
// workstation writes into its report. An X-ray unit's report, or another
// program's, never carries both, so they tell the workstation's own report apart.
inline constexpr const char *StationReportManufacturer = "Lumora";
inline constexpr const char *StationReportModel = "OrvanaMammo";

// True when the file is a dose report this workstation wrote; false for any
// other report and for a file that cannot be read.
bool IsStationDoseReport(const QString &path);
