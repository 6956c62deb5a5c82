// The receiver's store on its own: rows and files for replaced, moved and
// failed objects, and the names it refuses to turn into paths.
#include "companions/receiver/ImageStore.h"
#include "support/Station.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class ReceiverStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<ImageStore> store_;
    QString db() const { return folder_->file(QStringLiteral("Data/LumoraData.dat")); }
    qlonglong count(const QString &table) const { return CountRows(db(), table); }
    QStringList files(const QString &folder) const { return QDir(folder_->file(folder)).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

    static ReceivedObject object(const QString &study, const QString &series, const QString &sop)
    {
        ReceivedObject o;
        o.patientId = QStringLiteral("P1");
        SplitPersonName(QStringLiteral("Doe^Jane"), o);
        o.studyUid = study;
        o.seriesUid = series;
        o.sopUid = sop;
        o.seriesNumber = 1;
        o.instanceNumber = 1;
        return o;
    }
    // A complete file in the staging folder with the given content.
    QString staged(const QByteArray &content)
    {
        QFile f(store_->newStagingPath());
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qWarning() << "cannot stage" << f.fileName();
        return f.fileName();
    }
    ImageStore::Outcome put(const ReceivedObject &o, const QByteArray &content, QString *message = nullptr)
    {
        const ImageStore::Result r = store_->store(o, staged(content));
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
        QString error;
        QVERIFY2(store_->openDatabase(&error), qPrintable(error));
    }
    void cleanup()
    {
        store_.reset();
        folder_.reset();
    }

    void personNameComponents()
    {
        ReceivedObject o;
        SplitPersonName(QStringLiteral("Muster^Erika^Maria^Dr.^=ムスター^エリカ"), o);
        QCOMPARE((QStringList{o.familyName, o.givenName, o.middleName}), (QStringList{"Muster", "Erika", "Maria"}));
        SplitPersonName(QStringLiteral("Single"), o); // the parts left out are cleared
        QCOMPARE((QStringList{o.familyName, o.givenName, o.middleName}), (QStringList{"Single", "", ""}));
    }

    void uidNames()
    {
        for (const char *good : {"1.2.840.10008.5.1.4.1.1.1.2", "1", "2.25.123456789012345678901234567890", "1.2.3-a_B"})
            QVERIFY2(IsSafeUidName(QLatin1String(good)), good);
        for (const char *bad : {"", "..", ".", "../x", "1.2/3", "1..2", ".1.2", "1.2.", "1 2", "a\\b", "1.2\n",
                                "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17.18.19.20.21.22.23.24.25.26.27.28"})
            QVERIFY2(!IsSafeUidName(QLatin1String(bad)), bad);
        QCOMPARE(put(object(QStringLiteral(".."), QStringLiteral("1.9"), QStringLiteral("1.8")), "x"), ImageStore::Outcome::Rejected);
        QCOMPARE(put(object(QStringLiteral("1.7"), QString(), QStringLiteral("1.8")), "x"), ImageStore::Outcome::Rejected);
        QCOMPARE(count(QStringLiteral("tblImages")), 0);
        QCOMPARE(files(QStringLiteral("images/.incoming")), QStringList());
    }

    void movedToAnotherStudy()
    {
        QCOMPARE(put(object(QStringLiteral("1.1"), QStringLiteral("1.1.1"), QStringLiteral("1.1.1.1")), "first"), ImageStore::Outcome::Stored);
        QCOMPARE(put(object(QStringLiteral("1.1"), QStringLiteral("1.1.1"), QStringLiteral("1.1.1.2")), "other"), ImageStore::Outcome::Stored);
        // The first image rewritten into a new study: its old file goes, the old study keeps the other image.
        ReceivedObject moved = object(QStringLiteral("1.2"), QStringLiteral("1.2.1"), QStringLiteral("1.1.1.1"));
        moved.patientId = QStringLiteral("P2");
        QCOMPARE(put(moved, "moved"), ImageStore::Outcome::Stored);
        QVERIFY(!QFileInfo::exists(store_->imagePath(QStringLiteral("1.1"), QStringLiteral("1.1.1.1"))));
        QCOMPARE(folder_->read(QStringLiteral("images/1.2/1.1.1.1.dcm")), QByteArray("moved"));
        QCOMPARE(count(QStringLiteral("tblImages")), 2);
        QCOMPARE(count(QStringLiteral("tblStudies")), 2);
        // The second one follows: the emptied series, study and patient leave with it.
        moved.sopUid = QStringLiteral("1.1.1.2");
        QCOMPARE(put(moved, "moved too"), ImageStore::Outcome::Stored);
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT StudyUID FROM tblStudies")), (QList<QVariantList>{{QStringLiteral("1.2")}}));
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT SeriesUID FROM tblSeries")), (QList<QVariantList>{{QStringLiteral("1.2.1")}}));
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT PatID1 FROM tblPatienten")), (QList<QVariantList>{{QStringLiteral("P2")}}));
        QCOMPARE(count(QStringLiteral("tblReceive")), 4);

        // The whole study given to another patient: the one left without studies goes.
        ReceivedObject renamed = moved;
        renamed.patientId = QStringLiteral("P3");
        QCOMPARE(put(renamed, "renamed"), ImageStore::Outcome::Stored);
        QCOMPARE(QueryRows(db(), QStringLiteral("SELECT PatID1 FROM tblPatienten")), (QList<QVariantList>{{QStringLiteral("P3")}}));
        QCOMPARE(count(QStringLiteral("tblImages")), 2);
        QCOMPARE(QueryValue(db(), QStringLiteral("SELECT COUNT(*) FROM tblStudies s JOIN tblPatienten p ON p.PatID = s.FKeyPATID WHERE p.PatID1 = 'P3'")).toInt(), 1);
    }

    // An object sent again with corrected patient, study and series values
    // replaces what the rows held, including values that became empty.
    void correctedValuesReplaceTheOldOnes()
    {
        ReceivedObject o = object(QStringLiteral("1.6"), QStringLiteral("1.6.1"), QStringLiteral("1.6.1.1"));
        o.studyDescription = QStringLiteral("Mammo");
        QCOMPARE(put(o, "v1"), ImageStore::Outcome::Stored);
        const QString patient = QStringLiteral("SELECT PatVorname, IFNULL(PatGebDatum, 'null') FROM tblPatienten");
        const QString rest = QStringLiteral("SELECT IFNULL(s.StudyDescription, 'null'), r.SeriesNr FROM tblStudies s JOIN tblSeries r ON r.FKeyStudyID = s.StudyID");
        QCOMPARE(QueryRows(db(), patient), (QList<QVariantList>{{QStringLiteral("Jane"), QStringLiteral("null")}}));

        o.givenName = QStringLiteral("Janet");
        o.birthDate = QStringLiteral("19600101");
        o.studyDescription.clear();
        o.seriesNumber = 2;
        QCOMPARE(put(o, "v2"), ImageStore::Outcome::Stored);
        QCOMPARE(QueryRows(db(), patient), (QList<QVariantList>{{QStringLiteral("Janet"), QStringLiteral("19600101")}}));
        QCOMPARE(QueryRows(db(), rest), (QList<QVariantList>{{QStringLiteral("null"), 2}}));

        // The same values once more change nothing.
        QCOMPARE(put(o, "v3"), ImageStore::Outcome::Stored);
        QCOMPARE(QueryRows(db(), patient), (QList<QVariantList>{{QStringLiteral("Janet"), QStringLiteral("19600101")}}));
        QCOMPARE(count(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(folder_->read(QStringLiteral("images/1.6/1.6.1.1.dcm")), QByteArray("v3"));
    }

    void failedTransactionLeavesNoFileAndNoRow()
    {
        const ReceivedObject o = object(QStringLiteral("1.5"), QStringLiteral("1.5.1"), QStringLiteral("1.5.1.1"));
        QCOMPARE(put(o, "version 1"), ImageStore::Outcome::Stored);
        // The receipt insert fails after the other rows were written.
        Database other(QStringLiteral("trigger"), QStringLiteral("test"));
        other.setPath(db());
        QVERIFY(other.open());
        QVERIFY(Execute(other, QStringLiteral("CREATE TRIGGER failReceipt BEFORE INSERT ON tblReceive BEGIN SELECT RAISE(ABORT, 'no receipts'); END")).ok);
        other.close();

        QString message;
        ReceivedObject changed = o;
        changed.familyName = QStringLiteral("Changed");
        QCOMPARE(put(changed, "version 2", &message), ImageStore::Outcome::Failed);
        QVERIFY2(message.contains(QStringLiteral("no receipts")), qPrintable(message));
        QCOMPARE(folder_->read(QStringLiteral("images/1.5/1.5.1.1.dcm")), QByteArray("version 1"));
        QCOMPARE(QueryValue(db(), QStringLiteral("SELECT PatNachname FROM tblPatienten")).toString(), QStringLiteral("Doe"));

        QCOMPARE(put(object(QStringLiteral("1.6"), QStringLiteral("1.6.1"), QStringLiteral("1.6.1.1")), "new"), ImageStore::Outcome::Failed);
        QCOMPARE(files(QStringLiteral("images/1.6")), QStringList());
        QCOMPARE(count(QStringLiteral("tblImages")), 1);
        QCOMPARE(count(QStringLiteral("tblStudies")), 1);
        QCOMPARE(files(QStringLiteral("images/1.5")), QStringList{QStringLiteral("1.5.1.1.dcm")});
    }

    void waitsForTheWorkstationsWriteLockThenFails()
    {
        store_->closeDatabase();
        store_->database().setBusyTimeout(300);
        const ReceivedObject o = object(QStringLiteral("1.3"), QStringLiteral("1.3.1"), QStringLiteral("1.3.1.1"));
        {
            WriteLockHolder lock(db());
            QVERIFY(lock.held());
            QCOMPARE(put(o, "x"), ImageStore::Outcome::Failed);
            QVERIFY(!QFileInfo::exists(store_->imagePath(QStringLiteral("1.3"), QStringLiteral("1.3.1.1"))));
        }
        QCOMPARE(put(o, "x"), ImageStore::Outcome::Stored);
        QCOMPARE(files(QStringLiteral("images/1.3")), QStringList{QStringLiteral("1.3.1.1.dcm")});
    }

    void leftoversOfAKilledReceiverAreRemoved()
    {
        QCOMPARE(put(object(QStringLiteral("1.4"), QStringLiteral("1.4.1"), QStringLiteral("1.4.1.1")), "kept"), ImageStore::Outcome::Stored);
        folder_->write(QStringLiteral("images/1.4/.1.4.1.2.part"), "half");
        folder_->write(QStringLiteral("images/1.4/.1.4.1.1.old"), "old");
        staged("in flight");
        store_->removeLeftovers();
        QCOMPARE(files(QStringLiteral("images/1.4")), QStringList{QStringLiteral("1.4.1.1.dcm")});
        QCOMPARE(files(QStringLiteral("images/.incoming")), QStringList());
        QCOMPARE(folder_->read(QStringLiteral("images/1.4/1.4.1.1.dcm")), QByteArray("kept"));
    }
};

QTEST_GUILESS_MAIN(ReceiverStoreTest)
#include "tst_receiver_store.moc"
