// The study send job against a storescp, for bench/send.sh.
//   bench-send prepare FOLDER COUNT ROWS COLUMNS  an application folder holding
//       one study of COUNT images filed as the receiver files them; prints the
//       study's folder
//   bench-send send FOLDER PORT                   StudieSenden of that study in
//       the progress dialog; prints send_ms (association, job and release),
//       command_ms (with the dialog's start timer), progress_ms (the dialog's
//       per-image progress steps alone), sent, total and peak_kb; with the
//       study's dose report unless BENCH_DOSE_REPORT=0
#include "PeakMemory.h"
#include "core/Settings.h"
#include "jobs/EditForm.h"
#include "exposure/StudyDoseReport.h"
#include "network/SendJobs.h"
#include "store/Session.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"
#include "support/Widgets.h"
#include "toolkit/SyntheticImage.h"
#include "toolkit/Toolkit.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

int fail(const char *what)
{
    std::fprintf(stderr, "bench-send: %s\n", what);
    return 1;
}

// The journal of the bench's folder, made from the empty template.
const QString kJournal = QStringLiteral("Data/Journal.dat");

// One calibrated exposure per image, assigned to the patient on the study's
// date, each stamped into its image: what the dose report is written from.
bool journalExposures(const QString &folder, const QStringList &eventUids)
{
    if (!QFile::copy(folder + QStringLiteral("/Data/LumoraDef.dat"), folder + QLatin1Char('/') + kJournal))
        return false;
    DatabaseSession db(UserDatabase);
    if (!db.ok())
        return false;
    ExecuteScript(UserDatabase, QStringLiteral("BEGIN"));
    for (int i = 0; i < eventUids.size(); ++i)
        if (!Execute(UserDatabase,
                     QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit, Patname, FKeyPatID, "
                                    "Unit, TargetFilter, HVL, Kerma, AGD, AgdSource, IrradiationEventUID) "
                                    "VALUES ('29', '85', '10:00:00', '52', '5.6', '110', '2026-12-06', ?, '1', '850', 'Bench', 'BENCH', "
                                    "4, 'W/Rh', 0.52, 5.1, 1.2, 'reported dose', ?)"),
                     {i % 2 ? QStringLiteral("L CC") : QStringLiteral("R CC"), eventUids[i]})
                 .ok())
            return false;
    ExecuteScript(UserDatabase, QStringLiteral("COMMIT"));
    return true;
}

