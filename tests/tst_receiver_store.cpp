// The receiver's store on its own: rows and files for replaced, moved and
// failed objects, and the names it refuses to turn into paths.
#include "companions/receiver/DicomObject.h"
#include "companions/receiver/ImageStore.h"
#include "support/Dicom.h"
#include "support/Rows.h"

class ReceiverStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<ImageStore> store_;
    QString db() const { return folder_->file(u"Data/LumoraData.dat"_s); }
    QStringList files(const QString &folder) const { return QDir(folder_->file(folder)).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    // The rows of a query: cells joined by blanks, rows by "|".
    QString values(const QString &sql) const
    {
        QStringList rows;
        for (const QVariantList &row : QueryRows(db(), sql)) {
            QStringList cells;
            for (const QVariant &cell : row)
                cells << cell.toString();
            rows << cells.join(u' ');
        }
        return rows.join(u'|');
    }

    static ReceivedObject object(const QString &study, const QString &series, const QString &sop)
    {
        ReceivedObject o{.patientId = u"P1"_s, .studyUid = study, .seriesUid = series, .seriesNumber = 1, .sopUid = sop, .instanceNumber = 1};
        SplitPersonName(u"Doe^Jane"_s, o);
        return o;
    }
    // Stores the object from a complete file with the given content in the staging folder.
    ImageStore::Outcome put(const ReceivedObject &o, const QByteArray &content, QString *message = nullptr)
    {
        QFile f(store_->newStagingPath());
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qWarning() << "cannot stage" << f.fileName();
        f.close();
        const ImageStore::Filing r = store_->store(o, f.fileName());
        if (message)
            *message = r.message;
        return r.outcome;
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(MakeStationDatabases(folder_->path()));
        store_ = std::make_unique<ImageStore>(folder_->path());
        const Result opened = store_->openDatabase();
        QVERIFY2(opened, qPrintable(opened.text));
    }
    void cleanup()
    {
        store_.reset();
        folder_.reset();
    }

    // Person names split into their parts; UIDs that may name a file.
    void namesSplitAndUidsChecked()
    {
        ReceivedObject o;
        SplitPersonName(u"Muster^Erika^Maria^Dr.^=ムスター^エリカ"_s, o);
        QCOMPARE((QStringList{o.familyName, o.givenName, o.middleName}), (QStringList{"Muster", "Erika", "Maria"}));
        SplitPersonName(u"Single"_s, o); // the parts left out are cleared
        QCOMPARE((QStringList{o.familyName, o.givenName, o.middleName}), (QStringList{"Single", "", ""}));

        for (const char *good : {"1.2.840.10008.5.1.4.1.1.1.2", "1", "2.25.123456789012345678901234567890", "1.2.3-a_B"})
            QVERIFY2(IsSafeUidName(QLatin1String(good)), good);
        for (const char *bad : {"", "..", ".", "../x", "1.2/3", "1..2", ".1.2", "1.2.", "1 2", "a\\b", "1.2\n",
                                "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17.18.19.20.21.22.23.24.25.26.27.28"})
            QVERIFY2(!IsSafeUidName(QLatin1String(bad)), bad);
        QCOMPARE(put(object(u".."_s, u"1.9"_s, u"1.8"_s), "x"), ImageStore::Outcome::Rejected);
        QCOMPARE(put(object(u"1.7"_s, QString(), u"1.8"_s), "x"), ImageStore::Outcome::Rejected);
        QCOMPARE(CountRows(db(), u"tblImages"_s), 0);
        QCOMPARE(files(u"images/.incoming"_s), QStringList());
    }

    // The header as the receiver reads it, in each encoding a sender or a
    // file dropped into temp/ may bring: the same values every time.
    void headerInEveryEncoding_data()
    {
        QTest::addColumn<QStringList>("conversion"); // dcmconv's options; none: as written
        QTest::newRow("explicit little endian") << QStringList();
        QTest::newRow("implicit little endian") << QStringList{u"+ti"_s};
        QTest::newRow("explicit big endian") << QStringList{u"+tb"_s};
        QTest::newRow("deflated") << QStringList{u"+td"_s};
        QTest::newRow("no meta information, explicit") << QStringList{u"-F"_s, u"+te"_s};
        QTest::newRow("no meta information, implicit") << QStringList{u"-F"_s, u"+ti"_s};
    }
    void headerInEveryEncoding()
    {
        QFETCH(QStringList, conversion);
        const SyntheticImageSpec spec{.patientName = u"Müller^Jürgen^Maria"_s, .patientId = u"PÄ1"_s, .studyUid = NewSyntheticUid(),
                                      .seriesUid = NewSyntheticUid(), .sopUid = NewSyntheticUid(), .viewPosition = u"MLO"_s,
                                      .laterality = u"R"_s, .seriesNumber = 3, .instanceNumber = 7, .rows = 32, .columns = 24};
        QString file = folder_->file(u"view.dcm"_s);
        QVERIFY(WriteImage(spec, file));
        if (!conversion.isEmpty()) {
            QByteArray out;
            QVERIFY2(RunProgram(u"dcmconv"_s, conversion + QStringList{file, folder_->file(u"converted.dcm"_s)}, &out) == 0, out.constData());
            file = folder_->file(u"converted.dcm"_s);
        }
        ReceivedObject o;
        const Result read = ReadObjectHeader(file, &o);
        QVERIFY2(read, qPrintable(read.text));
        QCOMPARE((QStringList{o.patientId, o.familyName, o.givenName, o.middleName, o.studyUid, o.seriesUid, o.sopUid, o.viewPosition,
                              o.laterality, o.modality, o.studyDate, o.sopClassUid}),
                 (QStringList{spec.patientId, u"Müller"_s, u"Jürgen"_s, u"Maria"_s, spec.studyUid, spec.seriesUid, spec.sopUid, u"MLO"_s,
                              u"R"_s, u"MG"_s, spec.studyDate, spec.sopClassUid}));
        QCOMPARE(o.seriesNumber, std::optional<int>(3));
        QCOMPARE(o.instanceNumber, std::optional<int>(7));
    }

    // The limits of the header reading, each at its edge: an object within
    // them is read, one beyond is refused with the reason, whatever it holds.
    void headerReadingLimits_data()
    {
        QTest::addColumn<QByteArray>("items"); // of (0008,1115), implicit VR little endian
        QTest::addColumn<QByteArray>("patientId");
        QTest::addColumn<QString>("refusal"); // empty: read
        const QByteArray code = ImplicitElement(0x0008, 0x0100, "CODE01");
        QTest::newRow("32 sequences deep") << NestedItems(0x0008, 0x1115, 32) << QByteArray("P1") << QString();
        QTest::newRow("33 sequences deep") << NestedItems(0x0008, 0x1115, 33) << QByteArray("P1") << u"nested more than 32 deep"_s;
        QTest::newRow("100,000 items") << RepeatedItems(100000, code) << QByteArray("P1") << QString();
        QTest::newRow("100,001 items") << RepeatedItems(100001, code) << QByteArray("P1") << u"more than 100000 sequence items"_s;
        QTest::newRow("1,000,000 elements and more") << RepeatedItems(100000, code.repeated(10)) << QByteArray("P1")
                                                     << u"more than 1000000 data elements"_s;
        QTest::newRow("Patient ID of 1024 bytes") << NestedItems(0x0008, 0x1115, 1) << QByteArray(1024, 'P') << QString();
        QTest::newRow("Patient ID of 1026 bytes") << NestedItems(0x0008, 0x1115, 1) << QByteArray(1026, 'P') << u"(0010,0020) is 1026 bytes long"_s;
        QTest::newRow("sequence left open") << NestedItems(0x0008, 0x1115, 3).chopped(8) << QByteArray("P1")
                                            << u"a sequence holds (0010,0020) where an item belongs"_s;
    }
    void headerReadingLimits()
    {
        QFETCH(QByteArray, items);
        QFETCH(QByteArray, patientId);
        QFETCH(QString, refusal);
        const QString sop = NewSyntheticUid(), klass = u"1.2.840.10008.5.1.4.1.1.1.2"_s;
        RawObject object(RawObject::Encoding::ImplicitLittle);
        object.add(0x0008, 0x0016, "UI", klass.toLatin1())
            .add(0x0008, 0x0018, "UI", sop.toLatin1())
            .addSequence(0x0008, 0x1115, items)
            .add(0x0010, 0x0020, "LO", patientId)
            .add(0x0020, 0x000D, "UI", "1.2.3")
            .add(0x0020, 0x000E, "UI", "1.2.3.4");
        QVERIFY(object.write(folder_->file(u"object.dcm"_s), klass, sop));
        ReceivedObject o;
        const Result read = ReadObjectHeader(folder_->file(u"object.dcm"_s), &o);
        if (refusal.isEmpty()) {
            QVERIFY2(read, qPrintable(read.text));
            QCOMPARE(o.sopUid, sop);
            QCOMPARE(o.patientId, QString::fromLatin1(patientId));
        } else {
            QCOMPARE(read.number, ErrorCode::NotReadable);
            QVERIFY2(read.text.contains(refusal), qPrintable(read.text));
        }
    }

    void movedToAnotherStudy()
    {
        QCOMPARE(put(object(u"1.1"_s, u"1.1.1"_s, u"1.1.1.1"_s), "first"), ImageStore::Outcome::Stored);
        QCOMPARE(put(object(u"1.1"_s, u"1.1.1"_s, u"1.1.1.2"_s), "other"), ImageStore::Outcome::Stored);
        // The first image rewritten into a new study: its old file goes, the old study keeps the other image.
        ReceivedObject moved = object(u"1.2"_s, u"1.2.1"_s, u"1.1.1.1"_s);
        moved.patientId = u"P2"_s;
        QCOMPARE(put(moved, "moved"), ImageStore::Outcome::Stored);
        QVERIFY(!QFileInfo::exists(store_->imagePath(u"1.1"_s, u"1.1.1.1"_s)));
        QCOMPARE(folder_->read(u"images/1.2/1.1.1.1.dcm"_s), QByteArray("moved"));
        QCOMPARE(ImageRows(db()), (Counts{2, 2, 2, 2, 3}));
        // The second one follows: the emptied series, study and patient leave with it.
        moved.sopUid = u"1.1.1.2"_s;
        QCOMPARE(put(moved, "moved too"), ImageStore::Outcome::Stored);
        QCOMPARE(values(u"SELECT StudyUID, SeriesUID, PatID1 FROM tblStudies, tblSeries, tblPatienten"_s), u"1.2 1.2.1 P2"_s);
        QCOMPARE(CountRows(db(), u"tblReceive"_s), 4);

        // An image of the study naming another patient is refused: the study
        // stays with the patient it is filed under, with its rows and files.
        moved.patientId = u"P3"_s;
        QString message;
        QCOMPARE(put(moved, "renamed", &message), ImageStore::Outcome::Rejected);
        QVERIFY2(message.contains(u"\"P2\""_s) && message.contains(u"\"P3\""_s), qPrintable(message));
        QCOMPARE(values(u"SELECT PatID1, (SELECT COUNT(*) FROM tblStudies WHERE FKeyPATID = PatID) FROM tblPatienten"_s), u"P2 1"_s);
        QCOMPARE(CountRows(db(), u"tblImages"_s), 2);
        QCOMPARE(folder_->read(u"images/1.2/1.1.1.2.dcm"_s), QByteArray("moved too"));
        QCOMPARE(files(u"images/1.2"_s), (QStringList{u"1.1.1.1.dcm"_s, u"1.1.1.2.dcm"_s}));
        QCOMPARE(files(u"images/.incoming"_s), QStringList());
    }

    // An object sent again with corrected patient, study and series values
    // replaces what the rows held, including values that became empty.
    void correctedValuesReplaceTheOldOnes()
    {
        ReceivedObject o = object(u"1.6"_s, u"1.6.1"_s, u"1.6.1.1"_s);
        o.studyDescription = u"Mammo"_s;
        QCOMPARE(put(o, "v1"), ImageStore::Outcome::Stored);
        const QString rows = u"SELECT PatVorname, IFNULL(PatGebDatum, 'null'), IFNULL(StudyDescription, 'null'), SeriesNr "
                             "FROM tblPatienten, tblStudies, tblSeries"_s;
        QCOMPARE(values(rows), u"Jane null Mammo 1"_s);

        o.givenName = u"Janet"_s;
        o.birthDate = u"19600101"_s;
        o.studyDescription.clear();
        o.seriesNumber = 2;
        QCOMPARE(put(o, "v2"), ImageStore::Outcome::Stored);
        QCOMPARE(values(rows), u"Janet 19600101 null 2"_s);
        // The same values once more change nothing.
        QCOMPARE(put(o, "v3"), ImageStore::Outcome::Stored);
        QCOMPARE(values(rows), u"Janet 19600101 null 2"_s);
        QCOMPARE(folder_->read(u"images/1.6/1.6.1.1.dcm"_s), QByteArray("v3"));
    }

    void failedTransactionLeavesNoFileAndNoRow()
    {
        const ReceivedObject o = object(u"1.5"_s, u"1.5.1"_s, u"1.5.1.1"_s);
        QCOMPARE(put(o, "version 1"), ImageStore::Outcome::Stored);
        // The receipt insert fails after the other rows were written.
        QueryRows(db(), u"CREATE TRIGGER failReceipt BEFORE INSERT ON tblReceive BEGIN SELECT RAISE(ABORT, 'no receipts'); END"_s);

        QString message;
        ReceivedObject changed = o;
        changed.familyName = u"Changed"_s;
        QCOMPARE(put(changed, "version 2", &message), ImageStore::Outcome::Failed);
        QVERIFY2(message.contains(u"no receipts"_s), qPrintable(message));
        QCOMPARE(folder_->read(u"images/1.5/1.5.1.1.dcm"_s), QByteArray("version 1"));
        QCOMPARE(values(u"SELECT PatNachname FROM tblPatienten"_s), u"Doe"_s);

        QCOMPARE(put(object(u"1.6"_s, u"1.6.1"_s, u"1.6.1.1"_s), "new"), ImageStore::Outcome::Failed);
        QCOMPARE(files(u"images/1.6"_s), QStringList());
        QCOMPARE(ImageRows(db()), (Counts{1, 1, 1, 1, 1}));
        QCOMPARE(files(u"images/1.5"_s), QStringList{u"1.5.1.1.dcm"_s});
    }

    void waitsForTheWorkstationsWriteLockThenFails()
    {
        store_->closeDatabase();
        store_->database().setBusyTimeout(300);
        const ReceivedObject o = object(u"1.3"_s, u"1.3.1"_s, u"1.3.1.1"_s);
        {
            WriteLockHolder lock(db());
            QVERIFY(lock.held());
            QCOMPARE(put(o, "x"), ImageStore::Outcome::Failed);
            QVERIFY(!QFileInfo::exists(store_->imagePath(u"1.3"_s, u"1.3.1.1"_s)));
        }
        QCOMPARE(put(o, "x"), ImageStore::Outcome::Stored);
        QCOMPARE(files(u"images/1.3"_s), QStringList{u"1.3.1.1.dcm"_s});
    }

    // A file from temp/ is copied into the store first. Only a full disk stops
    // the receiver taking files in (tst_receiver); a copy that fails otherwise
    // is retried, so it must not read as a full disk.
    void copyFromTemp_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<qint32>("number");
        QTest::newRow("copied") << "view.dcm" << "copy.dcm" << ErrorCode::None;
        QTest::newRow("no such folder") << "view.dcm" << "gone/copy.dcm" << ErrorCode::WriteFailed;
        QTest::newRow("source gone") << "gone.dcm" << "copy.dcm" << ErrorCode::FileNotFound;
    }
    void copyFromTemp()
    {
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(qint32, number);
        QVERIFY(WriteImage({.rows = 64, .columns = 48}, folder_->file(u"view.dcm"_s)));
        const Result copied = CopyDicomFile(folder_->file(source), folder_->file(target));
        QCOMPARE(copied.number, number);
        QCOMPARE(copied.text.isEmpty(), copied.ok());
        if (copied.ok())
            QCOMPARE(folder_->read(target), folder_->read(source));
    }

    void leftoversOfAKilledReceiverAreRemoved()
    {
        QCOMPARE(put(object(u"1.4"_s, u"1.4.1"_s, u"1.4.1.1"_s), "kept"), ImageStore::Outcome::Stored);
        folder_->write(u"images/1.4/.1.4.1.2.part"_s, "half");
        folder_->write(u"images/1.4/.1.4.1.1.old"_s, "old");
        QFile(store_->newStagingPath()).open(QIODevice::WriteOnly); // in flight
        store_->removeLeftovers();
        QCOMPARE(files(u"images/1.4"_s), QStringList{u"1.4.1.1.dcm"_s});
        QCOMPARE(files(u"images/.incoming"_s), QStringList());
        QCOMPARE(folder_->read(u"images/1.4/1.4.1.1.dcm"_s), QByteArray("kept"));
    }
};

QTEST_GUILESS_MAIN(ReceiverStoreTest)
#include "tst_receiver_store.moc"
