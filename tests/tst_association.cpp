// Associations against DCMTK's storescp: images stored as held in memory,
// compressed images decompressed when the partner takes only uncompressed ones,
// verification, and partners that refuse or are not there.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/SendJob.h"
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
        QTest::newRow("jpeg 2000 to an uncompressed-only partner") << int(SyntheticImageSpec::Encoding::Jpeg2000Lossless) << QStringList() << "1.2.840.10008.1.2.1";
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
        ToolkitImagePtr image = ReadImage(source);
        QVERIFY(image);
        QVERIFY(SetAttribute(image, 0x0018, 0x0060, QStringLiteral("28")));

        ToolkitAssociation a;
        ToolkitError e;
        QVERIFY2(a.OpenAssociation(Host, peer.port(), Calling, Called, &e), qPrintable(e.text));
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
        const QByteArray pixels = PixelDataOfFile(got);
        QVERIFY(!pixels.isEmpty());
        QVERIFY(pixels == PixelDataOfFile(arrives == sourceSyntax ? source : f.file(QStringLiteral("plain.dcm"))));
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
        // The error names the address that could not be reached.
        const int nobody = FreePort();
        QVERIFY(!VerifyPartner(Host, nobody, Calling, Called, &e));
        QVERIFY(e.text.contains(QString::number(nobody)));
        QVERIFY(!ToolkitAssociation().OpenAssociation(Host, nobody, Calling, Called, &e));
        QVERIFY(!VerifyPartner(Host, 70000, Calling, Called, &e));
        QVERIFY(e.text.contains(QStringLiteral("70000")));
        QVERIFY(!VerifyPartner(QStringLiteral("::1"), FreePort(), Calling, Called, &e));
        QVERIFY(e.text.contains(QStringLiteral("::1")));
    }

    void partnerThatFails_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("replaceFolder"); // the partner cannot store: a failure status
        QTest::newRow("refuses the association") << QStringList{QStringLiteral("--refuse")} << false;
        QTest::newRow("aborts during the store") << QStringList{QStringLiteral("--abort-during")} << false;
        QTest::newRow("aborts after the request") << QStringList{QStringLiteral("--abort-after")} << false;
        QTest::newRow("never answers") << QStringList{QStringLiteral("--sleep-during"), QStringLiteral("20")} << false;
        QTest::newRow("answers a failure status") << QStringList{} << true;
    }
    void partnerThatFails()
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
        const ToolkitImagePtr image = ReadImage(f.file(QStringLiteral("a.dcm")));
        ToolkitAssociation a;
        a.setTimeoutSeconds(2);
        ToolkitError e;
        const bool opened = a.OpenAssociation(Host, peer.port(), Calling, Called, &e);
        QCOMPARE(opened, !options.contains(QStringLiteral("--refuse")));
        if (opened) {
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!a.SendImage(image, &e));
            QVERIFY2(clock.elapsed() < 15000, "a partner that does not answer must not hold the send for ever");
        }
        QVERIFY(!e.text.isEmpty());
        if (replaceFolder) {
            QVERIFY2(e.text.contains(QStringLiteral("status")), qPrintable(e.text));
            QVERIFY(a.isOpen()); // a refused image leaves the association usable
        } else {
            QVERIFY(!a.isOpen());
            QVERIFY(!a.SendImage(image, &e)); // and fails at once
        }
        a.CloseAssociation(); // also when it never opened
    }
};

QTEST_GUILESS_MAIN(AssociationTest)
#include "tst_association.moc"
