#include "audit/AuditMessage.h"

#include <QXmlStreamWriter>

namespace {

// One line per message and nothing XML 1.0 cannot carry: control
// characters (a line break in a peer's error text) become spaces.
QString clean(const QString &text)
{
    QString out = text;
    for (QChar &c : out)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.unicode() == 0xfffe || c.unicode() == 0xffff)
            c = QLatin1Char(' ');
    return out;
}

// xsd:token: no leading, trailing or doubled spaces.
QString token(const QString &text) { return clean(text).simplified(); }

void writeCode(QXmlStreamWriter &xml, const QString &element, const AuditCode &code)
{
    xml.writeStartElement(element);
    xml.writeAttribute(QStringLiteral("csd-code"), token(code.code));
    xml.writeAttribute(QStringLiteral("codeSystemName"), token(code.system));
    xml.writeAttribute(QStringLiteral("originalText"), token(code.meaning));
    xml.writeEndElement();
}

void writeParticipant(QXmlStreamWriter &xml, const AuditParticipant &p)
{
    xml.writeStartElement(QStringLiteral("ActiveParticipant"));
    xml.writeAttribute(QStringLiteral("UserID"), clean(p.userId));
    if (!p.alternativeUserId.isEmpty())
        xml.writeAttribute(QStringLiteral("AlternativeUserID"), clean(p.alternativeUserId));
    if (!p.userName.isEmpty())
        xml.writeAttribute(QStringLiteral("UserName"), clean(p.userName));
    xml.writeAttribute(QStringLiteral("UserIsRequestor"), p.requestor ? QStringLiteral("true") : QStringLiteral("false"));
    if (!p.networkAccessPoint.isEmpty()) {
        xml.writeAttribute(QStringLiteral("NetworkAccessPointID"), token(p.networkAccessPoint));
        if (p.networkAccessPointType > 0)
            xml.writeAttribute(QStringLiteral("NetworkAccessPointTypeCode"), QString::number(p.networkAccessPointType));
    }
    for (const AuditCode &role : p.roles)
        writeCode(xml, QStringLiteral("RoleIDCode"), role);
    if (p.mediaType) {
        xml.writeStartElement(QStringLiteral("MediaIdentifier"));
        writeCode(xml, QStringLiteral("MediaType"), *p.mediaType);
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

void writeObject(QXmlStreamWriter &xml, const AuditObject &o)
{
    xml.writeStartElement(QStringLiteral("ParticipantObjectIdentification"));
    xml.writeAttribute(QStringLiteral("ParticipantObjectID"), token(o.id));
    if (o.typeCode > 0)
        xml.writeAttribute(QStringLiteral("ParticipantObjectTypeCode"), QString::number(o.typeCode));
    if (o.typeCodeRole > 0)
        xml.writeAttribute(QStringLiteral("ParticipantObjectTypeCodeRole"), QString::number(o.typeCodeRole));
    writeCode(xml, QStringLiteral("ParticipantObjectIDTypeCode"), o.idType);
    if (!o.query.isEmpty())
        xml.writeTextElement(QStringLiteral("ParticipantObjectQuery"), QString::fromLatin1(o.query.toBase64()));
    else
        xml.writeTextElement(QStringLiteral("ParticipantObjectName"), token(o.name));
    for (const auto &[type, value] : o.details) {
        xml.writeStartElement(QStringLiteral("ParticipantObjectDetail"));
        xml.writeAttribute(QStringLiteral("type"), token(type));
        xml.writeAttribute(QStringLiteral("value"), QString::fromLatin1(value.toBase64()));
        xml.writeEndElement();
    }
    if (!o.sopClasses.isEmpty() || !o.accessionNumbers.isEmpty()) {
        xml.writeStartElement(QStringLiteral("ParticipantObjectDescription"));
        for (const QString &accession : o.accessionNumbers) {
            xml.writeStartElement(QStringLiteral("Accession"));
            xml.writeAttribute(QStringLiteral("Number"), token(accession));
            xml.writeEndElement();
        }
        for (auto it = o.sopClasses.cbegin(); it != o.sopClasses.cend(); ++it) {
            xml.writeStartElement(QStringLiteral("SOPClass"));
            xml.writeAttribute(QStringLiteral("UID"), token(it.key()));
            xml.writeAttribute(QStringLiteral("NumberOfInstances"), QString::number(it.value()));
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

} // namespace

QByteArray AuditXml(const AuditEvent &event)
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(false);
    xml.writeStartElement(QStringLiteral("AuditMessage"));

    xml.writeStartElement(QStringLiteral("EventIdentification"));
    if (!event.action.isNull())
        xml.writeAttribute(QStringLiteral("EventActionCode"), QString(event.action));
    xml.writeAttribute(QStringLiteral("EventDateTime"), event.when.toUTC().toString(Qt::ISODateWithMs));
    xml.writeAttribute(QStringLiteral("EventOutcomeIndicator"), QString::number(event.outcome));
    writeCode(xml, QStringLiteral("EventID"), event.eventId);
    for (const AuditCode &type : event.eventTypes)
        writeCode(xml, QStringLiteral("EventTypeCode"), type);
    if (!event.outcomeDescription.isEmpty())
        xml.writeTextElement(QStringLiteral("EventOutcomeDescription"), clean(event.outcomeDescription));
    xml.writeEndElement();

    for (const AuditParticipant &p : event.participants)
        writeParticipant(xml, p);

    xml.writeStartElement(QStringLiteral("AuditSourceIdentification"));
    if (!event.enterpriseSite.isEmpty())
        xml.writeAttribute(QStringLiteral("AuditEnterpriseSiteID"), token(event.enterpriseSite));
    xml.writeAttribute(QStringLiteral("AuditSourceID"), token(event.sourceId));
    if (!event.sourceType.isEmpty()) {
        xml.writeStartElement(QStringLiteral("AuditSourceTypeCode"));
        xml.writeAttribute(QStringLiteral("csd-code"), event.sourceType);
        xml.writeEndElement();
    }
    xml.writeEndElement();

    for (const AuditObject &o : event.objects)
        writeObject(xml, o);

    xml.writeEndElement();
    return out;
}

namespace AuditCodes {
namespace {
AuditCode dcm(const char *code, const char *meaning) { return {QLatin1String(code), QStringLiteral("DCM"), QLatin1String(meaning)}; }
} // namespace
AuditCode ApplicationActivity() { return dcm("110100", "Application Activity"); }
AuditCode ApplicationStart() { return dcm("110120", "Application Start"); }
AuditCode ApplicationStop() { return dcm("110121", "Application Stop"); }
AuditCode InstancesAccessed() { return dcm("110103", "DICOM Instances Accessed"); }
AuditCode InstancesTransferred() { return dcm("110104", "DICOM Instances Transferred"); }
AuditCode StudyDeleted() { return dcm("110105", "DICOM Study Deleted"); }
AuditCode Export() { return dcm("110106", "Export"); }
AuditCode Query() { return dcm("110112", "Query"); }
AuditCode SecurityAlert() { return dcm("110113", "Security Alert"); }
AuditCode NodeAuthentication() { return dcm("110126", "Node Authentication"); }
AuditCode UseOfRestrictedFunction() { return dcm("110132", "Use of Restricted Function"); }
AuditCode RoleApplication() { return dcm("110150", "Application"); }
AuditCode RoleApplicationLauncher() { return dcm("110151", "Application Launcher"); }
AuditCode RoleDestination() { return dcm("110152", "Destination Role ID"); }
AuditCode RoleSource() { return dcm("110153", "Source Role ID"); }
AuditCode RoleDestinationMedia() { return dcm("110155", "Destination Media"); }
AuditCode StudyInstanceUid() { return dcm("110180", "Study Instance UID"); }
AuditCode SopClassUid() { return dcm("110181", "SOP Class UID"); }
AuditCode NodeId() { return dcm("110182", "Node ID"); }
AuditCode PatientNumber() { return {QStringLiteral("2"), QStringLiteral("RFC-3881"), QStringLiteral("Patient Number")}; }
AuditCode MediaUri() { return dcm("110037", "URI"); }
} // namespace AuditCodes
