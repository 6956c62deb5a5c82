#include "audit/AuditTrail.h"

#include "core/ApplicationFolder.h"
#include "core/LogTrouble.h"
#include "core/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

AuditParticipant processParticipant(const AuditIdentity &self, bool requestor, const QList<AuditCode> &roles)
{
    AuditParticipant p;
    p.userId = self.aeTitle.isEmpty() ? self.program : self.aeTitle;
    p.alternativeUserId = QString::number(self.pid);
    p.userName = self.account; // the account the process runs as
    p.requestor = requestor;
    p.networkAccessPoint = self.host;
    p.networkAccessPointType = 1;
    p.roles = roles;
    return p;
}

// The operator who asked for it.
AuditParticipant operatorParticipant(const AuditIdentity &self)
{
    AuditParticipant p;
    p.userId = self.account;
    p.requestor = true;
    p.networkAccessPoint = self.host;
    p.networkAccessPointType = 1;
    return p;
}

AuditParticipant peerParticipant(const AuditPeer &peer, bool requestor, const AuditCode &role)
{
    AuditParticipant p;
    p.userId = peer.aeTitle.isEmpty() ? peer.host : peer.aeTitle;
    p.requestor = requestor;
    p.networkAccessPoint = peer.host;
    // A dotted quad or an IPv6 address is an address, anything else a name.
    static const QRegularExpression address(QStringLiteral("^([0-9.]+|[0-9A-Fa-f:]*:[0-9A-Fa-f:.]*)$"));
    p.networkAccessPointType = address.match(peer.host).hasMatch() ? 2 : 1;
    p.roles = {role};
    return p;
}

AuditEvent base(const AuditIdentity &self, const AuditCode &id, QChar action, int outcome, const QString &outcomeText)
{
    AuditEvent e;
    e.eventId = id;
    e.action = action;
    e.when = QDateTime::currentDateTimeUtc();
    e.outcome = outcome;
    e.outcomeDescription = outcomeText;
    e.sourceId = self.host;
    e.enterpriseSite = ReadSetting(QStringLiteral("Audit\\EnterpriseSite"), QString());
    e.sourceType = self.sourceType;
    return e;
}

// Each patient, then her studies.
void addPatients(AuditEvent &e, const QList<AuditPatient> &patients)
{
    for (const AuditPatient &patient : patients) {
        for (const AuditStudy &study : patient.studies) {
            AuditObject o;
            o.idType = AuditCodes::StudyInstanceUid();
            o.id = study.studyUid;
            o.typeCode = 2;
            o.typeCodeRole = 3;
            o.name = study.studyUid;
            o.sopClasses = study.sopClasses;
            if (!study.accessionNumber.isEmpty())
                o.accessionNumbers << study.accessionNumber;
            e.objects << o;
        }
    }
    for (const AuditPatient &patient : patients) {
        AuditObject o;
        o.idType = AuditCodes::PatientNumber();
        o.id = patient.patientId;
        o.typeCode = 1;
        o.typeCodeRole = 1;
        o.name = patient.patientName;
        e.objects << o;
    }
}

int outcomeOf(int failed, int total) { return failed == 0 ? 0 : (failed < total ? 4 : 8); }

int instanceCount(const QList<AuditPatient> &patients)
{
    int n = 0;
    for (const AuditPatient &p : patients)
        for (const AuditStudy &s : p.studies)
            for (int count : s.sopClasses)
                n += count;
    return n;
}

QString accountName()
{
    const uid_t uid = ::geteuid();
    if (const passwd *pw = ::getpwuid(uid); pw && pw->pw_name && *pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(uid);
}

// RFC 5424's header fields: printable US-ASCII, no spaces, bounded.
QByteArray headerField(const QString &text, int maxLength)
{
    QByteArray out;
    for (const QChar c : text) {
        if (out.size() >= maxLength)
            break;
        out += (c.unicode() > 32 && c.unicode() < 127) ? char(c.unicode()) : '_';
    }
    return out.isEmpty() ? QByteArray("-") : out;
}

// Opens Audit/ without following a link, makes it when missing.
int openAuditFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0770) != 0 && errno != EEXIST)
        return -1;
    return ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

AuditIdentity ThisProcess(const QString &aeTitle)
{
    AuditIdentity self;
    self.account = accountName();
    self.host = QSysInfo::machineHostName();
    if (self.host.isEmpty())
        self.host = QStringLiteral("localhost");
    self.program = QCoreApplication::instance() ? QCoreApplication::applicationName() : QStringLiteral("OrvanaMammo");
    self.aeTitle = aeTitle;
    self.pid = ::getpid();
    // The station is an operator's screen; the companions serve without one.
    self.sourceType = self.program.startsWith(QLatin1String("Lumora")) ? QStringLiteral("4") : QStringLiteral("1");
    return self;
}

