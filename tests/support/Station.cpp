#include "store/Session.h"
#include "support/Station.h"

#include "companions/datamgr/Housekeeping.h"
#include "core/FixFolder.h"
#include "core/PidFile.h"
#include "core/Settings.h"
#include "store/Database.h"
#include "store/DatabasePaths.h"

#include <QtSql>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

TestFolder::TestFolder() : previous_(qgetenv("LUMORA_APP_FOLDER")), hadPrevious_(qEnvironmentVariableIsSet("LUMORA_APP_FOLDER"))
{
    // The folder is fixed per process: a fixture that makes one station after
    // the other points the process at each, as a program's start would.
    const FolderChoice previous = ApplicationFolderChoice();
    previousFolder_ = previous.path;
    previousKind_ = int(previous.kind);
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(dir_.path()));
    FixApplicationFolder(ChooseApplicationFolder({.named = dir_.path()}));
}

namespace {

// The companions serving folder whatever the pid files say: one that has not
// taken its pid file yet, or could not, carries the folder in its environment.
QList<pid_t> companionsOf(const QString &folder)
{
    QList<pid_t> pids;
    const QByteArray mark = "LUMORA_APP_FOLDER=" + QFile::encodeName(folder);
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toLong(&number));
        if (!number || pid == ::getpid())
            continue;
        const QByteArray comm = ReadFile(u"/proc/%1/comm"_s.arg(pid)).trimmed();
        if (comm != "LumoraReceiver" && comm != "LumoraDataMgr")
            continue;
        if (ReadFile(u"/proc/%1/environ"_s.arg(pid)).split('\0').contains(mark))
            pids << pid;
    }
    return pids;
}

} // namespace

TestFolder::~TestFolder()
{
    // A workstation leaves its companions running when it ends; those of a
    // throw-away folder end with it, so that no test leaves a process behind.
    for (const char *name : {AppFiles::ReceiverPidFile, DataMgrPidFile}) {
        const QString pidFile = file(QString::fromLatin1(name));
        const qint64 holder = PidFileHolder(pidFile);
        if (holder <= 0)
            continue;
        ::kill(pid_t(holder), SIGTERM);
        if (!WaitFor([&] { return PidFileHolder(pidFile) != holder; }, 5000))
            ::kill(pid_t(holder), SIGKILL);
    }
    const QList<pid_t> rest = companionsOf(dir_.path());
    for (const pid_t pid : rest)
        ::kill(pid, SIGTERM);
    if (!rest.isEmpty() && !WaitFor([&] { return companionsOf(dir_.path()).isEmpty(); }, 5000))
        for (const pid_t pid : companionsOf(dir_.path()))
            ::kill(pid, SIGKILL);
    // The audit trail's files may be append-only (the tests run as root):
    // as they are, the folder could not go.
    for (const QString &name : QDir(file(u"Audit"_s)).entryList(QDir::Files)) {
        const int fd = ::open(QFile::encodeName(file(u"Audit/"_s + name)).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL)) {
            flags &= ~FS_APPEND_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0)
            ::close(fd);
    }
    if (hadPrevious_)
        qputenv("LUMORA_APP_FOLDER", previous_);
    else
        qunsetenv("LUMORA_APP_FOLDER");
    FixApplicationFolder({previousFolder_, FolderKind(previousKind_)});
}

