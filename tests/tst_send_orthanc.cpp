// Series, study and patient sends to an Orthanc archive, checked through its
// REST interface (what the archive indexed, not only what the job counted), and
// to storescp as a second partner.
#include "acquisition/ProjectionAssignment.h"
#include "acquisition/Stamping.h"
#include "core/Settings.h"
#include "dose/DoseStore.h"
#include "exposure/ExposureJournal.h"
#include "exposure/StudyDoseReport.h"
#include "jobs/EditForm.h"
#include "store/DatabasePaths.h"
#include "support/Dicom.h"
#include "support/DoseTables.h"
#include "support/ExposureStation.h"
#include "support/Peers.h"
#include "support/Rows.h"
#include "support/SendJob.h"
#include "support/UnitDoseReport.h"
#include "support/Widgets.h"

class SendOrthancTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    RecordingPrompter prompter_;
    static inline bool removed_ = false; // what the last send's job said it removed
    OrthancPeer orthanc_;
    SendTarget target_; // where the next command goes

    static QStringList sorted(QStringList l)
    {
        l.sort();
        return l;
    }
    // The dialog's text says that `sent` of `total` images went.
    static bool reports(const QString &text, int sent, int total)
    {
        const bool ok = text.contains(u"%1 of %2 images successfully sent."_s.arg(sent).arg(total));
        if (!ok)
            qWarning("%s", qPrintable(text));
        return ok;
    }
    // The data set of a file as dcmdump shows it, without the meta header and
    // without how each sequence's length is encoded (a receiver may write
    // explicit lengths where the sender had undefined ones); empty when unreadable.
    static QString dataSet(const QString &file)
    {
        const QString dump = Dump(file, {u"-Un"_s});
        const qsizetype at = dump.indexOf(u"# Dicom-Data-Set"_s);
        if (at < 0)
            return {};
        static const QRegularExpression lengthColumn(u"\\s+#\\s+(\\d+|u/l), \\d+ \\S+$"_s);
        static const QRegularExpression encoding(u" with (explicit|undefined) length"_s);
        QStringList lines;
        for (QString line : dump.mid(at).split(u'\n')) {
            if (line.startsWith(u'#') || line.contains(u"Delimitation"_s))
                continue;
            lines << line.remove(lengthColumn).remove(encoding);
        }
        return lines.join(u'\n');
    }
    // The archive's file of an instance, written to path; path.
    QString orthancFile(const QString &id, const QString &path)
    {
        bool ok = false;
        const QByteArray bytes = orthanc_.raw("GET", u"/instances/%1/file"_s.arg(id), &ok);
        QFile file(path);
        if (!ok || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qWarning("cannot fetch instance %s", qPrintable(id));
        return path;
    }
    PartnerAddress orthancPartner() const { return {u"ORTHANC"_s, u"127.0.0.1"_s, QString::number(orthanc_.dicomPort())}; }
    QString imageFile(const FiledStudy &s, const QString &uid) const { return f_->file(u"images/%1/%2.dcm"_s.arg(s.uid, uid)); }
    QStringList studyFiles(const FiledStudy &s) const { return QDir(f_->file(u"images/"_s + s.uid)).entryList(QDir::Files); }
    bool studyFolderExists(const FiledStudy &s) const { return QDir(f_->file(u"images/"_s + s.uid)).exists(); }

    // Her image and the X-ray unit's own dose report of one study, sent
    // through the receiver as the detector and the unit send them.
    struct ArrivedWithUnitReport {
        std::unique_ptr<CompanionProcess> receiver;
        SyntheticImageSpec image;
        UnitDoseReport unit;
    };
    // "" once both are filed, else what went wrong.
    static QString receiveWithUnitReport(const TestFolder &f, ArrivedWithUnitReport &a)
    {
        StationReceiver started = StartStationReceiver(f, u"LUMORA"_s);
        if (!started.process)
            return u"the receiver did not answer"_s;
        const quint16 port = started.port;
        a.receiver = std::move(started.process);
        a.image = {.patientId = u"P1"_s, .studyUid = NewSyntheticUid(), .sopUid = NewSyntheticUid(), .studyDate = u"20261207"_s, .rows = 64, .columns = 48};
        if (!WriteImage(a.image, f.file(u"in/image.dcm"_s)))
            return u"no image written"_s;
        const SyntheticImageSpec &i = a.image;
        a.unit = {i.patientName, i.patientId, i.birthDate, i.sex, i.studyUid, i.studyDate, i.studyTime, i.accessionNumber, NewSyntheticUid(), u"20261207102231"_s, 0.91};
        if (const QString why = WriteUnitDoseReport(a.unit, f.file(u"in/unit-report.dcm"_s)); !why.isEmpty())
            return why;
        QByteArray out;
        if (Store(u"LUMORA"_s, port, {f.file(u"in/image.dcm"_s), f.file(u"in/unit-report.dcm"_s)}, &out, {u"-R"_s}) != 0)
            return QString::fromUtf8(out);
        const QString unitFile = f.file(u"images/%1/%2.dcm"_s.arg(i.studyUid, a.unit.sopUid));
        return WaitFor([&] { return CountRows(u"tblImages"_s) == 2 && QFile::exists(unitFile); }, 10000) ? QString() : u"not filed"_s;
    }

    // Connects to the partners of target_ and runs the job of the mode (0
    // series, 1 study, 2 the study's patient); the dialog's text.
    QString send(qint16 mode, const FiledStudy &s, const QString &patientId, qlonglong seriesKey = 0)
    {
        SendJob job;
        return send(mode, s, patientId, seriesKey, job);
    }
    QString send(qint16 mode, const FiledStudy &s, const QString &patientId, qlonglong seriesKey, SendJob &job,
                 const std::function<void(EditForm &)> &prepare = {})
    {
        if (!job.connections.open(target_).ok())
            return u"<no connection>"_s;
        job.selection = {s.patient, patientId, u"Doe"_s, mode == 2 ? 0 : s.study, mode == 2 ? QString() : s.uid, seriesKey};
        return RunSendJob(mode, job, &removed_, prepare);
    }

private slots:
    void initTestCase()
    {
        const QString why = orthanc_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    void init()
    {
        QVERIFY(orthanc_.removeEverything());
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        target_ = {{orthancPartner(), {}}, false, Settings.IR_AET};
        prompter_.boxes.clear();
    }
    void cleanup()
    {
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
        QTest::newRow("explicit little") << int(SyntheticImageSpec::Encoding::ExplicitLittle) << "1.2.840.10008.1.2.1";
        QTest::newRow("jpeg-ls") << int(SyntheticImageSpec::Encoding::JpegLs) << "1.2.840.10008.1.2.4.80";
        QTest::newRow("jpeg 2000") << int(SyntheticImageSpec::Encoding::Jpeg2000Lossless) << "1.2.840.10008.1.2.4.90";
    }
    void seriesArrivesComplete()
    {
        QFETCH(int, encoding);
        QFETCH(QString, syntax);
        const FiledStudy s = FileStudy(*f_, u"P1"_s, 2, 3, SyntheticImageSpec::Encoding(encoding));
        QVERIFY(reports(send(0, s, u"P1"_s, s.series[1]), 3, 3));
        const QMap<QString, QString> stored = orthanc_.instances();
        QCOMPARE(stored.keys(), sorted(s.images.mid(3, 3))); // the second series, nothing of the first
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            QCOMPARE(orthanc_.get(u"/instances/%1/metadata?expand"_s.arg(*it)).toObject().value(u"TransferSyntax"_s).toString(), syntax);
            // The pixel data as it was sent.
            bool ok = false;
            const QByteArray archived = PixelData(orthanc_.raw("GET", u"/instances/%1/file"_s.arg(*it), &ok));
            QVERIFY(ok && !archived.isEmpty() && archived == PixelDataOfFile(imageFile(s, it.key())));
        }
        QCOMPARE(CountRows(u"tblImages"_s), 6); // SentAndKeep 1 by default
    }

    // A study sends its own images, a stamped copy in the work folder in place
    // of its received file, and nothing of another study.
    void studyArrivesAsOneStudyAndIsRemovedWhenNotKept()
    {
        const FiledStudy s = FileStudy(*f_, u"P1"_s, 2, 2);
        const FiledStudy other = FileStudy(*f_, u"P1"_s, 1, 1);
        const FiledStudy theirs = FileStudy(*f_, u"P2"_s, 1, 1);
        ToolkitImagePtr stamped = ReadImage(imageFile(s, s.images[0]));
        QVERIFY(SetAttribute(stamped, 0x0018, 0x0060, u"31"_s) && WriteDicomFile(stamped, f_->file(u"bin/%1.dcm"_s.arg(s.images[0]))));
        QVERIFY(QFile::copy(imageFile(theirs, theirs.images[0]), f_->file(u"bin/%1.dcm"_s.arg(theirs.images[0]))));
        Settings.SentAndKeep = 0;
        SendJob job;
        JobOutcome outcome;
        QVERIFY(reports(send(1, s, u"P1"_s, 0, job, [&](EditForm &form) {
                            QObject::connect(&form, &EditForm::jobDone, [&](const JobOutcome &done) { outcome = done; });
                        }),
                        4, 4));
        const qsizetype patientRows = outcome.patientsRemoved.size();
        QCOMPARE(outcome.studiesRemoved, QList<qlonglong>{s.study}); // the lists drop the study's row
        const QMap<QString, QString> stored = orthanc_.instances();
        QCOMPARE(stored.keys(), sorted(s.images));
        const QJsonObject tags = orthanc_.get(u"/instances/%1/simplified-tags"_s.arg(stored.value(s.images[0]))).toObject();
        QCOMPARE(tags.value(u"KVP"_s).toString(), u"31"_s); // the stamped copy
        // Everything arrived, so the workstation's copy went; the patient keeps the other study.
        QVERIFY(removed_);
        QCOMPARE(CountRows(u"tblStudies"_s), 2);
        QVERIFY(!studyFolderExists(s) && studyFolderExists(other) && studyFolderExists(theirs));
        QCOMPARE(patientRows, 0);
    }

    // Curative goes to both partners, screening to the default only.
    void curativeReachesBothPartners()
    {
        const FiledStudy s = FileStudy(*f_, u"P1"_s, 1, 3);
        StorePeer storescp;
        QVERIFY(storescp.start(f_->file(u"archive"_s), u"ARCHIVE"_s));
        target_ = {{{u"ARCHIVE"_s, u"127.0.0.1"_s, QString::number(storescp.port())}, orthancPartner()}, true, Settings.IR_AET};
        QVERIFY(reports(send(1, s, u"P1"_s), 3, 3));
        QCOMPARE(orthanc_.instances().keys(), sorted(s.images));
        QCOMPARE(storescp.received().size(), 3);
        QCOMPARE(CountRows(u"tblImages"_s), 3); // SentAndKeep 1: everything stays

        QVERIFY(orthanc_.removeEverything());
        target_.curative = false;
        QVERIFY(reports(send(1, s, u"P1"_s), 3, 3));
        QVERIFY(orthanc_.instances().keys().isEmpty());
        QCOMPARE(storescp.received().size(), 3); // same instances, same files
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
        const FiledStudy a = FileStudy(*f_, u"P7"_s, 1, 2);
        const FiledStudy b = FileStudy(*f_, u"P7"_s, 2, 1);
        FileStudy(*f_, u"P8"_s, 1, 1); // another patient's study stays behind
        QStringList expected = a.images + b.images;
        if (missingFile)
            QVERIFY(QFile::remove(imageFile(b, expected.takeLast())));
        Settings.SentAndKeep = 0;
        SendJob job;
        qint16 modeAtRefresh = -1;
        const QString text = send(2, a, u"P7"_s, 0, job, [&](EditForm &form) {
            QObject::connect(&form, &EditForm::jobDone, [&](const JobOutcome &done) {
                if (done.assignNow)
                    modeAtRefresh = qint16(done.assignment);
            });
        });
        QVERIFY(reports(text, expected.size(), 4));
        QCOMPARE(orthanc_.instances().keys(), sorted(expected)); // each image once, nothing of P8
        QVERIFY(!studyFolderExists(a)); // the complete study went either way
        QVERIFY(removed_ || missingFile);
        QCOMPARE(text.contains(u"skipped (not all files send)"_s), missingFile);
        QCOMPARE(modeAtRefresh, qint16(missingFile ? -1 : 1));
        QCOMPARE(ImageRows(), (missingFile ? Counts{2, 2, 3, 3, 0} : Counts{1, 1, 1, 1, 0}));
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
        const FiledStudy s = FileStudy(*f_, u"P1"_s, 1, 3);
        QVERIFY(QFile::remove(imageFile(s, s.images[2])));
        Settings.SentAndKeep = 0;
        QVERIFY(reports(send(qint16(mode), s, u"P1"_s, mode == 0 ? s.series[0] : 0), 2, 3));
        QCOMPARE(orthanc_.instances().keys(), sorted(s.images.mid(0, 2)));
        QVERIFY(!removed_);
        QCOMPARE(ImageRows(), (Counts{1, 1, 1, 3, 0}));
        QCOMPARE(studyFiles(s).size(), 2);
        QVERIFY(f_->read(u"Logs/Error.log"_s).contains(logged));
    }

    // The study's dose report: the unit's exposures of her study, two of them
    // stamped into the images kept and one rejected during it (no image), are
    // sent as one report beside the images, with
    // an event for each exposure, and filed in the image database. Without a
    // calibration there is no AGD, and so no report: the dialog and the log say why.
    void studyGoesWithItsDoseReport_data()
    {
        QTest::addColumn<bool>("calibrated");
        QTest::addColumn<QString>("exposureTime"); // as the unit sent it; empty: not reported
        QTest::addColumn<bool>("validate");        // PixelMed's validator too (it takes a minute)
        QTest::newRow("rejected exposure among them") << true << u"850"_s << true;
        QTest::newRow("unit reports no exposure time") << true << QString() << false;
        QTest::newRow("no calibration: no report") << false << u"850"_s << false;
    }
    void studyGoesWithItsDoseReport()
    {
        QFETCH(bool, calibrated);
        QFETCH(QString, exposureTime);
        QFETCH(bool, validate);
        const FiledStudy s = FileStudy(*f_, u"P1"_s, 1, 2);
        Settings.XrayComm = 4;
        // The journal starts as the empty template, as on a new station.
        Settings.Database = u"Data/Journal.dat"_s;
        SetDatabasePaths();
        QVERIFY(QFile::copy(f_->file(u"Data/LumoraDef.dat"_s), ResolveUserDatabasePath(Settings.Database)));
        // Three exposures of hers and one of another woman's the same day.
        QStringList uids;
        {
            DatabaseSession db(UserDatabase);
            QVERIFY(db.ok());
            const QStringList views{u"L CC"_s, u"R CC"_s, u"R CC"_s, u"L MLO"_s};
            for (int i = 0; i < 4; ++i) {
                ExposureRecord r{.KVP = u"29"_s, .ma = u"85"_s, .Zeit = u"10:1%1:00"_s.arg(i), .Dicke = u"52"_s, .mGy = u"5.6"_s,
                                 .Druck = u"110"_s, .Datum = u"2026-12-06"_s, .Sonstiges = views[i], .Status = u"0"_s,
                                 .expZeit = exposureTime.isEmpty() ? std::nullopt : std::optional<QString>(exposureTime),
                                 .Patname = u"Doe"_s};
                ExposureDose dose{4, {}};
                if (calibrated)
                    dose.estimate = {u"W/Rh"_s, 0.52, 5.1, 1.2 + 0.1 * i, u"reported dose"_s, u"50-64"_s, 1};
                const JournalInsert row = InsertExposure(UserDatabase, r, QLocale(QLocale::German), dose);
                QVERIFY2(row.ok(), qPrintable(row.text));
                // The third was deleted from the dose list during her examination: rejected, bound to her study.
                QVERIFY(i == 2 ? RejectExposure(UserDatabase, row.id, u"P1"_s, u"Doe"_s, s.uid).ok()
                               : AssignExposure(UserDatabase, row.id, i < 3 ? u"P1"_s : u"P2"_s, u"Doe"_s).ok());
                uids << EnsureEventUid(UserDatabase, row.id).uid;
            }
        }
        // The two kept images carry the UIDs of their exposures, stamped.
        for (int i = 0; i < 2; ++i) {
            ToolkitImagePtr stamped = ReadImage(imageFile(s, s.images[i]));
            QVERIFY(WriteExposureValues(stamped, ExposureValuesForHeader(4, {.kV = u"29"_s, .eventUid = uids[i]}, QString())));
            QVERIFY(WriteDicomFile(stamped, f_->file(u"bin/%1.dcm"_s.arg(s.images[i]))));
        }
        SendJob job;
        job.writeDoseReport = WriteStudyDoseReport;
        const QString text = send(1, s, u"P1"_s, 0, job);
        QVERIFY(reports(text, 2, 2));
        const QMap<QString, QString> stored = orthanc_.instances();
        if (!calibrated) {
            QCOMPARE(stored.keys(), sorted(s.images));
            QVERIFY2(text.contains(u"No dose report: the AGD of an exposure is unknown"_s), qPrintable(text));
            QVERIFY(f_->read(u"Logs/Error.log"_s).contains("EditForm StudieSenden (dose report)"));
            return;
        }
        QVERIFY2(text.contains(u"Dose report sent."_s), qPrintable(text));
        QCOMPARE(stored.size(), 3);
        QString report;
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            if (!s.images.contains(it.key()))
                report = *it;
        const QJsonObject tags = orthanc_.get(u"/instances/%1/simplified-tags"_s.arg(report)).toObject();
        QCOMPARE(tags.value(u"SOPClassUID"_s).toString(), u"1.2.840.10008.5.1.4.1.1.88.67"_s);
        QCOMPARE(tags.value(u"StudyInstanceUID"_s).toString(), s.uid);
        bool ok = false;
        const QByteArray bytes = orthanc_.raw("GET", u"/instances/%1/file"_s.arg(report), &ok);
        QVERIFY(ok);
        const QString path = f_->file(u"report.dcm"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QCOMPARE(DoseReportEventCount(path), 3); // the rejected exposure too, not the other woman's
        const QString dump = Dump(path, {"+U8"});
        const QString tree = [&] {
            QProcess p;
            p.start(u"dsrdump"_s, {path});
            p.waitForFinished(30000);
            return QString::fromUtf8(p.readAllStandardOutput());
        }();
        for (int i = 0; i < 3; ++i)
            QVERIFY2(tree.contains(uids[i]), qPrintable(tree));
        QVERIFY(!tree.contains(uids[3]));
        QCOMPARE(tree.count(u"\"Comment\")=\"Rejected exposure"_s), 1);
        QCOMPARE(tree.count(u"\"Exposure Time\")"_s), exposureTime.isEmpty() ? 0 : 3);
        QVERIFY(tree.contains(u"\"Exposure\")=\"85000\" (uA.s"_s)); // µA·s, not mAs
        QVERIFY(tree.contains(u"(80248007,SCT,\"Left breast\")"_s) && tree.contains(u"(73056007,SCT,\"Right breast\")"_s));
        QCOMPARE(ValidationErrors(path), QStringList());
        if (validate) {
            const QString out = SrValidatorOutput(path);
            QVERIFY2(out.contains(u"Found Root Template TID_10001"_s) && !out.contains(u"Error:"_s), qPrintable(out));
        }
        // Filed in the image database like a received object, in a series of its own.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f_->file(u"temp/%1.dcm"_s.arg(tags.value(u"SOPInstanceUID"_s).toString()))), 5000);
    }

    // The X-ray unit sends its own dose report with her image. The send takes
    // it to the partner as it came (its UIDs, its content) beside the
    // workstation's own report, which gets UIDs of its own when there is an
    // AGD to report; the unit's file stays as it is. A study not kept goes
    // only when every object went, the unit's report among them.
    // "Send series" on either series of a study the unit sent with its own
    // dose report: each object goes as it came, and with SentAndKeep = 0 the
    // series leaves the station once it went.
    void eachSeriesGoesWithTheUnitsReport_data()
    {
        QTest::addColumn<bool>("reportSeries");
        QTest::newRow("the image's series") << false;
        QTest::newRow("the unit report's series") << true;
    }
    void eachSeriesGoesWithTheUnitsReport()
    {
        QFETCH(bool, reportSeries);
        const TestFolder &f = *f_;
        Settings.SentAndKeep = 0;
        ArrivedWithUnitReport arrived;
        const QString why = receiveWithUnitReport(f, arrived);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const SyntheticImageSpec &spec = arrived.image;
        const UnitDoseReport &unit = arrived.unit;
        const QString sent = reportSeries ? unit.sopUid : spec.sopUid, stays = reportSeries ? spec.sopUid : unit.sopUid;
        const QList<QVariantList> keys = QueryRows(ImageDatabaseFile(),
                                                   u"SELECT s.FKeyPATID, s.StudyID, r.SeriesID FROM tblImages i JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID "
                                                   "JOIN tblStudies s ON s.StudyID = r.FKeyStudyID WHERE i.ImageUID = '%1'"_s.arg(sent));
        QCOMPARE(keys.size(), 1);
        const FiledStudy s{keys[0][0].toLongLong(), keys[0][1].toLongLong(), {}, spec.studyUid, {}};
        const QString text = send(0, s, spec.patientId, keys[0][2].toLongLong());

        QVERIFY2(text.contains(u"1 of 1 images successfully sent."_s), qPrintable(text));
        const QMap<QString, QString> stored = orthanc_.instances();
        QCOMPARE(QStringList(stored.keys()), QStringList{sent});
        if (reportSeries)
            QCOMPARE(dataSet(orthancFile(stored.value(sent), f.file(u"archived-unit.dcm"_s))), dataSet(f.file(u"in/unit-report.dcm"_s)));
        QVERIFY(removed_);
        QCOMPARE(QueryRows(ImageDatabaseFile(), u"SELECT ImageUID FROM tblImages"_s), (QList<QVariantList>{{stays}}));
    }

    void unitsDoseReportGoesAsItCame_data()
    {
        QTest::addColumn<bool>("calibrated");
        QTest::addColumn<bool>("kept");           // SentAndKeep
        QTest::addColumn<bool>("refusesReports"); // the partner (storescp) takes images only
        QTest::newRow("no calibration, kept") << false << true << false;
        QTest::newRow("calibrated, kept") << true << true << false;
        QTest::newRow("no calibration, not kept") << false << false << false;
        QTest::newRow("calibrated, not kept") << true << false << false;
        QTest::newRow("no calibration, partner refuses reports") << false << false << true;
        QTest::newRow("calibrated, partner refuses reports") << true << false << true;
    }
    void unitsDoseReportGoesAsItCame()
    {
        QFETCH(bool, calibrated);
        QFETCH(bool, kept);
        QFETCH(bool, refusesReports);
        f_.reset();
        ExposureFixture fx; // a station of its own, its journal from the template
        const TestFolder &f = fx.folder;
        QVERIFY(fx.ready && QDir().mkpath(f.file(u"bin"_s)));
        Settings.XrayComm = UnitSophie;
        Settings.SentAndKeep = kept ? 1 : 0;
        if (calibrated) {
            f.write(u"factors.csv"_s, TestFactorTable.toUtf8());
            DoseCalibration c = TestCalibration();
            c.unit = UnitSophie;
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            QVERIFY(ImportFactorFile(DefinitionsDatabase, f.file(u"factors.csv"_s), QDateTime::currentDateTime()).ok());
            QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
        }
        // Her exposure, as the unit's message is decoded.
        fx.capture->setPatientName(u"Doe^Jane"_s);
        fx.capture->setBuffer(u"\x02SOPHIE V3\r\nName: 2026-12-07 10:22:31 L-CC W Rh 28 28kV 63mAs 1.25s AEC 12kg 4.5cm 1.23mGy\r\n"_s);
        fx.capture->dbFill();
        QCOMPARE(fx.journal().size(), 1);
        QCOMPARE(fx.journal().first().isNull(u"AGD"_s), !calibrated);

        // The detector's image and the unit's own report come through the receiver.
        ArrivedWithUnitReport arrived;
        const QString why = receiveWithUnitReport(f, arrived);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const SyntheticImageSpec &spec = arrived.image;
        const UnitDoseReport &unit = arrived.unit;
        const QString unitFile = f.file(u"images/%1/%2.dcm"_s.arg(spec.studyUid, unit.sopUid));
        const QByteArray unitBytes = ReadFile(unitFile);
        const QString unitContent = dataSet(f.file(u"in/unit-report.dcm"_s));
        QVERIFY(!unitContent.isEmpty());
        QCOMPARE(dataSet(unitFile), unitContent);

        // The operator pairs her image with the exposure ("Manually").
        fx.doseList->choose(0);
        QVERIFY(LoadAsCurrentImage(fx.session, f.file(u"images/%1/%2.dcm"_s.arg(spec.studyUid, spec.sopUid))));
        QVERIFY(fx.session.currentImage());
        AssignmentControls controls;
        controls.askSide = [](const ToolkitImagePtr &) { return QString(); };
        controls.doseForBirthDate = DoseForBirthDate;
        ProjectionAssignment(fx.session, controls, fx.prompter).cmdSelected_Click();
        QVERIFY(QFile::exists(f.file(u"bin/%1.dcm"_s.arg(spec.sopUid))));

        StorePeer storescp;
        if (refusesReports) {
            // A profile with the mammography class and nothing else.
            f.write(u"images-only.cfg"_s, "[[TransferSyntaxes]]\n[Uncompressed]\nTransferSyntax1 = LocalEndianExplicit\n"
                                          "TransferSyntax2 = LittleEndianImplicit\n[[PresentationContexts]]\n[Images]\n"
                                          "PresentationContext1 = VerificationSOPClass\\Uncompressed\n"
                                          "PresentationContext2 = 1.2.840.10008.5.1.4.1.1.1.2\\Uncompressed\n"
                                          "[[Profiles]]\n[Images]\nPresentationContexts = Images\n");
            QVERIFY(storescp.start(f.file(u"archive"_s), u"IMAGES"_s, {u"-xf"_s, f.file(u"images-only.cfg"_s), u"Images"_s}));
            target_ = {{{u"IMAGES"_s, u"127.0.0.1"_s, QString::number(storescp.port())}, {}}, false, Settings.IR_AET};
        } else {
            target_ = {{orthancPartner(), {}}, false, Settings.IR_AET};
        }
        const QList<QVariantList> keys = QueryRows(ImageDatabaseFile(), u"SELECT FKeyPATID, StudyID FROM tblStudies"_s);
        QCOMPARE(keys.size(), 1);
        const FiledStudy s{keys[0][0].toLongLong(), keys[0][1].toLongLong(), {}, spec.studyUid, {spec.sopUid}};
        SendJob job;
        job.writeDoseReport = WriteStudyDoseReport; // as the workstation's send sets it
        const QString text = send(1, s, spec.patientId, 0, job);

        if (refusesReports) {
            // The image went, the unit's report did not: everything stays.
            QVERIFY(reports(text, 1, 2));
            QCOMPARE(storescp.received().size(), 1);
            QVERIFY(!removed_);
            QCOMPARE(CountRows(u"tblImages"_s), 2);
            QCOMPARE(ReadFile(unitFile), unitBytes);
            QVERIFY(fx.errorLog().contains(u"EditForm StudieSenden (TRANSMIT_ERROR)"_s));
            return;
        }
        QVERIFY(reports(text, 2, 2));
        const QMap<QString, QString> stored = orthanc_.instances();
        QVERIFY2(stored.contains(spec.sopUid) && stored.contains(unit.sopUid), qPrintable(QStringList(stored.keys()).join(u", ")));
        QCOMPARE(stored.size(), calibrated ? 3 : 2);
        // The unit's report as it came.
        QCOMPARE(dataSet(orthancFile(stored.value(unit.sopUid), f.file(u"archived-unit.dcm"_s))), unitContent);
        QString own;
        if (calibrated) {
            // The workstation's own report, beside it, with UIDs of its own.
            QVERIFY2(text.contains(u"Dose report sent."_s), qPrintable(text));
            for (const QString &uid : stored.keys())
                if (uid != spec.sopUid && uid != unit.sopUid)
                    own = uid;
            const QString path = orthancFile(stored.value(own), f.file(u"archived-own.dcm"_s));
            QCOMPARE(DumpTag(path, u"0008,0016"_s), QString::fromLatin1(DoseReportSopClass));
            QCOMPARE(DumpTag(path, u"0020,000d"_s), spec.studyUid);
            QVERIFY(DumpTag(path, u"0020,000e"_s) != unit.seriesUid);
            QCOMPARE(DumpTag(path, u"0008,0070"_s), u"Lumora"_s);
            QCOMPARE(DoseReportEventCount(path), 1);
            QCOMPARE(ValidationErrors(path), QStringList());
        } else {
            QVERIFY2(text.contains(u"No dose report: the AGD of an exposure is unknown"_s), qPrintable(text));
        }
        if (!kept) {
            // Every object went, so the study went.
            QVERIFY(removed_);
            QCOMPARE(CountRows(u"tblStudies"_s), 0);
            QVERIFY(!QFile::exists(unitFile));
            return;
        }
        QVERIFY(!removed_);
        if (calibrated) // filed through temp/ under its own UID, beside the unit's
            QVERIFY(WaitFor([&] { return CountRows(u"tblImages"_s) == 3 && QFile::exists(f.file(u"images/%1/%2.dcm"_s.arg(spec.studyUid, own)))
                                         && !QFile::exists(f.file(u"temp/%1.dcm"_s.arg(own))); }, 10000));
        QCOMPARE(CountRows(u"tblImages"_s), calibrated ? 3 : 2);
        QCOMPARE(ReadFile(unitFile), unitBytes);

        // Sent again: the workstation's report filed now is replaced under its
        // UIDs, the unit's goes as it came once more.
        QVERIFY(orthanc_.removeEverything());
        SendJob again;
        again.writeDoseReport = WriteStudyDoseReport;
        QVERIFY(reports(send(1, s, spec.patientId, 0, again), calibrated ? 3 : 2, calibrated ? 3 : 2));
        const QMap<QString, QString> resent = orthanc_.instances();
        QCOMPARE(resent.keys(), stored.keys());
        QCOMPARE(dataSet(orthancFile(resent.value(unit.sopUid), f.file(u"archived-unit.dcm"_s))), unitContent);
        if (calibrated) {
            QVERIFY(WaitFor([&] { return !QFile::exists(f.file(u"temp/%1.dcm"_s.arg(own))); }, 10000));
            QCOMPARE(CountRows(u"tblImages"_s), 3);
        }
        QCOMPARE(ReadFile(unitFile), unitBytes);
        if (!calibrated)
            return;

        // She is paired with an exposure at 35 kV instead, outside the
        // calibration: no new report can be written, so the one filed goes as it is.
        fx.capture->setBuffer(u"\x02SOPHIE V3\r\nName: 2026-12-07 10:25:02 L-CC W Rh 35 35kV 63mAs 1.25s AEC 12kg 4.5cm 1.23mGy\r\n"_s);
        fx.capture->dbFill();
        QCOMPARE(fx.doseList->rowCount(), 2);
        QCOMPARE(fx.doseList->text(1, DoseList::KV), u"35"_s);
        fx.doseList->choose(1);
        QVERIFY(LoadAsCurrentImage(fx.session, f.file(u"images/%1/%2.dcm"_s.arg(spec.studyUid, spec.sopUid))));
        ProjectionAssignment(fx.session, controls, fx.prompter).cmdSelected_Click();
        const QString ownContent = dataSet(f.file(u"images/%1/%2.dcm"_s.arg(spec.studyUid, own)));
        QVERIFY(orthanc_.removeEverything());
        SendJob third;
        third.writeDoseReport = WriteStudyDoseReport;
        const QString thirdText = send(1, s, spec.patientId, 0, third);
        QVERIFY(reports(thirdText, 3, 3));
        QVERIFY2(thirdText.contains(u"No dose report: the AGD of an exposure is unknown"_s) && thirdText.contains(u"Earlier dose report sent as it was."_s),
                 qPrintable(thirdText));
        const QMap<QString, QString> last = orthanc_.instances();
        QCOMPARE(last.keys(), stored.keys());
        QCOMPARE(dataSet(orthancFile(last.value(own), f.file(u"archived-own.dcm"_s))), ownContent);
        QCOMPARE(dataSet(orthancFile(last.value(unit.sopUid), f.file(u"archived-unit.dcm"_s))), unitContent);
    }

    void unreachablePartnerStartsNothing()
    {
        target_.partners.partner.port = QString::number(FreePort());
        SendConnections connections;
        const Result opened = connections.open(target_);
        QVERIFY(!opened.ok());
        QVERIFY(!opened.text.isEmpty());
        QVERIFY(!connections.isOpen());
        // The network floor tells nobody; the command's owner shows the failure.
        QVERIFY(prompter_.boxes.isEmpty());
        QVERIFY(f_->read(u"Logs/Error.log"_s).contains("MainForm SCPOnline"));
        QVERIFY(f_->read(u"Logs/Debug.log"_s).contains("SCPOnline127.0.0.1 "));
    }

    // Last, since it takes the archive down (and brings it back up).
    void archiveGoneMidCommandRemovesNothing()
    {
        const FiledStudy s = FileStudy(*f_, u"P1"_s, 1, 3);
        Settings.SentAndKeep = 0;
        SendJob job;
        QVERIFY(job.connections.open(target_).ok());
        orthanc_.crash();
        job.selection = {s.patient, u"P1"_s, u"Doe"_s, s.study, s.uid, s.series[0]};
        QVERIFY(reports(RunSendJob(0, job, &removed_), 0, 3));
        QVERIFY(!removed_);
        QCOMPARE(CountRows(u"tblImages"_s), 3);
        QCOMPARE(studyFiles(s).size(), 3);
        QVERIFY(f_->read(u"Logs/Error.log"_s).contains("EditForm SerieSenden (TRANSMIT_ERRROR)"));

        // Back up, the same images go through on a new command.
        const QString why = orthanc_.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        target_.partners.partner = orthancPartner();
        QVERIFY(reports(send(0, s, u"P1"_s, s.series[0]), 3, 3));
        QCOMPARE(orthanc_.instances().keys(), sorted(s.images));
        QVERIFY(removed_);
    }
};

LUMORA_WIDGETS_TEST_MAIN(SendOrthancTest, 1280, 1024)
#include "tst_send_orthanc.moc"
