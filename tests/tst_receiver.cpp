// The receiver as a process: storescu/echoscu against it on loopback, its
// database, images folder, temp/ intake, log and exit behaviour.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

static const QString kAet = QStringLiteral("TESTRCV");

class ReceiverTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;

    QString db() const { return folder_->file(QStringLiteral("Data/LumoraData.dat")); }
    qlonglong count(const QString &table) const { return CountRows(db(), table); }
    // Rows of tblPatienten, tblStudies, tblSeries, tblImages and tblReceive.
    QList<qlonglong> counts() const
    {
        QList<qlonglong> out;
        for (const char *t : {"tblPatienten", "tblStudies", "tblSeries", "tblImages", "tblReceive"})
            out << count(QLatin1String(t));
        return out;
    }
    QString log() const { return QString::fromUtf8(folder_->read(QStringLiteral("Logs/Receiver.log"))); }
    QString input(const QString &name) const { return folder_->file(QStringLiteral("in/") + name); }
    QString stored(const QString &study, const QString &sop) const { return folder_->file(QStringLiteral("images/%1/%2.dcm").arg(study, sop)); }
    // storescu sending a study of 1024x768 images in one association, left
    // running once the receiver has taken in the first few; the files sent.
    QStringList startLargeSend(QProcess &sender, int series, int perSeries, const QString &prefix)
    {
        SyntheticImageSpec spec;
        spec.rows = 1024;
        spec.columns = 768;
        const QStringList files = WriteStudyFiles(folder_->path(), spec, series, perSeries, prefix);
        StartStore(sender, kAet, port_, files);
        if (!sender.waitForStarted(10000) || !WaitFor([&] { return count(QStringLiteral("tblReceive")) >= 5; }, 60000)) {
            qWarning().noquote() << log();
            return {};
        }
        return files;
    }
    // After a kill, files without rows may be left (written, not yet entered);
    // a later store of them replaces them.
    void rowsMatchFiles(qint64 minSize, bool leftoversAllowed = false) const
    {
        const QString mismatch = ImagesMismatch(folder_->path(), minSize, leftoversAllowed);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    bool startReceiver(const QStringList &env = {})
    {
        receiver_ = std::make_unique<CompanionProcess>(ReceiverProgram(), folder_->path(), env);
        return receiver_->start() && receiver_->waitUntilAnswering(kAet, port_);
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(MakeStationDatabases(folder_->path()));
        port_ = FreePort();
        QVERIFY(port_ != 0);
        WriteReceiverSettings(*folder_, kAet, QString::number(port_));
        QVERIFY2(startReceiver(), qPrintable(log()));
    }

    void cleanup()
    {
        if (receiver_)
            receiver_->terminate();
        receiver_.reset();
        folder_.reset();
    }

    // Apostrophes in the name and ID go in as bound values.
    void studyOfFourImagesFromTwoSeries()
    {
        SyntheticImageSpec spec;
        spec.patientName = QStringLiteral("O'Muster^Erika'Ann^Maria");
        spec.patientId = QStringLiteral("P'4711");
        spec.studyDate = QStringLiteral("20261201");
        spec.studyTime = QStringLiteral("101112");
        const QStringList files = WriteStudyFiles(folder_->path(), spec, 2, 2, QStringLiteral("study"));
        QCOMPARE(files.size(), 4);
        QByteArray out;
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());

        QCOMPARE(counts(), (QList<qlonglong>{1, 1, 2, 4, 4}));
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten")).first(),
                 (QVariantList{QStringLiteral("P'4711"), QStringLiteral("O'Muster"), QStringLiteral("Erika'Ann"), QStringLiteral("Maria"),
                               QStringLiteral("19620314")}));
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT PatID1, StudyDate, StudyTime, Modality, Bodypart FROM view_studies")),
                 (QList<QVariantList>{{QStringLiteral("P'4711"), QStringLiteral("20261201"), QStringLiteral("101112"), QStringLiteral("MG"), QStringLiteral("BREAST")}}));
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT SeriesNr FROM tblSeries ORDER BY SeriesNr")), (QList<QVariantList>{{1}, {2}}));
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT ImageNr, COUNT(*) FROM tblImages GROUP BY ImageNr")), (QList<QVariantList>{{1, 2}, {2, 2}}));
        QCOMPARE(QueryValue(db(), QStringLiteral("SELECT COUNT(*) FROM View_Images WHERE ImageDate <> '' AND ImageTime <> ''")).toInt(), 4);
        rowsMatchFiles(1024); // at images/<StudyUID>/<SOPUID>.dcm
        QVERIFY(log().contains(QStringLiteral("4 stored, 0 failed")));

        // The same objects again: replaced, not duplicated; each arrival is a receipt.
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());
        QCOMPARE(counts(), (QList<qlonglong>{1, 1, 2, 4, 8}));
        rowsMatchFiles(1024);
    }

    void keepsTransferSyntaxAsArrived()
    {
        struct Case {
            SyntheticImageSpec::Encoding encoding;
            QString proposal; // what storescu proposes for it
            QString stored;   // the transfer syntax of the stored file
        };
        const QList<Case> cases = {
            {SyntheticImageSpec::Encoding::JpegLs, QStringLiteral("-xt"), QStringLiteral("1.2.840.10008.1.2.4.80")},
            {SyntheticImageSpec::Encoding::Rle, QStringLiteral("-xr"), QStringLiteral("1.2.840.10008.1.2.5")},
            {SyntheticImageSpec::Encoding::JpegLossless, QStringLiteral("-xs"), QStringLiteral("1.2.840.10008.1.2.4.70")},
            {SyntheticImageSpec::Encoding::ImplicitLittle, QStringLiteral("-xi"), QStringLiteral("1.2.840.10008.1.2")},
            {SyntheticImageSpec::Encoding::ExplicitLittle, QStringLiteral("-xd"), QStringLiteral("1.2.840.10008.1.2.1.99")},
            {SyntheticImageSpec::Encoding::ExplicitLittle, QStringLiteral("-xe"), QStringLiteral("1.2.840.10008.1.2.1")},
        };
        SyntheticImageSpec spec;
        spec.studyUid = NewSyntheticUid();
        for (const Case &c : cases) {
            spec.encoding = c.encoding;
            spec.sopUid = NewSyntheticUid();
            const QString file = input(spec.sopUid + QStringLiteral(".dcm"));
            QVERIFY(WriteImage(spec, file));
            QByteArray out;
            QVERIFY2(Store(kAet, port_, {file}, &out, {c.proposal, QStringLiteral("-R")}) == 0, out.constData());
            QCOMPARE(DumpTag(stored(spec.studyUid, spec.sopUid), QStringLiteral("0002,0010")), c.stored);
            QCOMPARE(DumpTag(stored(spec.studyUid, spec.sopUid), QStringLiteral("0008,0018")), spec.sopUid);
        }
        QCOMPARE(count(QStringLiteral("tblImages")), cases.size());
    }

    void sendersAtTheSameTimeAreServedInTurn()
    {
        QProcess senders[3];
        for (int n = 0; n < 3; ++n) {
            SyntheticImageSpec spec;
            spec.patientId = QStringLiteral("SAME%1").arg(n);
            const QStringList files = WriteStudyFiles(folder_->path(), spec, 1, 6, QStringLiteral("same%1").arg(n));
            QCOMPARE(files.size(), 6);
            StartStore(senders[n], kAet, port_, files);
        }
        for (QProcess &p : senders) {
            QVERIFY(p.waitForFinished(60000));
            QVERIFY2(p.exitCode() == 0, p.readAll().constData());
        }
        QCOMPARE(counts(), (QList<qlonglong>{3, 3, 3, 18, 18}));
        QCOMPARE(log().count(QStringLiteral("6 stored, 0 failed")), 3);
    }

    // A good file dropped into temp/ is taken in; garbage goes to temp/rejected
    // once, and is not picked up again by the later polls.
    void filesDroppedIntoTemp()
    {
        const QByteArray garbage = QByteArray("this is not a DICOM file\n").repeated(20);
        folder_->write(QStringLiteral("temp/garbage.dcm"), garbage);
        const QString rejected = folder_->file(QStringLiteral("temp/rejected/garbage.dcm"));
        QVERIFY2(WaitFor([&] { return QFileInfo::exists(rejected); }, 15000), qPrintable(log()));
        QVERIFY(!QFileInfo::exists(folder_->file(QStringLiteral("temp/garbage.dcm"))));
        QCOMPARE(folder_->read(QStringLiteral("temp/rejected/garbage.dcm")), garbage);

        // Two good files one after the other: at least two polls after the rejection.
        for (int n = 1; n <= 2; ++n) {
            SyntheticImageSpec spec;
            spec.patientId = QStringLiteral("TEMP%1").arg(n);
            spec.studyUid = NewSyntheticUid();
            spec.sopUid = NewSyntheticUid();
            const QString dropped = folder_->file(QStringLiteral("temp/") + spec.sopUid + QStringLiteral(".dcm"));
            QVERIFY(WriteImage(spec, dropped));
            QVERIFY2(WaitFor([&] { return !QFileInfo::exists(dropped); }, 15000), qPrintable(log()));
            QVERIFY(QFileInfo::exists(stored(spec.studyUid, spec.sopUid)));
            QCOMPARE(QueryValue(db(), QStringLiteral("SELECT COUNT(*) FROM tblReceive WHERE PatID = ? AND ImageUID = ?"),
                                {spec.patientId, spec.sopUid}).toInt(), 1);
        }
        QCOMPARE(log().count(QStringLiteral("garbage.dcm")), 1);
        QCOMPARE(QDir(folder_->file(QStringLiteral("temp/rejected"))).entryList(QDir::Files), QStringList{QStringLiteral("garbage.dcm")});
        QCOMPARE(count(QStringLiteral("tblReceive")), 2);
        QVERIFY(receiver_->process().state() == QProcess::Running);
    }

    void uidsThatWouldLeaveTheImagesFolderAreRefused()
    {
        const QString outside = folder_->file(QStringLiteral("escaped"));
        const QList<QPair<QString, QString>> cases = {
            {QStringLiteral(".."), NewSyntheticUid()},
            {NewSyntheticUid(), QStringLiteral("../../escaped")},
            {QStringLiteral("1.2/../../escaped"), NewSyntheticUid()},
        };
        int n = 0;
        for (const auto &[study, sop] : cases) {
            SyntheticImageSpec spec;
            spec.studyUid = study;
            spec.sopUid = sop;
            const QString f = input(QStringLiteral("bad%1.dcm").arg(++n));
            QVERIFY(WriteImage(spec, f));
            // storescu ends non-zero when the answer is a failure status.
            QVERIFY(Store(kAet, port_, {f}) != 0);
        }
        QCOMPARE(count(QStringLiteral("tblImages")), 0);
        QCOMPARE(count(QStringLiteral("tblReceive")), 0);
        QVERIFY(!QFileInfo::exists(outside));
        QVERIFY(!QFileInfo::exists(outside + QStringLiteral(".dcm")));
        QCOMPARE(QDir(folder_->file(QStringLiteral("images"))).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral(".incoming")});
        rowsMatchFiles(0); // nothing left in .incoming either
        QCOMPARE(log().count(QStringLiteral("unusable Study/Series/SOP Instance UID")), 3);
        QCOMPARE(Echo(kAet, port_), 0); // still serving
    }

    void sigkillDuringSendLeavesConsistentDatabase()
    {
        QProcess sender;
        const QStringList files = startLargeSend(sender, 2, 40, QStringLiteral("kill"));
        QCOMPARE(files.size(), 80);
        receiver_->kill();
        QVERIFY(sender.waitForFinished(60000));
        QVERIFY2(count(QStringLiteral("tblImages")) < files.size(), "the receiver was killed only after everything had arrived");
        rowsMatchFiles(1024 * 768, true);
        QCOMPARE(count(QStringLiteral("tblReceive")), count(QStringLiteral("tblImages")));

        // A restart cleans up what the kill left in flight and takes the rest.
        QVERIFY2(startReceiver(), qPrintable(log()));
        QByteArray out;
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());
        QCOMPARE(count(QStringLiteral("tblImages")), files.size());
        QCOMPARE(count(QStringLiteral("tblSeries")), 2);
        rowsMatchFiles(1024 * 768);
    }

    void sigtermDuringSendFinishesTheObjectInHand()
    {
        QProcess sender;
        const QStringList files = startLargeSend(sender, 1, 60, QStringLiteral("term"));
        QCOMPARE(files.size(), 60);
        QCOMPARE(receiver_->terminate(10000), 0);
        QVERIFY(sender.waitForFinished(60000));
        QVERIFY2(sender.exitCode() != 0, "the sender was told everything arrived");
        QVERIFY(log().trimmed().endsWith(QStringLiteral("stopped")));
        const qlonglong kept = count(QStringLiteral("tblImages"));
        QVERIFY(kept >= 5 && kept < files.size());
        // A clean stop leaves nothing in flight, and the database closed: no write-ahead log.
        rowsMatchFiles(1024 * 768);
        QCOMPARE(count(QStringLiteral("tblReceive")), kept);
        QCOMPARE(QFileInfo(db() + QStringLiteral("-wal")).size(), 0);
    }
};

