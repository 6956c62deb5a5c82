// The header-update job over a real image database: Change, Move and Switch on
// images that hold different values; study and patient tasks reaching the
// other series and studies, filed again by a running receiver; a write that
// fails half-way and a task that fails its check, both leaving everything.
#include "core/Settings.h"
#include "header/HeaderUpdateJob.h"
#include "store/DatabasePaths.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QTest>

namespace {

const QString kAet = u"HDRRCV"_s;
const QString kA = u"0018,1030 - Protocol Name"_s;
const QString kB = u"0040,0254 - Performed Procedure Step Description"_s;

QString value(const ToolkitImagePtr &image, const QString &tag)
{
    return GetAttribute(image, quint16(tag.left(4).toUInt(nullptr, 16)), quint16(tag.mid(5, 4).toUInt(nullptr, 16))).values.join(u'\\');
}
bool present(const ToolkitImagePtr &image, const QString &tag)
{
    return GetAttribute(image, quint16(tag.left(4).toUInt(nullptr, 16)), quint16(tag.mid(5, 4).toUInt(nullptr, 16))).exists;
}
ToolkitImagePtr read(const QString &path)
{
    ToolkitImageList list;
    return ReadFileIntoList(list, path) ? ListItem(list, 1) : ToolkitImagePtr();
}
QStringList files(const QString &folder) { return QDir(folder).entryList({u"*.dcm"_s}, QDir::Files, QDir::Name); }

} // namespace

class HeaderUpdateTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    FixtureStudy first_, second_, other_; // patient P: first_ (2 series) and second_; patient Q: other_
    QString log_;
    QStringList messages_;
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
                        .extra = {{u"0018,1030"_s, u"A%1"_s.arg(n)}, {u"0040,0254"_s, u"B%1"_s.arg(n)}}};
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
                images << read(imagePath(first_, i));
        return images;
    }

    HeaderUpdateJob job(const QList<HeaderTask> &tasks, const QList<ToolkitImagePtr> &images, bool study)
    {
        HeaderUpdateInput in{.tasks = tasks, .images = images, .loadedLevel = study ? u"Studie"_s : u"Serie"_s,
                             .patientKey = first_.patientKey, .patientId = first_.patientId, .studyKey = first_.studyKey,
                             .studyUid = first_.studyUid, .seriesKey = first_.series[0].seriesKey, .viewerWindow = window_};
        HeaderUpdateReport r{.append = [this](const QString &t) { log_ += t; }, .message = [this](const QString &t) { messages_ << t; }};
        return HeaderUpdateJob(in, r);
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
            const ToolkitImagePtr image = read(f);
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
        messages_.clear();
        window_ = nullptr;
        fileStudies();
    }
    void cleanup()
    {
        HeaderUpdateJob::beforeWrite = nullptr;
        CloseAllDatabases();
        folder_.reset();
    }

    // Image tasks on a loaded series whose images hold different values: each
    // image's own value moves, switches, and each gets its own new UID.
    void ownValues_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::newRow("change SOP UID") << 0 << u"0008,0018 - SOP Instance UID"_s << u"New UID"_s;
        QTest::newRow("move A to B") << 1 << kA << kB;
        QTest::newRow("switch A and B") << 2 << kA << kB;
        QTest::newRow("values from the header view") << 0 << u"0028,1050 - Window Center"_s << u"100 | 200"_s;
    }
    void ownValues()
    {
        QFETCH(int, kind);
        QFETCH(QString, source);
        QFETCH(QString, target);
        const QList<ToolkitImagePtr> images = load(false);
        QVERIFY(job({{u"Series"_s, kind, source, u"recorded"_s, target}}, images, false).run());
        QVERIFY2(log_.endsWith(u"Tasks done."_s) && !log_.contains(u"failed"_s), qPrintable(log_));
        const QStringList out = files(temp());
        QCOMPARE(out.size(), 3);
        // The old rows and files of the series are gone; the rest stays.
        QCOMPARE(CountRows(u"tblImages"_s), 5);
        for (const SyntheticImageSpec &i : first_.series[0].images)
            QVERIFY(!QFileInfo::exists(imagePath(first_, i)));
        QVERIFY(QFileInfo::exists(imagePath(first_, first_.series[1].images[0])));
        QSet<QString> uids;
        for (const QString &name : out) {
            const ToolkitImagePtr image = read(temp() + u'/' + name);
            QVERIFY(image);
            const QString uid = ImageUid(image);
            QCOMPARE(name, uid + u".dcm"_s);
            uids.insert(uid);
            // Which image it was: the A and B it was filed with hold its number.
            const int n = QString(value(image, u"0018,1030"_s) + value(image, u"0040,0254"_s)).remove(u'A').remove(u'B').left(1).toInt();
            QVERIFY(n >= 1 && n <= 3);
            const QString a = u"A%1"_s.arg(n), b = u"B%1"_s.arg(n);
            switch (kind) {
            case 0:
                if (source.startsWith(u"0008"_s))
                    QVERIFY(!originalFiles().join(u' ').contains(uid));
                else
                    QCOMPARE(GetAttribute(image, 0x0028, 0x1050).values, QStringList({u"100"_s, u"200"_s}));
                break;
            case 1:
                QVERIFY(present(image, u"0018,1030"_s));
                QCOMPARE(value(image, u"0018,1030"_s), QString());
                QCOMPARE(value(image, u"0040,0254"_s), a);
                break;
            case 2:
                QCOMPARE(value(image, u"0018,1030"_s), b);
                QCOMPARE(value(image, u"0040,0254"_s), a);
                break;
            }
        }
        QCOMPARE(uids.size(), 3);
    }

    // Study and patient tasks reach every image of the study or patient once,
    // filed again by the receiver from temp/; patient Q is left alone.
    void reachesOthers_data()
    {
        QTest::addColumn<bool>("studyLoaded");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::newRow("study task, series loaded") << false << u"Study"_s << u"0008,1030 - Study Description"_s << u"NEWDESC"_s;
        QTest::newRow("patient task, series loaded") << false << u"Patient"_s << u"0010,0020 - Patient ID"_s << u"PATNEW"_s;
        QTest::newRow("patient task, study loaded") << true << u"Patient"_s << u"0010,0020 - Patient ID"_s << u"PATNEW"_s;
        QTest::newRow("new study UID, series loaded") << false << u"Study"_s << u"0020,000D - Study Instance UID"_s << u"generate new UID"_s;
    }
    void reachesOthers()
    {
        QFETCH(bool, studyLoaded);
        QFETCH(QString, level);
        QFETCH(QString, source);
        QFETCH(QString, target);
        const quint16 port = FreePort();
        WriteReceiverSettings(*folder_, kAet, QString::number(port));
        CompanionProcess receiver(ReceiverProgram(), folder_->path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(kAet, port));

        // A patient task also reaches the loaded series (with an image task beside it).
        const QList<HeaderTask> tasks{{u"Image #1"_s, 0, u"0008,0050 - Accession Number"_s, {}, u"IMG1"_s}, {level, 0, source, {}, target}};
        QVERIFY2(job(tasks, load(studyLoaded), studyLoaded).run(), qPrintable(log_));
        const bool patient = level == u"Patient"_s;
        const int reached = patient ? 7 : 5;
        QVERIFY(WaitFor([&] { return files(temp()).isEmpty() && CountRows(u"tblImages"_s) == 8; }, 30000));
        const QString db = ImageDatabaseFile();
        if (source.startsWith(u"0010,0020"_s)) {
            QCOMPARE(QueryValue(db, u"SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'PATP'"_s).toInt(), 0);
            QCOMPARE(QueryValue(db, u"SELECT COUNT(*) FROM tblStudies s JOIN tblPatienten p ON s.FKeyPATID = p.PatID WHERE p.PatID1 = 'PATNEW'"_s).toInt(), 2);
        } else if (source.startsWith(u"0008,1030"_s)) {
            QCOMPARE(QueryValue(db, u"SELECT StudyDescription FROM tblStudies WHERE StudyUID = ?"_s, {first_.studyUid}).toString(), target);
            QCOMPARE(QueryValue(db, u"SELECT COUNT(*) FROM tblStudies WHERE StudyDescription = ?"_s, {target}).toInt(), 1);
        } else {
            // One new UID for the whole study, the same in both its series.
            QCOMPARE(QueryValue(db, u"SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?"_s, {first_.studyUid}).toInt(), 0);
            QCOMPARE(QueryValue(db, u"SELECT COUNT(*) FROM tblStudies"_s).toInt(), 3);
        }
        QCOMPARE(CountRows(u"tblSeries"_s), 4);
        QCOMPARE(QueryValue(db, u"SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'PATQ'"_s).toInt(), 1);
        // Every file: reached once (the image task on image 1 only), Q's untouched.
        const QString mismatch = ImagesMismatch(folder_->path(), 100);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        int withValue = 0, withImageTask = 0;
        const QString tag = source.left(9);
        for (const QList<QVariant> &row : QueryRows(db, u"SELECT s.StudyUID, i.ImageUID FROM tblImages i JOIN tblSeries r ON i.FKeySeriesID = r.SeriesID "
                                                         "JOIN tblStudies s ON r.FKeyStudyID = s.StudyID"_s)) {
            const ToolkitImagePtr image = read(folder_->file(u"images/%1/%2.dcm"_s.arg(row[0].toString(), row[1].toString())));
            QVERIFY(image);
            const QString v = value(image, tag);
            withValue += target == u"generate new UID"_s ? (v != first_.studyUid && v != second_.studyUid && v != other_.studyUid) : v == target;
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
        QVERIFY(!j.run());
        QVERIFY(!failedOn.isEmpty());
        QVERIFY2(log_.contains(u"failed"_s) && log_.endsWith(u"Tasks done."_s), qPrintable(log_));
        QVERIFY(j.error().contains(failedOn));
        QVERIFY(messages_.isEmpty());
        everythingAsBefore();
    }

    // A task that fails its check against any image is named with its value;
    // nothing is written, nothing changes, not even the loaded images.
    void refusedTaskWritesNothing_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("named");
        QTest::addColumn<QString>("dropped"); // from the workstation's dictionary first
        QTest::newRow("DS") << 0 << u"0028,1050 - Window Center"_s << u"12a"_s << u"12a"_s << QString();
        QTest::newRow("DS from one image's own value") << 1 << kA << u"0028,1050 - Window Center"_s << u"A1"_s << QString();
        QTest::newRow("IS") << 0 << u"0020,0013 - Instance Number"_s << u"1.5"_s << u"1.5"_s << QString();
        QTest::newRow("DA") << 0 << u"0008,0020 - Study Date"_s << u"20261350"_s << u"20261350"_s << QString();
        QTest::newRow("TM") << 0 << u"0008,0030 - Study Time"_s << u"256000"_s << u"256000"_s << QString();
        QTest::newRow("length") << 0 << u"0008,0050 - Accession Number"_s << u"ACC-0123456789-XY"_s << u"ACC-0123456789-XY"_s << QString();
        QTest::newRow("literal UID") << 0 << u"0020,000E - Series Instance UID"_s << u"a new one"_s << u"a new one"_s << QString();
        QTest::newRow("not hexadecimal") << 0 << u"00G8,0050 - Accession"_s << u"X"_s << u"00G8,0050"_s << QString();
        QTest::newRow("target is its source") << 2 << kA << kA << u"0018,1030"_s << QString();
        QTest::newRow("not in the dictionary") << 0 << u"0011,0999 - gone"_s << u"X"_s << u"0011,0999"_s << QString();
        QTest::newRow("dropped from the dictionary") << 1 << kA << u"0008,0050 - Accession Number"_s << u"0008,0050"_s << u"0008,0050"_s;
    }
    void refusedTaskWritesNothing()
    {
        QFETCH(int, kind);
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(QString, named);
        QFETCH(QString, dropped);
        if (!dropped.isEmpty())
        {
            const QString definitions = folder_->file(u"Data/LumoraUser.dat"_s);
            QueryRows(definitions, u"DELETE FROM tblDictionary WHERE Tag = ?"_s, {dropped});
            QCOMPARE(QueryValue(definitions, u"SELECT COUNT(*) FROM tblDictionary WHERE Tag = ?"_s, {dropped}).toInt(), 0);
        }
        const QList<ToolkitImagePtr> images = load(false);
        const QList<HeaderTask> tasks{{u"Series"_s, 0, u"0008,1030 - Study Description"_s, {}, u"OK"_s}, {u"Patient"_s, kind, source, {}, target}};
        HeaderUpdateJob j = job(tasks, images, false);
        QVERIFY(!j.run());
        QVERIFY(j.refused());
        QCOMPARE(messages_.size(), 1);
        QVERIFY2(messages_[0].contains(named), qPrintable(messages_[0]));
        QVERIFY2(log_.contains(u"failed"_s), qPrintable(log_));
        QCOMPARE(value(images[0], u"0008,1030"_s), QString());
        everythingAsBefore();
    }

    // The loaded images carry the window they are shown with, the custom one, or what they held.
    void windowAttributes_data()
    {
        QTest::addColumn<int>("autoWindow");
        QTest::addColumn<int>("compute");
        QTest::addColumn<QString>("window");
        QTest::newRow("off") << 0 << 1 << u"2048/4096"_s;
        QTest::newRow("the viewer's, whole numbers") << 1 << 1 << u"1234/2001"_s;
        QTest::newRow("custom") << 1 << 0 << u"777/1500"_s;
    }
    void windowAttributes()
    {
        QFETCH(int, autoWindow);
        QFETCH(int, compute);
        QFETCH(QString, window);
        Settings.AutoWindow = qint16(autoWindow);
        Settings.ComputeWindow = qint16(compute);
        Settings.CustomCenter = u"777"_s;
        Settings.CustomWidth = u"1500"_s;
        window_ = [](const ToolkitImagePtr &) { return ToolkitWindow{.center = 1234.4, .width = 2000.6, .valid = true}; };
        QVERIFY(job({{u"Series"_s, 0, u"0008,1030 - Study Description"_s, {}, u"W"_s}}, load(false), false).run());
        QCOMPARE(files(temp()).size(), 3);
        for (const QString &name : files(temp())) {
            const ToolkitImagePtr image = read(temp() + u'/' + name);
            QCOMPARE(value(image, u"0028,1050"_s) + u'/' + value(image, u"0028,1051"_s), window);
        }
    }
};

QTEST_MAIN(HeaderUpdateTest)
#include "tst_headerupdate.moc"
