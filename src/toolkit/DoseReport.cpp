#include "toolkit/DoseReport.h"
#include "toolkit/ToolkitInternal.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmsr/codes/dcm.h>
#include <dcmtk/dcmsr/codes/sct.h>
#include <dcmtk/dcmsr/dsrdoc.h>
#include <dcmtk/dcmsr/dsrnumvl.h>

#include <QCryptographicHash>
#include <QFile>
#include <QUuid>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

OFString of(const QString &s) { return OFString(s.toUtf8().constData()); }

DSRCodedEntryValue sct(const char *value, const char *meaning) { return DSRCodedEntryValue(value, "SCT", meaning); }
DSRCodedEntryValue ucum(const char *unit)
{
    return qstrcmp(unit, "1") == 0 ? DSRCodedEntryValue("1", "UCUM", "no units") : DSRCodedEntryValue(unit, "UCUM", unit);
}

// A decimal string of at most 16 characters, without an exponent for the
// sizes a dose report holds.
OFString decimal(double v)
{
    QString s = QString::number(v, 'f', 6);
    while (s.contains(QLatin1Char('.')) && (s.endsWith(QLatin1Char('0')) || s.endsWith(QLatin1Char('.'))))
        s.chop(1);
    if (s.size() > 16)
        s = QString::number(v, 'g', 10);
    return of(s);
}

// The materials of the anode target and filter codes, and where each is one.
struct Material {
    const char *term, *code, *meaning;
    bool anode, filter;
};
constexpr Material kMaterials[] = {
    {"MOLYBDENUM", "105860002", "Molybdenum or Molybdenum compound", true, true},
    {"RHODIUM", "105877002", "Rhodium or Rhodium compound", true, true},
    {"TUNGSTEN", "105874009", "Tungsten or Tungsten compound", true, false},
    {"SILVER", "105847008", "Silver or Silver compound", false, true},
    {"ALUMINUM", "105830007", "Aluminum or Aluminum compound", false, true},
    {"COPPER", "105837005", "Copper or Copper compound", false, true},
};

std::optional<DSRCodedEntryValue> materialCode(const QString &term, bool anode)
{
    for (const Material &m : kMaterials)
        if (term == QLatin1String(m.term) && (anode ? m.anode : m.filter))
            return sct(m.code, m.meaning);
    return std::nullopt;
}

std::optional<DSRCodedEntryValue> viewCode(const QString &view)
{
    if (view == QLatin1String("CC"))
        return sct("399162004", "cranio-caudal");
    if (view == QLatin1String("MLO"))
        return sct("399368009", "medio-lateral oblique");
    if (view == QLatin1String("ML"))
        return sct("399260004", "medio-lateral");
    return std::nullopt;
}

DSRCodedEntryValue breastCode(const QString &side)
{
    return side == QLatin1String("L") ? sct("80248007", "Left breast") : sct("73056007", "Right breast");
}

// Adds content items below a node and remembers the first failure.
class TreeBuilder {
public:
    explicit TreeBuilder(DSRDocumentTree &tree) : tree_(tree) {}