void TestFolder::write(const QString &relative, const QByteArray &bytes) const
{
    QDir().mkpath(QFileInfo(file(relative)).absolutePath());
    QFile f(file(relative));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString ToolsDir() { return qEnvironmentVariable("LUMORA_TOOLS_DIR"); }
QString StationDir() { return qEnvironmentVariable("LUMORA_STATION_DIR"); }
QString SourceDir() { return qEnvironmentVariable("LUMORA_SOURCE_DIR"); }
QString TestBinDir() { return qEnvironmentVariable("LUMORA_TEST_BIN_DIR"); }

int RunProgram(const QString &program, const QStringList &args, QByteArray *output, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

bool MakeStationDatabases(const QString &appFolder, QString *error)
{
    QByteArray out;
    const QStringList args{SourceDir() + u"/src/store/schema"_s, SourceDir() + u"/src/dictionary/dictionary-tags.txt"_s, appFolder + u"/Data"_s};
    const int rc = RunProgram(ToolsDir() + u"/lumora-mkdb"_s, args, &out);
    if (rc != 0) {
        qWarning("lumora-mkdb: %s", out.constData());
        if (error)
            *error = u"lumora-mkdb: "_s + QString::fromLocal8Bit(out);
    }
    return rc == 0;
}

void ResetWorkstationState()
{
    Settings = SettingsRecord();
}

bool PrepareStation(const TestFolder &folder)
{
    if (!MakeStationDatabases(folder.path()) || !QDir().mkpath(folder.file(u"bin"_s)))
        return false;
    ResetWorkstationState();
    LoadSettings();
    SetDatabasePaths();
    return true;
}

bool PrepareStationWithJournal(const TestFolder &folder)
{
    return PrepareStation(folder) && QFile::copy(folder.file(u"Data/LumoraDef.dat"_s), folder.file(u"LumoraData.dat"_s));
}

QList<QVariantList> QueryRows(const QString &dbPath, const QString &sql, const QVariantList &values)
{
    QList<QVariantList> out;
    Database db(u"check-"_s + QUuid::createUuid().toString(QUuid::Id128), u"test"_s);
    db.setPath(dbPath);
    if (!db.open())
        return out;
    const DbResult r = Execute(db, sql, values);
    if (!r.ok())
        qWarning() << sql << r.text;
    for (const QSqlRecord &row : r.rows) {
        out << QVariantList();
        for (int i = 0; i < row.count(); ++i)
            out.last() << row.value(i);
    }
    db.close();
    return out;
}

QVariant QueryValue(const QString &dbPath, const QString &sql, const QVariantList &values)
{
    return QueryRows(dbPath, sql, values).value(0).value(0);
}

qlonglong CountRows(const QString &dbPath, const QString &table) { return QueryValue(dbPath, u"SELECT COUNT(*) FROM "_s + table).toLongLong(); }

QString ImageDatabaseFile() { return qEnvironmentVariable("LUMORA_APP_FOLDER") + u"/Data/LumoraData.dat"_s; }

qlonglong CountRows(const QString &table) { return CountRows(ImageDatabaseFile(), table); }

bool WaitFor(const std::function<bool()> &condition, int timeoutMs) { return QTest::qWaitFor(condition, timeoutMs); }

WriteLockHolder::WriteLockHolder(const QString &dbPath) : connection_(u"lock-"_s + QUuid::createUuid().toString(QUuid::Id128))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connection_);
    db.setDatabaseName(dbPath);
    db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=0"_s);
    held_ = db.open() && QSqlQuery(db).exec(u"BEGIN IMMEDIATE"_s);
}

WriteLockHolder::~WriteLockHolder() { release(); }

void WriteLockHolder::release()
{
    if (!QSqlDatabase::contains(connection_))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        if (held_)
            QSqlQuery(db).exec(u"ROLLBACK"_s);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
    held_ = false;
}

void WriteReceiverSettings(const TestFolder &folder, const QString &aet, const QString &port)
{
    folder.write(u"LumoraStation.ini"_s, u"[Com]\nIR_AET=%1\nIR_Port=%2\n"_s.arg(aet, port).toUtf8());
}

bool WriteImage(const SyntheticImageSpec &spec, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const Result written = WriteSyntheticImage(spec, path);
    if (!written)
        qWarning() << "cannot write" << path << written.text;
    return written.ok();
}

QStringList WriteStudyFiles(const QString &appFolder, SyntheticImageSpec base, int series, int perSeries, const QString &prefix)
{
    QStringList files;
    base.studyUid = NewSyntheticUid();
    for (int s = 1; s <= series; ++s) {
        base.seriesUid = NewSyntheticUid();
        base.seriesNumber = s;
        for (int i = 1; i <= perSeries; ++i) {
            base.sopUid = NewSyntheticUid();
            base.instanceNumber = i;
            base.laterality = i % 2 ? u"R"_s : u"L"_s;
            files << appFolder + u"/in/%1-%2-%3.dcm"_s.arg(prefix).arg(s).arg(i);
            if (!WriteImage(base, files.last()))
                return {};
        }
    }
    return files;
}

