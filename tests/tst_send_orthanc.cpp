// Series, study and patient sends to an Orthanc archive, checked through its
// REST interface (what the archive indexed, not only what the job counted), and
// to storescp as the second partner.
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "jobs/EditForm.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

class SendOrthancTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    RecordingPrompter prompter_;
    OrthancPeer orthanc_;
    QTemporaryDir scpDir_;
    StorePeer storescp_;

    static QStringList sorted(QStringList l)
    {
        l.sort();
        return l;
    }
    PartnerAddress orthancPartner() const { return {QStringLiteral("ORTHANC"), QStringLiteral("127.0.0.1"), QString::number(orthanc_.dicomPort())}; }
    QString imageFile(const FiledStudy &s, const QString &uid) const { return f_->file(QStringLiteral("images/%1/%2.dcm").arg(s.uid, uid)); }
    bool studyFolderExists(const FiledStudy &s) const { return QDir(f_->file(QStringLiteral("images/") + s.uid)).exists(); }

    // Connects to the partners and runs the job of the mode (0 series, 1 study,
    // 2 the study's patient); the dialog's text.
    static QString send(qint16 mode, const FiledStudy &s, const QString &patientId, qlonglong seriesKey = 0, SendJob job = SendJob())
    {
        if (!SCPOnline(nullptr))
            return QStringLiteral("<no connection>");
        job.selection = {s.patient, patientId, QStringLiteral("Doe"), mode == 2 ? 0 : s.study, mode == 2 ? QString() : s.uid, seriesKey};
        return RunSendJob(mode, job);
    }