    // The cursor stays on the path to the last item added; going up it is
    // cheap, where a search by node ID would walk the whole tree each time.
    void start(size_t root) { path_ = {root}; }
    size_t add(size_t parent, DSRTypes::E_RelationshipType rel, DSRTypes::E_ValueType type, const DSRCodedEntryValue &name)
    {
        if (cond_.bad() || parent == 0)
            return 0;
        while (!path_.empty() && path_.back() != parent) {
            path_.pop_back();
            tree_.goUp();
        }
        if (path_.empty()) {
            if (tree_.gotoNode(parent) == 0) {
                cond_ = SR_EC_InvalidDocumentTree;
                return 0;
            }
            path_ = {parent};
        }
        cond_ = tree_.addChildContentItem(rel, type, name);
        if (cond_.bad())
            return 0;
        path_.push_back(tree_.getNodeID());
        return path_.back();
    }
    size_t code(size_t parent, DSRTypes::E_RelationshipType rel, const DSRCodedEntryValue &name, const DSRCodedEntryValue &value)
    {
        const size_t id = add(parent, rel, DSRTypes::VT_Code, name);
        if (id)
            keep(tree_.getCurrentContentItem().setCodeValue(value));
        return id;
    }
    size_t text(size_t parent, DSRTypes::E_RelationshipType rel, DSRTypes::E_ValueType type, const DSRCodedEntryValue &name,
                const QString &value)
    {
        const size_t id = add(parent, rel, type, name);
        if (id)
            keep(tree_.getCurrentContentItem().setStringValue(of(value)));
        return id;
    }
    size_t number(size_t parent, const DSRCodedEntryValue &name, const std::optional<double> &value, const char *unit)
    {
        const size_t id = value ? add(parent, DSRTypes::RT_contains, DSRTypes::VT_Num, name) : 0;
        if (id)
            keep(tree_.getCurrentContentItem().setNumericValue(DSRNumericMeasurementValue(decimal(*value), ucum(unit))));
        return id;
    }
    OFCondition condition() const { return cond_; }

private:
    void keep(const OFCondition &c)
    {
        if (cond_.good())
            cond_ = c;
    }
    DSRDocumentTree &tree_;
    std::vector<size_t> path_;
    OFCondition cond_ = EC_Normal;
};

// A device given by UID needs the rows the device participant requires.
bool incomplete(const DoseReportDevice &d)
{
    return !d.observerUid.isEmpty() && (d.manufacturer.isEmpty() || d.model.isEmpty() || d.serialNumber.isEmpty());
}

QString checkInput(const DoseReportInput &in)
{
    if (in.study.studyUid.isEmpty())
        return QStringLiteral("the study has no Study Instance UID");
    if (incomplete(in.xrayUnit) || std::any_of(in.events.begin(), in.events.end(), [](const DoseReportEvent &e) { return incomplete(e.irradiatingDevice); }))
        return QStringLiteral("the X-ray unit lacks its manufacturer, model or serial number");
    if (in.events.isEmpty())
        return QStringLiteral("the study has no exposure in the journal");
    for (const DoseReportEvent &e : in.events) {
        if (e.eventUid.isEmpty())
            return QStringLiteral("an exposure has no Irradiation Event UID");
        if (e.dateTime.isEmpty())
            return QStringLiteral("an exposure has no date and time");
        if (!e.agdMGy)
            return QStringLiteral("the AGD of an exposure is unknown (%1)")
                .arg(e.agdMissing.isEmpty() ? QStringLiteral("the journal gives no reason") : e.agdMissing);
    }
    return {};
}

} // namespace

QString UidForName(const QString &name)
{
    const QUuid uuid = QUuid::createUuidV5(QUuid(QStringLiteral("{6ba7b811-9dad-11d1-80b4-00c04fd430c8}")), name);
    const QByteArray bytes = uuid.toRfc4122();
    // The 128-bit number in decimal, by long division of its base-256 digits.
    QList<int> digits(bytes.begin(), bytes.end());
    for (int &d : digits)
        d &= 0xff;
    QString out;
    while (!digits.isEmpty()) {
        int rest = 0;
        QList<int> next;
        for (int d : digits) {
            const int v = rest * 256 + d;
            if (!next.isEmpty() || v / 10)
                next << v / 10;
            rest = v % 10;
        }
        out.prepend(QChar(u'0' + rest));
        digits = next;
    }
    return QStringLiteral("2.25.") + out;
}

DoseReportDevice UnknownXrayUnit()
{
    const QString unknown = QStringLiteral("unknown");
    return {QString::fromLatin1(UnknownXrayUnitUid), unknown, unknown, unknown, unknown, QString()};
}

