// Associations against DCMTK's storescp: images stored as held in memory,
// compressed images decompressed when the partner takes only uncompressed ones,
// verification, and partners that refuse or are not there.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/Station.h"
#include "toolkit/SyntheticImage.h"
#include "toolkit/ToolkitNetwork.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>

namespace {

const QString Host = QStringLiteral("127.0.0.1");
const QString Calling = QStringLiteral("LumoraStation");
const QString Called = QStringLiteral("ARCHIVE");

ToolkitImagePtr load(const QString &path)
{
    ToolkitImageList list;
    ToolkitError e;
    if (!ReadFileIntoList(list, path, &e))
        qWarning() << e.text;
    return ListItem(list, 1);
}

// The pixel data element, from its tag to the end of the file.
QByteArray pixelData(const QString &file)
{
    QFile f(file);
    const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const qsizetype at = bytes.lastIndexOf(QByteArray("\xE0\x7F\x10\x00", 4));
    return at < 0 ? QByteArray() : bytes.mid(at);
}

} // namespace

class AssociationTest : public QObject {
    Q_OBJECT

private slots:
    // An attribute changed in memory travels; a compressed image goes as it is
    // when the partner takes its syntax and losslessly decompressed when not,
    // while its file stays compressed.
    void storesAsHeldInMemory_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("arrives");
        QTest::newRow("uncompressed") << int(SyntheticImageSpec::Encoding::ExplicitLittle) << QStringList() << "1.2.840.10008.1.2.1";
        QTest::newRow("jpeg-ls to an uncompressed-only partner") << int(SyntheticImageSpec::Encoding::JpegLs) << QStringList() << "1.2.840.10008.1.2.1";
        QTest::newRow("jpeg lossless accepted") << int(SyntheticImageSpec::Encoding::JpegLossless) << QStringList{"+xa"} << "1.2.840.10008.1.2.4.70";
    }
    void storesAsHeldInMemory()
    {
        QFETCH(int, encoding);
        QFETCH(QStringList, options);
        QFETCH(QString, arrives);
        TestFolder f;
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), Called, options));
        SyntheticImageSpec spec;
        spec.rows = 96;
        spec.columns = 64;
        spec.sopUid = NewSyntheticUid();
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("plain.dcm"))));
        spec.encoding = SyntheticImageSpec::Encoding(encoding);
        const QString source = f.file(QStringLiteral("sent.dcm"));
        QVERIFY(WriteSyntheticImage(spec, source));
        const QString sourceSyntax = DumpTag(source, QStringLiteral("0002,0010"));
        ToolkitImagePtr image = load(source);
        QVERIFY(image);
        QVERIFY(SetAttribute(image, 0x0018, 0x0060, QStringLiteral("28")));

        ToolkitAssociation a;
        ToolkitError e;
        QVERIFY2(a.OpenAssociation(Host, peer.port(), Calling, Called, &e), qPrintable(e.text));
        QVERIFY(a.isOpen());
        QVERIFY2(a.SendImage(image, &e), qPrintable(e.text));
        a.CloseAssociation();
        QVERIFY(!a.isOpen());

        const QStringList received = peer.received();
        QCOMPARE(received.size(), 1);
        const QString got = peer.folder() + QLatin1Char('/') + received.first();
        QCOMPARE(DumpTag(got, QStringLiteral("0002,0010")), arrives);
        QCOMPARE(DumpTag(got, QStringLiteral("0008,0018")), spec.sopUid);
        QCOMPARE(DumpTag(got, QStringLiteral("0018,0060")), QStringLiteral("28"));
        // Lossless on the way: the pixels as sent, or as the uncompressed twin holds them.
        const QByteArray pixels = pixelData(got);
        QVERIFY(pixels.size() > 100);
        QVERIFY(pixels == pixelData(arrives == sourceSyntax ? source : f.file(QStringLiteral("plain.dcm"))));
        QCOMPARE(DumpTag(source, QStringLiteral("0002,0010")), sourceSyntax);
    }

    void verification()
    {
        TestFolder f;
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), Called));
        ToolkitError e;
        QVERIFY2(VerifyPartner(Host, peer.port(), Calling, Called, &e), qPrintable(e.text));
        QVERIFY(!VerifyPartner(Host, peer.port(), Calling, QStringLiteral("A-TITLE-FAR-TOO-LONG"), &e));
        QVERIFY(!VerifyPartner(Host, 0, Calling, Called, &e));
        // The error names the address that could not be reached.
        const int nobody = FreePort();
        QVERIFY(!VerifyPartner(Host, nobody, Calling, Called, &e));
        QVERIFY(e.text.contains(QString::number(nobody)));
        QVERIFY(!VerifyPartner(Host, 70000, Calling, Called, &e));
        QVERIFY(e.text.contains(QStringLiteral("70000")));
        QVERIFY(!VerifyPartner(QStringLiteral("::1"), FreePort(), Calling, Called, &e));
        QVERIFY(e.text.contains(QStringLiteral("::1")));
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
        QVERIFY(peer.start(f.file(QStringLiteral("out")), Called, options));
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
        QVERIFY(a.OpenAssociation(Host, peer.port(), Calling, Called, &e));
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

    void refusedOrAbsentPartner()
    {
        TestFolder f;
        StorePeer peer;
        QVERIFY(peer.start(f.file(QStringLiteral("out")), Called, {QStringLiteral("--refuse")}));
        ToolkitAssociation a;
        ToolkitError e;
        QVERIFY(!a.OpenAssociation(Host, peer.port(), Calling, Called, &e));
        QVERIFY(!e.text.isEmpty());
        QVERIFY(!a.isOpen());
        QVERIFY(!a.SendImage(UnreadableImage(QStringLiteral("x")), &e));
        QVERIFY(!a.OpenAssociation(Host, FreePort(), Calling, Called, &e));
        a.CloseAssociation(); // closing what never opened does nothing
    }
};

QTEST_GUILESS_MAIN(AssociationTest)
#include "tst_association.moc"