private slots:
    void initTestCase()
    {
        QString why;
        QVERIFY2(orthanc_.start(&why), qPrintable(why));
        QVERIFY(storescp_.start(scpDir_.path(), QStringLiteral("ARCHIVE")));
    }
    void cleanupTestCase()
    {
        orthanc_.stop();
        QCOMPARE(orthanc_.process().state(), QProcess::NotRunning);
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
    }
    void cleanup()
    {
        ReleaseConnections();
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
        QTest::newRow("jpeg 2000") << int(SyntheticImageSpec::Encoding::Jpeg2000Lossless) << QStringLiteral("1.2.840.10008.1.2.4.90");
    }
    void seriesArrivesComplete()
    {
        QFETCH(int, encoding);
        QFETCH(QString, syntax);
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 2, 3, SyntheticImageSpec::Encoding(encoding));
        const QString text = send(0, s, QStringLiteral("P1"), s.series[1]);
        QVERIFY2(text.contains(QStringLiteral("3 of 3 images successfully sent.")), qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images.mid(3, 3))); // the second series, nothing of the first
        for (const QJsonValue &id : orthanc_.get(QStringLiteral("/instances")).toArray()) {
            const QJsonObject tags = orthanc_.get(QStringLiteral("/instances/%1/simplified-tags").arg(id.toString())).toObject();
            bool ok = false;
            const QJsonValue meta = orthanc_.request("GET", QStringLiteral("/instances/%1/metadata?expand").arg(id.toString()), &ok);
            QVERIFY(ok);
            QCOMPARE(meta.toObject().value(QStringLiteral("TransferSyntax")).toString(), syntax);
            // The pixel data as it was sent.
            const QByteArray archived = PixelData(orthanc_.raw("GET", QStringLiteral("/instances/%1/file").arg(id.toString()), &ok));
            QVERIFY(ok && !archived.isEmpty());
            QVERIFY(archived == PixelDataOfFile(imageFile(s, tags.value(QStringLiteral("SOPInstanceUID")).toString())));
        }
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 6); // SentAndKeep 1 by default
    }

    // A study sends its own images, a stamped copy in the work folder in place
    // of its received file, and nothing of another study.
    void studyArrivesAsOneStudyAndIsRemovedWhenNotKept()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 2, 2);
        const FiledStudy other = FileStudy(*f_, QStringLiteral("P1"), 1, 1);
        const FiledStudy theirs = FileStudy(*f_, QStringLiteral("P2"), 1, 1);
        ToolkitImageList list;
        QVERIFY(ReadFileIntoList(list, imageFile(s, s.images[0])));
        SetAttribute(ListItem(list, 1), 0x0018, 0x0060, QStringLiteral("31"));
        QVERIFY(WriteDicomFile(ListItem(list, 1), f_->file(QStringLiteral("bin/%1.dcm").arg(s.images[0]))));
        QVERIFY(QFile::copy(imageFile(theirs, theirs.images[0]), f_->file(QStringLiteral("bin/%1.dcm").arg(theirs.images[0]))));
        Settings.SentAndKeep = 0;
        SendJob job;
        int patientRows = 0;
        job.patientRowRemoved = [&] { ++patientRows; };
        const QString text = send(1, s, QStringLiteral("P1"), 0, job);
        QVERIFY2(text.contains(QStringLiteral("4 of 4 images successfully sent.")), qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images));
        QStringList kvps;
        for (const QJsonValue &id : orthanc_.get(QStringLiteral("/instances")).toArray()) {
            const QJsonObject tags = orthanc_.get(QStringLiteral("/instances/%1/simplified-tags").arg(id.toString())).toObject();
            kvps << tags.value(QStringLiteral("SOPInstanceUID")).toString() + QLatin1Char('=') + tags.value(QStringLiteral("KVP")).toString();
        }
        QVERIFY2(kvps.contains(s.images[0] + QStringLiteral("=31")), qPrintable(kvps.join(QLatin1Char(' '))));
        // Everything arrived, so the workstation's copy went; the patient keeps the other study.
        QVERIFY(EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 2);
        QVERIFY(!studyFolderExists(s));
        QVERIFY(studyFolderExists(other) && studyFolderExists(theirs));
        QCOMPARE(patientRows, 0);
    }

    // Curative goes to both partners, screening to the default only.
    void curativeReachesBothPartners()
    {
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 3);
        ExaminationType = 1;
        DefaultPartner = {QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), QString::number(storescp_.port())};
        SecondPartner = orthancPartner();
        const QString text = send(1, s, QStringLiteral("P1"));
        QVERIFY2(text.contains(QStringLiteral("3 of 3 images successfully sent.")), qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images));
        QCOMPARE(storescp_.received().size(), 3);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 3); // SentAndKeep 1: everything stays

        QVERIFY(orthanc_.removeEverything());
        ExaminationType = 2;
        const QString again = send(1, s, QStringLiteral("P1"));
        QVERIFY2(again.contains(QStringLiteral("3 of 3 images successfully sent.")), qPrintable(again));
        QVERIFY(!SecondConnection);
        QVERIFY(orthanc_.instanceUids().isEmpty());
        QCOMPARE(storescp_.received().size(), 3); // same instances, same files
    }

    // A patient send removes only what went completely; the exposures are
    // assigned only when the whole patient went.
    void patientSend_data()
    {
        QTest::addColumn<bool>("missingFile");
        QTest::newRow("complete") << false;
        QTest::newRow("one file missing") << true;
    }
    void patientSend()
    {
        QFETCH(bool, missingFile);
        const FiledStudy a = FileStudy(*f_, QStringLiteral("P7"), 1, 2);
        const FiledStudy b = FileStudy(*f_, QStringLiteral("P7"), 2, 1);
        FileStudy(*f_, QStringLiteral("P8"), 1, 1); // another patient's study stays behind
        QStringList expected = a.images + b.images;
        if (missingFile)
            QVERIFY(QFile::remove(imageFile(b, expected.takeLast())));
        Settings.SentAndKeep = 0;
        SendJob job;
        qint16 modeAtRefresh = -1;
        job.RefreshDosisList = [&] { modeAtRefresh = AssignmentMode; };
        const QString text = send(2, a, QStringLiteral("P7"), 0, job);
        QVERIFY2(text.contains(missingFile ? QStringLiteral("3 of 4 images successfully sent.") : QStringLiteral("4 of 4 images successfully sent.")),
                 qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(expected)); // each image once, nothing of P8
        QVERIFY(!studyFolderExists(a)); // the complete study went either way
        if (missingFile) {
            QVERIFY(text.contains(QStringLiteral("skipped (not all files send)")));
            QCOMPARE(modeAtRefresh, qint16(-1));
            QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 2);
            QCOMPARE(CountRows(QStringLiteral("tblStudies")), 2);
        } else {
            QCOMPARE(modeAtRefresh, qint16(1));
            QVERIFY(EntriesRemoved);
            QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 1);
            QCOMPARE(CountRows(QStringLiteral("tblImages")), 1);
        }
    }

    void missingFileSendsTheRestAndRemovesNothing_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("series") << 0 << QByteArray("EditForm SerieSenden (TRANSMIT_ERRROR)");
        QTest::newRow("study") << 1 << QByteArray("EditForm StudieSenden (TRANSMIT_ERROR)");
    }
    void missingFileSendsTheRestAndRemovesNothing()
    {
        QFETCH(int, mode);
        QFETCH(QByteArray, logged);
        const FiledStudy s = FileStudy(*f_, QStringLiteral("P1"), 1, 3);
        QVERIFY(QFile::remove(imageFile(s, s.images[2])));
        Settings.SentAndKeep = 0;
        const QString text = send(qint16(mode), s, QStringLiteral("P1"), mode == 0 ? s.series[0] : 0);
        QVERIFY2(text.contains(QStringLiteral("2 of 3 images successfully sent.")), qPrintable(text));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images.mid(0, 2)));
        QVERIFY(!EntriesRemoved);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 3);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 1);
        QCOMPARE(QDir(f_->file(QStringLiteral("images/") + s.uid)).entryList(QDir::Files).size(), 2);
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains(logged));
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
        const QString second = send(0, s, QStringLiteral("P1"), s.series[0]);
        QVERIFY2(second.contains(QStringLiteral("3 of 3 images successfully sent.")), qPrintable(second));
        QCOMPARE(orthanc_.instanceUids(), sorted(s.images));
        QVERIFY(EntriesRemoved);
    }
};

LUMORA_WIDGETS_TEST_MAIN(SendOrthancTest, 1280, 1024)
#include "tst_send_orthanc.moc"