DoseReportWritten WriteDoseReport(const DoseReportInput &in, const QString &path)
{
    DoseReportWritten out;
    if (const QString why = checkInput(in); !why.isEmpty()) {
        out.number = ErrorCode::InvalidCall;
        out.text = QStringLiteral("No dose report: ") + why;
        return out;
    }
    DSRDocument doc(DSRTypes::DT_XRayRadiationDoseSR);
    doc.setSpecificCharacterSetType(DSRTypes::CS_UTF8);
    const DoseReportStudy &s = in.study;
    OFCondition c = doc.createNewSeriesInStudy(of(s.studyUid));
    auto set = [&c](const std::function<OFCondition()> &f) {
        if (c.good())
            c = f();
    };
    // DCMTK checks VR and VM; a value the study row holds in another form is left out rather than failing the report.
    auto optional = [](const std::function<OFCondition()> &f) { f(); };
    set([&] { return doc.setPatientName(of(s.patientName)); });
    set([&] { return doc.setPatientID(of(s.patientId)); });
    optional([&] { return doc.setPatientBirthDate(of(s.birthDate)); });
    optional([&] { return doc.setPatientSex(of(s.sex)); });
    optional([&] { return doc.setStudyDate(of(s.studyDate)); });
    optional([&] { return doc.setStudyTime(of(s.studyTime)); });
    optional([&] { return doc.setStudyID(of(s.studyId)); });
    optional([&] { return doc.setAccessionNumber(of(s.accessionNumber)); });
    optional([&] { return doc.setReferringPhysicianName(of(s.referringPhysician)); });
    optional([&] { return doc.setStudyDescription(of(s.studyDescription)); });
    set([&] { return doc.setSeriesDescription("Radiation Dose Report"); });
    optional([&] { return doc.setSeriesNumber(of(in.seriesNumber)); });
    optional([&] { return doc.setInstanceNumber(of(in.instanceNumber)); });
    const DoseReportDevice &d = in.device;
    set([&] { return doc.setManufacturer(of(d.manufacturer)); });
    set([&] { return doc.setManufacturerModelName(of(d.model)); });
    set([&] { return doc.setDeviceSerialNumber(of(d.serialNumber)); });
    set([&] { return doc.setSoftwareVersions(of(d.softwareVersions)); });

    DSRDocumentTree &tree = doc.getTree();
    TreeBuilder b(tree);
    size_t root = 0;
    if (c.good() && tree.addContentItem(DSRTypes::RT_isRoot, DSRTypes::VT_Container) > 0) {
        root = tree.getNodeID();
        c = tree.getCurrentContentItem().setConceptName(CODE_DCM_XRayRadiationDoseReport);
        if (c.good())
            c = tree.setTemplateIdentification("10001", "DCMR");
        b.start(root);
    } else if (c.good()) {
        c = SR_EC_InvalidDocumentTree;
    }
    if (c.good()) {
        using T = DSRTypes;
        const size_t procedure = b.code(root, T::RT_hasConceptMod, CODE_DCM_ProcedureReported, sct("71651007", "Mammography"));
        b.code(procedure, T::RT_hasConceptMod, sct("363703001", "Has Intent"), sct("261004008", "Diagnostic Intent"));
        // The observer is the X-ray unit that irradiated, never the workstation writing the report.
        const DoseReportDevice unit = in.xrayUnit.observerUid.isEmpty() ? UnknownXrayUnit() : in.xrayUnit;
        b.code(root, T::RT_hasObsContext, CODE_DCM_ObserverType, CODE_DCM_Device);
        b.text(root, T::RT_hasObsContext, T::VT_UIDRef, CODE_DCM_DeviceObserverUID, unit.observerUid);
        if (!unit.name.isEmpty())
            b.text(root, T::RT_hasObsContext, T::VT_Text, CODE_DCM_DeviceObserverName, unit.name);
        b.text(root, T::RT_hasObsContext, T::VT_Text, CODE_DCM_DeviceObserverManufacturer, unit.manufacturer);
        b.text(root, T::RT_hasObsContext, T::VT_Text, CODE_DCM_DeviceObserverModelName, unit.model);
        b.text(root, T::RT_hasObsContext, T::VT_Text, CODE_DCM_DeviceObserverSerialNumber, unit.serialNumber);
        b.code(root, T::RT_hasObsContext, CODE_DCM_DeviceRoleInProcedure, CODE_DCM_IrradiatingDevice);
        const size_t scope = b.code(root, T::RT_hasObsContext, CODE_DCM_ScopeOfAccumulation, CODE_DCM_Study);
        b.text(scope, T::RT_hasProperties, T::VT_UIDRef, CODE_DCM_StudyInstanceUID, s.studyUid);

        // Accumulated AGD per breast, over the events that name their side,
        // rejected exposures included: she received their dose.
        const size_t accumulated = b.add(root, T::RT_contains, T::VT_Container, CODE_DCM_AccumulatedXRayDoseData);
        b.code(accumulated, T::RT_hasConceptMod, CODE_DCM_AcquisitionPlane, CODE_DCM_SinglePlane);
        for (const QString &side : {QStringLiteral("L"), QStringLiteral("R")}) {
            std::optional<double> sum;
            for (const DoseReportEvent &e : in.events)
                if (e.laterality == side)
                    sum = sum.value_or(0.0) + *e.agdMGy;
            if (!sum)
                continue;
            const size_t agd = b.number(accumulated, CODE_DCM_AccumulatedAverageGlandularDose, sum, "mGy");
            b.code(agd, T::RT_hasConceptMod, CODE_SCT_Laterality, breastCode(side));
        }

        for (const DoseReportEvent &e : in.events) {
            const size_t ev = b.add(root, T::RT_contains, T::VT_Container, CODE_DCM_IrradiationEventXRayData);
            b.code(ev, T::RT_hasConceptMod, CODE_DCM_AcquisitionPlane, CODE_DCM_SinglePlane);
            b.text(ev, T::RT_contains, T::VT_UIDRef, CODE_DCM_IrradiationEventUID, e.eventUid);
            b.text(ev, T::RT_contains, T::VT_DateTime, CODE_DCM_DateTimeStarted, e.dateTime);
            b.code(ev, T::RT_contains, CODE_DCM_IrradiationEventType, CODE_DCM_StationaryAcquisition_113611);
            if (e.laterality == QLatin1String("L") || e.laterality == QLatin1String("R")) {
                const size_t breast = b.code(ev, T::RT_contains, sct("91723000", "Anatomical structure"), sct("76752008", "Breast"));
                b.code(breast, T::RT_hasConceptMod, CODE_SCT_Laterality,
                       e.laterality == QLatin1String("L") ? sct("7771000", "Left") : sct("24028007", "Right"));
            }
            if (const auto view = viewCode(e.view))
                b.code(ev, T::RT_contains, CODE_DCM_ImageView, *view);
            b.code(ev, T::RT_contains, CODE_DCM_TargetRegion, sct("76752008", "Breast"));
            b.number(ev, CODE_DCM_HalfValueLayer, e.hvlMm, "mm");
            if (e.entranceExposureMGy) {
                b.number(ev, CODE_DCM_EntranceExposureAtRP, e.entranceExposureMGy, "mGy");
                b.code(ev, T::RT_contains, CODE_DCM_ReferencePointDefinition, CODE_DCM_AtSurfaceOfPatient);
            }
            b.number(ev, CODE_DCM_AverageGlandularDose, e.agdMGy, "mGy");
            b.number(ev, CODE_DCM_NumberOfPulses, 1.0, "1");
            b.number(ev, CODE_DCM_KVP, e.kvp, "kV");
            b.number(ev, CODE_DCM_ExposureTime, e.exposureTimeMs, "ms");
            b.number(ev, CODE_DCM_Exposure, e.exposureUAs, "uA.s");
            if (const auto anode = materialCode(e.anodeTarget, true))
                b.code(ev, T::RT_contains, CODE_DCM_AnodeTargetMaterial, *anode);
            if (const auto filter = materialCode(e.filterMaterial, false)) {
                const size_t filters = b.add(ev, T::RT_contains, T::VT_Container, CODE_DCM_XRayFilters);
                b.code(filters, T::RT_contains, CODE_DCM_XRayFilterType, CODE_DCM_FlatFilter);
                b.code(filters, T::RT_contains, CODE_DCM_XRayFilterMaterial, *filter);
            }
            // The irradiating device (a device participant with its role).
            const DoseReportDevice &by = e.irradiatingDevice.observerUid.isEmpty() ? unit : e.irradiatingDevice;
            const size_t role = b.code(ev, T::RT_contains, CODE_DCM_DeviceRoleInProcedure, CODE_DCM_IrradiatingDevice);
            if (!by.name.isEmpty())
                b.text(role, T::RT_hasProperties, T::VT_Text, CODE_DCM_DeviceName, by.name);
            b.text(role, T::RT_hasProperties, T::VT_Text, CODE_DCM_DeviceManufacturer, by.manufacturer);
            b.text(role, T::RT_hasProperties, T::VT_Text, CODE_DCM_DeviceModelName, by.model);
            b.text(role, T::RT_hasProperties, T::VT_Text, CODE_DCM_DeviceSerialNumber, by.serialNumber);
            b.text(role, T::RT_hasProperties, T::VT_UIDRef, CODE_DCM_DeviceObserverUID, by.observerUid);
            b.number(ev, CODE_DCM_CompressionThickness, e.thicknessMm, "mm");
            b.number(ev, CODE_DCM_CompressionForce, e.compressionN, "N");
            // She received the dose though no image was kept: the reader sees why there is no image.
            if (e.rejected)
                b.text(ev, T::RT_contains, T::VT_Text, CODE_DCM_Comment, QStringLiteral("Rejected exposure: no image kept"));
        }
        b.code(root, T::RT_contains, CODE_DCM_SourceOfDoseInformation, CODE_DCM_AutomatedDataCollection);
        c = b.condition();
    }
    if (c.good())
        c = doc.completeDocument();
    const ToolkitImagePtr object = NewToolkitObject(path);
    DcmFileFormat &file = *ToolkitFileFormat(object);
    if (c.good())
        c = doc.write(*file.getDataset());
    // A report written again for the same study keeps the UIDs of the one it replaces.
    if (c.good() && !in.seriesUid.isEmpty())
        c = file.getDataset()->putAndInsertString(DCM_SeriesInstanceUID, in.seriesUid.toLatin1().constData());
    if (c.good() && !in.sopUid.isEmpty())
        c = file.getDataset()->putAndInsertString(DCM_SOPInstanceUID, in.sopUid.toLatin1().constData());
    if (c.good())
        c = file.saveFile(OFFilename(QFile::encodeName(path).constData()), EXS_LittleEndianExplicit, EET_UndefinedLength);
    if (c.bad()) {
        QFile::remove(path);
        out.number = ErrorCode::WriteFailed;
        out.text = QStringLiteral("Dose report not written: %1").arg(QString::fromLatin1(c.text()));
        return out;
    }
    OFString uid;
    file.getDataset()->findAndGetOFString(DCM_SeriesInstanceUID, uid);
    out.seriesUid = QString::fromLatin1(uid.c_str());
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
    out.sopUid = QString::fromLatin1(uid.c_str());
    out.object = object;
    return out;
}

