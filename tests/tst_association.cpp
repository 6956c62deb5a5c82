// Associations against DCMTK's storescp: images stored as held in memory,
// compressed images decompressed when the partner takes only uncompressed ones,
// verification, and partners that refuse or are not there.
#include "support/Peers.h"
#include "support/Station.h"
#include "toolkit/SyntheticImage.h"
#include "toolkit/ToolkitNetwork.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

QString dump(const QString &file)
{
    QByteArray out;
    RunProgram(QStringLiteral("dcmdump"), {QStringLiteral("-M"), QStringLiteral("-Un"), file}, &out);
    return QString::fromUtf8(out);
}

ToolkitImagePtr load(const QString &path)
{
    ToolkitImageList list;
    ToolkitError e;
    if (!ReadFileIntoList(list, path, &e))
        qWarning() << e.text;
    return ListItem(list, 1);
}

// Stores the file over an association of its own to the peer; the one file the
// peer then holds in `out`, empty with the reason in *why otherwise.
QString storeOne(const QString &file, quint16 port, const QString &out, QString *why)
{
    ToolkitAssociation a;
    ToolkitError e;
    if (!a.OpenAssociation(QStringLiteral("127.0.0.1"), port, QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e)
        || !a.SendImage(load(file), &e)) {
        *why = e.text;
        return {};
    }
    a.CloseAssociation();
    const QStringList received = QDir(out).entryList(QDir::Files);
    if (received.size() != 1) {
        *why = QStringLiteral("the peer holds %1 files").arg(received.size());
        return {};
    }
    return out + QLatin1Char('/') + received.first();
}

} // namespace

