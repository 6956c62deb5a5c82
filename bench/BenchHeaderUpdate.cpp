// The header-update job on one study, for bench/headerupdate.sh.
//   bench-header-update prepare FOLDER COUNT ROWS COLUMNS  an application folder
//       holding one study of COUNT images filed as the receiver files them, and
//       copies of the same files in FOLDER/copies; prints the copies' folder
//   bench-header-update run FOLDER                         the study loaded as the
//       viewer holds it, then the job changing the patient's name: prints job_ms
//       (from the job's start to its files in temp/), files and peak_kb
#include "PeakMemory.h"
#include "core/Settings.h"
#include "header/HeaderUpdateJob.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThreadPool>
#include <QFile>
#include <QSqlRecord>

#include <cstdio>

namespace {

int fail(const QString &what)
{
    std::fprintf(stderr, "bench-header-update: %s\n", qPrintable(what));
    return 1;
}

int prepare(const QString &folder, int count, int rows, int columns)
{
    QDir().mkpath(folder);
    if (!MakeStationDatabases(folder))
        return fail(QStringLiteral("cannot make the databases"));
    FixtureStudy study{.patientId = QStringLiteral("BENCH"), .series = {FixtureSeries{}}};
    for (int i = 0; i < count; ++i)
        study.series[0].images << SyntheticImageSpec{.instanceNumber = i + 1, .rows = rows, .columns = columns, .bitsStored = 14};
    QString error;
    if (!AddStudy(folder, study, &error, false))
        return fail(error);
    const QString copies = folder + QStringLiteral("/copies");
    QDir().mkpath(copies);
    const QString images = folder + QStringLiteral("/images/") + study.studyUid;
    for (const QString &f : QDir(images).entryList({QStringLiteral("*.dcm")}, QDir::Files))
        if (!QFile::copy(images + QLatin1Char('/') + f, copies + QLatin1Char('/') + f))
            return fail(QStringLiteral("cannot copy ") + f);
    std::printf("%s\n", qPrintable(copies));
    return 0;
}

int run(const QString &folder)
{
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(folder));
    Settings = SettingsRecord();
    LoadSettings();
    SetDatabasePaths();
    DbResult row, uids;
    {
        DatabaseSession db(ImageDatabase);
        row = Execute(ImageDatabase, QStringLiteral("SELECT s.StudyID, s.StudyUID, p.PatID, r.SeriesID FROM tblStudies s "
                                                    "JOIN tblPatienten p ON p.PatID = s.FKeyPATID JOIN tblSeries r ON r.FKeyStudyID = s.StudyID"));
        uids = Execute(ImageDatabase, QStringLiteral("SELECT ImageUID FROM tblImages ORDER BY ImageNr"));
    }
    if (!row.ok() || row.rows.isEmpty() || !uids.ok())
        return fail(QStringLiteral("no study in the folder (run prepare first)"));
    HeaderUpdateInput in;
    in.loadedLevel = QStringLiteral("Studie");
    in.patientKey = row.first(QStringLiteral("PatID")).toLongLong();
    const QString studyUid = row.first(QStringLiteral("StudyUID")).toString();
    in.tasks = {{QStringLiteral("Patient"), 0, QStringLiteral("0010,0010 - Patient's Name"), QStringLiteral("Doe^Jane"), QStringLiteral("Bench^Changed")}};
    // The viewer has read the study before the operator runs the tasks.
    ToolkitImageList list;
    for (const QSqlRecord &r : uids.rows)
        if (!ReadFileIntoList(list, folder + QStringLiteral("/images/") + studyUid + QLatin1Char('/') + r.value(0).toString() + QStringLiteral(".dcm")))
            return fail(QStringLiteral("cannot read ") + r.value(0).toString());
    in.images = list.items;
    QString log;
    QElapsedTimer clock;
    // BENCH_STEPS=1: each progress text with the time it was reached.
    const bool steps = qEnvironmentVariableIntValue("BENCH_STEPS") == 1;
    struct StepLog : JobProgress {
        QString &log;
        QElapsedTimer &clock;
        bool steps;
        StepLog(QString &l, QElapsedTimer &c, bool s) : log(l), clock(c), steps(s) {}
        void append(const QString &t) override
        {
            log += t;
            if (steps)
                std::fprintf(stderr, "%6lld ms %s\n", static_cast<long long>(clock.elapsed()), qPrintable(t.trimmed()));
        }
    } progress(log, clock, steps);
    HeaderUpdateJob job(in, progress);
    clock.start();
    const bool ok = job.run().ok();
    const qint64 ms = clock.elapsed();
    // The old files moved aside go on a worker thread after the job: timed
    // apart, not hidden.
    QThreadPool::globalInstance()->waitForDone();
    const qint64 disposalMs = clock.elapsed() - ms;
    const int files = int(QDir(folder + QStringLiteral("/temp")).entryList({QStringLiteral("*.dcm")}, QDir::Files).size());
    std::printf("job_ms %lld\nold_files_removed_after_ms %lld\nfiles %d\npeak_kb %lld\n", static_cast<long long>(ms), static_cast<long long>(disposalMs), files,
                PeakKb());
    if (!ok)
        return fail(log);
    return files == int(uids.rows.size()) ? 0 : 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() == 6 && a[1] == QLatin1String("prepare"))
        return prepare(a[2], a[3].toInt(), a[4].toInt(), a[5].toInt());
    if (a.size() == 3 && a[1] == QLatin1String("run"))
        return run(a[2]);
    return fail(QStringLiteral("usage: bench-header-update prepare FOLDER COUNT ROWS COLUMNS | run FOLDER"));
}