bool IsStationDoseReport(const QString &path)
{
    DcmFileFormat file;
    if (file.loadFile(OFFilename(QFile::encodeName(path).constData())).bad())
        return false;
    DcmDataset &ds = *file.getDataset();
    OFString sopClass, manufacturer, model;
    ds.findAndGetOFString(DCM_SOPClassUID, sopClass);
    ds.findAndGetOFString(DCM_Manufacturer, manufacturer);
    ds.findAndGetOFString(DCM_ManufacturerModelName, model);
    return sopClass == DoseReportSopClass && manufacturer == StationReportManufacturer && model == StationReportModel;
}

int DoseReportEventCount(const QString &path, Result *error)
{
    DcmFileFormat file;
    DSRDocument doc;
    OFCondition c = file.loadFile(OFFilename(QFile::encodeName(path).constData()));
    if (c.good())
        c = doc.read(*file.getDataset());
    if (c.good() && doc.getDocumentType() != DSRTypes::DT_XRayRadiationDoseSR)
        c = SR_EC_UnsupportedValue;
    if (c.bad()) {
        if (error)
            *error = Result::failure(ErrorCode::NotReadable, QStringLiteral("%1: %2").arg(path, QString::fromLatin1(c.text())));
        return -1;
    }
    int count = 0;
    DSRDocumentTree &tree = doc.getTree();
    if (tree.gotoRoot() && tree.gotoNamedChildNode(CODE_DCM_IrradiationEventXRayData)) {
        ++count;
        while (tree.gotoNextNamedNode(CODE_DCM_IrradiationEventXRayData, OFFalse))
            ++count;
    }
    return count;
}
