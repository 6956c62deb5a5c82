#pragma once

// The attributes the workstation reads and writes, by their keyword in the
// DICOM data dictionary. Plain numbers only: callers above the toolkit include
// this without DCMTK.

#include <QString>

// One attribute tag (gggg,eeee).
struct ToolkitTag {
    quint16 group;
    quint16 element;
    // gggg << 16 | eeee, as the header editor keys its values.
    constexpr quint32 key() const { return quint32(group) << 16 | element; }
    // "GGGG,EEEE", as the dictionary table and the task lists write a tag.
    QString text() const
    {
        return QStringLiteral("%1,%2").arg(group, 4, 16, QLatin1Char('0')).arg(element, 4, 16, QLatin1Char('0')).toUpper();
    }
};

constexpr bool operator==(ToolkitTag a, ToolkitTag b) { return a.key() == b.key(); }

namespace Tags {
// Identification
inline constexpr ToolkitTag SpecificCharacterSet{0x0008, 0x0005};
inline constexpr ToolkitTag SOPClassUID{0x0008, 0x0016};
inline constexpr ToolkitTag SOPInstanceUID{0x0008, 0x0018};
inline constexpr ToolkitTag IrradiationEventUID{0x0008, 0x3010};
inline constexpr ToolkitTag StudyDate{0x0008, 0x0020};
inline constexpr ToolkitTag StudyTime{0x0008, 0x0030};
inline constexpr ToolkitTag AccessionNumber{0x0008, 0x0050};
inline constexpr ToolkitTag Modality{0x0008, 0x0060};
inline constexpr ToolkitTag PresentationIntentType{0x0008, 0x0068};
inline constexpr ToolkitTag Manufacturer{0x0008, 0x0070};
inline constexpr ToolkitTag InstitutionName{0x0008, 0x0080};
inline constexpr ToolkitTag ReferringPhysicianName{0x0008, 0x0090};
inline constexpr ToolkitTag CodeValue{0x0008, 0x0100};
inline constexpr ToolkitTag CodingSchemeDesignator{0x0008, 0x0102};
inline constexpr ToolkitTag CodeMeaning{0x0008, 0x0104};
inline constexpr ToolkitTag StudyDescription{0x0008, 0x1030};
inline constexpr ToolkitTag ReferencedStudySequence{0x0008, 0x1110};
inline constexpr ToolkitTag ReferencedSOPClassUID{0x0008, 0x1150};
inline constexpr ToolkitTag ReferencedSOPInstanceUID{0x0008, 0x1155};
inline constexpr ToolkitTag AnatomicRegionSequence{0x0008, 0x2218};

// Patient
inline constexpr ToolkitTag PatientName{0x0010, 0x0010};
inline constexpr ToolkitTag PatientID{0x0010, 0x0020};
inline constexpr ToolkitTag PatientBirthDate{0x0010, 0x0030};
inline constexpr ToolkitTag PatientSex{0x0010, 0x0040};
inline constexpr ToolkitTag PatientSize{0x0010, 0x1020};
inline constexpr ToolkitTag PatientWeight{0x0010, 0x1030};
inline constexpr ToolkitTag PatientAddress{0x0010, 0x1040};
inline constexpr ToolkitTag MedicalAlerts{0x0010, 0x2000};
inline constexpr ToolkitTag Allergies{0x0010, 0x2110};
inline constexpr ToolkitTag PregnancyStatus{0x0010, 0x21C0};

// Acquisition
inline constexpr ToolkitTag BodyPartExamined{0x0018, 0x0015};
inline constexpr ToolkitTag KVP{0x0018, 0x0060};
inline constexpr ToolkitTag ExposureTime{0x0018, 0x1150};
inline constexpr ToolkitTag Exposure{0x0018, 0x1152};
inline constexpr ToolkitTag ExposureInuAs{0x0018, 0x1153};
inline constexpr ToolkitTag BodyPartThickness{0x0018, 0x11A0};
inline constexpr ToolkitTag CompressionForce{0x0018, 0x11A2};
inline constexpr ToolkitTag AnodeTargetMaterial{0x0018, 0x1191};
inline constexpr ToolkitTag RelativeXRayExposure{0x0018, 0x1405};
inline constexpr ToolkitTag TomoLayerHeight{0x0018, 0x1460};
inline constexpr ToolkitTag PositionerType{0x0018, 0x1508};
inline constexpr ToolkitTag DetectorPrimaryAngle{0x0018, 0x1530};
inline constexpr ToolkitTag PatientPosition{0x0018, 0x5100};
inline constexpr ToolkitTag ViewPosition{0x0018, 0x5101};
inline constexpr ToolkitTag Sensitivity{0x0018, 0x6000};
inline constexpr ToolkitTag DetectorType{0x0018, 0x7004};
inline constexpr ToolkitTag FilterMaterial{0x0018, 0x7050};

// Study, series, image
inline constexpr ToolkitTag StudyInstanceUID{0x0020, 0x000D};
inline constexpr ToolkitTag SeriesInstanceUID{0x0020, 0x000E};
inline constexpr ToolkitTag StudyID{0x0020, 0x0010};
inline constexpr ToolkitTag SeriesNumber{0x0020, 0x0011};
inline constexpr ToolkitTag PatientOrientation{0x0020, 0x0020};
inline constexpr ToolkitTag Laterality{0x0020, 0x0060};
inline constexpr ToolkitTag ImageLaterality{0x0020, 0x0062};
inline constexpr ToolkitTag PhotometricInterpretation{0x0028, 0x0004};
inline constexpr ToolkitTag BurnedInAnnotation{0x0028, 0x0301};
inline constexpr ToolkitTag PixelIntensityRelationship{0x0028, 0x1040};
inline constexpr ToolkitTag PixelIntensityRelationshipSign{0x0028, 0x1041};
inline constexpr ToolkitTag WindowCenter{0x0028, 0x1050};
inline constexpr ToolkitTag WindowWidth{0x0028, 0x1051};
inline constexpr ToolkitTag RescaleType{0x0028, 0x1054};

// Requested procedure and visit
inline constexpr ToolkitTag RequestingPhysician{0x0032, 0x1032};
inline constexpr ToolkitTag RequestingService{0x0032, 0x1033};
inline constexpr ToolkitTag RequestedProcedureDescription{0x0032, 0x1060};
inline constexpr ToolkitTag RequestedProcedureCodeSequence{0x0032, 0x1064};
inline constexpr ToolkitTag RequestedContrastAgent{0x0032, 0x1070};
inline constexpr ToolkitTag AdmissionID{0x0038, 0x0010};
inline constexpr ToolkitTag SpecialNeeds{0x0038, 0x0050};
inline constexpr ToolkitTag CurrentPatientLocation{0x0038, 0x0300};
inline constexpr ToolkitTag PatientInstitutionResidence{0x0038, 0x0400};
inline constexpr ToolkitTag PatientState{0x0038, 0x0500};

// Scheduled procedure step
inline constexpr ToolkitTag ScheduledStationAETitle{0x0040, 0x0001};
inline constexpr ToolkitTag ScheduledProcedureStepStartDate{0x0040, 0x0002};
inline constexpr ToolkitTag ScheduledProcedureStepStartTime{0x0040, 0x0003};
inline constexpr ToolkitTag ScheduledPerformingPhysicianName{0x0040, 0x0006};
inline constexpr ToolkitTag ScheduledProcedureStepDescription{0x0040, 0x0007};
inline constexpr ToolkitTag ScheduledProtocolCodeSequence{0x0040, 0x0008};
inline constexpr ToolkitTag ScheduledProcedureStepID{0x0040, 0x0009};
inline constexpr ToolkitTag ScheduledStationName{0x0040, 0x0010};
inline constexpr ToolkitTag ScheduledProcedureStepLocation{0x0040, 0x0011};
inline constexpr ToolkitTag PreMedication{0x0040, 0x0012};
inline constexpr ToolkitTag ScheduledProcedureStepSequence{0x0040, 0x0100};
inline constexpr ToolkitTag HalfValueLayer{0x0040, 0x0314};
inline constexpr ToolkitTag OrganDose{0x0040, 0x0316};
inline constexpr ToolkitTag OrganExposed{0x0040, 0x0318};
inline constexpr ToolkitTag AcquisitionContextSequence{0x0040, 0x0555};
inline constexpr ToolkitTag RequestedProcedureID{0x0040, 0x1001};
inline constexpr ToolkitTag RequestedProcedurePriority{0x0040, 0x1003};
inline constexpr ToolkitTag PatientTransportArrangements{0x0040, 0x1004};
inline constexpr ToolkitTag ConfidentialityConstraintOnPatientDataDescription{0x0040, 0x3001};
inline constexpr ToolkitTag EntranceDoseInmGy{0x0040, 0x8302};
inline constexpr ToolkitTag EntranceDoseDerivation{0x0040, 0x8303};

// Mammography view and presentation
inline constexpr ToolkitTag ViewCodeSequence{0x0054, 0x0220};
inline constexpr ToolkitTag ViewModifierCodeSequence{0x0054, 0x0222};
inline constexpr ToolkitTag PresentationLUTShape{0x2050, 0x0020};
} // namespace Tags
