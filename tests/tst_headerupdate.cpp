// The header-update job over a real image database: Change, Move and Switch on
// images that hold different values; study and patient tasks reaching the
// other series and studies, filed again by a running receiver; a write that
// fails half-way and a task that fails its check, both leaving everything.
#include "core/Settings.h"
#include "header/HeaderUpdateJob.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "support/SyscallTrace.h"

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kAet = u"HDRRCV"_s;
const QString kA = u"0018,1030 - Protocol Name"_s;
const QString kB = u"0040,0254 - Performed Procedure Step Description"_s;

QString value(const ToolkitImagePtr &image, const QString &tag) { return Attribute(image, tag).values.join(u'\\'); }
QStringList files(const QString &folder) { return QDir(folder).entryList({u"*.dcm"_s}, QDir::Files, QDir::Name); }

// A task: its kind (0 change, 1 move, 2 switch), source and target.
struct Task {
    int kind;
    QString source, target;
};
// A study or patient task, the images it reaches, and a query that gives 1
// when the database holds the change (? is the first study's old UID); with
// `arrives` the receiver files an image into the loaded series while the job runs.
struct Reach {
    bool studyLoaded;
    QString level, source, target;
    int reached;
    QString rows;
    bool arrives = false;
};

// Where the job's process is killed, and what a restart must leave: the
// rewritten copies (handed) or the originals.
struct Crash {
    HeaderUpdateJob::Step at;
    bool newSopUids;
    bool handed;
};

} // namespace
Q_DECLARE_METATYPE(Task)
Q_DECLARE_METATYPE(Reach)
Q_DECLARE_METATYPE(Crash)

class HeaderUpdateTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    FixtureStudy first_, second_, other_; // patient P: first_ (2 series) and second_; patient Q: other_
    QString log_;
    // The job's running log goes to log_.
    struct LogProgress : JobProgress {
        QString &log;
        explicit LogProgress(QString &l) : log(l) {}
        void append(const QString &t) override { log += t; }
    } progress_{log_};
    // What the operator is told of a run: a refusal's reason, nothing else.
    static QStringList told(const HeaderUpdateResult &r) { return r.refused ? QStringList{r.text} : QStringList(); }
    std::function<ToolkitWindow(const ToolkitImagePtr &)> window_;

    QString temp() const { return folder_->file(u"temp"_s); }
    QString imagePath(const FixtureStudy &s, const SyntheticImageSpec &i) const
    {
        return folder_->file(u"images/%1/%2.dcm"_s.arg(s.studyUid, i.sopUid));
    }

    // Patient P with two studies, the first of two series; patient Q with one.
    // Every image holds its own values in A and B.
    void fileStudies()
    {
        int n = 0;
        auto make = [&n](const QString &patient, QList<int> perSeries) {
            FixtureStudy s{.patientId = patient};
            for (int r = 0; r < perSeries.size(); ++r) {
                s.series << FixtureSeries{.seriesNr = r + 1};
                for (int i = 0; i < perSeries[r]; ++i) {
                    ++n;
                    s.series.last().images << SyntheticImageSpec{
                        .instanceNumber = i + 1, .rows = 32, .columns = 24,
                        .extra = {{u"0018,1030"_s, u"A%1"_s.arg(n)}, {u"0040,0254"_s, u"B%1"_s.arg(n)}},
                        .characterSet = u"ISO_IR 100"_s};
                }
            }
            return s;
        };
        first_ = make(u"PATP"_s, {3, 2});
        second_ = make(u"PATP"_s, {2});
        other_ = make(u"PATQ"_s, {1});
        QString error;
        for (FixtureStudy *s : {&first_, &second_, &other_})
            QVERIFY2(AddStudy(folder_->path(), *s, &error, false), qPrintable(error));
    }

    // The first study's images as the viewer holds them: its first series, or all of it.
    QList<ToolkitImagePtr> load(bool study)
    {
        QList<ToolkitImagePtr> images;
        for (int r = 0; r < (study ? first_.series.size() : 1); ++r)
            for (const SyntheticImageSpec &i : first_.series[r].images)
                images << ReadImage(imagePath(first_, i));
        return images;
    }

    // Patient P is the selected one unless another is given.
    HeaderUpdateJob job(const QList<HeaderTask> &tasks, const QList<ToolkitImagePtr> &images, bool study, qlonglong patientKey = 0)
    {
        HeaderUpdateInput in{.tasks = tasks, .images = images, .loadedLevel = study ? u"Studie"_s : u"Serie"_s,
                             .patientKey = patientKey ? patientKey : first_.patientKey, .viewerWindow = window_};
        return HeaderUpdateJob(in, progress_);
    }

    QStringList originalFiles() const
    {
        QStringList out;
        for (const FixtureStudy *s : {&first_, &second_, &other_})
            for (const FixtureSeries &series : s->series)
                for (const SyntheticImageSpec &i : series.images)
                    out << imagePath(*s, i);
        return out;
    }
    // Every image as it was: rows, files and their values.
    void everythingAsBefore()
    {
        QCOMPARE(CountRows(u"tblImages"_s), 8);
        QCOMPARE(CountRows(u"tblPatienten"_s), 2);
        for (const QString &f : originalFiles()) {
            const ToolkitImagePtr image = ReadImage(f);
            QVERIFY2(image, qPrintable(f));
            QVERIFY(value(image, u"0018,1030"_s).startsWith(u'A'));
        }
        const QString mismatch = ImagesMismatch(folder_->path(), 100);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        QCOMPARE(files(temp()), QStringList());
        QVERIFY(QDir(HeaderUpdateJob::WorkFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        log_.clear();
        window_ = nullptr;
        fileStudies();
    }
    void cleanup()
    {
        HeaderUpdateJob::beforeWrite = nullptr;
        HeaderUpdateJob::afterStep = nullptr;
        QVERIFY(NoDatabaseLeftOpen());
        folder_.reset();
    }

    // Series tasks on a loaded series whose images hold different values:
    // each image's own value moves and switches, each gets its own new UID, and
    // the window it is shown with, the custom one, or none is written.
    void ownValues_data()
    {
        QTest::addColumn<Task>("t");
        QTest::addColumn<int>("autoWindow"); // 2: computed
        QTest::addColumn<QString>("expected"); // per image n, "gggg,eeee=value|..." present with that value
        QTest::newRow("change SOP UID") << Task{0, u"0008,0018 - SOP Instance UID"_s, u"New UID"_s} << 0 << u"0018,1030=A%1"_s;
        QTest::newRow("move A to B") << Task{1, kA, kB} << 0 << u"0018,1030=|0040,0254=A%1"_s;
        QTest::newRow("switch A and B") << Task{2, kA, kB} << 0 << u"0018,1030=B%1|0040,0254=A%1"_s;
        QTest::newRow("values from the header view") << Task{0, u"0028,1050 - Window Center"_s, u"100 | 200"_s} << 0 << u"0028,1050=100\\200"_s;
        QTest::newRow("the viewer's window") << Task{0, kA, u"W"_s} << 2 << u"0018,1030=W|0028,1050=1234|0028,1051=2001"_s;
        QTest::newRow("custom window") << Task{0, kA, u"W"_s} << 1 << u"0028,1050=777|0028,1051=1500"_s;
        // The images are Latin-1: a value it holds keeps the set, one it cannot hold moves them to UTF-8.
        QTest::newRow("Latin-1 text") << Task{0, kA, u"Müller"_s} << 0 << u"0018,1030=Müller|0008,0005=ISO_IR 100"_s;
        QTest::newRow("text beyond Latin-1") << Task{0, kA, u"Łódź"_s} << 0 << u"0018,1030=Łódź|0008,0005=ISO_IR 192"_s;
    }
    void ownValues()
    {
        QFETCH(Task, t);
        QFETCH(int, autoWindow);
        QFETCH(QString, expected);
        const QString &source = t.source;
        Settings.AutoWindow = autoWindow ? 1 : 0;
        Settings.ComputeWindow = autoWindow == 2 ? 1 : 0;
        Settings.CustomCenter = u"777"_s;
        Settings.CustomWidth = u"1500"_s;
        window_ = [](const ToolkitImagePtr &) { return ToolkitWindow{.center = 1234.4, .width = 2000.6, .valid = true}; };
        QVERIFY(job({{u"Series"_s, t.kind, source, u"recorded"_s, t.target}}, load(false), false).run());
        QVERIFY2(log_.endsWith(u"Tasks done."_s) && !log_.contains(u"failed"_s), qPrintable(log_));
        // The old rows and files of the series are gone; the rest stays.
        QCOMPARE(CountRows(u"tblImages"_s), 5);
        QCOMPARE(QDir(folder_->file(u"images/"_s + first_.studyUid)).entryList(QDir::Files).size(), 2);
        const QStringList out = files(temp());
        QCOMPARE(out.size(), 3);
        const bool newUids = source.startsWith(u"0008,0018"_s);
        for (const QString &name : out) {
            const ToolkitImagePtr image = ReadImage(temp() + u'/' + name);
            QVERIFY(image);
            QCOMPARE(name, ImageUid(image) + u".dcm"_s);
            QCOMPARE(originalFiles().join(u' ').contains(ImageUid(image)), !newUids);
            const QString n = value(image, u"0020,0013"_s); // A and B were filed as A<n>, B<n>
            for (const QString &e : expected.arg(n).split(u'|')) {
                const QString tag = e.section(u'=', 0, 0);
                QVERIFY2(Attribute(image, tag).exists, qPrintable(tag));
                QCOMPARE(tag + u'=' + value(image, tag), e);
            }
            if (autoWindow == 0 && !source.startsWith(u"0028"_s))
                QCOMPARE(value(image, u"0028,1050"_s), u"2048"_s); // as filed
        }
    }

    // The originals are the only copies until the rewritten ones are safe:
    // each rewritten file, its work folder and the database commit reach the
    // disk before the first original file is removed. The files are flushed
    // on worker threads: each flush has returned, not only begun, by then.
    void rewrittenCopiesReachTheDiskBeforeTheOriginalsGo()
    {
        const QString root = QFileInfo(folder_->path()).canonicalFilePath();
        QStringList originals;
        for (const SyntheticImageSpec &i : first_.series[0].images)
            originals << root + u"/images/%1/%2.dcm"_s.arg(first_.studyUid, i.sopUid);
        SyscallTrace trace;
        QVERIFY(trace.attach(QCoreApplication::applicationPid()));
        const bool done = job({{u"Series"_s, 0, kA, u"recorded"_s, u"X"_s}}, load(false), false).run().ok();
        const QList<Syscall> calls = trace.detach();
        QVERIFY2(done, qPrintable(log_));
        // The originals moved aside are removed once the job is done, and nothing of it stays.
        QVERIFY(WaitFor([] { return QDir(HeaderUpdateJob::WorkFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty(); }, 10000));
        for (const QString &original : std::as_const(originals))
            QVERIFY2(!QFileInfo::exists(original), qPrintable(original));

        // An original leaves its place by an unlink or a move aside.
        const int promise = FindCall(calls, [&](const Syscall &c) { return (c.unlink() || c.rename()) && originals.contains(c.path); });
        QVERIFY2(promise >= 0, "the removal of an original was not seen");
        const QString work = QFileInfo(HeaderUpdateJob::WorkFolder()).canonicalFilePath() + u"/job-"_s;
        const QStringList rewritten = files(temp());
        QCOMPARE(rewritten.size(), originals.size());
        auto flushedBefore = [&](const std::function<bool(const QString &)> &path) {
            const int i = FindCall(calls, [&](const Syscall &c) { return c.flush() && path(c.path); });
            return i >= 0 && i < promise && calls.at(i).returned >= 0 && calls.at(i).returned < calls.at(promise).entered;
        };
        for (const QString &name : rewritten)
            QVERIFY2(flushedBefore([&](const QString &p) { return p.startsWith(work) && p.endsWith(u'/' + name); }), qPrintable(name + u" not flushed"_s));
        QVERIFY2(flushedBefore([&](const QString &p) { return p.startsWith(work) && p.indexOf(u'/', work.size()) < 0; }), "work folder not flushed");
        const QString database = root + u"/Data/LumoraData.dat"_s;
        int lastDbWrite = -1;
        // The -shm index is rebuilt whenever a connection opens and is never flushed: it holds no data.
        for (int i = 0; i < promise; ++i)
            if (calls.at(i).write() && calls.at(i).path.startsWith(database) && !calls.at(i).path.endsWith(u"-shm"_s))
                lastDbWrite = i;
        const int dbFlush = FindCall(calls, [&](const Syscall &c) { return c.flush() && c.path.startsWith(database); }, lastDbWrite);
        QVERIFY2(lastDbWrite >= 0 && dbFlush >= 0 && dbFlush < promise, "database commit not flushed");
    }

    // Study and patient tasks reach every image of the study or patient once,
    // filed again by the receiver from temp/; patient Q is left alone.
    void reachesOthers_data()
    {
        QTest::addColumn<Reach>("c");
        const QString description = u"0008,1030 - Study Description"_s, id = u"0010,0020 - Patient ID"_s;
        const QString newId = u"SELECT (SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'PATP') = 0 AND (SELECT COUNT(*) FROM tblStudies s "
                              "JOIN tblPatienten p ON s.FKeyPATID = p.PatID WHERE p.PatID1 = 'PATNEW') = 2 AND ? <> ''"_s;
        QTest::newRow("study task, series loaded")
            << Reach{false, u"Study"_s, description, u"NEWDESC"_s, 5, u"SELECT COUNT(*) FROM tblStudies WHERE StudyDescription = 'NEWDESC' AND StudyUID = ?"_s};
        QTest::newRow("patient task, series loaded") << Reach{false, u"Patient"_s, id, u"PATNEW"_s, 7, newId};
        QTest::newRow("patient task, study loaded") << Reach{true, u"Patient"_s, id, u"PATNEW"_s, 7, newId};
        // One new UID for the whole study, the same in both its series.
        QTest::newRow("new study UID, series loaded") << Reach{false, u"Study"_s, u"0020,000D - Study Instance UID"_s, u"generate new UID"_s, 5,
                                                               u"SELECT COUNT(*) = 3 AND SUM(StudyUID = ?) = 0 FROM tblStudies"_s};
        // It is no image the job rewrote: it stays, row and file, as it came.
        QTest::newRow("series task, an image arrives in the series")
            << Reach{false, u"Series"_s, kA, u"NEWA"_s, 3, u"SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?"_s, true};
        QTest::newRow("study task, an image arrives in the series")
            << Reach{false, u"Study"_s, description, u"NEWDESC"_s, 5, u"SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?"_s, true};
    }
    void reachesOthers()
    {
        QFETCH(Reach, c);
        const auto &[studyLoaded, level, source, target, reached, rows, arrives] = c;
        const quint16 port = FreePort();
        WriteReceiverSettings(*folder_, kAet, QString::number(port));
        CompanionProcess receiver(ReceiverProgram(), folder_->path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(kAet, port));
        SyntheticImageSpec arrival = first_.series[0].images[0];
        arrival.sopUid = NewSyntheticUid();
        arrival.instanceNumber = 9;
        arrival.extra = {{u"0018,1030"_s, u"A9"_s}, {u"0040,0254"_s, u"B9"_s}};
        int stored = -1;
        if (arrives)
            HeaderUpdateJob::beforeWrite = [&](const QString &, int written) {
                if (written == 0 && WriteImage(arrival, folder_->file(u"in/arrival.dcm"_s)))
                    stored = Store(kAet, port, {folder_->file(u"in/arrival.dcm"_s)});
                return true;
            };

        // An image task beside it reaches its one image.
        const QList<HeaderTask> tasks{{u"Image #1"_s, 0, u"0008,0050 - Accession Number"_s, {}, u"IMG1"_s}, {level, 0, source, {}, target}};
        QVERIFY2(job(tasks, load(studyLoaded), studyLoaded).run(), qPrintable(log_));
        QVERIFY(WaitFor([&] { return files(temp()).isEmpty() && CountRows(u"tblImages"_s) == 8 + arrives; }, 30000));
        if (arrives) {
            QCOMPARE(stored, 0);
            QCOMPARE(QueryValue(ImageDatabaseFile(), u"SELECT COUNT(*) FROM tblImages WHERE ImageUID = ? AND FKeySeriesID = ?"_s,
                                {arrival.sopUid, first_.series[0].seriesKey}).toInt(), 1);
            const ToolkitImagePtr kept = ReadImage(imagePath(first_, arrival));
            QVERIFY(kept);
            QCOMPARE(value(kept, u"0018,1030"_s), u"A9"_s);
        }
        const QString db = ImageDatabaseFile();
        QCOMPARE(QueryValue(db, rows, {first_.studyUid}).toInt(), 1);
        QCOMPARE(CountRows(u"tblSeries"_s), 4);
        QCOMPARE(QueryValue(db, u"SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'PATQ'"_s).toInt(), 1);
        const QString mismatch = ImagesMismatch(folder_->path(), 100);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        int withValue = 0, withImageTask = 0;
        const QStringList before{first_.studyUid, second_.studyUid, other_.studyUid};
        for (const QList<QVariant> &row : QueryRows(db, u"SELECT s.StudyUID, i.ImageUID FROM tblImages i JOIN tblSeries r ON i.FKeySeriesID = r.SeriesID "
                                                         "JOIN tblStudies s ON r.FKeyStudyID = s.StudyID"_s)) {
            const ToolkitImagePtr image = ReadImage(folder_->file(u"images/%1/%2.dcm"_s.arg(row[0].toString(), row[1].toString())));
            QVERIFY(image);
            const QString v = value(image, source.left(9));
            withValue += target == u"generate new UID"_s ? !before.contains(v) : v == target;
            withImageTask += value(image, u"0008,0050"_s) == u"IMG1"_s;
        }
        QCOMPARE(withValue, reached);
        QCOMPARE(withImageTask, 1);
        QCOMPARE(receiver.terminate(), 0);
    }

    // A write that fails in step 6 or 7 leaves every image where it was and
    // nothing of the job in temp/ or its work folder.
    void failedWriteRemovesNothing_data()
    {
        QTest::addColumn<int>("failAt");
        QTest::newRow("step 4, loaded series") << 1;
        QTest::newRow("step 6, other series") << 3;
        QTest::newRow("step 7, other study") << 6;
    }
    void failedWriteRemovesNothing()
    {
        QFETCH(int, failAt);
        QString failedOn;
        HeaderUpdateJob::beforeWrite = [&](const QString &name, int written) {
            if (written == failAt)
                failedOn = name;
            return written != failAt;
        };
        HeaderUpdateJob j = job({{u"Patient"_s, 0, u"0010,0010 - Patient's Name"_s, {}, u"New^Name"_s}}, load(false), false);
        const HeaderUpdateResult r = j.run();
        QVERIFY(!r.ok() && !r.refused);
        QCOMPARE(r.number, ErrorCode::WriteFailed);
        QVERIFY(!failedOn.isEmpty());
        QVERIFY2(log_.contains(u"failed"_s) && log_.endsWith(u"Tasks done."_s), qPrintable(log_));
        QVERIFY(r.text.contains(failedOn));
        QVERIFY(told(r).isEmpty());
        everythingAsBefore();
    }

    // Loaded images of another patient than the selected one: refused.
    void otherPatientRemovesNothing()
    {
        const HeaderUpdateResult r = job({{u"Series"_s, 0, kA, {}, u"X"_s}}, load(false), false, other_.patientKey).run();
        QVERIFY(!r);
        QCOMPARE(told(r).size(), 1);
        QVERIFY2(told(r)[0].contains(u"another patient"_s), qPrintable(r.text));
        everythingAsBefore();
    }

    // The viewer's images are no longer where the job would look them up: one
    // deleted since it was loaded, or images of two studies. Refused, nothing written.
    void loadedImagesElsewhereRemovesNothing_data()
    {
        QTest::addColumn<bool>("deleteOne");
        QTest::addColumn<QString>("why");
        QTest::newRow("one deleted since loading") << true << u"Image 2 of the viewer is no longer in the image database"_s;
        QTest::newRow("two studies loaded") << false << u"more than one study"_s;
    }
    void loadedImagesElsewhereRemovesNothing()
    {
        QFETCH(bool, deleteOne);
        QFETCH(QString, why);
        QList<ToolkitImagePtr> images = load(false);
        const SyntheticImageSpec &gone = first_.series[0].images[1];
        if (deleteOne)
            QVERIFY(DeleteImageFromDatabase(gone.sopUid, first_.studyUid));
        else
            images << ReadImage(imagePath(second_, second_.series[0].images[0]));
        const HeaderUpdateResult r = job({{u"Patient"_s, 0, u"0010,0010 - Patient's Name"_s, {}, u"New^Name"_s}}, images, false).run();
        QVERIFY(!r);
        QCOMPARE(told(r).size(), 1);
        QVERIFY2(told(r)[0].contains(why), qPrintable(r.text));
        QCOMPARE(CountRows(u"tblImages"_s), deleteOne ? 7 : 8);
        for (const QString &f : originalFiles()) {
            if (deleteOne && f == imagePath(first_, gone))
                continue;
            const ToolkitImagePtr image = ReadImage(f);
            QVERIFY2(image, qPrintable(f));
            QVERIFY(value(image, u"0010,0010"_s) != u"New^Name"_s);
        }
        QCOMPARE(files(temp()), QStringList());
        QVERIFY(QDir(HeaderUpdateJob::WorkFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    // The rewritten images cannot reach temp/ once the old entries are gone:
    // the work folder keeps them with its marker, and the next start hands
    // them to the receiver, once.
    void failedMoveHandsOverAtNextStart()
    {
        QVERIFY(QDir(temp()).removeRecursively());
        folder_->write(u"temp"_s, "in the way");
        QVERIFY(!job({{u"Series"_s, 0, kA, {}, u"NEWA"_s}}, load(false), false).run());
        QVERIFY2(log_.contains(u"failed"_s), qPrintable(log_));
        QCOMPARE(CountRows(u"tblImages"_s), 5);
        // The old files set aside go on a worker thread.
        QVERIFY(WaitFor([] { return QDir(HeaderUpdateJob::WorkFolder()).entryList({u"removed-*"_s}, QDir::Dirs).isEmpty(); }, 10000));
        const QStringList left = QDir(HeaderUpdateJob::WorkFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(left.size(), 1);
        const QString kept = HeaderUpdateJob::WorkFolder() + u'/' + left[0];
        QCOMPARE(QDir(kept).entryList(QDir::Files).size(), 4); // three images and the marker

        QVERIFY(QFile::remove(temp()) && QDir().mkpath(temp()));
        HeaderUpdateJob::HandOverLeftovers();
        HeaderUpdateJob::HandOverLeftovers();
        const QStringList handed = files(temp());
        QCOMPARE(handed.size(), 3);
        for (const QString &name : handed)
            QCOMPARE(value(ReadImage(temp() + u'/' + name), u"0018,1030"_s), u"NEWA"_s);
        QVERIFY(QDir(HeaderUpdateJob::WorkFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        const QByteArray errors = folder_->read(u"Logs/Error.log"_s);
        QVERIFY2(errors.contains(QStringLiteral("Handed 3 image(s) of an interrupted header update from %1").arg(kept).toUtf8()), errors.constData());
    }

    // The job's process killed at a step, then the station started again: the
    // study holds one row per image, each with its file, and the work folder is
    // gone. Killed before the old rows went, the originals stay and the copies
    // are dropped; after it, the copies are handed to the receiver.
    void killedJobLeavesOneRowPerImage_data()
    {
        using Step = HeaderUpdateJob::Step;
        QTest::addColumn<Crash>("c");
        QTest::newRow("new SOP UIDs, killed after the marker's flush") << Crash{Step::MarkerWritten, true, false};
        QTest::newRow("same UIDs, killed after the marker's flush") << Crash{Step::MarkerWritten, false, false};
        QTest::newRow("new SOP UIDs, killed after the removal") << Crash{Step::EntriesRemoved, true, true};
        QTest::newRow("same UIDs, killed after the first move") << Crash{Step::FileMoved, false, true};
        QTest::newRow("new SOP UIDs, killed after the first move") << Crash{Step::FileMoved, true, true};
    }
    void killedJobLeavesOneRowPerImage()
    {
        QFETCH(Crash, c);
        const quint16 port = FreePort();
        WriteReceiverSettings(*folder_, kAet, QString::number(port));
        CompanionProcess receiver(ReceiverProgram(), folder_->path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(kAet, port));
        // A study of three images, the first series of two, sent to the receiver.
        const QString studyUid = NewSyntheticUid(), series1 = NewSyntheticUid(), series2 = NewSyntheticUid();
        QStringList sent, originals;
        for (int n = 1; n <= 3; ++n) {
            const SyntheticImageSpec spec{.patientId = u"PATK"_s, .studyUid = studyUid, .seriesUid = n < 3 ? series1 : series2,
                                          .sopUid = NewSyntheticUid(), .seriesNumber = n < 3 ? 1 : 2, .instanceNumber = n, .rows = 32,
                                          .columns = 24, .extra = {{u"0018,1030"_s, u"A%1"_s.arg(n)}}};
            sent << folder_->file(u"in/k%1.dcm"_s.arg(n));
            originals << spec.sopUid;
            QVERIFY(WriteImage(spec, sent.last()));
        }
        QCOMPARE(Store(kAet, port, sent), 0);
        const QString db = ImageDatabaseFile();
        const QString studyRows = u"SELECT i.ImageUID FROM tblImages i JOIN tblSeries r ON i.FKeySeriesID = r.SeriesID "
                                  "JOIN tblStudies s ON r.FKeyStudyID = s.StudyID WHERE s.StudyUID = ? ORDER BY i.ImageUID"_s;
        QVERIFY(WaitFor([&] { return QueryRows(db, studyRows, {studyUid}).size() == 3; }, 30000));
        const qlonglong patient = QueryValue(db, u"SELECT PatID FROM tblPatienten WHERE PatID1 = 'PATK'"_s).toLongLong();
        QList<ToolkitImagePtr> loaded;
        for (int n = 0; n < 2; ++n)
            loaded << ReadImage(folder_->file(u"images/%1/%2.dcm"_s.arg(studyUid, originals[n])));

        // The job in a process of its own, killed at the step.
        QList<HeaderTask> tasks{{u"Series"_s, 0, kA, {}, u"NEWA"_s}};
        if (c.newSopUids)
            tasks << HeaderTask{u"Series"_s, 0, u"0008,0018 - SOP Instance UID"_s, {}, u"New UID"_s};
        HeaderUpdateJob j = job(tasks, loaded, false, patient);
        int reached[2];
        QCOMPARE(pipe(reached), 0);
        const pid_t child = fork();
        if (child == 0) {
            ::close(reached[0]);
            HeaderUpdateJob::afterStep = [&](HeaderUpdateJob::Step s) {
                if (s != c.at)
                    return;
                (void)!::write(reached[1], "k", 1);
                for (;;)
                    pause();
            };
            j.run();
            _exit(0); // the step never came
        }
        QVERIFY(child > 0);
        ::close(reached[1]);
        pollfd p{reached[0], POLLIN, 0};
        char got = 0;
        const bool atStep = ::poll(&p, 1, 60000) == 1 && ::read(reached[0], &got, 1) == 1;
        ::close(reached[0]);
        ::kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY2(atStep, "the job ended before the step");
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        // The station starts again, its receiver running on.
        HeaderUpdateJob::HandOverLeftovers();
        QVERIFY(WaitFor([&] { return files(temp()).isEmpty(); }, 30000));
        QList<QVariantList> rows = QueryRows(db, studyRows, {studyUid});
        QCOMPARE(rows.size(), 3);
        QVERIFY(QDir(HeaderUpdateJob::WorkFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        const QString mismatch = ImagesMismatch(folder_->path(), 100);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        QStringList uids, values;
        for (const QVariantList &row : rows) {
            uids << row[0].toString();
            const ToolkitImagePtr image = ReadImage(folder_->file(u"images/%1/%2.dcm"_s.arg(studyUid, uids.last())));
            QVERIFY(image);
            QCOMPARE(ImageUid(image), uids.last());
            values << value(image, u"0018,1030"_s);
        }
        values.sort();
        QCOMPARE(values, c.handed ? QStringList({u"A3"_s, u"NEWA"_s, u"NEWA"_s}) : QStringList({u"A1"_s, u"A2"_s, u"A3"_s}));
        QCOMPARE(uids.contains(originals[0]) + uids.contains(originals[1]), c.handed && c.newSopUids ? 0 : 2);
        QVERIFY(uids.contains(originals[2]));
        if (!c.handed) {
            const QByteArray errors = folder_->read(u"Logs/Error.log"_s);
            QVERIFY2(errors.contains("whose old entries are still filed"), errors.constData());
        }
        QCOMPARE(receiver.terminate(), 0);
    }

    // A task that fails its check against any image is named with its value;
    // nothing is written, nothing changes, not even the loaded images.
    void refusedTaskWritesNothing_data()
    {
        QTest::addColumn<Task>("t");
        QTest::addColumn<QString>("named");
        QTest::addColumn<QString>("dropped"); // from the workstation's dictionary first
        QTest::newRow("DS") << Task{0, u"0028,1050 - Window Center"_s, u"12a"_s} << u"12a"_s << QString();
        QTest::newRow("DS from one image's own value") << Task{1, kA, u"0028,1050 - Window Center"_s} << u"A1"_s << QString();
        QTest::newRow("IS") << Task{0, u"0020,0013 - Instance Number"_s, u"1.5"_s} << u"1.5"_s << QString();
        QTest::newRow("DA") << Task{0, u"0008,0020 - Study Date"_s, u"20261350"_s} << u"20261350"_s << QString();
        QTest::newRow("TM") << Task{0, u"0008,0030 - Study Time"_s, u"256000"_s} << u"256000"_s << QString();
        QTest::newRow("length") << Task{0, u"0008,0050 - Accession Number"_s, u"ACC-0123456789-XY"_s} << u"ACC-0123456789-XY"_s << QString();
        QTest::newRow("literal UID") << Task{0, u"0020,000E - Series Instance UID"_s, u"a new one"_s} << u"a new one"_s << QString();
        QTest::newRow("not hexadecimal") << Task{0, u"00G8,0050 - Accession"_s, u"X"_s} << u"00G8,0050"_s << QString();
        QTest::newRow("target is its source") << Task{2, kA, kA} << u"0018,1030"_s << QString();
        QTest::newRow("not in the dictionary") << Task{0, u"0011,0999 - gone"_s, u"X"_s} << u"0011,0999"_s << QString();
        QTest::newRow("dropped from the dictionary") << Task{1, kA, u"0008,0050 - Accession Number"_s} << u"0008,0050"_s << u"0008,0050"_s;
    }
    void refusedTaskWritesNothing()
    {
        QFETCH(Task, t);
        QFETCH(QString, named);
        QFETCH(QString, dropped);
        const QString definitions = folder_->file(u"Data/LumoraUser.dat"_s);
        QueryRows(definitions, u"DELETE FROM tblDictionary WHERE Tag = ?"_s, {dropped});
        QCOMPARE(QueryValue(definitions, u"SELECT COUNT(*) FROM tblDictionary WHERE Tag = ?"_s, {dropped}).toInt(), 0);
        const QList<ToolkitImagePtr> images = load(false);
        const QList<HeaderTask> tasks{{u"Series"_s, 0, u"0008,1030 - Study Description"_s, {}, u"OK"_s}, {u"Patient"_s, t.kind, t.source, {}, t.target}};
        HeaderUpdateJob j = job(tasks, images, false);
        const HeaderUpdateResult r = j.run();
        QVERIFY(!r.ok() && r.refused);
        QCOMPARE(told(r).size(), 1);
        QVERIFY2(told(r)[0].contains(named), qPrintable(r.text));
        QVERIFY2(log_.contains(u"failed"_s), qPrintable(log_));
        QCOMPARE(value(images[0], u"0008,1030"_s), QString());
        everythingAsBefore();
    }
};

QTEST_MAIN(HeaderUpdateTest)
#include "tst_headerupdate.moc"
