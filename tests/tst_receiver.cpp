// The receiver as a process: storescu/echoscu against it on loopback, its
// database, images folder, temp/ intake, log and exit behaviour.
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QtTest>

#include <memory>

namespace {

const QString kAet = QStringLiteral("TESTRCV");

QString transferSyntaxOf(const QString &file)
{
    QByteArray out;
    RunProgram(QStringLiteral("dcmdump"), {QStringLiteral("-Un"), QStringLiteral("-M"), QStringLiteral("+P"), QStringLiteral("0002,0010"), file}, &out);
    const int a = out.indexOf('[');
    const int b = out.indexOf(']', a);
    return a < 0 || b < 0 ? QString() : QString::fromLatin1(out.mid(a + 1, b - a - 1));
}

// Files below `root` whose names are neither DICOM images nor folders.
QStringList strayFiles(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = it.next();
        if (!f.endsWith(QLatin1String(".dcm")) || QFileInfo(f).fileName().startsWith(QLatin1Char('.')))
            out << f;
    }
    return out;
}

} // namespace

class ReceiverTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;

    QString db() const { return folder_->file(QStringLiteral("Data/LumoraData.dat")); }
    qlonglong count(const QString &table) const
    {
        return QueryValue(db(), QStringLiteral("SELECT COUNT(*) FROM ") + table).toLongLong();
    }
    // Rows of tblPatienten, tblStudies, tblSeries, tblImages and tblReceive.
    QList<qlonglong> counts() const
    {
        QList<qlonglong> out;
        for (const char *t : {"tblPatienten", "tblStudies", "tblSeries", "tblImages", "tblReceive"})
            out << count(QLatin1String(t));
        return out;
    }
    // storescu sending a study of 1024x768 images in one association, left
    // running once the receiver has taken in the first few; the files sent.
    QStringList startLargeSend(QProcess &sender, int series, int perSeries, const QString &prefix)
    {
        SyntheticImageSpec spec;
        spec.rows = 1024;
        spec.columns = 768;
        const QStringList files = writeStudy(spec, series, perSeries, prefix);
        if (files.size() != series * perSeries)
            return {};
        startSender(sender, files);
        return QTest::currentTestFailed() ? QStringList() : files;
    }
    void startSender(QProcess &sender, const QStringList &files)
    {
        sender.setProcessChannelMode(QProcess::MergedChannels);
        sender.start(QStringLiteral("storescu"), QStringList{QStringLiteral("-aec"), kAet, QStringLiteral("127.0.0.1"), QString::number(port_)} + files);
        QVERIFY(sender.waitForStarted(10000));
        QVERIFY2(WaitFor([&] { return count(QStringLiteral("tblReceive")) >= 5; }, 60000), qPrintable(log()));
    }
    QString log() const { return QString::fromUtf8(folder_->read(QStringLiteral("Logs/Receiver.log"))); }
    QString input(const QString &name) const { return folder_->file(QStringLiteral("in/") + name); }

    // A study of `series` series with `perSeries` images each, as files in in/.
    QStringList writeStudy(SyntheticImageSpec base, int series, int perSeries, const QString &prefix)
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
                const QString f = input(QStringLiteral("%1-%2-%3.dcm").arg(prefix).arg(s).arg(i));
                if (!WriteImage(base, f))
                    return {};
                files << f;
            }
        }
        return files;
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

    void studyOfFourImagesFromTwoSeries()
    {
        SyntheticImageSpec spec;
        spec.patientName = QStringLiteral("Muster^Erika^Maria");
        spec.patientId = QStringLiteral("P-4711");
        spec.studyDate = QStringLiteral("20261201");
        spec.studyTime = QStringLiteral("101112");
        const QStringList files = writeStudy(spec, 2, 2, QStringLiteral("study"));
        QCOMPARE(files.size(), 4);
        QByteArray out;
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());

        QCOMPARE(counts(), (QList<qlonglong>{1, 1, 2, 4, 4}));

        const QList<QVariantList> patient = QueryRows(db(), QStringLiteral("SELECT PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten"));
        QCOMPARE(patient.first(), (QVariantList{QStringLiteral("P-4711"), QStringLiteral("Muster"), QStringLiteral("Erika"), QStringLiteral("Maria"),
                                                QStringLiteral("19620314")}));
        const QList<QVariantList> study = QueryRows(db(), QStringLiteral("SELECT PatID1, StudyDate, StudyTime, Modality, Bodypart, StudyUID FROM view_studies"));
        QCOMPARE(study.size(), 1);
        QCOMPARE(study.first().mid(0, 5), (QVariantList{QStringLiteral("P-4711"), QStringLiteral("20261201"), QStringLiteral("101112"),
                                                       QStringLiteral("MG"), QStringLiteral("BREAST")}));
        const QString studyUid = study.first().at(5).toString();
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT SeriesNr FROM tblSeries ORDER BY SeriesNr")),
                 (QList<QVariantList>{{1}, {2}}));
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT ImageNr, COUNT(*) FROM tblImages GROUP BY ImageNr")), (QList<QVariantList>{{1, 2}, {2, 2}}));

        // Every image row has its file at images/<StudyUID>/<SOPUID>.dcm, the same object that was sent.
        const QList<QVariantList> images = QueryRows(db(), QStringLiteral("SELECT ImageUID, StudyUID, ImageDate, ImageTime FROM View_Images"));
        QCOMPARE(images.size(), 4);
        for (const QVariantList &row : images) {
            QCOMPARE(row.at(1).toString(), studyUid);
            QVERIFY(!row.at(2).toString().isEmpty() && !row.at(3).toString().isEmpty());
            const QString path = folder_->file(QStringLiteral("images/%1/%2.dcm").arg(studyUid, row.at(0).toString()));
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        }
        QCOMPARE(QDir(folder_->file(QStringLiteral("images/") + studyUid)).entryList(QDir::Files | QDir::Hidden).size(), 4);
        QVERIFY(strayFiles(folder_->file(QStringLiteral("images"))).isEmpty());
        QVERIFY(log().contains(QStringLiteral("4 stored, 0 failed")));

        // The same objects again: replaced, not duplicated; each arrival is a receipt.
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());
        QCOMPARE(counts(), (QList<qlonglong>{1, 1, 2, 4, 8}));
        QCOMPARE(QDir(folder_->file(QStringLiteral("images/") + studyUid)).entryList(QDir::Files | QDir::Hidden).size(), 4);
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
            const QString stored = folder_->file(QStringLiteral("images/%1/%2.dcm").arg(spec.studyUid, spec.sopUid));
            QCOMPARE(transferSyntaxOf(stored), c.stored);
            QByteArray dump;
            QCOMPARE(RunProgram(QStringLiteral("dcmdump"), {QStringLiteral("+P"), QStringLiteral("0008,0018"), stored}, &dump), 0);
            QVERIFY(dump.contains(spec.sopUid.toLatin1()));
        }
        QCOMPARE(count(QStringLiteral("tblImages")), cases.size());
    }

    void sendersAtTheSameTimeAreServedInTurn()
    {
        QList<QStringList> sets;
        for (int n = 0; n < 3; ++n) {
            SyntheticImageSpec spec;
            spec.patientId = QStringLiteral("SAME%1").arg(n);
            sets << writeStudy(spec, 1, 6, QStringLiteral("same%1").arg(n));
            QCOMPARE(sets.last().size(), 6);
        }
        QList<QProcess *> senders;
        for (const QStringList &files : sets) {
            auto *p = new QProcess(this);
            p->setProcessChannelMode(QProcess::MergedChannels);
            p->start(QStringLiteral("storescu"), QStringList{QStringLiteral("-aec"), kAet, QStringLiteral("127.0.0.1"), QString::number(port_)} + files);
            senders << p;
        }
        for (QProcess *p : senders) {
            QVERIFY(p->waitForFinished(60000));
            QVERIFY2(p->exitCode() == 0, p->readAll().constData());
            delete p;
        }
        QCOMPARE(counts(), (QList<qlonglong>{3, 3, 3, 18, 18}));
        QCOMPARE(log().count(QStringLiteral("6 stored, 0 failed")), 3);
    }

    void apostropheInPatientName()
    {
        SyntheticImageSpec spec;
        spec.patientName = QStringLiteral("O'Brien^Mary'Ann");
        spec.patientId = QStringLiteral("ID'1");
        const QString f = input(QStringLiteral("apostrophe.dcm"));
        QVERIFY(WriteImage(spec, f));
        QByteArray out;
        QVERIFY2(Store(kAet, port_, {f}, &out) == 0, out.constData());
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT PatID1, PatNachname, PatVorname FROM tblPatienten")),
                 (QList<QVariantList>{{QStringLiteral("ID'1"), QStringLiteral("O'Brien"), QStringLiteral("Mary'Ann")}}));
        QCOMPARE(count(QStringLiteral("tblImages")), 1);
        QCOMPARE(count(QStringLiteral("tblReceive")), 1);
    }

    void fileDroppedIntoTempIsTakenIn()
    {
        SyntheticImageSpec spec;
        spec.patientId = QStringLiteral("TEMP1");
        spec.studyUid = NewSyntheticUid();
        spec.sopUid = NewSyntheticUid();
        const QString dropped = folder_->file(QStringLiteral("temp/") + spec.sopUid + QStringLiteral(".dcm"));
        QVERIFY(WriteImage(spec, dropped));
        const QString target = folder_->file(QStringLiteral("images/%1/%2.dcm").arg(spec.studyUid, spec.sopUid));
        QVERIFY2(WaitFor([&] { return !QFileInfo::exists(dropped); }, 15000), qPrintable(log()));
        QVERIFY(QFileInfo::exists(target));
        QCOMPARE(QueryValue(db(), QStringLiteral("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?"), {spec.sopUid}).toInt(), 1);
        QCOMPARE(QueryValue(db(), QStringLiteral("SELECT PatID FROM tblReceive")).toString(), QStringLiteral("TEMP1"));
        QVERIFY(!QDir(folder_->file(QStringLiteral("temp/rejected"))).exists());
    }

    void garbageInTempEndsInRejected()
    {
        folder_->write(QStringLiteral("temp/garbage.dcm"), QByteArray("this is not a DICOM file\n").repeated(20));
        const QString rejected = folder_->file(QStringLiteral("temp/rejected/garbage.dcm"));
        QVERIFY2(WaitFor([&] { return QFileInfo::exists(rejected); }, 15000), qPrintable(log()));
        QVERIFY(!QFileInfo::exists(folder_->file(QStringLiteral("temp/garbage.dcm"))));
        QCOMPARE(folder_->read(QStringLiteral("temp/rejected/garbage.dcm")), QByteArray("this is not a DICOM file\n").repeated(20));
        // Two more polls: the file is not picked up again, so it is logged once.
        QTest::qWait(4500);
        QCOMPARE(log().count(QStringLiteral("garbage.dcm")), 1);
        QCOMPARE(count(QStringLiteral("tblReceive")), 0);
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
        QCOMPARE(QDir(folder_->file(QStringLiteral("images/.incoming"))).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(log().count(QStringLiteral("unusable Study/Series/SOP Instance UID")), 3);
        // Still serving.
        QCOMPARE(Echo(kAet, port_), 0);
    }

    void sigkillDuringSendLeavesConsistentDatabase()
    {
        QProcess sender;
        const QStringList files = startLargeSend(sender, 2, 40, QStringLiteral("kill"));
        QCOMPARE(files.size(), 80);
        receiver_->kill();
        QVERIFY(sender.waitForFinished(60000));
        const qlonglong stored = count(QStringLiteral("tblImages"));
        QVERIFY2(stored < files.size(), "the receiver was killed only after everything had arrived");

        QCOMPARE(QueryValue(db(), QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        const QList<QVariantList> rows = QueryRows(db(), QStringLiteral("SELECT StudyUID, ImageUID FROM View_Images"));
        QCOMPARE(rows.size(), stored);
        for (const QVariantList &row : rows) {
            const QString path = folder_->file(QStringLiteral("images/%1/%2.dcm").arg(row.at(0).toString(), row.at(1).toString()));
            QVERIFY2(QFileInfo::exists(path) && QFileInfo(path).size() > 1024 * 768, qPrintable(path));
        }
        QCOMPARE(count(QStringLiteral("tblReceive")), stored);

        // A restart cleans up what the kill left in flight and takes the rest.
        QVERIFY2(startReceiver(), qPrintable(log()));
        QByteArray out;
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());
        QCOMPARE(count(QStringLiteral("tblImages")), files.size());
        QCOMPARE(count(QStringLiteral("tblSeries")), 2);
        QVERIFY(strayFiles(folder_->file(QStringLiteral("images"))).isEmpty());
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

        // A clean stop leaves every file with its rows and every row with its file.
        const QList<QVariantList> rows = QueryRows(db(), QStringLiteral("SELECT StudyUID, ImageUID FROM View_Images"));
        QVERIFY(rows.size() >= 5 && rows.size() < files.size());
        QStringList expected;
        for (const QVariantList &row : rows)
            expected << row.at(1).toString() + QStringLiteral(".dcm");
        expected.sort();
        QCOMPARE(QDir(folder_->file(QStringLiteral("images/") + rows.first().at(0).toString())).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 expected);
        QCOMPARE(QDir(folder_->file(QStringLiteral("images/.incoming"))).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void sigtermEndsCleanly()
    {
        SyntheticImageSpec spec;
        const QString f = input(QStringLiteral("one.dcm"));
        QVERIFY(WriteImage(spec, f));
        QVERIFY(Store(kAet, port_, {f}) == 0);
        QCOMPARE(receiver_->terminate(5000), 0);
        QVERIFY(log().trimmed().endsWith(QStringLiteral("stopped")));
        // The database was closed: its write-ahead log is gone and it opens for writing.
        QVERIFY(!QFileInfo::exists(db() + QStringLiteral("-wal")) || QFileInfo(db() + QStringLiteral("-wal")).size() == 0);
        QCOMPARE(QueryValue(db(), QStringLiteral("SELECT COUNT(*) FROM tblImages")).toInt(), 1);
    }
};

// Start-up failures: each ends quickly with its own exit code and a log line.
class ReceiverStartTest : public QObject {
    Q_OBJECT

    static int runUntilExit(const TestFolder &folder, const QStringList &env, QString *log)
    {
        CompanionProcess p(ReceiverProgram(), folder.path(), env);
        if (!p.start())
            return -2;
        const int code = p.waitForExit(15000);
        *log = QString::fromUtf8(folder.read(QStringLiteral("Logs/Receiver.log")));
        return code;
    }

private slots:
    void failsLoudly_data()
    {
        QTest::addColumn<QString>("aet");
        QTest::addColumn<bool>("portInUse");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<bool>("database");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("logText");
        QTest::newRow("AE title too long") << QStringLiteral("ABCDEFGHIJKLMNOPQ") << false << QString() << QStringList() << true << 2
                                           << QStringLiteral("at most 16");
        QTest::newRow("port not a number") << QStringLiteral("RCV") << false << QStringLiteral("10x5") << QStringList() << true << 2
                                           << QStringLiteral("not a port number");
        QTest::newRow("port in use") << QStringLiteral("RCV") << true << QString() << QStringList() << true << 3
                                     << QStringLiteral("cannot listen on port");
        QTest::newRow("disk full") << QStringLiteral("RCV") << false << QString() << QStringList{QStringLiteral("LUMORA_RECEIVER_MIN_FREE_MB=1000000000000")}
                                   << true << 4 << QStringLiteral("disk full");
        QTest::newRow("no image database") << QStringLiteral("RCV") << false << QString() << QStringList() << false << 5
                                           << QStringLiteral("image database");
    }

    void failsLoudly()
    {
        QFETCH(QString, aet);
        QFETCH(bool, portInUse);
        QFETCH(QString, port);
        QFETCH(QStringList, env);
        QFETCH(bool, database);
        QFETCH(int, exitCode);
        QFETCH(QString, logText);
        TestFolder folder;
        if (database) {
            QVERIFY(MakeStationDatabases(folder.path()));
        }
        PortOccupant occupant;
        if (port.isEmpty()) {
            if (portInUse) {
                QVERIFY(occupant.port() != 0);
                port = QString::number(occupant.port());
            } else {
                port = QString::number(FreePort());
            }
        }
        WriteReceiverSettings(folder, aet, port);
        QString log;
        QCOMPARE(runUntilExit(folder, env, &log), exitCode);
        QVERIFY2(log.contains(logText), qPrintable(log));
        QCOMPARE(log.trimmed().count(QLatin1Char('\n')), 0); // one line, nothing else
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rc = 0;
    {
        ReceiverStartTest t;
        rc |= QTest::qExec(&t, argc, argv);
    }
    {
        ReceiverTest t;
        rc |= QTest::qExec(&t, argc, argv);
    }
    return rc;
}

#include "tst_receiver.moc"