class AssociationTest : public QObject {
    Q_OBJECT

private slots:
    void storesWhatIsHeldInMemory()
    {
        TestFolder f;
        QDir().mkpath(f.file(QStringLiteral("in")));
        QDir().mkpath(f.file(QStringLiteral("out")));
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), QStringLiteral("ARCHIVE")));

        SyntheticImageSpec spec;
        spec.sopUid = NewSyntheticUid();
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("in/a.dcm"))));
        ToolkitImagePtr image = load(f.file(QStringLiteral("in/a.dcm")));
        QVERIFY(image);
        QVERIFY(SetAttribute(image, 0x0018, 0x0060, QStringLiteral("28")));

        ToolkitAssociation a;
        ToolkitError e;
        QVERIFY2(a.OpenAssociation(QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e),
                 qPrintable(e.text));
        QVERIFY(a.isOpen());
        QVERIFY2(a.SendImage(image, &e), qPrintable(e.text));
        a.CloseAssociation();
        QVERIFY(!a.isOpen());

        const QStringList received = QDir(f.file(QStringLiteral("out"))).entryList(QDir::Files);
        QCOMPARE(received.size(), 1);
        const QString d = dump(f.file(QStringLiteral("out/")) + received.first());
        QVERIFY2(d.contains(QStringLiteral("(0018,0060) DS [28]")), qPrintable(d.left(2000)));
        QVERIFY(d.contains(spec.sopUid));
    }

    void compressedImageTravelsDecompressedWhenNeeded()
    {
        TestFolder f;
        QDir().mkpath(f.file(QStringLiteral("out")));
        StorePeer peer; // storescp takes uncompressed syntaxes only by default
        QVERIFY(peer.start(f.file(QStringLiteral("out")), QStringLiteral("ARCHIVE")));
        SyntheticImageSpec spec;
        spec.rows = 96;
        spec.columns = 64;
        spec.encoding = SyntheticImageSpec::Encoding::JpegLs;
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("packed.dcm"))));
        spec.encoding = SyntheticImageSpec::Encoding::ExplicitLittle;
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("plain.dcm"))));

        QString why;
        const QString got = storeOne(f.file(QStringLiteral("packed.dcm")), peer.port(), f.file(QStringLiteral("out")), &why);
        QVERIFY2(!got.isEmpty(), qPrintable(why));
        QVERIFY(!dump(got).contains(QStringLiteral("1.2.840.10008.1.2.4.80")));
        QByteArray a1, a2;
        QCOMPARE(RunProgram(QStringLiteral("dcm2pnm"), {QStringLiteral("+Wm"), got, f.file(QStringLiteral("got.pgm"))}, &a1), 0);
        QCOMPARE(RunProgram(QStringLiteral("dcm2pnm"), {QStringLiteral("+Wm"), f.file(QStringLiteral("plain.dcm")), f.file(QStringLiteral("plain.pgm"))}, &a2), 0);
        QCOMPARE(f.read(QStringLiteral("got.pgm")), f.read(QStringLiteral("plain.pgm"))); // lossless on the way
        // The file it came from stays compressed.
        QVERIFY(dump(f.file(QStringLiteral("packed.dcm"))).contains(QStringLiteral("1.2.840.10008.1.2.4.80")));
    }

    void compressedImageStaysCompressedWhenAccepted()
    {
        TestFolder f;
        QDir().mkpath(f.file(QStringLiteral("out")));
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), QStringLiteral("ARCHIVE"), {QStringLiteral("+xa")})); // accept all syntaxes
        SyntheticImageSpec spec;
        spec.rows = 64;
        spec.columns = 48;
        spec.encoding = SyntheticImageSpec::Encoding::JpegLossless;
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("packed.dcm"))));
        QString why;
        const QString got = storeOne(f.file(QStringLiteral("packed.dcm")), peer.port(), f.file(QStringLiteral("out")), &why);
        QVERIFY2(!got.isEmpty(), qPrintable(why));
        QVERIFY(dump(got).contains(QStringLiteral("1.2.840.10008.1.2.4.70")));
    }

    void verification()
    {
        TestFolder f;
        QDir().mkpath(f.file(QStringLiteral("out")));
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), QStringLiteral("ARCHIVE")));
        ToolkitError e;
        QVERIFY2(VerifyPartner(QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e),
                 qPrintable(e.text));
        const int nobody = FreePort();
        QVERIFY(!VerifyPartner(QStringLiteral("127.0.0.1"), nobody, QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e));
        QVERIFY(e.text.contains(QString::number(nobody)));
        QVERIFY(!VerifyPartner(QStringLiteral("127.0.0.1"), 0, QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e));
        QVERIFY(!VerifyPartner(QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("LumoraStation"), QStringLiteral("A-TITLE-FAR-TOO-LONG"), &e));
    }

    void partnerThatFailsMidway_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("replaceFolder"); // the partner cannot store: a failure status
        QTest::newRow("aborts during the store") << QStringList{QStringLiteral("--abort-during")} << false;
        QTest::newRow("aborts after the request") << QStringList{QStringLiteral("--abort-after")} << false;
        QTest::newRow("never answers") << QStringList{QStringLiteral("--sleep-during"), QStringLiteral("20")} << false;
        QTest::newRow("answers a failure status") << QStringList{} << true;
    }
    void partnerThatFailsMidway()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, replaceFolder);
        TestFolder f;
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), QStringLiteral("ARCHIVE"), options));
        if (replaceFolder) {
            QVERIFY(QDir(f.file(QStringLiteral("out"))).removeRecursively());
            f.write(QStringLiteral("out"), "a file where the folder was");
        }
        SyntheticImageSpec spec;
        spec.rows = 64;
        spec.columns = 48;
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("a.dcm"))));
        ToolkitAssociation a;
        a.setTimeoutSeconds(2);
        ToolkitError e;
        QVERIFY(a.OpenAssociation(QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!a.SendImage(load(f.file(QStringLiteral("a.dcm"))), &e));
        QVERIFY(!e.text.isEmpty());
        QVERIFY2(clock.elapsed() < 15000, "a partner that does not answer must not hold the send for ever");
        if (replaceFolder) {
            QVERIFY2(e.text.contains(QStringLiteral("status")), qPrintable(e.text));
            QVERIFY(a.isOpen()); // a refused image leaves the association usable
        } else {
            QVERIFY(!a.isOpen());
            QVERIFY(!a.SendImage(load(f.file(QStringLiteral("a.dcm"))), &e)); // and fails at once
        }
        a.CloseAssociation();
    }

    void addressesThatCannotBeReached()
    {
        ToolkitError e;
        QVERIFY(!VerifyPartner(QStringLiteral("::1"), FreePort(), QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e));
        QVERIFY(e.text.contains(QStringLiteral("::1")));
        QVERIFY(!VerifyPartner(QStringLiteral("127.0.0.1"), 70000, QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e));
        QVERIFY(e.text.contains(QStringLiteral("70000")));
    }

    void refusedOrAbsentPartner()
    {
        TestFolder f;
        QDir().mkpath(f.file(QStringLiteral("out")));
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), QStringLiteral("ARCHIVE"), {QStringLiteral("--refuse")}));
        ToolkitAssociation a;
        ToolkitError e;
        QVERIFY(!a.OpenAssociation(QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e));
        QVERIFY(!e.text.isEmpty());
        QVERIFY(!a.isOpen());
        QVERIFY(!a.SendImage(UnreadableImage(QStringLiteral("x")), &e));
        QVERIFY(!a.OpenAssociation(QStringLiteral("127.0.0.1"), FreePort(), QStringLiteral("LumoraStation"), QStringLiteral("ARCHIVE"), &e));
        a.CloseAssociation(); // closing what never opened does nothing
    }
};

QTEST_GUILESS_MAIN(AssociationTest)
#include "tst_association.moc"
