// The audit trail: each audited event, reached the way the program reaches
// it, leaves a record that validates against the DICOM audit message schema
// and names the account, the host, the patient and the studies; the trail
// file is the group's to read and append-only where allowed; the data
// manager delivers the records to an rsyslog over TLS and over UDP, and
// those written while rsyslog was down arrive once it is back, each once.
#include "audit/AuditTrail.h"
#include "browse/ListDeletion.h"
#include "core/Settings.h"
#include "header/HeaderUpdateJob.h"
#include "jobs/EditForm.h"
#include "network/Worklist.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Widgets.h"
#include "transfer/ImageExport.h"

#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kAet = u"LUMORA"_s;

QString account()
{
    const passwd *pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::geteuid());
}

// The lines of every trail file of the folder.
QList<QByteArray> trail(const QString &folder)
{
    QList<QByteArray> lines;
    const QString dir = folder + u"/Audit"_s;
    for (const QString &name : QDir(dir).entryList({u"Audit-*.log"_s}, QDir::Files, QDir::Name)) {
        QFile f(dir + u'/' + name);
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &line : f.readAll().split('\n'))
                if (!line.isEmpty())
                    lines << line;
    }
    return lines;
}

// The XML after the byte order mark of a syslog line.
QByteArray xmlOf(const QByteArray &line)
{
    const qsizetype bom = line.indexOf("\xEF\xBB\xBF");
    return bom < 0 ? QByteArray() : line.mid(bom + 3);
}

QByteArray eventIdOf(const QByteArray &xml)
{
    static const QRegularExpression id(u"<EventID csd-code=\"(\\d+)\""_s);
    return id.match(QString::fromUtf8(xml)).captured(1).toLatin1();
}

// jing's verdict on the record: empty when it validates.
QString schemaErrors(const QByteArray &xml)
{
    QTemporaryFile file;
    if (!file.open() || file.write(xml) != xml.size() || !file.flush())
        return u"cannot write the record"_s;
    QByteArray out;
    const int rc = RunProgram(u"jing"_s, {u"-c"_s, SourceDir() + u"/tests/data/dicom-audit-message.rnc"_s, file.fileName()}, &out);
    if (rc == 0)
        return {};
    QStringList errors;
    for (const QByteArray &line : out.split('\n'))
        if (!line.contains("[warning]") && !line.isEmpty())
            errors << QString::fromUtf8(line);
    return errors.join(u'\n') + u"\n"_s + QString::fromUtf8(xml);
}

// Self-made CA, server and client certificates for rsyslog and the station.
bool MakeCertificates(const QString &dir)
{
    auto run = [&](const QStringList &args) {
        QByteArray out;
        if (RunProgram(u"openssl"_s, args, &out) == 0)
            return true;
        qWarning().noquote() << "openssl" << args.join(u' ') << out;
        return false;
    };
    QFile ext(dir + u"/ext.cnf"_s);
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") < 0)
        return false;
    ext.close();
    if (!run({u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, dir + u"/ca.key"_s, u"-out"_s, dir + u"/ca.pem"_s,
              u"-days"_s, u"2"_s, u"-subj"_s, u"/CN=Audit Test CA"_s}))
        return false;
    for (const QString &name : {u"server"_s, u"station"_s}) {
        if (!run({u"req"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, dir + u'/' + name + u".key"_s, u"-out"_s,
                  dir + u'/' + name + u".csr"_s, u"-subj"_s, u"/CN=localhost"_s})
            || !run({u"x509"_s, u"-req"_s, u"-in"_s, dir + u'/' + name + u".csr"_s, u"-CA"_s, dir + u"/ca.pem"_s, u"-CAkey"_s, dir + u"/ca.key"_s,
                     u"-CAcreateserial"_s, u"-out"_s, dir + u'/' + name + u".pem"_s, u"-days"_s, u"2"_s, u"-extfile"_s, dir + u"/ext.cnf"_s}))
            return false;
    }
    return true;
}

