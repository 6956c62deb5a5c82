#include "support/UnitDoseReport.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmsr/codes/dcm.h>
#include <dcmtk/dcmsr/codes/sct.h>
#include <dcmtk/dcmsr/dsrdoc.h>
#include <dcmtk/dcmsr/dsrnumvl.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

OFString of(const QString &s) { return OFString(s.toUtf8().constData()); }

// Adds a child below the current item and goes back up, so the current item stays the parent.
class Items {
public:
    explicit Items(DSRDocumentTree &tree) : tree_(tree) {}
    OFCondition condition() const { return c_; }

    bool down(DSRTypes::E_RelationshipType rel, DSRTypes::E_ValueType type, const DSRCodedEntryValue &name)
    {
        if (c_.good())
            c_ = tree_.addChildContentItem(rel, type, name);
        return c_.good();
    }
    void up()
    {
        if (c_.good() && tree_.goUp() == 0)
            c_ = SR_EC_InvalidDocumentTree;
    }
    void code(DSRTypes::E_RelationshipType rel, const DSRCodedEntryValue &name, const DSRCodedEntryValue &value)
    {
        if (down(rel, DSRTypes::VT_Code, name))
            keep(tree_.getCurrentContentItem().setCodeValue(value));
        up();
    }
    void text(DSRTypes::E_RelationshipType rel, DSRTypes::E_ValueType type, const DSRCodedEntryValue &name, const QString &value)
    {
        if (down(rel, type, name))
            keep(tree_.getCurrentContentItem().setStringValue(of(value)));
        up();
    }
    void number(const DSRCodedEntryValue &name, double value, const char *unit)
    {
        if (down(DSRTypes::RT_contains, DSRTypes::VT_Num, name))
            keep(tree_.getCurrentContentItem().setNumericValue(
                DSRNumericMeasurementValue(of(QString::number(value, 'f', 3)), DSRCodedEntryValue(unit, "UCUM", unit))));
        up();
    }

private:
    void keep(const OFCondition &c)
    {
        if (c_.good())
            c_ = c;
    }
    DSRDocumentTree &tree_;
    OFCondition c_ = EC_Normal;
};

} // namespace

QString WriteUnitDoseReport(UnitDoseReport &r, const QString &path)
{
    DSRDocument doc(DSRTypes::DT_XRayRadiationDoseSR);
    OFCondition c = doc.createNewSeriesInStudy(of(r.studyUid));
    auto set = [&c](const OFCondition &next) {
        if (c.good())
            c = next;
    };
    set(doc.setPatientName(of(r.patientName)));
    set(doc.setPatientID(of(r.patientId)));
    set(doc.setPatientBirthDate(of(r.birthDate)));
    set(doc.setPatientSex(of(r.sex)));
    set(doc.setStudyDate(of(r.studyDate)));
    set(doc.setStudyTime(of(r.studyTime)));
    set(doc.setAccessionNumber(of(r.accessionNumber)));
    set(doc.setSeriesNumber("7"));
    set(doc.setSeriesDescription("Dose Info"));
    set(doc.setManufacturer("Vendex Medical"));
    set(doc.setManufacturerModelName("Senora DR"));
    set(doc.setDeviceSerialNumber("VX-20417"));
    set(doc.setSoftwareVersions("4.2.1"));

    DSRDocumentTree &tree = doc.getTree();
    Items items(tree);
    using T = DSRTypes;
    if (c.good() && tree.addContentItem(T::RT_isRoot, T::VT_Container) > 0) {
        c = tree.getCurrentContentItem().setConceptName(CODE_DCM_XRayRadiationDoseReport);
        if (c.good())
            c = tree.setTemplateIdentification("10001", "DCMR");
    } else if (c.good()) {
        c = SR_EC_InvalidDocumentTree;
    }
    if (c.good()) {
        items.code(T::RT_hasConceptMod, CODE_DCM_ProcedureReported, DSRCodedEntryValue("71651007", "SCT", "Mammography"));
        items.code(T::RT_hasObsContext, CODE_DCM_ObserverType, CODE_DCM_Device);
        items.text(T::RT_hasObsContext, T::VT_UIDRef, CODE_DCM_DeviceObserverUID, QStringLiteral("2.25.204170000000000000000000000000001"));
        items.text(T::RT_hasObsContext, T::VT_Text, CODE_DCM_DeviceObserverName, QStringLiteral("MAMMO-ROOM-2"));
        items.text(T::RT_hasObsContext, T::VT_Text, CODE_DCM_DeviceObserverManufacturer, QStringLiteral("Vendex Medical"));
        if (items.down(T::RT_hasObsContext, T::VT_Code, CODE_DCM_ScopeOfAccumulation)) {
            tree.getCurrentContentItem().setCodeValue(CODE_DCM_Study);
            items.text(T::RT_hasProperties, T::VT_UIDRef, CODE_DCM_StudyInstanceUID, r.studyUid);
        }
        items.up();
        if (items.down(T::RT_contains, T::VT_Container, CODE_DCM_AccumulatedXRayDoseData)) {
            items.code(T::RT_hasConceptMod, CODE_DCM_AcquisitionPlane, CODE_DCM_SinglePlane);
            items.number(CODE_DCM_AccumulatedAverageGlandularDose, r.agdMGy, "mGy");
        }
        items.up();
        if (items.down(T::RT_contains, T::VT_Container, CODE_DCM_IrradiationEventXRayData)) {
            items.code(T::RT_hasConceptMod, CODE_DCM_AcquisitionPlane, CODE_DCM_SinglePlane);
            items.text(T::RT_contains, T::VT_UIDRef, CODE_DCM_IrradiationEventUID, r.eventUid);
            items.text(T::RT_contains, T::VT_DateTime, CODE_DCM_DateTimeStarted, r.dateTime);
            items.code(T::RT_contains, CODE_DCM_IrradiationEventType, CODE_DCM_StationaryAcquisition_113611);
            items.number(CODE_DCM_AverageGlandularDose, r.agdMGy, "mGy");
        }
        items.up();
        items.code(T::RT_contains, CODE_DCM_SourceOfDoseInformation, CODE_DCM_AutomatedDataCollection);
        c = items.condition();
    }
    if (c.good())
        c = doc.completeDocument();
    DcmFileFormat file;
    if (c.good())
        c = doc.write(*file.getDataset());
    // What the unit writes and a workstation does not.
    if (c.good())
        c = file.getDataset()->putAndInsertString(DCM_StationName, "MAMMO-ROOM-2");
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (c.good())
        c = file.saveFile(OFFilename(QFile::encodeName(path).constData()), EXS_LittleEndianExplicit);
    if (c.bad())
        return QString::fromLatin1(c.text());
    OFString uid;
    file.getDataset()->findAndGetOFString(DCM_SeriesInstanceUID, uid);
    r.seriesUid = QString::fromLatin1(uid.c_str());
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
    r.sopUid = QString::fromLatin1(uid.c_str());
    return {};
}
