// What the receiver promises a modality: once it answers "success", the image
// survives a power cut. strace watches the receiver while it takes an image and
// checks that the image file, its folder and the database commit were flushed
// before the answer went out, or before the dropped file left temp/.
#include "support/Station.h"
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/SyscallTrace.h"

static const QString kAet = u"DURABLE"_s;

enum class Intake { Store, TempFolder };
Q_DECLARE_METATYPE(Intake)

namespace {

bool isSend(const Syscall &c)
{
    return c.socket() && (c.write() || c.name == u"sendto"_s || c.name == u"sendmsg"_s);
}

// The flushes missing before the call at `promise`, one line each; empty when all were made.
QString MissingFlushes(const QList<Syscall> &calls, int promise, const QString &studyDir, const QString &sop, const QString &database)
{
    QStringList missing;
    const QString image = studyDir + u'/' + sop + u".dcm"_s;
    const QString part = studyDir + u"/."_s + sop + u".part"_s;
    const int placed = FindCall(calls, [&](const Syscall &c) { return c.rename() && c.path2 == image; });
    if (placed < 0 || placed > promise)
        return u"the image was not renamed into place before the promise"_s;
    const int imageFlush = FindCall(calls, [&](const Syscall &c) { return c.flush() && (c.path == part || c.path == image); });
    if (imageFlush < 0 || imageFlush > promise)
        missing << u"image file not flushed"_s;
    const int folderFlush = FindCall(calls, [&](const Syscall &c) { return c.flush() && c.path == studyDir; }, placed);
    if (folderFlush < 0 || folderFlush > promise)
        missing << u"study folder not flushed after the rename"_s;
    int lastDbWrite = -1;
    for (int i = 0; i < promise; ++i)
        if (calls.at(i).write() && calls.at(i).path.startsWith(database))
            lastDbWrite = i;
    const int dbFlush = FindCall(calls, [&](const Syscall &c) { return c.flush() && c.path.startsWith(database); }, lastDbWrite);
    if (lastDbWrite < 0 || dbFlush < 0 || dbFlush > promise)
        missing << u"database commit not flushed"_s;
    return missing.join(u"; "_s);
}

} // namespace

class DurabilityTest : public QObject {
    Q_OBJECT

private slots:
    void flushedBeforeThePromise_data()
    {
        QTest::addColumn<Intake>("intake");
        QTest::newRow("C-STORE answered") << Intake::Store;
        QTest::newRow("file dropped into temp/ removed") << Intake::TempFolder;
    }
    void flushedBeforeThePromise()
    {
        QFETCH(Intake, intake);
        TestFolder folder;
        QVERIFY(MakeStationDatabases(folder.path()));
        const quint16 port = FreePort();
        WriteReceiverSettings(folder, kAet, QString::number(port));
        CompanionProcess receiver(ReceiverProgram(), folder.path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(kAet, port));

        const SyntheticImageSpec spec{.patientId = u"DUR1"_s, .studyUid = NewSyntheticUid(), .sopUid = NewSyntheticUid()};
        const QString root = QFileInfo(folder.path()).canonicalFilePath();
        const QString studyDir = root + u"/images/"_s + spec.studyUid;
        const QString database = root + u"/Data/LumoraData.dat"_s;
        const QString source = folder.file(intake == Intake::Store ? u"in/one.dcm"_s : u"one.dcm"_s);
        QVERIFY(WriteImage(spec, source));

        SyscallTrace trace;
        QVERIFY(trace.attach(receiver.process().processId()));
        if (intake == Intake::Store) {
            QByteArray output;
            QVERIFY2(Store(kAet, port, {source}, &output) == 0, output.constData());
        } else {
            // Moved in whole and aged, so the intake takes it on its next poll.
            const QString dropped = folder.file(u"temp/"_s + spec.sopUid + u".dcm"_s);
            QVERIFY(QDir().mkpath(folder.file(u"temp"_s)));
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
            file.close();
            QVERIFY(QFile::rename(source, dropped));
            QVERIFY(WaitFor([&] { return !QFileInfo::exists(dropped); }, 20000));
        }
        const QList<Syscall> calls = trace.detach();
        QVERIFY2(QFileInfo::exists(studyDir + u'/' + spec.sopUid + u".dcm"_s), "the image was not filed");

        const int placed = FindCall(calls, [&](const Syscall &c) { return c.rename() && c.path2.endsWith(u'/' + spec.sopUid + u".dcm"_s); });
        QVERIFY2(placed >= 0, "no rename into the images folder was seen");
        const int promise = intake == Intake::Store
            ? FindCall(calls, isSend, placed)
            : FindCall(calls, [&](const Syscall &c) { return c.unlink() && c.path.endsWith(u"/temp/"_s + spec.sopUid + u".dcm"_s); }, placed);
        QVERIFY2(promise >= 0, "the answer or the removal from temp/ was not seen");
        const QString missing = MissingFlushes(calls, promise, studyDir, spec.sopUid, database);
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
};

QTEST_GUILESS_MAIN(DurabilityTest)
#include "tst_durability.moc"