// rsyslogd of its own, receiving RFC 5425 over TLS (client certificates
// checked against the test CA) and RFC 5426 over UDP, writing each message
// as it came, one a line.
class Rsyslog {
public:
    explicit Rsyslog(const QString &dir) : dir_(dir) {}
    ~Rsyslog() { stop(); }
    quint16 tlsPort() const { return tls_; }
    quint16 udpPort() const { return udp_; }
    QString received() const { return dir_ + u"/received.log"_s; }

    bool start()
    {
        if (tls_ == 0) {
            tls_ = FreePort();
            udp_ = FreePort();
        }
        QDir().mkpath(dir_ + u"/work"_s);
        const QString conf = uR"(global(workDirectory="%1/work" maxMessageSize="256k"
       DefaultNetstreamDriver="gtls"
       DefaultNetstreamDriverCAFile="%1/ca.pem"
       DefaultNetstreamDriverCertFile="%1/server.pem"
       DefaultNetstreamDriverKeyFile="%1/server.key")
module(load="imtcp" StreamDriver.Name="gtls" StreamDriver.Mode="1" StreamDriver.AuthMode="x509/certvalid")
input(type="imtcp" port="%2" address="127.0.0.1")
module(load="imudp")
input(type="imudp" port="%3" address="127.0.0.1")
template(name="raw" type="string" string="%rawmsg%\n")
action(type="omfile" file="%4" template="raw")
)"_s.arg(dir_).arg(tls_).arg(udp_).arg(received());
        QFile f(dir_ + u"/rsyslog.conf"_s);
        if (!f.open(QIODevice::WriteOnly) || f.write(conf.toUtf8()) < 0)
            return false;
        f.close();
        EndsWithTheTest(process_);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(u"rsyslogd"_s, {u"-n"_s, u"-f"_s, dir_ + u"/rsyslog.conf"_s, u"-i"_s, dir_ + u"/rsyslogd.pid"_s});
        if (!process_.waitForStarted(5000))
            return false;
        // Listening once a TCP connection to its port is accepted.
        const bool up = WaitFor([&] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, tls_);
            return s.waitForConnected(200);
        }, 15000);
        if (!up)
            qWarning().noquote() << process_.readAll();
        return up;
    }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished(2000);
    }
    QList<QByteArray> messages() const
    {
        QFile f(received());
        QList<QByteArray> out;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &line : f.readAll().split('\n'))
                if (!line.isEmpty())
                    out << line;
        return out;
    }

private:
    QString dir_;
    QProcess process_;
    quint16 tls_ = 0, udp_ = 0;
};

// Every line of the trail arrived, each exactly once; what is missing or doubled otherwise.
QString deliveryMismatch(const QList<QByteArray> &trailLines, const QList<QByteArray> &arrived)
{
    QStringList problems;
    for (const QByteArray &line : trailLines) {
        const qsizetype n = arrived.count(line);
        if (n != 1)
            problems << u"%1 times: %2"_s.arg(n).arg(QString::fromUtf8(line.left(160)));
    }
    return problems.join(u'\n');
}

bool appendOnly(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok && (flags & FS_APPEND_FL);
}

// Whether this process may make a file of the folder append-only (the file
// system and CAP_LINUX_IMMUTABLE); the probe file is left as it was found.
bool appendOnlyAllowed(const QString &folder)
{
    const QByteArray probe = QFile::encodeName(folder + u"/append-probe"_s);
    const int fd = ::open(probe.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int flags = 0;
    bool allowed = false;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_APPEND_FL;
        allowed = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        flags &= ~FS_APPEND_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        ::close(fd);
    ::unlink(probe.constData());
    return allowed;
}

} // namespace

class AuditTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<BrowserWindow> rig_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;
    SyntheticImageSpec image_;
    QString studyUid_;

    // One study of two images of patient AUDIT1 through the receiver, as a detector sends it.
    bool receiveStudy(const QString &patientId = u"AUDIT1"_s)
    {
        studyUid_ = NewSyntheticUid();
        QStringList files;
        for (int i = 0; i < 2; ++i) {
            image_ = {.patientName = u"Audit^Anna"_s, .patientId = patientId, .studyUid = studyUid_, .seriesUid = NewSyntheticUid(),
                      .sopUid = NewSyntheticUid(), .accessionNumber = u"ACC77"_s, .instanceNumber = i + 1, .rows = 48, .columns = 32};
            files << folder_->file(u"in/%1.dcm"_s.arg(image_.sopUid));
            if (!WriteImage(image_, files.last()))
                return false;
        }
        QByteArray out;
        if (Store(kAet, port_, files, &out) != 0) {
            qWarning().noquote() << out;
            return false;
        }
        return true;
    }
    // The records of the trail with this EventID and action, written after `before` lines.
    QList<QByteArray> recordsSince(qsizetype before, const QByteArray &eventId, QChar action)
    {
        QList<QByteArray> out;
        const QList<QByteArray> lines = trail(folder_->path());
        for (qsizetype i = before; i < lines.size(); ++i) {
            const QByteArray xml = xmlOf(lines[i]);
            if (eventIdOf(xml) == eventId && xml.contains("EventActionCode=\"" + QString(action).toLatin1() + '"'))
                out << xml;
        }
        return out;
    }
    QList<ToolkitImagePtr> studyImages()
    {
        QList<ToolkitImagePtr> images;
        for (const QString &f : QDir(folder_->file(u"images/"_s + studyUid_)).entryList({u"*.dcm"_s}, QDir::Files, QDir::Name))
            images << ReadImage(folder_->file(u"images/%1/%2"_s.arg(studyUid_, f)));
        return images;
    }
    qlonglong patientKey(const QString &id)
    {
        return QueryValue(ImageDatabaseFile(), u"SELECT PatID FROM tblPatienten WHERE PatID1 = ?"_s, {id}).toLongLong();
    }
    qlonglong studyKey() { return QueryValue(ImageDatabaseFile(), u"SELECT StudyID FROM tblStudies WHERE StudyUID = ?"_s, {studyUid_}).toLongLong(); }

    // The events, each done the way the program does it; "" or why it failed.
    QString sendToStorescp()
    {
        StorePeer storescp;
        if (!storescp.start(folder_->file(u"scp"_s), u"ARCHIVE"_s))
            return u"storescp did not start"_s;
        SendJob job;
        const SendTarget target{{{u"ARCHIVE"_s, u"127.0.0.1"_s, QString::number(storescp.port())}, {}}, false, kAet};
        if (!job.connections.open(target).ok())
            return u"no association"_s;
        job.selection = {patientKey(u"AUDIT1"_s), u"AUDIT1"_s, u"Audit, Anna"_s, studyKey(), studyUid_, 0};
        const QString text = RunSendJob(1, job);
        job.connections.release();
        return text.contains(u"2 of 2 images successfully sent."_s) ? QString() : text;
    }
    QString worklistQuery()
    {
        WorklistPeer provider;
        if (!provider.start(folder_->file(u"wl"_s), u"WLM"_s))
            return u"wlmscpfs did not start"_s;
        if (!provider.add({.name = u"Audit^Anna"_s, .time = u"0900"_s, .id = u"AUDIT1"_s}))
            return u"no worklist entry"_s;
        WorklistRequest request{u"MAMMO1"_s, u"WLM"_s, u"127.0.0.1"_s, QString::number(provider.port()), WorklistIdentifier(u"MAMMO1"_s, WorklistDay)};
        const WorklistAnswers answers = RunWorklistRequest(request);
        LogWorklistAnswers(answers);
        return answers.ok() && answers.answers.size() == 1 ? QString() : u"query: %1 answers, %2 %3"_s.arg(answers.answers.size()).arg(answers.text, provider.requests().join(u"\n"_s));
    }
    QString exportTo(ExportKind kind, bool zip)
    {
        RecordingPrompter prompter;
        const QString out = folder_->file(u"export"_s);
        QDir().mkpath(out);
        ExportHooks hooks;
        hooks.askArchiveName = [](const QString &) { return std::optional<QString>(u"handout"_s); };
        ExportRequest request{.kind = kind, .folder = out, .compress = zip, .images = studyImages()};
        return ImageExport(std::move(request), std::move(hooks), prompter).run() ? QString() : u"export failed"_s;
    }
    QString headerChange()
    {
        TextProgress progress;
        HeaderUpdateInput in{.tasks = {{u"Series"_s, 0, u"0018,1030 - Protocol Name"_s, {}, u"AUDITED"_s}}, .images = studyImages(),
                             .loadedLevel = u"Studie"_s, .patientKey = patientKey(u"AUDIT1"_s)};
        const HeaderUpdateResult r = HeaderUpdateJob(in, progress).run();
        return r.ok() ? QString() : r.text + u"\n"_s + progress.text();
    }
    // The deletion as the operator runs it: the command, its questions answered, the job's form.
    QString listDeletion(bool all)
    {
        ListDeletion deletion(rig_->session, *rig_->browser, rig_->boxes);
        deletion.setJobRunner([this](JobKind kind, Job job) {
            EditForm form(rig_->session, kind, std::move(job), &rig_->window);
            form.Form_Load();
            form.show();
            WaitFor([&] { return form.isDone(); }, 10000);
            return form.outcome();
        });
        rig_->browser->RefreshPatientList();
        rig_->browser->selectPatient(rig_->patientRow(u"AUDIT1"_s));
        rig_->boxes.texts.clear();
        if (all) {
            rig_->boxes.answers = {true, true};
            deletion.deleteAll();
        } else {
            rig_->boxes.answers = {true};
            deletion.deleteStudy(rig_->browser->studyTarget(0));
        }
        if (rig_->boxes.texts.size() != (all ? 2 : 1))
            return u"asked %1 questions"_s.arg(rig_->boxes.texts.size());
        return CountRows(u"tblStudies"_s) == 0 && (!all || CountRows(u"tblPatienten"_s) == 0) ? QString() : u"rows are still there"_s;
    }
    QString refusedAssociation()
    {
        // A query model the receiver does not offer: no presentation context, refused.
        QByteArray out;
        RunProgram(u"findscu"_s, {u"-aet"_s, u"STRANGER"_s, u"-aec"_s, kAet, u"-W"_s, u"-k"_s, u"PatientID=*"_s, u"127.0.0.1"_s, QString::number(port_)},
                   &out);
        return {};
    }

    // The station's audit repository: rsyslog's TLS port on this host, and
    // the station's certificates made in `certificates`.
    static void setTlsRepository(QSettings &ini, quint16 port, const QString &certificates)
    {
        ini.setValue(u"Audit/RepositoryHost"_s, u"127.0.0.1"_s);
        ini.setValue(u"Audit/RepositoryPort"_s, QString::number(port));
        ini.setValue(u"Audit/Transport"_s, u"TLS"_s);
        ini.setValue(u"Audit/CACertificates"_s, certificates + u"/ca.pem"_s);
        ini.setValue(u"Audit/Certificate"_s, certificates + u"/station.pem"_s);
        ini.setValue(u"Audit/PrivateKey"_s, certificates + u"/station.key"_s);
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        rig_ = std::make_unique<BrowserWindow>();
        // No umask of its own: the trail's mode is the program's choice alone.
        UmaskScope open(0);
        StationReceiver started = StartStationReceiver(*folder_, kAet);
        QVERIFY(started.process);
        receiver_ = std::move(started.process);
        port_ = started.port;
    }
    void cleanup()
    {
        const int receiverExit = receiver_ ? receiver_->terminate() : 0;
        receiver_.reset();
        rig_.reset();
        QVERIFY(NoDatabaseLeftOpen());
        folder_.reset();
        QCOMPARE(receiverExit, 0);
    }

    // Each event leaves its record: valid, and naming who, where, whose and which studies.
    void eachEventIsRecorded_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QByteArray>("eventId");
        QTest::addColumn<QChar>("action");
        QTest::addColumn<bool>("namesPatient");
        QTest::newRow("application start") << u"start"_s << QByteArray("110100") << QChar(u'E') << false;
        QTest::newRow("application stop") << u"stop"_s << QByteArray("110100") << QChar(u'E') << false;
        QTest::newRow("instances received") << u"received"_s << QByteArray("110104") << QChar(u'C') << true;
        QTest::newRow("instances sent") << u"sent"_s << QByteArray("110104") << QChar(u'R') << true;
        QTest::newRow("worklist query") << u"query"_s << QByteArray("110112") << QChar(u'E') << true;
        QTest::newRow("export to a folder") << u"folder"_s << QByteArray("110106") << QChar(u'R') << true;
        QTest::newRow("export to an archive") << u"archive"_s << QByteArray("110106") << QChar(u'R') << true;
        QTest::newRow("JPEG hand-out") << u"jpeg"_s << QByteArray("110106") << QChar(u'R') << true;
        QTest::newRow("header change") << u"header"_s << QByteArray("110103") << QChar(u'U') << true;
        QTest::newRow("deletion") << u"deletion"_s << QByteArray("110105") << QChar(u'D') << true;
        QTest::newRow("delete all") << u"all"_s << QByteArray("110105") << QChar(u'D') << true;
        QTest::newRow("refused association") << u"refused"_s << QByteArray("110113") << QChar(u'E') << false;
    }
    void eachEventIsRecorded()
    {
        QFETCH(QString, event);
        QFETCH(QByteArray, eventId);
        QFETCH(QChar, action);
        QFETCH(bool, namesPatient);
        QVERIFY(receiveStudy());
        QVERIFY(WaitFor([&] { return CountRows(u"tblImages"_s) == 2; }, 10000));
        // The receiver writes its record when the association ends.
        QVERIFY(WaitFor([&] { return !recordsSince(0, "110104", u'C').isEmpty(); }, 10000));
        const qsizetype before = event == u"start"_s || event == u"received"_s ? 0 : trail(folder_->path()).size();
        QString failed;
        QString otherStudy;
        if (event == u"stop"_s) {
            QCOMPARE(receiver_->terminate(), 0);
            receiver_.reset();
        } else if (event == u"sent"_s)
            failed = sendToStorescp();
        else if (event == u"query"_s)
            failed = worklistQuery();
        else if (event == u"folder"_s)
            failed = exportTo(ExportKind::Dicom, false);
        else if (event == u"archive"_s)
            failed = exportTo(ExportKind::Dicom, true);
        else if (event == u"jpeg"_s)
            failed = exportTo(ExportKind::Jpeg, false);
        else if (event == u"header"_s)
            failed = headerChange();
        else if (event == u"deletion"_s)
            failed = listDeletion(false);
        else if (event == u"all"_s) {
            // Two patients, each of her study.
            const QString first = studyUid_;
            QVERIFY(receiveStudy(u"AUDIT2"_s));
            QVERIFY(WaitFor([&] { return CountRows(u"tblImages"_s) == 4; }, 10000));
            otherStudy = std::exchange(studyUid_, first);
            failed = listDeletion(true);
        }
        else if (event == u"refused"_s)
            failed = refusedAssociation();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));

        QList<QByteArray> records;
        QVERIFY2(WaitFor([&] { return !(records = recordsSince(before, eventId, action)).isEmpty(); }, 10000),
                 qPrintable(QString::fromUtf8(trail(folder_->path()).join('\n'))));
        if (event == u"archive"_s) // the folder written, then the archive packed from it
            QVERIFY(records.size() == 2 && records.last().contains(".zip"));
        if (event == u"all"_s) { // a record for each patient, naming her study
            QVERIFY(WaitFor([&] { return (records = recordsSince(before, eventId, action)).size() == 2; }, 10000));
            const QString second = QString::fromUtf8(records.last());
            QVERIFY2(second.contains(u"ParticipantObjectID=\"AUDIT2\""_s) && second.contains(u"ParticipantObjectID=\"%1\""_s.arg(otherStudy))
                         && !second.contains(u"AUDIT1"_s),
                     qPrintable(second));
            QVERIFY2(schemaErrors(records.last()).isEmpty(), qPrintable(schemaErrors(records.last())));
            // The first is hers, checked below as every record is.
            QVERIFY(!records.first().contains("AUDIT2"));
            std::swap(records.first(), records.last());
        }
        const QByteArray xml = records.last();
        const QString errors = schemaErrors(xml);
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
        const QString text = QString::fromUtf8(xml);
        QVERIFY2(text.contains(u"UserID=\"%1\""_s.arg(account())) || text.contains(u"UserName=\"%1\""_s.arg(account())), qPrintable(text));
        QVERIFY2(text.contains(u"NetworkAccessPointID=\"%1\""_s.arg(QSysInfo::machineHostName())), qPrintable(text));
        if (namesPatient) {
            QVERIFY2(text.contains(u"ParticipantObjectID=\"AUDIT1\""_s), qPrintable(text));
            // The worklist's entry names the study it schedules.
            const QString study = event == u"query"_s ? u"ParticipantObjectID=\"1.2.826.0.1.3680043.2.1143."_s : u"ParticipantObjectID=\"%1\""_s.arg(studyUid_);
            QVERIFY2(text.contains(study), qPrintable(text));
        }
        if (event == u"start"_s || event == u"stop"_s)
            QVERIFY(text.contains(event == u"start"_s ? u"csd-code=\"110120\""_s : u"csd-code=\"110121\""_s));
        if (event == u"sent"_s) // the partner as the destination
            QVERIFY2(text.contains(u"UserID=\"ARCHIVE\" UserIsRequestor=\"false\" NetworkAccessPointID=\"127.0.0.1\""_s), qPrintable(text));
        if (event == u"query"_s) { // the identifier as sent, in base64
            static const QRegularExpression query(u"<ParticipantObjectQuery>([^<]+)<"_s);
            const QByteArray identifier = QByteArray::fromBase64(query.match(text).captured(1).toLatin1());
            QVERIFY(identifier.contains("MAMMO1"));
        }
        if (event == u"refused"_s)
            QVERIFY2(text.contains(u"UserID=\"STRANGER\""_s) && text.contains(u"csd-code=\"110126\""_s), qPrintable(text));
    }

    // Readable by the group, written by its account alone, append-only where allowed.
    void trailFileIsTheProgramsToWrite()
    {
        QVERIFY(receiveStudy());
        QVERIFY(WaitFor([&] { return !recordsSince(0, "110104", u'C').isEmpty(); }, 10000));
        const QStringList files = QDir(folder_->file(u"Audit"_s)).entryList({u"Audit-*.log"_s}, QDir::Files);
        QCOMPARE(files.size(), 1);
        const QString path = folder_->file(u"Audit/"_s + files.first());
        QVERIFY(files.first().endsWith(u"-%1.log"_s.arg(account())));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0640));
        if (!appendOnlyAllowed(folder_->path())) {
            // Then the receiver said so, once.
            QVERIFY(!appendOnly(path));
            QSKIP("this file system or account cannot make files append-only");
        }
        QVERIFY(appendOnly(path));
        // Not even its owner can shorten or rewrite it.
        QCOMPARE(::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC), -1);
        QCOMPARE(errno, EPERM);
        QVERIFY(!QFile::remove(path));
    }

    // Records reach rsyslog over TLS; written while it is down, they arrive
    // once it is back, each once; and over UDP.
    void deliveredToRsyslog()
    {
        QTemporaryDir dir;
        QVERIFY(MakeCertificates(dir.path()));
        Rsyslog rsyslog(dir.path());
        QVERIFY(rsyslog.start());
        QSettings ini(folder_->file(u"LumoraStation.ini"_s), QSettings::IniFormat);
        setTlsRepository(ini, rsyslog.tlsPort(), dir.path());
        ini.sync();
        CompanionProcess datamgr(DataMgrProgram(), folder_->path(), {u"LUMORA_AUDIT_DELIVERY_MS=100"_s});
        QVERIFY(datamgr.start());
        QVERIFY(receiveStudy());
        QVERIFY(WaitFor([&] { return !recordsSince(0, "110104", u'C').isEmpty(); }, 10000));
        QString mismatch;
        QVERIFY2(WaitFor([&] { return (mismatch = deliveryMismatch(trail(folder_->path()), rsyslog.messages())).isEmpty(); }, 20000),
                 qPrintable(mismatch + u"\n"_s + folder_->read(u"Logs/DataMgr.log"_s)));

        // Down: the records wait in the trail.
        rsyslog.stop();
        const qsizetype delivered = rsyslog.messages().size();
        QVERIFY(receiveStudy(u"AUDIT2"_s));
        QVERIFY(WaitFor([&] { return recordsSince(0, "110104", u'C').size() == 2; }, 10000));
        QVERIFY(WaitFor([&] { return folder_->read(u"Logs/DataMgr.log"_s).contains("kept for later"); }, 20000));
        QCOMPARE(rsyslog.messages().size(), delivered);
        // Back: they arrive, none twice.
        QVERIFY(rsyslog.start());
        QVERIFY2(WaitFor([&] { return (mismatch = deliveryMismatch(trail(folder_->path()), rsyslog.messages())).isEmpty(); }, 60000),
                 qPrintable(mismatch + u"\n"_s + folder_->read(u"Logs/DataMgr.log"_s)));
        QVERIFY(rsyslog.messages().size() > delivered);
        QCOMPARE(rsyslog.messages().size(), trail(folder_->path()).size());

        // UDP, from what is not delivered yet on.
        ini.setValue(u"Audit/Transport"_s, u"UDP"_s);
        ini.setValue(u"Audit/RepositoryPort"_s, QString::number(rsyslog.udpPort()));
        ini.sync();
        QVERIFY(receiveStudy(u"AUDIT3"_s));
        QVERIFY2(WaitFor([&] { return (mismatch = deliveryMismatch(trail(folder_->path()), rsyslog.messages())).isEmpty(); }, 20000),
                 qPrintable(mismatch + u"\n"_s + folder_->read(u"Logs/DataMgr.log"_s)));
        const QList<QByteArray> got = rsyslog.messages();
        QVERIFY(std::any_of(got.begin(), got.end(), [](const QByteArray &m) { return m.contains("AUDIT3") && m.startsWith("<85>1 "); }));
        QCOMPARE(datamgr.terminate(), 0);
        rsyslog.stop();
    }

    // At its stop the data manager delivers what is pending, its own stop
    // record too; a repository that does not answer holds the stop no longer
    // than a short time-out, and what it did not take goes at the next start, once.
    void lastDeliveryAtTheStop_data()
    {
        QTest::addColumn<bool>("answering");
        QTest::newRow("repository up") << true;
        QTest::newRow("repository silent") << false;
    }
    void lastDeliveryAtTheStop()
    {
        QFETCH(bool, answering);
        QTemporaryDir dir;
        QVERIFY(MakeCertificates(dir.path()));
        Rsyslog rsyslog(dir.path());
        QVERIFY(rsyslog.start());
        // Takes connections and never says a word: the handshake waits.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QSettings ini(folder_->file(u"LumoraStation.ini"_s), QSettings::IniFormat);
        setTlsRepository(ini, rsyslog.tlsPort(), dir.path());
        ini.sync();
        // Rounds far apart: the one at the start, then only the one at the stop.
        const QStringList env{u"LUMORA_AUDIT_DELIVERY_MS=600000"_s};
        auto datamgr = std::make_unique<CompanionProcess>(DataMgrProgram(), folder_->path(), env);
        QVERIFY(datamgr->start());
        QString mismatch;
        QVERIFY2(WaitFor([&] { return (mismatch = deliveryMismatch(trail(folder_->path()), rsyslog.messages())).isEmpty(); }, 20000),
                 qPrintable(mismatch + u"\n"_s + folder_->read(u"Logs/DataMgr.log"_s)));

        QVERIFY(receiveStudy(u"AUDIT2"_s));
        QVERIFY(WaitFor([&] { return recordsSince(0, "110104", u'C').size() == 1; }, 10000));
        const qsizetype delivered = rsyslog.messages().size();
        if (!answering) {
            ini.setValue(u"Audit/RepositoryPort"_s, QString::number(silent.serverPort()));
            ini.sync();
        }
        const QByteArray offsets = folder_->read(u"Audit/Delivered"_s);
        QCOMPARE(datamgr->terminate(5000), 0);
        datamgr.reset();
        if (answering) {
            QVERIFY2(WaitFor([&] { return (mismatch = deliveryMismatch(trail(folder_->path()), rsyslog.messages())).isEmpty(); }, 10000),
                     qPrintable(mismatch + u"\n"_s + folder_->read(u"Logs/DataMgr.log"_s)));
            QVERIFY(rsyslog.messages().size() > delivered);
            const QList<QByteArray> got = rsyslog.messages();
            QVERIFY(std::any_of(got.cbegin(), got.cend(), [](const QByteArray &m) { return m.contains("csd-code=\"110121\""); }));
            return;
        }
        QVERIFY2(folder_->read(u"Logs/DataMgr.log"_s).contains("kept for the next start"), qPrintable(folder_->read(u"Logs/DataMgr.log"_s)));
        QCOMPARE(rsyslog.messages().size(), delivered);
        QCOMPARE(folder_->read(u"Audit/Delivered"_s), offsets);
        // The next start delivers them, none twice.
        ini.setValue(u"Audit/RepositoryPort"_s, QString::number(rsyslog.tlsPort()));
        ini.sync();
        datamgr = std::make_unique<CompanionProcess>(DataMgrProgram(), folder_->path(), env);
        QVERIFY(datamgr->start());
        QVERIFY2(WaitFor([&] { return (mismatch = deliveryMismatch(trail(folder_->path()), rsyslog.messages())).isEmpty(); }, 20000),
                 qPrintable(mismatch + u"\n"_s + folder_->read(u"Logs/DataMgr.log"_s)));
        QCOMPARE(datamgr->terminate(), 0);
    }

    // A repository whose certificate the site's trusted ones do not vouch for gets nothing.
    void untrustedRepositoryGetsNothing()
    {
        QTemporaryDir dir, other;
        QVERIFY(MakeCertificates(dir.path()) && MakeCertificates(other.path()));
        Rsyslog rsyslog(dir.path());
        QVERIFY(rsyslog.start());
        QSettings ini(folder_->file(u"LumoraStation.ini"_s), QSettings::IniFormat);
        setTlsRepository(ini, rsyslog.tlsPort(), other.path());
        ini.sync();
        CompanionProcess datamgr(DataMgrProgram(), folder_->path(), {u"LUMORA_AUDIT_DELIVERY_MS=100"_s});
        QVERIFY(datamgr.start());
        QVERIFY(WaitFor([&] { return folder_->read(u"Logs/DataMgr.log"_s).contains("certificate is refused"); }, 20000));
        QCOMPARE(rsyslog.messages().size(), 0);
        QCOMPARE(datamgr.terminate(), 0);
    }
};

LUMORA_WIDGETS_TEST_MAIN(AuditTest, 1280, 1024)
#include "tst_audit.moc"