void AddAuditInstance(QList<AuditPatient> &patients, const QString &patientId, const QString &patientName, const QString &studyUid,
                      const QString &sopClassUid, const QString &accessionNumber)
{
    auto patient = std::find_if(patients.begin(), patients.end(), [&](const AuditPatient &p) { return p.patientId == patientId; });
    if (patient == patients.end()) {
        patients.append({patientId, patientName, {}});
        patient = patients.end() - 1;
    }
    if (patient->patientName.isEmpty())
        patient->patientName = patientName;
    auto study = std::find_if(patient->studies.begin(), patient->studies.end(), [&](const AuditStudy &s) { return s.studyUid == studyUid; });
    if (study == patient->studies.end()) {
        patient->studies.append({studyUid, {}, accessionNumber});
        study = patient->studies.end() - 1;
    }
    if (!sopClassUid.isEmpty())
        ++study->sopClasses[sopClassUid];
}

AuditEvent ApplicationActivityEvent(const AuditIdentity &self, bool start)
{
    AuditEvent e = base(self, AuditCodes::ApplicationActivity(), QLatin1Char('E'), 0, {});
    e.eventTypes << (start ? AuditCodes::ApplicationStart() : AuditCodes::ApplicationStop());
    e.participants << processParticipant(self, false, {AuditCodes::RoleApplication()});
    AuditParticipant launcher = operatorParticipant(self);
    launcher.roles = {AuditCodes::RoleApplicationLauncher()};
    e.participants << launcher;
    return e;
}

AuditEvent InstancesReceivedEvent(const AuditIdentity &self, const AuditPeer &source, const QList<AuditPatient> &patients, int outcome,
                                  const QString &outcomeText)
{
    AuditEvent e = base(self, AuditCodes::InstancesTransferred(), QLatin1Char('C'), outcome, outcomeText);
    e.participants << peerParticipant(source, true, AuditCodes::RoleSource());
    e.participants << processParticipant(self, false, {AuditCodes::RoleDestination()});
    addPatients(e, patients);
    return e;
}

AuditEvent InstancesSentEvent(const AuditIdentity &self, const AuditPeer &destination, const QList<AuditPatient> &patients, int outcome,
                              const QString &outcomeText)
{
    AuditEvent e = base(self, AuditCodes::InstancesTransferred(), QLatin1Char('R'), outcome, outcomeText);
    e.participants << processParticipant(self, false, {AuditCodes::RoleSource()});
    e.participants << peerParticipant(destination, false, AuditCodes::RoleDestination());
    e.participants << operatorParticipant(self);
    addPatients(e, patients);
    return e;
}

AuditEvent QueryEvent(const AuditIdentity &self, const AuditPeer &provider, const QString &sopClassUid, const QByteArray &queryDataset,
                      const QString &transferSyntaxUid, const QList<AuditPatient> &found, int outcome, const QString &outcomeText)
{
    AuditEvent e = base(self, AuditCodes::Query(), QLatin1Char('E'), outcome, outcomeText);
    e.participants << processParticipant(self, false, {AuditCodes::RoleSource()});
    e.participants << peerParticipant(provider, false, AuditCodes::RoleDestination());
    e.participants << operatorParticipant(self);
    AuditObject query;
    query.idType = AuditCodes::SopClassUid();
    query.id = sopClassUid;
    query.typeCode = 2;
    query.typeCodeRole = 3;
    query.query = queryDataset;
    query.details.append({QStringLiteral("TransferSyntax"), transferSyntaxUid.toLatin1()});
    e.objects << query;
    // The patients the answer disclosed.
    addPatients(e, found);
    return e;
}

AuditEvent ExportEvent(const AuditIdentity &self, ExportMedium medium, const QString &destination, const QList<AuditPatient> &patients,
                       int outcome, const QString &outcomeText)
{
    AuditEvent e = base(self, AuditCodes::Export(), QLatin1Char('R'), outcome, outcomeText);
    AuditParticipant exporter = operatorParticipant(self);
    exporter.roles = {AuditCodes::RoleSource()};
    e.participants << exporter;
    e.participants << processParticipant(self, false, {});
    AuditParticipant media;
    media.userId = QUrl::fromLocalFile(destination).toString();
    switch (medium) {
    case ExportMedium::Folder:
        media.alternativeUserId = QStringLiteral("DICOM folder");
        break;
    case ExportMedium::Archive:
        media.alternativeUserId = QStringLiteral("ZIP archive");
        break;
    case ExportMedium::JpegHandOut:
        media.alternativeUserId = QStringLiteral("JPEG pictures");
        break;
    }
    media.roles = {AuditCodes::RoleDestinationMedia()};
    media.mediaType = AuditCodes::MediaUri();
    e.participants << media;
    addPatients(e, patients);
    return e;
}

