#include "support/Station.h"

#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "store/Database.h"
#include "store/DatabasePaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>
#include <QUuid>

TestFolder::TestFolder()
{
    hadPrevious_ = qEnvironmentVariableIsSet("LUMORA_APP_FOLDER");
    previous_ = qgetenv("LUMORA_APP_FOLDER");
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(dir_.path()));
}

TestFolder::~TestFolder()
{
    if (hadPrevious_)
        qputenv("LUMORA_APP_FOLDER", previous_);
    else
        qunsetenv("LUMORA_APP_FOLDER");
}

void TestFolder::write(const QString &relative, const QByteArray &bytes) const
{
    const QString path = file(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray TestFolder::read(const QString &relative) const
{
    QFile f(file(relative));
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
    const int rc = RunProgram(ToolsDir() + QStringLiteral("/lumora-mkdb"),
                              {SourceDir() + QStringLiteral("/src/store/schema"),
                               SourceDir() + QStringLiteral("/src/dictionary/dictionary-tags.txt"), appFolder + QStringLiteral("/Data")},
                              &out);
    if (rc != 0) {
        qWarning("lumora-mkdb: %s", out.constData());
        if (error)
            *error = QStringLiteral("lumora-mkdb: ") + QString::fromLocal8Bit(out);
    }
    return rc == 0;
}

void ResetWorkstationState()
{
    Settings = SettingsRecord();
    SelectedExposure = ExposureValues();
    CurrentExposureTime.clear();
    CurrentProjection.clear();
    ProjectionCounter = 0;
    AssignmentMode = 0;
    BatchJobActive = ImageLoadActive = ListRefreshRequested = false;
    ExaminationType = 0;
    CurrentSelection = BrowserSelection();
    PartnersChanged = false;
}

bool PrepareStation(const TestFolder &folder)
{
    if (!MakeStationDatabases(folder.path()) || !QDir().mkpath(folder.file(QStringLiteral("bin"))))
        return false;
    ResetWorkstationState();
    LoadSettings();
    SetDatabasePaths();
    return true;
}

QList<QVariantList> QueryRows(const QString &dbPath, const QString &sql, const QVariantList &values)
{
    QList<QVariantList> out;
    Database db(QStringLiteral("check-") + QUuid::createUuid().toString(QUuid::Id128), QStringLiteral("test"));
    db.setPath(dbPath);
    if (!db.open())
        return out;
    const DbResult r = Execute(db, sql, values);
    if (!r.ok)
        qWarning() << sql << r.errorText;
    for (const QSqlRecord &row : r.rows) {
        QVariantList cells;
        for (int i = 0; i < row.count(); ++i)
            cells << row.value(i);
        out << cells;
    }
    db.close();
    return out;
}

QVariant QueryValue(const QString &dbPath, const QString &sql, const QVariantList &values)
{
    const QList<QVariantList> rows = QueryRows(dbPath, sql, values);
    return rows.isEmpty() || rows.first().isEmpty() ? QVariant() : rows.first().first();
}

qlonglong CountRows(const QString &dbPath, const QString &table)
{
    return QueryValue(dbPath, QStringLiteral("SELECT COUNT(*) FROM ") + table).toLongLong();
}

QString ImageDatabaseFile() { return qEnvironmentVariable("LUMORA_APP_FOLDER") + QStringLiteral("/Data/LumoraData.dat"); }

qlonglong CountRows(const QString &table) { return CountRows(ImageDatabaseFile(), table); }

bool WaitFor(const std::function<bool()> &condition, int timeoutMs) { return QTest::qWaitFor(condition, timeoutMs); }

WriteLockHolder::WriteLockHolder(const QString &dbPath) : connection_(QStringLiteral("lock-") + QUuid::createUuid().toString(QUuid::Id128))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(dbPath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    held_ = db.open() && QSqlQuery(db).exec(QStringLiteral("BEGIN IMMEDIATE"));
}

WriteLockHolder::~WriteLockHolder() { release(); }

void WriteLockHolder::release()
{
    if (!QSqlDatabase::contains(connection_))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        if (held_)
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
    held_ = false;
}

void WriteReceiverSettings(const TestFolder &folder, const QString &aet, const QString &port)
{
    folder.write(QStringLiteral("LumoraStation.ini"), QStringLiteral("[Com]\nIR_AET=%1\nIR_Port=%2\n").arg(aet, port).toUtf8());
}

bool WriteImage(const SyntheticImageSpec &spec, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString error;
    if (!WriteSyntheticImage(spec, path, &error)) {
        qWarning() << "cannot write" << path << error;
        return false;
    }
    return true;
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
            base.laterality = i % 2 ? QStringLiteral("R") : QStringLiteral("L");
            files << appFolder + QStringLiteral("/in/%1-%2-%3.dcm").arg(prefix).arg(s).arg(i);
            if (!WriteImage(base, files.last()))
                return {};
        }
    }
    return files;
}

