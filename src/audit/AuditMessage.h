#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

// The DICOM audit message (the ATNA format): what happened, who took part,
// who reports it and which objects (patients, studies, a query) it touched.
// Built as data, written as one line of XML; no I/O here.

struct AuditCode {
    QString code;
    QString system; // "DCM", "RFC-3881", ...
    QString meaning;
};

struct AuditParticipant {
    QString userId;
    QString alternativeUserId;
    QString userName;
    bool requestor = false;
    QString networkAccessPoint;
    int networkAccessPointType = 0; // 1 machine name, 2 IP address; 0 not given
    QList<AuditCode> roles;
    std::optional<AuditCode> mediaType; // a destination medium's kind
};

// One object of the message: a patient, a study, a query, a node.
struct AuditObject {
    AuditCode idType;
    QString id;
    int typeCode = 0;     // 1 person, 2 system object; 0 not given
    int typeCodeRole = 0; // 1 patient, 3 report, 24 query, ...; 0 not given
    QString name;         // either a name ...
    QByteArray query;     // ... or a query (written as base64); the query wins when not empty
    QList<QPair<QString, QByteArray>> details; // type, value (base64)
    // A study's description: its SOP classes with their instance counts.
    QMap<QString, int> sopClasses;
    QStringList accessionNumbers;
};

struct AuditEvent {
    AuditCode eventId;
    QChar action;           // C, R, U, D, E
    QDateTime when;         // written in UTC
    int outcome = 0;        // 0 success, 4 minor, 8 serious, 12 major failure
    QString outcomeDescription;
    QList<AuditCode> eventTypes;
    QList<AuditParticipant> participants;
    QString sourceId;
    QString enterpriseSite;
    QString sourceType; // "1" end-user interface, "4" application server, ...
    QList<AuditObject> objects;
};

// The message as one line of UTF-8 XML (no line break inside).
QByteArray AuditXml(const AuditEvent &event);

// Codes of the events this station reports (the DCM code system).
namespace AuditCodes {
AuditCode ApplicationActivity();
AuditCode ApplicationStart();
AuditCode ApplicationStop();
AuditCode InstancesAccessed();
AuditCode InstancesTransferred();
AuditCode StudyDeleted();
AuditCode Export();
AuditCode Query();
AuditCode SecurityAlert();
AuditCode NodeAuthentication();
AuditCode UseOfRestrictedFunction();
AuditCode RoleApplication();
AuditCode RoleApplicationLauncher();
AuditCode RoleSource();
AuditCode RoleDestination();
AuditCode RoleDestinationMedia();
AuditCode StudyInstanceUid();
AuditCode SopClassUid();
AuditCode PatientNumber();
AuditCode NodeId();
AuditCode MediaUri();
} // namespace AuditCodes
