// The receiver as a process: storescu/echoscu against it on loopback, its
// database, images folder, temp/ intake, log and exit behaviour, and an
// images folder that fills up in the middle of a study.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "toolkit/DoseReport.h"
#include "support/Rows.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "companions/receiver/Receiver.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <csignal>
#include <unistd.h>

static const QString kAet = u"TESTRCV"_s;
static const QString kMammoClass = u"1.2.840.10008.5.1.4.1.1.1.2"_s; // Digital Mammography X-Ray Image Storage - For Presentation
// What the receiver's resident memory may reach beyond twice the object it
// reads: the process itself (about 20 MB) with room to spare.
static constexpr qint64 kMemoryConstant = 64LL * 1024 * 1024;

// A start-up that fails: the settings and environment it meets, and how it ends.
struct StartFailure {
    QString aet, port; // port "free" or "busy": one found by the test
    QStringList env;
    bool database; // the image database is there
    int exitCode;
    QString logText;
};
Q_DECLARE_METATYPE(StartFailure)

class ReceiverTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;

    QString db() const { return folder_->file(u"Data/LumoraData.dat"_s); }
    qlonglong count(const QString &table) const { return CountRows(db(), table); }
    QString log() const { return QString::fromUtf8(folder_->read(u"Logs/Receiver.log"_s)); }
    QString stored(const QString &study, const QString &sop) const { return folder_->file(u"images/%1/%2.dcm"_s.arg(study, sop)); }
    // storescu sending a study of 1024x768 images in one association, left
    // running once the receiver has taken in the first few; the files sent.
    QStringList startLargeSend(QProcess &sender, int series, int perSeries, const QString &prefix)
    {
        const QStringList files = WriteStudyFiles(folder_->path(), {.rows = 1024, .columns = 768}, series, perSeries, prefix);
        StartStore(sender, kAet, port_, files);
        if (!sender.waitForStarted(10000) || !WaitFor([&] { return count(u"tblReceive"_s) >= 5; }, 60000)) {
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
    // What the receiver answered storescu for the file: "Success", "Error: ..."
    // or empty when no answer came (the connection dropped).
    QString storeStatus(const QString &file, const QStringList &options = {}) const
    {
        QByteArray out;
        Store(kAet, port_, {file}, &out, options + QStringList{u"-v"_s});
        static const QRegularExpression response(u"Received Store Response \\(([^)]*)\\)"_s);
        const QRegularExpressionMatch m = response.match(QString::fromUtf8(out));
        if (!m.hasMatch())
            qWarning().noquote() << out;
        return m.hasMatch() ? m.captured(1) : QString();
    }
    // The log lines that hold every one of the texts.
    QStringList logLines(const QStringList &texts) const
    {
        QStringList out;
        for (const QString &line : log().split(u'\n'))
            if (std::all_of(texts.begin(), texts.end(), [&](const QString &t) { return line.contains(t); }))
                out << line;
        return out;
    }
    // The storage classes the receiver accepts, from the conformance statement's table.
    static QStringList acceptedStorageClasses()
    {
        QStringList out;
        bool inside = false;
        static const QRegularExpression row(u"^\\|[^|]+\\| *([0-9.]+) *\\|$"_s);
        for (const QString &line : QString::fromUtf8(ReadFile(SourceDir() + u"/docs/conformance.md"_s)).split(u'\n')) {
            if (line.startsWith(u'#'))
                inside = line.contains(u"4.1.2 SOP classes"_s);
            else if (const QRegularExpressionMatch m = row.match(line); inside && m.hasMatch() && m.captured(1) != u"1.2.840.10008.1.1"_s)
                out << m.captured(1);
        }
        return out;
    }
    bool startReceiver()
    {
        receiver_ = std::make_unique<CompanionProcess>(ReceiverProgram(), folder_->path());
        return receiver_->start() && receiver_->waitUntilAnswering(kAet, port_);
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(MakeStationDatabases(folder_->path()));
        QVERIFY((port_ = FreePort()) != 0);
        WriteReceiverSettings(*folder_, kAet, QString::number(port_));
        // These start receivers of their own.
        if (!QByteArrayList{"startFailsLoudly", "fillsUpDuringAStudy"}.contains(QTest::currentTestFunction()))
            QVERIFY2(startReceiver(), qPrintable(log()));
    }
    void cleanup()
    {
        if (receiver_)
            receiver_->terminate();
        receiver_.reset();
        folder_.reset();
    }

    // Each start-up failure ends quickly with its own exit code and one log line.
    void startFailsLoudly_data()
    {
        QTest::addColumn<StartFailure>("c");
        QTest::newRow("AE title too long") << StartFailure{u"ABCDEFGHIJKLMNOPQ"_s, u"free"_s, {}, true, 2, u"at most 16"_s};
        QTest::newRow("port not a number") << StartFailure{u"RCV"_s, u"10x5"_s, {}, true, 2, u"not a port number"_s};
        QTest::newRow("port in use") << StartFailure{u"RCV"_s, u"busy"_s, {}, true, 3, u"cannot listen on port"_s};
        QTest::newRow("disk full") << StartFailure{u"RCV"_s, u"free"_s, {u"LUMORA_RECEIVER_MIN_FREE_MB=1000000000000"_s}, true, 4, u"disk full"_s};
        QTest::newRow("no image database") << StartFailure{u"RCV"_s, u"free"_s, {}, false, 5, u"image database"_s};
    }
    void startFailsLoudly()
    {
        QFETCH(StartFailure, c);
        QVERIFY(c.database || QFile::remove(db()));
        PortOccupant occupant;
        const QString port = c.port == "busy"_L1 ? QString::number(occupant.port()) : c.port == "free"_L1 ? QString::number(port_) : c.port;
        WriteReceiverSettings(*folder_, c.aet, port);
        CompanionProcess receiver(ReceiverProgram(), folder_->path(), c.env);
        QVERIFY(receiver.start());
        QCOMPARE(receiver.waitForExit(15000), c.exitCode);
        QVERIFY2(log().contains(c.logText), qPrintable(log()));
        QCOMPARE(log().trimmed().count(u'\n'), 0); // one line, nothing else
    }

    // Apostrophes in the name and ID go in as bound values.
    void studyOfFourImagesFromTwoSeries()
    {
        const SyntheticImageSpec spec{.patientName = u"O'Muster^Erika'Ann^Maria"_s, .patientId = u"P'4711"_s,
                                      .studyDate = u"20261201"_s, .studyTime = u"101112"_s};
        const QStringList files = WriteStudyFiles(folder_->path(), spec, 2, 2, u"study"_s);
        QCOMPARE(files.size(), 4);
        QByteArray out;
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());

        QCOMPARE(ImageRows(db()), (Counts{1, 1, 2, 4, 4}));
        QCOMPARE(QueryRows(db(), u"SELECT PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten"_s).first(),
                 (QVariantList{u"P'4711"_s, u"O'Muster"_s, u"Erika'Ann"_s, u"Maria"_s, u"19620314"_s}));
        QCOMPARE(QueryRows(db(), u"SELECT PatID1, StudyDate, StudyTime, Modality, Bodypart FROM view_studies"_s),
                 (QList<QVariantList>{{u"P'4711"_s, u"20261201"_s, u"101112"_s, u"MG"_s, u"BREAST"_s}}));
        QCOMPARE(QueryRows(db(), u"SELECT SeriesNr FROM tblSeries ORDER BY SeriesNr"_s), (QList<QVariantList>{{1}, {2}}));
        QCOMPARE(QueryRows(db(), u"SELECT ImageNr, COUNT(*) FROM tblImages GROUP BY ImageNr"_s), (QList<QVariantList>{{1, 2}, {2, 2}}));
        QCOMPARE(QueryValue(db(), u"SELECT COUNT(*) FROM View_Images WHERE ImageDate <> '' AND ImageTime <> ''"_s).toInt(), 4);
        rowsMatchFiles(1024); // at images/<StudyUID>/<SOPUID>.dcm
        QVERIFY(log().contains(u"4 stored, 0 failed"_s));

        // The same objects again: replaced, not duplicated; each arrival is a receipt.
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());
        QCOMPARE(ImageRows(db()), (Counts{1, 1, 2, 4, 8}));
        rowsMatchFiles(1024);
    }

    // Another station's dose report, sent with its study: taken in and listed
    // as an object of its own series.
    void doseReportFromAnotherStation()
    {
        DoseReportInput in;
        in.study = {u"Doe^Jane"_s, u"P1"_s, u"19600101"_s, u"F"_s, NewSyntheticUid(), u"20261206"_s, u"101500"_s};
        in.device = {UidForName(u"other"_s), u"OTHER"_s, u"Other"_s, u"Unit"_s, u"1"_s, u"1"_s};
        DoseReportEvent e{.eventUid = NewSyntheticUid(), .dateTime = u"20261206101600"_s, .laterality = u"L"_s, .view = u"CC"_s, .agdMGy = 1.2};
        in.events << e;
        const QString file = folder_->file(u"in/report.dcm"_s);
        QDir().mkpath(folder_->file(u"in"_s));
        const DoseReportWritten written = WriteDoseReport(in, file);
        QVERIFY2(written.ok(), qPrintable(written.text));
        QByteArray out;
        QVERIFY2(Store(kAet, port_, {file}, &out, {u"-R"_s}) == 0, out.constData());
        QCOMPARE(QueryRows(db(), u"SELECT i.SOPClassUID, s.Modality FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID"_s),
                 (QList<QVariantList>{{u"1.2.840.10008.5.1.4.1.1.88.67"_s, u"SR"_s}}));
        QVERIFY(QFile::exists(stored(in.study.studyUid, written.sopUid)));
    }

    void keepsTransferSyntaxAsArrived()
    {
        using E = SyntheticImageSpec::Encoding;
        // The encoding written, what storescu proposes for it, the syntax of the stored file.
        const QList<std::tuple<E, QString, QString>> cases = {
            {E::JpegLs, u"-xt"_s, u"1.2.840.10008.1.2.4.80"_s}, {E::Rle, u"-xr"_s, u"1.2.840.10008.1.2.5"_s},
            {E::JpegLossless, u"-xs"_s, u"1.2.840.10008.1.2.4.70"_s}, {E::ImplicitLittle, u"-xi"_s, u"1.2.840.10008.1.2"_s},
            {E::ExplicitLittle, u"-xd"_s, u"1.2.840.10008.1.2.1.99"_s}, {E::ExplicitLittle, u"-xe"_s, u"1.2.840.10008.1.2.1"_s}};
        const QString studyUid = NewSyntheticUid();
        for (const auto &[encoding, proposal, syntax] : cases) {
            const SyntheticImageSpec spec{.studyUid = studyUid, .sopUid = NewSyntheticUid(), .encoding = encoding};
            const QString file = folder_->file(u"in/"_s + spec.sopUid + u".dcm"_s);
            QVERIFY(WriteImage(spec, file));
            QByteArray out;
            QVERIFY2(Store(kAet, port_, {file}, &out, {proposal, u"-R"_s}) == 0, out.constData());
            QCOMPARE(DumpTag(stored(studyUid, spec.sopUid), u"0002,0010"_s), syntax);
            QCOMPARE(DumpTag(stored(studyUid, spec.sopUid), u"0008,0018"_s), spec.sopUid);
        }
        QCOMPARE(count(u"tblImages"_s), cases.size());
    }

    void sendersAtTheSameTimeAreServedInTurn()
    {
        QProcess senders[3];
        for (int n = 0; n < 3; ++n) {
            const QStringList files = WriteStudyFiles(folder_->path(), {.patientId = u"SAME%1"_s.arg(n)}, 1, 6, u"same%1"_s.arg(n));
            QCOMPARE(files.size(), 6);
            StartStore(senders[n], kAet, port_, files);
        }
        for (QProcess &p : senders) {
            QVERIFY(p.waitForFinished(60000));
            QVERIFY2(p.exitCode() == 0, p.readAll().constData());
        }
        QCOMPARE(ImageRows(db()), (Counts{3, 3, 3, 18, 18}));
        QCOMPARE(log().count(u"6 stored, 0 failed"_s), 3);
    }

    // Objects built to exhaust the receiver while it reads their header. Each
    // is refused with a failure status and a log line, nothing is filed, the
    // receiver's memory stays under twice the object plus a constant, and it
    // serves on: the process its pid file names answers an echo and files a
    // good image. Their sequences travel as UN, so that storescu passes them on
    // without parsing them itself; over implicit VR the receiver meets them
    // as the sequence the dictionary says (0008,1115) is.
    void hostileObjectIsRefused_data()
    {
        QTest::addColumn<QByteArray>("items");
        QTest::addColumn<QString>("logText");
        QTest::newRow("10,000 nested sequences") << NestedItems(0x0008, 0x1115, 10000) << u"sequences nested more than 32 deep"_s;
        QTest::newRow("a million items") << RepeatedItems(1000000, ImplicitElement(0x0008, 0x0100, QByteArray(34, 'X')))
                                         << u"more than 100000 sequence items"_s;
    }
    void hostileObjectIsRefused()
    {
        QFETCH(QByteArray, items);
        QFETCH(QString, logText);
        const QString sop = NewSyntheticUid();
        RawObject hostile;
        hostile.add(0x0008, 0x0016, "UI", kMammoClass.toLatin1())
            .add(0x0008, 0x0018, "UI", sop.toLatin1())
            .add(0x0008, 0x0060, "CS", "MG")
            .addSequence(0x0008, 0x1115, items)
            .add(0x0010, 0x0010, "PN", "Hostile^Object")
            .add(0x0010, 0x0020, "LO", "PHOSTILE")
            .add(0x0020, 0x000D, "UI", NewSyntheticUid().toLatin1())
            .add(0x0020, 0x000E, "UI", NewSyntheticUid().toLatin1());
        items.clear();
        const QString file = folder_->file(u"in/hostile.dcm"_s);
        QVERIFY(hostile.write(file, kMammoClass, sop));
        const qint64 size = QFileInfo(file).size();

        const QString status = storeStatus(file, {u"-xi"_s});
        QVERIFY2(status.startsWith(u"Error"_s), qPrintable(u"answer \"%1\"\n"_s.arg(status) + log()));
        QCOMPARE(logLines({sop, u"not stored"_s, logText}).size(), 1);
        QCOMPARE(ImageRows(db()), (Counts{0, 0, 0, 0, 0}));
        rowsMatchFiles(0); // nothing left in .incoming

        const qint64 pid = folder_->read(u"LumoraReceiver.pid"_s).trimmed().toLongLong();
        QCOMPARE(pid, receiver_->process().processId());
        QCOMPARE(::kill(pid_t(pid), 0), 0);
        QCOMPARE(Echo(kAet, port_), 0);
        const SyntheticImageSpec good{.studyUid = NewSyntheticUid(), .sopUid = NewSyntheticUid()};
        QVERIFY(WriteImage(good, folder_->file(u"in/good.dcm"_s)));
        QCOMPARE(storeStatus(folder_->file(u"in/good.dcm"_s)), u"Success"_s);
        QCOMPARE(ImageRows(db()), (Counts{1, 1, 1, 1, 1}));

        const qint64 peak = ProcessMemory(pid, "VmHWM");
        qInfo("object %.1f MB, the receiver's peak resident memory %.1f MB (bound %.1f MB)", size / 1048576.0, peak / 1048576.0,
              (2 * size + kMemoryConstant) / 1048576.0);
        QVERIFY(peak > 0);
        QVERIFY2(peak < 2 * size + kMemoryConstant, qPrintable(QString::number(peak)));
    }

    // Two images of PRIGHT, then an object of the same study naming PWRONG,
    // over the network and through temp/: refused, kept in rejected/, logged
    // with both IDs, and the study stays PRIGHT's with everything filed for it.
    void studyStaysWithItsPatient_data()
    {
        QTest::addColumn<bool>("throughTemp");
        QTest::newRow("sent") << false;
        QTest::newRow("dropped into temp/") << true;
    }
    void studyStaysWithItsPatient()
    {
        QFETCH(bool, throughTemp);
        SyntheticImageSpec right{.patientName = u"Right^Patient"_s, .patientId = u"PRIGHT"_s, .studyUid = NewSyntheticUid(),
                                 .seriesUid = NewSyntheticUid()};
        QStringList files;
        for (int n = 1; n <= 2; ++n) {
            right.sopUid = NewSyntheticUid();
            right.instanceNumber = n;
            files << folder_->file(u"in/right%1.dcm"_s.arg(n));
            QVERIFY(WriteImage(right, files.last()));
        }
        QByteArray out;
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());
        const QString study = right.studyUid;
        const QString studyOwner = u"SELECT p.PatID1 FROM tblStudies s JOIN tblPatienten p ON p.PatID = s.FKeyPATID WHERE s.StudyUID = ?"_s;
        QCOMPARE(QueryValue(db(), studyOwner, {study}).toString(), u"PRIGHT"_s);
        const QList<QVariantList> before = QueryRows(db(), u"SELECT * FROM View_Images ORDER BY ImageUID"_s);

        const SyntheticImageSpec wrong{.patientName = u"Wrong^Patient"_s, .patientId = u"PWRONG"_s, .studyUid = study,
                                       .seriesUid = NewSyntheticUid(), .sopUid = NewSyntheticUid()};
        QString kept;
        if (throughTemp) {
            const QString dropped = folder_->file(u"temp/wrong.dcm"_s);
            QVERIFY(WriteImage(wrong, dropped));
            kept = folder_->file(u"temp/rejected/wrong.dcm"_s);
            QVERIFY2(WaitFor([&] { return !QFileInfo::exists(dropped); }, 15000), qPrintable(log()));
        } else {
            QVERIFY(WriteImage(wrong, folder_->file(u"in/wrong.dcm"_s)));
            const QString status = storeStatus(folder_->file(u"in/wrong.dcm"_s));
            QVERIFY2(status.startsWith(u"Error"_s), qPrintable(u"answer \"%1\"\n"_s.arg(status) + log()));
            kept = folder_->file(u"temp/rejected/%1.dcm"_s.arg(wrong.sopUid));
        }
        QVERIFY2(QFileInfo::exists(kept), qPrintable(log()));
        QCOMPARE(DumpTag(kept, u"0008,0018"_s), wrong.sopUid);
        QCOMPARE(DumpTag(kept, u"0010,0020"_s), u"PWRONG"_s);
        QCOMPARE(logLines({u"PRIGHT"_s, u"PWRONG"_s, study}).size(), 1);

        QCOMPARE(QueryValue(db(), studyOwner, {study}).toString(), u"PRIGHT"_s);
        QCOMPARE(QueryRows(db(), u"SELECT * FROM View_Images ORDER BY ImageUID"_s), before);
        QCOMPARE(ImageRows(db()), (Counts{1, 1, 1, 2, 2}));
        QCOMPARE(QueryValue(db(), u"SELECT COUNT(*) FROM tblPatienten WHERE PatID1 = 'PWRONG'"_s).toInt(), 0);
        rowsMatchFiles(1024);
        QCOMPARE(Echo(kAet, port_), 0);
    }

    // Senders proposing ever new sets of storage classes: the receiver keeps
    // the profiles of the most recently used sets only. Each new set beyond
    // them forgets the least recently used one, and says so in the log.
    void profilesStayBounded()
    {
        const QStringList pool = acceptedStorageClasses();
        QVERIFY2(pool.size() > 100 && pool.contains(kMammoClass), qPrintable(pool.join(u' ')));
        const QString file = folder_->file(u"in/view.dcm"_s);
        QVERIFY(WriteImage({.studyUid = NewSyntheticUid(), .sopUid = NewSyntheticUid()}, file));
        // Distinct sets of 100 classes, the image's own among them.
        QRandomGenerator random(4711);
        QList<QStringList> sets;
        QSet<QString> seen;
        while (sets.size() < ReceiverProfilesKept - 1 + 100) {
            QStringList set{kMammoClass};
            while (set.size() < 100)
                if (const QString uid = pool[random.bounded(int(pool.size()))]; !set.contains(uid))
                    set << uid;
            std::sort(set.begin(), set.end());
            if (!seen.contains(set.join(u' ')))
                sets << set;
            seen.insert(set.join(u' '));
        }
        const QString forgotten = u"least recently used"_s;
        const auto propose = [&](const QStringList &set) {
            QString cfg = u"[[TransferSyntaxes]]\n[T]\nTransferSyntax1 = 1.2.840.10008.1.2.1\n[[PresentationContexts]]\n[P]\n"_s;
            for (int i = 0; i < set.size(); ++i)
                cfg += u"PresentationContext%1 = %2\\T\n"_s.arg(i + 1).arg(set[i]);
            cfg += u"[[Profiles]]\n[X]\nPresentationContexts = P\n"_s;
            folder_->write(u"storescu.cfg"_s, cfg.toLatin1());
            QByteArray out;
            const int rc = Store(kAet, port_, {file}, &out, {u"-xf"_s, folder_->file(u"storescu.cfg"_s), u"X"_s});
            if (rc != 0)
                qWarning().noquote() << out;
            return rc == 0;
        };
        const qint64 pid = receiver_->process().processId();
        // The echo that found the receiver answering was a set too, of no storage class.
        for (int i = 0; i < ReceiverProfilesKept - 1; ++i)
            QVERIFY(propose(sets[i]));
        QCOMPARE(logLines({forgotten}).size(), 0);
        const qint64 full = ProcessMemory(pid, "VmRSS");
        for (int i = ReceiverProfilesKept - 1; i < sets.size(); ++i)
            QVERIFY(propose(sets[i]));
        const qint64 after = ProcessMemory(pid, "VmRSS");
        qInfo("resident memory with %d profiles kept: %.1f MB; after 100 more sets: %.1f MB", ReceiverProfilesKept, full / 1048576.0,
              after / 1048576.0);
        QVERIFY(full > 0 && after > 0);
        // Each profile forgotten took its memory along (one of 100 classes is about 18 kB).
        QVERIFY2(after - full < 1024 * 1024, qPrintable(QString::number(after - full)));
        QCOMPARE(logLines({forgotten}).size(), 100);
        // The newest set is still kept; the first one was forgotten and is made anew.
        QVERIFY(propose(sets.last()));
        QCOMPARE(logLines({forgotten}).size(), 100);
        QVERIFY(propose(sets.first()));
        QCOMPARE(logLines({forgotten}).size(), 101);
        QCOMPARE(count(u"tblReceive"_s), sets.size() + 2);
    }

    // A good file dropped into temp/ is taken in; garbage goes to temp/rejected
    // once, and is not picked up again by the later polls.
    void filesDroppedIntoTemp()
    {
        const QByteArray garbage = QByteArray("this is not a DICOM file\n").repeated(20);
        folder_->write(u"temp/garbage.dcm"_s, garbage);
        QVERIFY2(WaitFor([&] { return QFileInfo::exists(folder_->file(u"temp/rejected/garbage.dcm"_s)); }, 15000), qPrintable(log()));
        QVERIFY(!QFileInfo::exists(folder_->file(u"temp/garbage.dcm"_s)));
        QCOMPARE(folder_->read(u"temp/rejected/garbage.dcm"_s), garbage);

        // Two good files one after the other: at least two polls after the rejection.
        for (int n = 1; n <= 2; ++n) {
            const SyntheticImageSpec spec{.patientId = u"TEMP%1"_s.arg(n), .studyUid = NewSyntheticUid(), .sopUid = NewSyntheticUid()};
            const QString dropped = folder_->file(u"temp/"_s + spec.sopUid + u".dcm"_s);
            QVERIFY(WriteImage(spec, dropped));
            QVERIFY2(WaitFor([&] { return !QFileInfo::exists(dropped); }, 15000), qPrintable(log()));
            QVERIFY(QFileInfo::exists(stored(spec.studyUid, spec.sopUid)));
            QCOMPARE(QueryValue(db(), u"SELECT COUNT(*) FROM tblReceive WHERE PatID = ? AND ImageUID = ?"_s, {spec.patientId, spec.sopUid}).toInt(), 1);
        }
        QCOMPARE(log().count(u"garbage.dcm"_s), 1);
        QCOMPARE(QDir(folder_->file(u"temp/rejected"_s)).entryList(QDir::Files), QStringList{u"garbage.dcm"_s});
        QCOMPARE(count(u"tblReceive"_s), 2);
        QCOMPARE(Echo(kAet, port_), 0); // still serving
    }

    void uidsThatWouldLeaveTheImagesFolderAreRefused()
    {
        const QString outside = folder_->file(u"escaped"_s);
        const QList<QPair<QString, QString>> cases = {
            {u".."_s, NewSyntheticUid()}, {NewSyntheticUid(), u"../../escaped"_s}, {u"1.2/../../escaped"_s, NewSyntheticUid()}};
        int n = 0;
        for (const auto &[study, sop] : cases) {
            const QString f = folder_->file(u"in/bad%1.dcm"_s.arg(++n));
            QVERIFY(WriteImage({.studyUid = study, .sopUid = sop}, f));
            // storescu ends non-zero when the answer is a failure status.
            QVERIFY(Store(kAet, port_, {f}) != 0);
        }
        QCOMPARE(ImageRows(db()), (Counts{0, 0, 0, 0, 0}));
        QVERIFY(!QFileInfo::exists(outside) && !QFileInfo::exists(outside + u".dcm"_s));
        QCOMPARE(QDir(folder_->file(u"images"_s)).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{u".incoming"_s});
        rowsMatchFiles(0); // nothing left in .incoming either
        QCOMPARE(log().count(u"unusable Study/Series/SOP Instance UID"_s), 3);
        QCOMPARE(Echo(kAet, port_), 0); // still serving
    }

    void sigkillDuringSendLeavesConsistentDatabase()
    {
        QProcess sender;
        const QStringList files = startLargeSend(sender, 2, 40, u"kill"_s);
        QCOMPARE(files.size(), 80);
        receiver_->kill();
        QVERIFY(sender.waitForFinished(60000));
        QVERIFY2(count(u"tblImages"_s) < files.size(), "the receiver was killed only after everything had arrived");
        rowsMatchFiles(1024 * 768, true);
        QCOMPARE(count(u"tblReceive"_s), count(u"tblImages"_s));

        // A restart cleans up what the kill left in flight and takes the rest.
        QVERIFY2(startReceiver(), qPrintable(log()));
        QByteArray out;
        QVERIFY2(Store(kAet, port_, files, &out) == 0, out.constData());
        QCOMPARE(count(u"tblImages"_s), files.size());
        QCOMPARE(count(u"tblSeries"_s), 2);
        rowsMatchFiles(1024 * 768);
    }

    void sigtermDuringSendFinishesTheObjectInHand()
    {
        QProcess sender;
        const QStringList files = startLargeSend(sender, 1, 60, u"term"_s);
        QCOMPARE(files.size(), 60);
        QCOMPARE(receiver_->terminate(10000), 0);
        QVERIFY(sender.waitForFinished(60000));
        QVERIFY2(sender.exitCode() != 0, "the sender was told everything arrived");
        QVERIFY(log().trimmed().endsWith(u"stopped"_s));
        const qlonglong kept = count(u"tblImages"_s);
        QVERIFY(kept >= 5 && kept < files.size());
        // A clean stop leaves nothing in flight, and the database closed: no write-ahead log.
        rowsMatchFiles(1024 * 768);
        QCOMPARE(count(u"tblReceive"_s), kept);
        QCOMPARE(QFileInfo(db() + u"-wal"_s).size(), 0);
    }

    // "Delete all" from the workstation while the receiver is storing a study:
    // the database stays sound, and once the send has ended every row has its
    // file and every file its row.
    void deleteAllWhileAStudyArrives()
    {
        QProcess sender;
        const QStringList files = startLargeSend(sender, 1, 40, u"all"_s);
        QCOMPARE(files.size(), 40);
        qputenv("LUMORA_APP_FOLDER", QFile::encodeName(folder_->path()));
        SetDatabasePaths();
        QVERIFY(DeleteAllFromDatabase({}));
        QVERIFY(sender.waitForFinished(120000));
        QVERIFY(WaitFor([&] { return count(u"tblReceive"_s) == count(u"tblImages"_s); }, 20000));
        QVERIFY(count(u"tblImages"_s) < files.size());
        rowsMatchFiles(1024 * 768);
    }

    // The reserve below which the receiver takes nothing more, and a reserve of
    // zero, where the write of the next object itself fails half way.
    void fillsUpDuringAStudy_data()
    {
        QTest::addColumn<int>("reserveMb");
        QTest::addColumn<QString>("logText");
        QTest::newRow("reserve reached") << 1 << "not stored: less than 1 MB free";
        QTest::newRow("write fails") << 0 << "disk full: receiving";
    }
    void fillsUpDuringAStudy()
    {
        QFETCH(int, reserveMb);
        QFETCH(QString, logText);
        // Eight images of 1.5 MB for an images folder of 5 MB.
        const QStringList files = WriteStudyFiles(folder_->path(), {.rows = 1024, .columns = 768}, 1, 8, u"full"_s);
        QCOMPARE(files.size(), 8);
        // The receiver under `unshare`, in a shell that first mounts a tmpfs over images/ (the machine's disk is never
        // filled, the mount goes with the namespace) and stays after the receiver ended, so that the files can still
        // be seen through /proc/<shell>/root. Root gets a mount namespace of its own, anyone else a user namespace too.
        QVERIFY(QDir().mkpath(folder_->file(u"images"_s)));
        const QString script = u"mount -t tmpfs -o size=5m tmpfs \"$1/images\" || exit 99\n\"$2\" & echo $! > \"$1/receiver.pid\"\n"
                               "wait $!; echo $? > \"$1/receiver.rc\"\nexec tail -f /dev/null\n"_s;
        const QStringList args = (::geteuid() == 0 ? QStringList{u"-m"_s} : QStringList{u"-r"_s, u"-m"_s})
                                 + QStringList{u"sh"_s, u"-c"_s, script, u"sh"_s, folder_->path(), ReceiverProgram()};
        CompanionProcess shell(u"unshare"_s, folder_->path(), {u"LUMORA_RECEIVER_MIN_FREE_MB=%1"_s.arg(reserveMb)}, args);
        // The receiver's exit code once it ended by itself, -1 while it runs.
        const auto exitCode = [&] {
            const QByteArray rc = folder_->read(u"receiver.rc"_s).trimmed();
            return rc.isEmpty() ? -1 : rc.toInt();
        };
        const auto killReceiver = qScopeGuard([&] {
            if (const int pid = folder_->read(u"receiver.pid"_s).trimmed().toInt(); pid > 0 && exitCode() < 0)
                ::kill(pid_t(pid), SIGKILL);
        });
        QVERIFY2(shell.start() && shell.waitUntilAnswering(kAet, port_), shell.process().readAll().constData());
        // The sender is not left believing the study arrived.
        QByteArray out;
        Store(kAet, port_, files, &out);
        QVERIFY2(out.contains("Failed"), out.constData());

        // It stops by itself, says why, and tells the disk full apart.
        QVERIFY2(WaitFor([&] { return exitCode() >= 0; }, 30000), qPrintable(QString::fromUtf8(out) + log()));
        QCOMPARE(exitCode(), 4);
        QVERIFY2(log().contains(logText), qPrintable(log()));

        // What was answered with success is there, rows and file alike, and nothing else.
        const qlonglong kept = count(u"tblImages"_s);
        QVERIFY2(kept >= 2 && kept < files.size(), qPrintable(QString::number(kept)));
        QCOMPARE(count(u"tblReceive"_s), kept);
        const QString images = u"/proc/%1/root%2"_s.arg(shell.process().processId()).arg(folder_->file(u"images"_s));
        const QString mismatch = ImagesMismatch(folder_->path(), 1024 * 768 * 2, false, images);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }
};

QTEST_GUILESS_MAIN(ReceiverTest)
#include "tst_receiver.moc"