// Start-up failures: each ends quickly with its own exit code and one log line.
class ReceiverStartTest : public QObject {
    Q_OBJECT

private slots:
    void failsLoudly_data()
    {
        QTest::addColumn<QString>("aet");
        QTest::addColumn<QString>("port"); // "free" or "busy": a port found by the test
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<bool>("database");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("logText");
        QTest::newRow("AE title too long") << "ABCDEFGHIJKLMNOPQ" << "free" << QStringList() << true << 2 << "at most 16";
        QTest::newRow("port not a number") << "RCV" << "10x5" << QStringList() << true << 2 << "not a port number";
        QTest::newRow("port in use") << "RCV" << "busy" << QStringList() << true << 3 << "cannot listen on port";
        QTest::newRow("disk full") << "RCV" << "free" << QStringList{QStringLiteral("LUMORA_RECEIVER_MIN_FREE_MB=1000000000000")} << true
                                   << 4 << "disk full";
        QTest::newRow("no image database") << "RCV" << "free" << QStringList() << false << 5 << "image database";
    }

    void failsLoudly()
    {
        QFETCH(QString, aet);
        QFETCH(QString, port);
        QFETCH(QStringList, env);
        QFETCH(bool, database);
        QFETCH(int, exitCode);
        QFETCH(QString, logText);
        TestFolder folder;
        if (database)
            QVERIFY(MakeStationDatabases(folder.path()));
        PortOccupant occupant;
        QVERIFY(occupant.port() != 0);
        if (port == QLatin1String("busy"))
            port = QString::number(occupant.port());
        else if (port == QLatin1String("free"))
            port = QString::number(FreePort());
        WriteReceiverSettings(folder, aet, port);
        CompanionProcess receiver(ReceiverProgram(), folder.path(), env);
        QVERIFY(receiver.start());
        QCOMPARE(receiver.waitForExit(15000), exitCode);
        const QString log = QString::fromUtf8(folder.read(QStringLiteral("Logs/Receiver.log")));
        QVERIFY2(log.contains(logText), qPrintable(log));
        QCOMPARE(log.trimmed().count(QLatin1Char('\n')), 0); // one line, nothing else
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ReceiverStartTest start;
    ReceiverTest running;
    const int rc = QTest::qExec(&start, argc, argv);
    return QTest::qExec(&running, argc, argv) | rc;
}

#include "tst_receiver.moc"