QString ImagesMismatch(const QString &appFolder, qint64 minSize, bool leftoversAllowed, QString imagesDir)
{
    const QString db = appFolder + u"/Data/LumoraData.dat"_s;
    if (imagesDir.isEmpty())
        imagesDir = appFolder + u"/images"_s;
    if (QueryValue(db, u"PRAGMA integrity_check"_s).toString() != "ok"_L1)
        return u"the image database fails its integrity check"_s;
    QStringList expected, found;
    for (const QVariantList &row : QueryRows(db, u"SELECT StudyUID, ImageUID FROM View_Images"_s))
        expected << imagesDir + u"/%1/%2.dcm"_s.arg(row.at(0).toString(), row.at(1).toString());
    QDirIterator it(imagesDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    for (const QString &file : expected)
        if (!found.contains(file) || QFileInfo(file).size() < minSize)
            return u"missing or short: "_s + file;
    expected.sort();
    found.sort();
    if (!leftoversAllowed && found != expected)
        return u"files: %1\nrows: %2"_s.arg(found.join(u' '), expected.join(u' '));
    return {};
}

QList<SyntheticImageSpec> FourViews(int rows, int columns, int bits, bool monochrome1)
{
    QList<SyntheticImageSpec> out;
    for (const char *view : {"R CC", "L CC", "R MLO", "L MLO"})
        out << SyntheticImageSpec{.viewPosition = QLatin1String(view + 2), .laterality = QLatin1String(view, 1),
                                  .instanceNumber = int(out.size()) + 1, .rows = rows, .columns = columns, .bitsStored = bits,
                                  .monochrome1 = monochrome1};
    return out;
}

bool AddStudy(const QString &appFolder, FixtureStudy &study, QString *error, bool receipt)
{
    if (study.studyUid.isEmpty())
        study.studyUid = NewSyntheticUid();
    Database db(u"fixture"_s, u"fixture"_s);
    db.setPath(appFolder + u"/Data/LumoraData.dat"_s);
    // The new row's key, or 0 with the error.
    const auto insert = [&](const char *sql, const QVariantList &values) -> qlonglong {
        const DbResult r = Execute(db, QLatin1String(sql), values);
        if (!r.ok() && error)
            *error = QLatin1String(sql) + u": "_s + r.text;
        return r.ok() ? qMax(r.lastInsertId.toLongLong(), 1LL) : 0;
    };
    if (!db.open()) {
        if (error)
            *error = db.error().text;
        return false;
    }
    const DbResult known = Execute(db, u"SELECT PatID FROM tblPatienten WHERE PatID1 = ?"_s, {study.patientId});
    study.patientKey = !known.rows.isEmpty() ? known.first(u"PatID"_s).toLongLong()
                                             : insert("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname, PatGebDatum, PatSex) VALUES (?, ?, ?, ?, 'F')",
                                                      {study.patientId, study.family, study.given, study.birthDate});
    study.studyKey = study.patientKey ? insert("INSERT INTO tblStudies (StudyUID, FKeyPATID, StudyDate, StudyTime, Modality, Bodypart) VALUES (?, ?, ?, '091500', 'MG', 'BREAST')",
                                               {study.studyUid, study.patientKey, study.studyDate})
                                      : 0;
    if (!study.studyKey)
        return false;
    const QString folder = appFolder + u"/images/"_s + study.studyUid;
    QDir().mkpath(folder);
    for (FixtureSeries &series : study.series) {
        series.seriesUid = NewSyntheticUid();
        series.seriesKey = insert("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID, Modality) VALUES (?, ?, ?, 'MG')",
                                  {series.seriesUid, series.seriesNr, study.studyKey});
        if (!series.seriesKey)
            return false;
        for (SyntheticImageSpec &image : series.images) {
            image.patientId = study.patientId;
            image.patientName = study.family + u'^' + study.given.toString();
            image.studyUid = study.studyUid;
            image.seriesUid = series.seriesUid;
            image.seriesNumber = series.seriesNr;
            if (image.sopUid.isEmpty())
                image.sopUid = NewSyntheticUid();
            if (const Result written = WriteSyntheticImage(image, folder + u'/' + image.sopUid + u".dcm"_s); !written) {
                if (error)
                    *error = written.text;
                return false;
            }
            if (!insert("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime, SOPClassUID, ViewPosition, ImageLaterality) "
                        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                        {image.sopUid, image.instanceNumber, series.seriesKey, study.studyDate, u"0915%1"_s.arg(image.instanceNumber, 2, 10, QLatin1Char('0')),
                         image.sopClassUid, image.viewPosition, image.laterality})
                || (receipt && !insert("INSERT INTO tblReceive (PatID, ImageUID, ReceivedAt) VALUES (?, ?, '2026-12-06 09:15')", {study.patientId, image.sopUid})))
                return false;
        }
    }
    db.close();
    return true;
}

FiledStudy FileStudy(const TestFolder &folder, const QString &patientId, int seriesCount, int imagesPerSeries,
                     SyntheticImageSpec::Encoding encoding)
{
    FixtureStudy study{.patientId = patientId};
    for (int r = 0; r < seriesCount; ++r) {
        study.series << FixtureSeries{.seriesNr = r + 1};
        for (int i = 0; i < imagesPerSeries; ++i)
            study.series.last().images << SyntheticImageSpec{.instanceNumber = i + 1, .rows = 48, .columns = 32, .encoding = encoding};
    }
    FiledStudy s;
    QString error;
    if (!AddStudy(folder.path(), study, &error, false)) {
        qWarning() << "cannot file the study:" << error;
        return s;
    }
    s = {study.patientKey, study.studyKey, {}, study.studyUid, {}};
    for (const FixtureSeries &series : study.series) {
        s.series << series.seriesKey;
        for (const SyntheticImageSpec &image : series.images)
            s.images << image.sopUid;
    }
    return s;
}

bool NoDatabaseLeftOpen() { return !ImageDatabase.isOpen() && !DefinitionsDatabase.isOpen() && !UserDatabase.isOpen(); }