AuditEvent HeaderChangeEvent(const AuditIdentity &self, const QList<AuditPatient> &patients, int outcome, const QString &outcomeText)
{
    AuditEvent e = base(self, AuditCodes::InstancesAccessed(), QLatin1Char('U'), outcome, outcomeText);
    e.participants << operatorParticipant(self);
    e.participants << processParticipant(self, false, {});
    addPatients(e, patients);
    return e;
}

AuditEvent DeletionEvent(const AuditIdentity &self, const QList<AuditPatient> &patients, bool wholeStudies, int outcome,
                         const QString &outcomeText)
{
    // A whole study gone is "DICOM Study Deleted"; some of its instances, "Instances Accessed" with the action Delete.
    AuditEvent e = base(self, wholeStudies ? AuditCodes::StudyDeleted() : AuditCodes::InstancesAccessed(), QLatin1Char('D'), outcome, outcomeText);
    e.participants << operatorParticipant(self);
    e.participants << processParticipant(self, false, {});
    addPatients(e, patients);
    return e;
}

AuditEvent SecurityAlertEvent(const AuditIdentity &self, SecurityAlertKind kind, const AuditPeer &peer, const QString &why)
{
    AuditEvent e = base(self, AuditCodes::SecurityAlert(), QLatin1Char('E'), 4, why);
    e.eventTypes << AuditCodes::NodeAuthentication();
    // The reporting process, and the node that failed.
    e.participants << processParticipant(self, false, {AuditCodes::RoleDestination()});
    e.participants << peerParticipant(peer, true, AuditCodes::RoleSource());
    AuditObject subject;
    subject.idType = AuditCodes::NodeId();
    subject.id = peer.host.isEmpty() ? peer.aeTitle : peer.host;
    subject.typeCode = 2;
    subject.name = peer.aeTitle.isEmpty() ? peer.host : peer.aeTitle;
    subject.details.append({QStringLiteral("Alert Description"),
                            (kind == SecurityAlertKind::TlsFailure ? QStringLiteral("TLS failure: ") : QStringLiteral("association rejected: ")).toUtf8()
                                + why.toUtf8()});
    e.objects << subject;
    return e;
}

QByteArray AuditSyslogMessage(const AuditIdentity &self, const AuditEvent &event)
{
    // Facility 10 (security/authorization), severity 5 (notice), 4 (warning) for an alert.
    const int severity = event.eventId.code == AuditCodes::SecurityAlert().code ? 4 : 5;
    QByteArray line = '<' + QByteArray::number(10 * 8 + severity) + ">1 ";
    line += event.when.toUTC().toString(Qt::ISODateWithMs).toLatin1() + ' ';
    line += headerField(self.host, 255) + ' ';
    line += headerField(self.program, 48) + ' ';
    line += QByteArray::number(self.pid) + ' ';
    line += "IHE+RFC-3881 - \xEF\xBB\xBF";
    line += AuditXml(event);
    return line;
}

QString AuditFolder() { return AppPath(QStringLiteral("Audit")); }