int prepare(const QString &folder, int count, int rows, int columns)
{
    QDir().mkpath(folder);
    if (!MakeStationDatabases(folder))
        return fail("cannot make the databases");
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(folder));
    Settings.Database = kJournal;
    SetDatabasePaths();
    QStringList eventUids;
    const QString studyUid = NewSyntheticUid();
    const QString seriesUid = NewSyntheticUid();
    const QString studyFolder = folder + QStringLiteral("/images/") + studyUid;
    QDir().mkpath(studyFolder);
    DatabaseSession db(ImageDatabase);
    if (!db.ok())
        return fail("cannot open the image database");
    const auto check = [](const DbResult &r) {
        if (!r.ok())
            std::fprintf(stderr, "bench-send: %s\n", qPrintable(r.text));
        return r.ok();
    };
    if (!check(Execute(ImageDatabase, QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname) VALUES ('BENCH', 'Bench')"), {})))
        return 1;
    const qlonglong patient = Execute(ImageDatabase, QStringLiteral("SELECT PatID FROM tblPatienten WHERE PatID1 = 'BENCH'")).first(QStringLiteral("PatID")).toLongLong();
    const DbResult study = Execute(ImageDatabase, QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES (?, ?)"), {studyUid, patient});
    const DbResult series = Execute(ImageDatabase, QStringLiteral("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID) VALUES (?, 1, ?)"),
                                    {seriesUid, study.lastInsertId});
    if (!check(study) || !check(series))
        return 1;
    ExecuteScript(ImageDatabase, QStringLiteral("BEGIN"));
    for (int i = 0; i < count; ++i) {
        SyntheticImageSpec spec;
        spec.patientId = QStringLiteral("BENCH");
        spec.studyUid = studyUid;
        spec.seriesUid = seriesUid;
        spec.sopUid = NewSyntheticUid();
        spec.instanceNumber = i + 1;
        spec.rows = rows;
        spec.columns = columns;
        spec.bitsStored = 14;
        spec.laterality = i % 2 ? QStringLiteral("L") : QStringLiteral("R");
        spec.viewPosition = (i / 2) % 2 ? QStringLiteral("MLO") : QStringLiteral("CC");
        eventUids << NewSyntheticUid();
        spec.extra << qMakePair(QStringLiteral("0008,3010"), eventUids.last());
        if (const Result written = WriteSyntheticImage(spec, studyFolder + QLatin1Char('/') + spec.sopUid + QStringLiteral(".dcm")); !written)
            return fail(qPrintable(written.text));
        if (!check(Execute(ImageDatabase, QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID) VALUES (?, ?, ?)"),
                           {spec.sopUid, i + 1, series.lastInsertId})))
            return 1;
    }
    ExecuteScript(ImageDatabase, QStringLiteral("COMMIT"));
    if (!journalExposures(folder, eventUids))
        return fail("cannot write the journal");
    std::printf("%s\n", qPrintable(studyFolder));
    return 0;
}

// With tls, the partner is marked for TLS and the TLS files are those the folder's settings name.
int send(const QString &folder, int port, bool tls = false)
{
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(folder));
    Settings = SettingsRecord();
    LoadSettings();
    Settings.SentAndKeep = 1; // the study stays for the next round
    Settings.Database = kJournal;
    SetDatabasePaths();
    const SendTarget target{{{QStringLiteral("BENCHSCP"), QStringLiteral("127.0.0.1"), QString::number(port), tls}, {}}, false, Settings.IR_AET};

    const DbResult row = [] {
        DatabaseSession db(ImageDatabase);
        return Execute(ImageDatabase, QStringLiteral("SELECT s.StudyID, s.StudyUID, p.PatID FROM tblStudies s JOIN tblPatienten p ON p.PatID = s.FKeyPATID"));
    }();
    if (!row.ok() || row.rows.isEmpty())
        return fail("no study in the folder (run prepare first)");
    SendJob job;
    job.selection = {row.first(QStringLiteral("PatID")).toLongLong(), QStringLiteral("BENCH"), QStringLiteral("Bench"),
                     row.first(QStringLiteral("StudyID")).toLongLong(), row.first(QStringLiteral("StudyUID")).toString(), 0};
    if (qEnvironmentVariable("BENCH_DOSE_REPORT") != QLatin1String("0"))
        job.writeDoseReport = WriteStudyDoseReport;

    // The workstation has shown the study before it sends it, so DCMTK's data
    // dictionary is loaded by then; here the first file would load it.
    {
        ToolkitImageList warm;
        const QString first = QDir(folder + QStringLiteral("/images/") + job.selection.studyUid).entryList({QStringLiteral("*.dcm")}).value(0);
        ReadFileIntoList(warm, folder + QStringLiteral("/images/") + job.selection.studyUid + QLatin1Char('/') + first);
    }

    // Timed apart: opening the association, the job itself, the release; and
    // the whole command with the dialog's start timer and its OK.
    QElapsedTimer clock, part;
    qint64 openMs = 0, jobMs = 0, releaseMs = 0;
    clock.start();
    part.start();
    if (const Result opened = job.connections.open(target); !opened.ok())
        return fail(qPrintable(opened.text));
    openMs = part.elapsed();
    Session session;
    EditForm form(session, JobKind::SendStudy, [&job, &jobMs](JobProgress &progress) {
        QElapsedTimer t;
        t.start();
        JobOutcome outcome = StudieSenden(progress, job);
        jobMs = t.elapsed();
        return outcome;
    });
    form.onUnload = [&job] { job.connections.release(); };
    form.Form_Load();
    form.show();
    // Bounded: an hour is far beyond any run of this benchmark.
    if (!QTest::qWaitFor([&] { return form.isDone(); }, 3600 * 1000))
        return fail("the send job did not finish");
    part.restart();
    form.cmdOK_Click();
    job.connections.release();
    releaseMs = part.elapsed();
    const qint64 ms = clock.elapsed();

    // What the job's per-image yield to the dialog costs on its own: the same
    // number of progress steps on a shown dialog, with no network and no file.
    qint64 progressMs = 0;
    {
        EditForm shown(session, JobKind::SendStudy, [&](JobProgress &progress) {
            progress.setMaximum(job.TotalCount);
            part.restart();
            for (int i = 0; i < job.TotalCount; ++i)
                progress.advance();
            progressMs = part.elapsed();
            return JobOutcome();
        });
        shown.show();
        QTest::qWait(50);
        shown.Form_Load();
        if (!QTest::qWaitFor([&] { return shown.isDone(); }, 3600 * 1000))
            return fail("the progress steps did not finish");
    }
    std::printf("send_ms %lld\ncommand_ms %lld\nprogress_ms %lld\nopen_ms %lld\njob_ms %lld\nrelease_ms %lld\nsent %d\ntotal %d\npeak_kb %lld\n",
                static_cast<long long>(openMs + jobMs + releaseMs), static_cast<long long>(ms), static_cast<long long>(progressMs), static_cast<long long>(openMs),
                static_cast<long long>(jobMs), static_cast<long long>(releaseMs), job.SentCount, job.TotalCount, PeakKb());
    return job.SentCount == job.TotalCount && job.TotalCount > 0 ? 0 : 2;
}

} // namespace

int main(int argc, char **argv)
{
    const auto app = OffscreenApplication(argc, argv, 1280, 1024);
    const QStringList a = app->arguments();
    if (a.size() == 6 && a[1] == QLatin1String("prepare"))
        return prepare(a[2], a[3].toInt(), a[4].toInt(), a[5].toInt());
    if (a.size() == 4 && a[1] == QLatin1String("send"))
        return send(a[2], a[3].toInt());
    if (a.size() == 5 && a[1] == QLatin1String("send") && a[4] == QLatin1String("tls"))
        return send(a[2], a[3].toInt(), true);
    return fail("usage: bench-send prepare FOLDER COUNT ROWS COLUMNS | send FOLDER PORT [tls]");
}
