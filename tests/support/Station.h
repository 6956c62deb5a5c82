#pragma once

// The station fixture: a throw-away application folder with its databases and
// studies filed as the receiver files them.
#include "toolkit/SyntheticImage.h"

#include <QTemporaryDir>
#include <QtTest> // every test's macros
#include <functional>

using namespace Qt::StringLiterals; // u"..."_s in every test

// The bytes of a file; empty when it cannot be read.
QByteArray ReadFile(const QString &path);

// The process's application folder while the object lives, and
// LUMORA_APP_FOLDER for the programs a test starts.
class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder &) = delete;
    TestFolder &operator=(const TestFolder &) = delete;

    QString path() const { return dir_.path(); }
    QString file(const QString &relative) const { return dir_.path() + QLatin1Char('/') + relative; }

    // Writes bytes to a file below the folder, creating folders on the way.
    void write(const QString &relative, const QByteArray &bytes) const;
    QByteArray read(const QString &relative) const { return ReadFile(file(relative)); }

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_ = false;
    QString previousFolder_;
    int previousKind_ = 0;
};

// Paths handed to the tests by the build.
QString ToolsDir();
QString StationDir();
QString SourceDir();
QString TestBinDir();

// Runs a program to its end; its exit code, or -1 when it could not start or timed out.
int RunProgram(const QString &program, const QStringList &args, QByteArray *output = nullptr, int timeoutMs = 60000);

// The three databases in <appFolder>/Data, made by lumora-mkdb.
bool MakeStationDatabases(const QString &appFolder, QString *error = nullptr);

// A station in the folder: its databases, bin/, the settings reset and read
// from it, the database paths set, and every process-wide flag cleared.
bool PrepareStation(const TestFolder &folder);
// The same, with an empty exposure journal (LumoraData.dat) from the template.
bool PrepareStationWithJournal(const TestFolder &folder);
// The process-wide state back to a fresh start (settings, selection, flags, partners).
void ResetWorkstationState();

// Queries over a connection of their own, so the test never holds the file.
QList<QVariantList> QueryRows(const QString &dbPath, const QString &sql, const QVariantList &values = {});
QVariant QueryValue(const QString &dbPath, const QString &sql, const QVariantList &values = {});
qlonglong CountRows(const QString &dbPath, const QString &table);
// Rows of a table of the station's image database.
qlonglong CountRows(const QString &table);
// The image database of the application folder in LUMORA_APP_FOLDER.
QString ImageDatabaseFile();

// True when every database session has ended: each connection is closed again.
bool NoDatabaseLeftOpen();

// Polls the condition, letting events run, until it holds or the time is up.
bool WaitFor(const std::function<bool()> &condition, int timeoutMs);

// Holds the write lock of a database file while it lives (BEGIN IMMEDIATE).
class WriteLockHolder {
public:
    explicit WriteLockHolder(const QString &dbPath);
    ~WriteLockHolder();
    bool held() const { return held_; }
    void release(); // before the object goes

private:
    QString connection_;
    bool held_ = false;
};

// LumoraStation.ini with the receiver's AE title and port.
void WriteReceiverSettings(const TestFolder &folder, const QString &aet, const QString &port);

// A synthetic image file at path, folders made on the way; false with a warning.
bool WriteImage(const SyntheticImageSpec &spec, const QString &path);
// A study written as <appFolder>/in/<prefix>-<series>-<image>.dcm; empty on a failure.
QStringList WriteStudyFiles(const QString &appFolder, SyntheticImageSpec base, int series, int perSeries, const QString &prefix);

// How the image rows differ from the files below imagesDir (<appFolder>/images):
// every row needs a file of minSize bytes or more, and every file a row unless
// leftoversAllowed; empty when they agree.
QString ImagesMismatch(const QString &appFolder, qint64 minSize, bool leftoversAllowed = false, QString imagesDir = {});

// The four views of a screening: R CC, L CC, R MLO, L MLO.
QList<SyntheticImageSpec> FourViews(int rows = 256, int columns = 192, int bits = 12, bool monochrome1 = false);

struct FixtureSeries {
    int seriesNr = 1;
    QList<SyntheticImageSpec> images; // patient, study and series fields are filled in
    QString seriesUid;                // filled in
    qlonglong seriesKey = 0;          // tblSeries.SeriesID, filled in
};

struct FixtureStudy {
    QString patientId = u"PAT0001"_s;
    QString family = u"Doe"_s;
    QVariant given = u"Jane"_s; // a null QVariant stores NULL
    QString birthDate = u"19620314"_s;
    QString studyUid;                         // new when empty
    QString studyDate = u"20261206"_s;
    QList<FixtureSeries> series;
    qlonglong patientKey = 0; // filled in
    qlonglong studyKey = 0;   // filled in
};

// Files the study as the receiver does: images/<StudyUID>/<SOPUID>.dcm, one row
// per patient (reused when the ID is known), study, series and image, and a
// tblReceive row per image when `receipt` is set.
bool AddStudy(const QString &appFolder, FixtureStudy &study, QString *error, bool receipt = true);

struct FiledStudy {
    qlonglong patient = 0, study = 0;
    QList<qlonglong> series;
    QString uid;
    QStringList images;
};

// seriesCount series of imagesPerSeries small images each, without receipt rows.
FiledStudy FileStudy(const TestFolder &folder, const QString &patientId, int seriesCount, int imagesPerSeries,
                     SyntheticImageSpec::Encoding encoding = SyntheticImageSpec::Encoding::ExplicitLittle);