QString AuditFileName(const QDate &utcDay, const QString &account)
{
    QString safe;
    for (const QChar c : account)
        safe += (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('-') || c == QLatin1Char('.') ? c : QLatin1Char('_');
    return QStringLiteral("Audit-%1-%2.log").arg(utcDay.toString(QStringLiteral("yyyyMMdd")), safe);
}

QStringList AuditFiles(const QString &folder)
{
    QStringList names = QDir(folder).entryList({QStringLiteral("Audit-*.log")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
    return names;
}

bool AuditAppendOnlyWanted() { return ReadSetting(QStringLiteral("Audit\\AppendOnly"), QStringLiteral("1")) != QLatin1String("0"); }

void WriteAuditRecord(const AuditEvent &event, const AuditIdentity &self)
{
    const QString folder = AuditFolder();
    const QString name = AuditFileName(event.when.toUTC().date(), self.account);
    const QString path = folder + QLatin1Char('/') + name;
    const int dir = openAuditFolder(folder);
    if (dir < 0) {
        ReportTroubleOnce(folder, QStringLiteral("The audit trail %1 cannot be opened (%2); its records are lost.").arg(folder, errorText(errno)));
        return;
    }
    // Readable by the group, written by this account alone; no link followed.
    const int fd = ::openat(dir, QFile::encodeName(name).constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    const int openError = errno;
    ::close(dir);
    if (fd < 0) {
        ReportTroubleOnce(path, QStringLiteral("The audit trail %1 cannot be written (%2); its records are lost.").arg(path, errorText(openError)));
        return;
    }
    if (AuditAppendOnlyWanted()) {
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || !(flags & FS_APPEND_FL)) {
            flags |= FS_APPEND_FL;
            if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
                ReportTroubleOnce(path + QStringLiteral("#append-only"),
                                  QStringLiteral("The audit trail %1 cannot be made append-only (%2): the file system or this account does not allow it.")
                                      .arg(path, errorText(errno)));
        }
    }
    const QByteArray line = AuditSyslogMessage(self, event) + '\n';
    const char *p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ReportTroubleOnce(path, QStringLiteral("The audit trail %1 cannot be written (%2); its records are lost.").arg(path, errorText(errno)));
            break;
        }
        p += n;
        left -= n;
    }
    ::close(fd);
}

void AuditApplicationStart(const QString &aeTitle)
{
    const AuditIdentity self = ThisProcess(aeTitle);
    WriteAuditRecord(ApplicationActivityEvent(self, true), self);
}

void AuditApplicationStop(const QString &aeTitle)
{
    const AuditIdentity self = ThisProcess(aeTitle);
    WriteAuditRecord(ApplicationActivityEvent(self, false), self);
}

void AuditInstancesReceived(const QString &ownAeTitle, const AuditPeer &source, const QList<AuditPatient> &patients, int failed)
{
    const AuditIdentity self = ThisProcess(ownAeTitle);
    const int stored = instanceCount(patients);
    const QString text = failed > 0 ? QStringLiteral("%1 stored, %2 failed").arg(stored).arg(failed) : QString();
    WriteAuditRecord(InstancesReceivedEvent(self, source, patients, outcomeOf(failed, stored + failed), text), self);
}

void AuditInstancesSent(const QString &ownAeTitle, const AuditPeer &destination, const QList<AuditPatient> &patients, int failed,
                        const QString &failureText)
{
    const AuditIdentity self = ThisProcess(ownAeTitle);
    const int sent = instanceCount(patients);
    const int outcome = failureText.isEmpty() ? outcomeOf(failed, sent + failed) : (sent > 0 ? 4 : 8);
    WriteAuditRecord(InstancesSentEvent(self, destination, patients, outcome, failureText), self);
}

void AuditWorklistQuery(const QString &ownAeTitle, const AuditPeer &provider, const QByteArray &queryDataset, const QString &transferSyntaxUid,
                        const QList<AuditPatient> &found, const QString &failureText)
{
    const AuditIdentity self = ThisProcess(ownAeTitle);
    WriteAuditRecord(QueryEvent(self, provider, QStringLiteral("1.2.840.10008.5.1.4.31"), queryDataset, transferSyntaxUid, found,
                                failureText.isEmpty() ? 0 : 8, failureText),
                     self);
}

void AuditExport(ExportMedium medium, const QString &destination, const QList<AuditPatient> &patients, const QString &failureText)
{
    const AuditIdentity self = ThisProcess();
    WriteAuditRecord(ExportEvent(self, medium, destination, patients, failureText.isEmpty() ? 0 : 4, failureText), self);
}

void AuditHeaderChange(const QList<AuditPatient> &patients, const QString &failureText)
{
    const AuditIdentity self = ThisProcess();
    WriteAuditRecord(HeaderChangeEvent(self, patients, failureText.isEmpty() ? 0 : 4, failureText), self);
}

void AuditDeletion(const QList<AuditPatient> &patients, bool wholeStudies, const QString &failureText)
{
    const AuditIdentity self = ThisProcess();
    WriteAuditRecord(DeletionEvent(self, patients, wholeStudies, failureText.isEmpty() ? 0 : 4, failureText), self);
}

void AuditSecurityAlert(SecurityAlertKind kind, const QString &ownAeTitle, const AuditPeer &peer, const QString &why)
{
    const AuditIdentity self = ThisProcess(ownAeTitle);
    WriteAuditRecord(SecurityAlertEvent(self, kind, peer, why), self);
}