QString ImagesMismatch(const QString &appFolder, qint64 minSize, bool leftoversAllowed, QString imagesDir)
{
    const QString db = appFolder + QStringLiteral("/Data/LumoraData.dat");
    if (imagesDir.isEmpty())
        imagesDir = appFolder + QStringLiteral("/images");
    if (QueryValue(db, QStringLiteral("PRAGMA integrity_check")).toString() != QLatin1String("ok"))
        return QStringLiteral("the image database fails its integrity check");
    QStringList expected, found;
    for (const QVariantList &row : QueryRows(db, QStringLiteral("SELECT StudyUID, ImageUID FROM View_Images")))
        expected << imagesDir + QStringLiteral("/%1/%2.dcm").arg(row.at(0).toString(), row.at(1).toString());
    QDirIterator it(imagesDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    for (const QString &file : expected)
        if (!found.contains(file) || QFileInfo(file).size() < minSize)
            return QStringLiteral("missing or short: ") + file;
    expected.sort();
    found.sort();
    if (!leftoversAllowed && found != expected)
        return QStringLiteral("files: %1\nrows: %2").arg(found.join(QLatin1Char(' ')), expected.join(QLatin1Char(' ')));
    return {};
}

QList<SyntheticImageSpec> FourViews(int rows, int columns, int bits, bool monochrome1)
{
    QList<SyntheticImageSpec> out;
    const char *views[][2] = {{"R", "CC"}, {"L", "CC"}, {"R", "MLO"}, {"L", "MLO"}};
    for (int i = 0; i < 4; ++i) {
        SyntheticImageSpec s;
        s.laterality = QLatin1String(views[i][0]);
        s.viewPosition = QLatin1String(views[i][1]);
        s.instanceNumber = i + 1;
        s.rows = rows;
        s.columns = columns;
        s.bitsStored = bits;
        s.monochrome1 = monochrome1;
        out << s;
    }
    return out;
}

bool AddStudy(const QString &appFolder, FixtureStudy &study, QString *error, bool receipt)
{
    if (study.studyUid.isEmpty())
        study.studyUid = NewSyntheticUid();
    Database db(QStringLiteral("fixture"), QStringLiteral("fixture"));
    db.setPath(appFolder + QStringLiteral("/Data/LumoraData.dat"));
    // The new row's key, or 0 with the error.
    const auto insert = [&](const char *sql, const QVariantList &values) -> qlonglong {
        const DbResult r = Execute(db, QLatin1String(sql), values);
        if (!r.ok && error)
            *error = QLatin1String(sql) + QStringLiteral(": ") + r.errorText;
        return r.ok ? qMax(r.lastInsertId.toLongLong(), 1LL) : 0;
    };
    if (!db.open()) {
        if (error)
            *error = db.error().text;
        return false;
    }
    const DbResult known = Execute(db, QStringLiteral("SELECT PatID FROM tblPatienten WHERE PatID1 = ?"), {study.patientId});
    study.patientKey = !known.rows.isEmpty() ? known.first(QStringLiteral("PatID")).toLongLong()
                                             : insert("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname, PatGebDatum, PatSex) VALUES (?, ?, ?, ?, 'F')",
                                                      {study.patientId, study.family, study.given, study.birthDate});
    study.studyKey = study.patientKey ? insert("INSERT INTO tblStudies (StudyUID, FKeyPATID, StudyDate, StudyTime, Modality, Bodypart) VALUES (?, ?, ?, '091500', 'MG', 'BREAST')",
                                               {study.studyUid, study.patientKey, study.studyDate})
                                      : 0;
    if (!study.studyKey)
        return false;
    const QString folder = appFolder + QStringLiteral("/images/") + study.studyUid;
    QDir().mkpath(folder);
    for (FixtureSeries &series : study.series) {
        series.seriesUid = NewSyntheticUid();
        series.seriesKey = insert("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID, Modality) VALUES (?, ?, ?, 'MG')",
                                  {series.seriesUid, series.seriesNr, study.studyKey});
        if (!series.seriesKey)
            return false;
        for (SyntheticImageSpec &image : series.images) {
            image.patientId = study.patientId;
            image.patientName = study.family + QLatin1Char('^') + study.given.toString();
            image.studyUid = study.studyUid;
            image.seriesUid = series.seriesUid;
            image.seriesNumber = series.seriesNr;
            if (image.sopUid.isEmpty())
                image.sopUid = NewSyntheticUid();
            if (!WriteSyntheticImage(image, folder + QLatin1Char('/') + image.sopUid + QStringLiteral(".dcm"), error)
                || !insert("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime, SOPClassUID, ViewPosition, ImageLaterality) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                           {image.sopUid, image.instanceNumber, series.seriesKey, study.studyDate,
                            QStringLiteral("0915%1").arg(image.instanceNumber, 2, 10, QLatin1Char('0')), image.sopClassUid, image.viewPosition,
                            image.laterality})
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
    FixtureStudy study;
    study.patientId = patientId;
    for (int r = 0; r < seriesCount; ++r) {
        FixtureSeries series;
        series.seriesNr = r + 1;
        for (int i = 0; i < imagesPerSeries; ++i) {
            SyntheticImageSpec image;
            image.rows = 48;
            image.columns = 32;
            image.instanceNumber = i + 1;
            image.encoding = encoding;
            series.images << image;
        }
        study.series << series;
    }
    FiledStudy s;
    QString error;
    if (!AddStudy(folder.path(), study, &error, false)) {
        qWarning() << "cannot file the study:" << error;
        return s;
    }
    s.patient = study.patientKey;
    s.study = study.studyKey;
    s.uid = study.studyUid;
    for (const FixtureSeries &series : study.series) {
        s.series << series.seriesKey;
        for (const SyntheticImageSpec &image : series.images)
            s.images << image.sopUid;
    }
    return s;
}
