// Series, study and patient sends to an Orthanc archive, checked through its
// REST interface: what the archive indexed, not only what the job counted.
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

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

} // namespace

class SendOrthancTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    RecordingPrompter prompter_;
    OrthancPeer orthanc_;
    StorePeer storescp_;

    static QStringList sorted(QStringList l)
    {
        l.sort();
        return l;
    }
    PartnerAddress orthancPartner() const { return {QStringLiteral("ORTHANC"), QStringLiteral("127.0.0.1"), QString::number(orthanc_.dicomPort())}; }

private slots:
    void initTestCase()
    {
        QString why;
        QVERIFY2(orthanc_.start(&why), qPrintable(why));
        QVERIFY(storescp_.start(QDir::tempPath() + QStringLiteral("/lumora-send-orthanc-scp-%1").arg(QCoreApplication::applicationPid()), QStringLiteral("ARCHIVE")));
    }
    void cleanupTestCase()
    {
        orthanc_.stop();
        QCOMPARE(orthanc_.process().state(), QProcess::NotRunning);
        QDir(storescp_.folder()).removeRecursively();
    }
    void init()
    {
        QVERIFY(orthanc_.removeEverything());
        storescp_.clear();
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        DefaultPartner = orthancPartner();
        SecondPartner = PartnerAddress();
        ExaminationType = 2;
        prompter_.boxes.clear();
        SetPrompter(&prompter_);
    }
    void cleanup()
    {
        ReleaseConnections();
        SetPrompter(nullptr);
        f_.reset();
        if (QTest::currentTestFailed())
            qWarning("Orthanc log tail: %s", orthanc_.log().right(1500).constData());
    }

    // Uncompressed and JPEG-LS series: every instance arrives, the compressed
    // one still compressed (Orthanc accepts JPEG-LS, so no decoding on the way).
    void seriesArrivesComplete_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QString>("syntax");
        QTest::newRow("explicit little") << int(SyntheticImageSpec::Encoding::ExplicitLittle) << QStringLiteral("1.2.840.10008.1.2.1");
        QTest::newRow("jpeg-ls") << int(SyntheticImageSpec::Encoding::JpegLs) << QStringLiteral("1.2.840.10008.1.2.4.80");
    }
    void seriesArrivesComplete()
    {
        QFETCH(int, encoding);
        QFETCH(QString, syntax);
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 2, 3, SyntheticImageSpec::Encoding(encoding));
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, s.series[1]};
        const QString text = RunSendJob(0, job);
        QVERIFY2(text.contains(QStringLiteral("3 of 3 images successfully sent.")), qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images.mid(3, 3))); // the second series, nothing of the first
        for (const QJsonValue &id : orthanc_.get(QStringLiteral("/instances")).toArray()) {
            const QJsonObject tags = orthanc_.get(QStringLiteral("/instances/%1/simplified-tags").arg(id.toString())).toObject();
            QCOMPARE(tags.value(QStringLiteral("PatientID")).toString(), QStringLiteral("P1"));
            QCOMPARE(tags.value(QStringLiteral("StudyInstanceUID")).toString(), s.uid);
            QCOMPARE(tags.value(QStringLiteral("Rows")).toString(), QStringLiteral("48"));
            bool ok = false;
            const QJsonValue meta = orthanc_.request("GET", QStringLiteral("/instances/%1/metadata?expand").arg(id.toString()), &ok);
            QVERIFY(ok);
            QCOMPARE(meta.toObject().value(QStringLiteral("TransferSyntax")).toString(), syntax);
            // The pixel data element, from its tag to the end of the file, as it was sent.
            const QByteArray archived = orthanc_.raw("GET", QStringLiteral("/instances/%1/file").arg(id.toString()), &ok);
            QVERIFY(ok);
            QFile sent(f_->file(QStringLiteral("images/%1/%2.dcm").arg(s.uid, tags.value(QStringLiteral("SOPInstanceUID")).toString())));
            QVERIFY(sent.open(QIODevice::ReadOnly));
            const QByteArray original = sent.readAll();
            const QByteArray pixelTag("\xE0\x7F\x10\x00", 4);
            const qsizetype a = archived.lastIndexOf(pixelTag), o = original.lastIndexOf(pixelTag);
            QVERIFY(a > 0 && o > 0);
            QVERIFY(original.size() - o > 100); // the pixels, not a stray match
            QVERIFY(archived.mid(a) == original.mid(o));
        }
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 6); // SentAndKeep 1 by default
    }

    void studyArrivesAsOneStudyAndIsRemovedWhenNotKept()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 2, 2);
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, 0};
        const QString text = RunSendJob(1, job);
        QVERIFY2(text.contains(QStringLiteral("4 of 4 images successfully sent.")), qPrintable(text));
        const QJsonArray studies = orthanc_.get(QStringLiteral("/studies")).toArray();
        QCOMPARE(studies.size(), 1);
        const QJsonObject study = orthanc_.get(QStringLiteral("/studies/") + studies[0].toString()).toObject();
        QCOMPARE(study.value(QStringLiteral("MainDicomTags")).toObject().value(QStringLiteral("StudyInstanceUID")).toString(), s.uid);
        QCOMPARE(study.value(QStringLiteral("Series")).toArray().size(), 2);
        QCOMPARE(orthanc_.get(QStringLiteral("/studies/%1/instances").arg(studies[0].toString())).toArray().size(), 4);
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images));
        // Everything arrived, so the workstation's copy went.
        QVERIFY(EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 0);
        QVERIFY(!QDir(f_->file(QStringLiteral("images/") + s.uid)).exists());
    }

    void patientArrivesAsOnePatientWithTwoStudies()
    {
        const FiledStudy a = FileStudy(*f_, QStringLiteral("P7"), 1, 2);
        const FiledStudy b = FileStudy(*f_, QStringLiteral("P7"), 2, 1);
        FileStudy(*f_, QStringLiteral("P8"), 1, 1); // another patient's study stays behind
        SendJob job;
        job.selection = {a.patient, QStringLiteral("P7"), QStringLiteral("Doe"), 0, QString(), 0};
        QVERIFY(SCPOnline(nullptr));
        const QString text = RunSendJob(2, job);
        QVERIFY2(text.contains(QStringLiteral("4 of 4 images successfully sent.")), qPrintable(text));
        const QJsonArray patients = orthanc_.get(QStringLiteral("/patients")).toArray();
        QCOMPARE(patients.size(), 1);
        const QJsonObject patient = orthanc_.get(QStringLiteral("/patients/") + patients[0].toString()).toObject();
        QCOMPARE(patient.value(QStringLiteral("MainDicomTags")).toObject().value(QStringLiteral("PatientID")).toString(), QStringLiteral("P7"));
        QStringList studyUids;
        for (const QJsonValue &id : patient.value(QStringLiteral("Studies")).toArray())
            studyUids << orthanc_.get(QStringLiteral("/studies/") + id.toString()).toObject().value(QStringLiteral("MainDicomTags")).toObject().value(QStringLiteral("StudyInstanceUID")).toString();
        QCOMPARE(sorted(studyUids), sorted({a.uid, b.uid}));
        QCOMPARE(orthanc_.instanceUids(), sorted(a.images + b.images)); // each image once
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 2);
    }

    void curativeReachesBothPartners()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 3);
        ExaminationType = 1;
        DefaultPartner = {QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), QString::number(storescp_.port())};
        SecondPartner = orthancPartner();
        QVERIFY(SCPOnline(nullptr));
        QVERIFY(SecondConnection);
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, 0};
        const QString text = RunSendJob(1, job);
        QVERIFY2(text.contains(QStringLiteral("3 of 3 images successfully sent.")), qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images));
        QCOMPARE(storescp_.received().size(), 3);

        // Screening: the default partner only.
        orthanc_.removeEverything();
        ExaminationType = 2;
        QVERIFY(SCPOnline(nullptr));
        QVERIFY(!SecondConnection);
        SendJob again;
        again.selection = job.selection;
        RunSendJob(1, again);
        QVERIFY(orthanc_.instanceUids().isEmpty());
        ExaminationType = 2;
    }

    void missingFileSendsTheRestAndRemovesNothing()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 3);
        const QString gone = f_->file(QStringLiteral("images/%1/%2.dcm").arg(s.uid, s.images[2]));
        QVERIFY(QFile::remove(gone));
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, s.series[0]};
        const QString text = RunSendJob(0, job);
        QVERIFY2(text.contains(QStringLiteral("2 of 3 images successfully sent.")), qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images.mid(0, 2)));
        QVERIFY(!EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 3);
        QCOMPARE(CountRows(QStringLiteral("tblSeries")), 1);
        QCOMPARE(QDir(f_->file(QStringLiteral("images/") + s.uid)).entryList(QDir::Files).size(), 2);

        // The same for a study job.
        orthanc_.removeEverything();
        QVERIFY(SCPOnline(nullptr));
        SendJob study;
        study.selection = job.selection;
        study.selection.seriesKey = 0;
        const QString studyText = RunSendJob(1, study);
        QVERIFY2(studyText.contains(QStringLiteral("2 of 3 images successfully sent.")), qPrintable(studyText));
        QVERIFY(!EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 1);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 3);
        QCOMPARE(orthanc_.instanceUids().size(), 2);
    }

    // Last, since it takes the archive down (and brings it back up).
    void archiveGoneMidCommandRemovesNothing()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 3);
        Settings.SentAndKeep = 0;
        QVERIFY(SCPOnline(nullptr));
        orthanc_.crash();
        SendJob job;
        job.selection = {s.patient, QStringLiteral("P1"), QStringLiteral("Doe"), s.study, s.uid, s.series[0]};
        const QString text = RunSendJob(0, job);
        QVERIFY2(text.contains(QStringLiteral("0 of 3 images successfully sent.")), qPrintable(text));
        QVERIFY(!EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 3);
        QCOMPARE(QDir(f_->file(QStringLiteral("images/") + s.uid)).entryList(QDir::Files).size(), 3);
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains("EditForm SerieSenden (TRANSMIT_ERRROR)"));

        // Back up, the same images go through on a new command.
        QString why;
        QVERIFY2(orthanc_.start(&why), qPrintable(why));
        DefaultPartner = orthancPartner();
        QVERIFY(SCPOnline(nullptr));
        SendJob again;
        again.selection = job.selection;
        const QString second = RunSendJob(0, again);
        QVERIFY2(second.contains(QStringLiteral("3 of 3 images successfully sent.")), qPrintable(second));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images));
        QVERIFY(EntriesRemoved);
    }
};

int main(int argc, char **argv)
{
    UseOffscreenScreen(1280, 1024);
    QApplication app(argc, argv);
    SendOrthancTest t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_send_orthanc.moc"
