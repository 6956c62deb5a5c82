// Sending series, studies and patients to storescp partners: what arrives,
// the counters, the removal after a complete send, and never another study's image.
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "jobs/EditForm.h"
#include "support/SendJob.h"
#include "network/SendJobs.h"
#include "store/DatabasePaths.h"
#include "support/Peers.h"
#include "support/Station.h"
#include "support/Widgets.h"
#include "toolkit/SyntheticImage.h"
#include "toolkit/Toolkit.h"

#include <QApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

QString dump(const QString &file)
{
    QByteArray out;
    RunProgram(QStringLiteral("dcmdump"), {file}, &out);
    return QString::fromUtf8(out);
}

} // namespace

class SendTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    RecordingPrompter prompter_;
    StorePeer archive_, backup_;


private slots:
    void initTestCase()
    {
        QVERIFY(archive_.start(QDir::tempPath() + QStringLiteral("/lumora-send-archive-%1").arg(QCoreApplication::applicationPid()), QStringLiteral("ARCHIVE")));
        QVERIFY(backup_.start(QDir::tempPath() + QStringLiteral("/lumora-send-backup-%1").arg(QCoreApplication::applicationPid()), QStringLiteral("BACKUP")));
    }
    void cleanupTestCase()
    {
        QDir(archive_.folder()).removeRecursively();
        QDir(backup_.folder()).removeRecursively();
    }
    void init()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        DefaultPartner = {QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), QString::number(archive_.port())};
        SecondPartner = {QStringLiteral("BACKUP"), QStringLiteral("127.0.0.1"), QString::number(backup_.port())};
        ExaminationType = 2;
        prompter_.boxes.clear();
        SetPrompter(&prompter_);
        archive_.clear();
        backup_.clear();
    }
    void cleanup()
    {
        ReleaseConnections();
        SetPrompter(nullptr);
        f_.reset();
    }

    void seriesWithAMissingFileRemovesNothing()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 3);
        QFile::remove(f_->file(QStringLiteral("images/%1/%2.dcm").arg(s.uid, s.images[1])));
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, s.series[0]};
        const QString text = RunSendJob(0, job);
        QVERIFY2(text.contains(QStringLiteral("2 of 3 images successfully sent.")), qPrintable(text));
        QCOMPARE(archive_.received().size(), 2);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 3);
        QVERIFY(!EntriesRemoved);
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains("EditForm SerieSenden (TRANSMIT_ERRROR)"));
    }

    void completeStudyIsRemovedWhenNotKept()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 2, 2);
        const FiledStudy other = FileStudy(*f_, QStringLiteral("P1"), 1, 1);
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        int patientRows = 0;
        job.patientRowRemoved = [&] { ++patientRows; };
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, 0};
        const QString text = RunSendJob(1, job);
        QVERIFY2(text.contains(QStringLiteral("4 of 4 images successfully sent.")), qPrintable(text));
        QCOMPARE(archive_.received().size(), 4);
        QVERIFY(EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 1);
        QVERIFY(!QDir(f_->file(QStringLiteral("images/") + s.uid)).exists());
        QVERIFY(QDir(f_->file(QStringLiteral("images/") + other.uid)).exists());
        QCOMPARE(patientRows, 0); // the patient keeps a study
    }

    void studyTakesItsStampedCopiesAndNothingElse()
    {
        const FiledStudy mine = FileStudy(*f_, QStringLiteral("P1"), 1, 2);
        const FiledStudy theirs = FileStudy(*f_, QStringLiteral("P2"), 1, 1);
        // The work folder holds a stamped copy of one of mine and one of another patient's study.
        ToolkitImageList list;
        QVERIFY(ReadFileIntoList(list, f_->file(QStringLiteral("images/%1/%2.dcm").arg(mine.uid, mine.images[0]))));
        SetAttribute(ListItem(list, 1), 0x0018, 0x0060, QStringLiteral("31"));
        QVERIFY(WriteDicomFile(ListItem(list, 1), f_->file(QStringLiteral("bin/%1.dcm").arg(mine.images[0]))));
        QFile::copy(f_->file(QStringLiteral("images/%1/%2.dcm").arg(theirs.uid, theirs.images[0])),
                    f_->file(QStringLiteral("bin/%1.dcm").arg(theirs.images[0])));
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        job.selection = {mine.patient, QStringLiteral("P1"), QStringLiteral("Doe"), mine.study, mine.uid, 0};
        RunSendJob(1, job);
        const QStringList got = archive_.received();
        QCOMPARE(got.size(), 2);
        QString all;
        for (const QString &file : got)
            all += dump(archive_.folder() + QLatin1Char('/') + file);
        QVERIFY(all.contains(QStringLiteral("[31]")));  // the stamped copy went
        QVERIFY(!all.contains(theirs.images[0]));       // the other study's did not
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 1); // mine removed, theirs kept
        QVERIFY(QDir(f_->file(QStringLiteral("images/") + theirs.uid)).exists());
    }

    void curativeGoesToBothScreeningToTheDefault()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 2);
        ExaminationType = 1;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, 0};
        RunSendJob(1, job);
        QCOMPARE(archive_.received().size(), 2);
        QCOMPARE(backup_.received().size(), 2);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 2); // SentAndKeep 1: everything stays

        ExaminationType = 2;
        QVERIFY(SCPOnline(nullptr));
        SendJob again;
        again.selection = job.selection;
        RunSendJob(1, again);
        QCOMPARE(archive_.received().size(), 2); // same instances, same files
        QCOMPARE(backup_.received().size(), 2);
        QVERIFY(!SecondConnection);
    }

    void patientWithAFailedImageKeepsThePatient()
    {
        const FiledStudy a = FileStudy(*f_, QStringLiteral("P1"), 1, 2);
        const FiledStudy b = FileStudy(*f_, QStringLiteral("P1"), 1, 2);
        QFile::remove(f_->file(QStringLiteral("images/%1/%2.dcm").arg(b.uid, b.images[0])));
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        bool doseRefreshed = false;
        job.RefreshDosisList = [&] { doseRefreshed = true; };
        job.selection = {a.patient, QStringLiteral("P1"), QStringLiteral("Doe"), 0, QString(), 0};
        const QString text = RunSendJob(2, job);
        QVERIFY2(text.contains(QStringLiteral("3 of 4 images successfully sent.")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("skipped (not all files send)")));
        QVERIFY(!doseRefreshed);
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 1); // the complete study went
        QVERIFY(!QDir(f_->file(QStringLiteral("images/") + a.uid)).exists());
    }

    void completePatientIsRemovedAndItsExposuresAssigned()
    {
        const FiledStudy a = FileStudy(*f_, QStringLiteral("P1"), 1, 2);
        FileStudy(*f_, QStringLiteral("P1"), 2, 1);
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        bool doseRefreshed = false;
        job.RefreshDosisList = [&] {
            doseRefreshed = true;
            QCOMPARE(AssignmentMode, qint16(1));
        };
        job.selection = {a.patient, QStringLiteral("P1"), QStringLiteral("Doe"), 0, QString(), 0};
        const QString text = RunSendJob(2, job);
        QVERIFY2(text.contains(QStringLiteral("4 of 4 images successfully sent.")), qPrintable(text));
        QVERIFY(doseRefreshed);
        QVERIFY(EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 0);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 0);
        AssignmentMode = 0;
    }

    void partnerThatAbortsGetsNothingRemoved()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 2);
        StorePeer aborting;
        QVERIFY(aborting.start(f_->file(QStringLiteral("aborting")), QStringLiteral("ARCHIVE"), {QStringLiteral("--abort-during")}));
        DefaultPartner.port = QString::number(aborting.port());
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, 0};
        const QString text = RunSendJob(1, job);
        QVERIFY2(text.contains(QStringLiteral("0 of 2 images successfully sent.")), qPrintable(text));
        QVERIFY(!EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 2);
        QVERIFY(QDir(f_->file(QStringLiteral("images/") + s.uid)).exists());
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains("EditForm StudieSenden (TRANSMIT_ERROR)"));
    }

    void unreachablePartnerStartsNothing()
    {
        DefaultPartner.port = QString::number(FreePort());
        QVERIFY(!SCPOnline(nullptr));
        QVERIFY(!PartnerConnection);
        QCOMPARE(prompter_.boxes.size(), 1);
        QVERIFY(prompter_.boxes[0].text.startsWith(QStringLiteral("Error #")));
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains("MainForm SCPOnline"));
        QVERIFY(f_->read(QStringLiteral("Logs/Debug.log")).contains("SCPOnline127.0.0.1 "));
    }
};

int main(int argc, char **argv)
{
    UseOffscreenScreen(1280, 1024);
    QApplication app(argc, argv);
    SendTest t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_send.moc"
