// Associations against DCMTK's storescp: images stored as held in memory,
// compressed images decompressed when the partner takes only uncompressed ones,
// verification, and partners that refuse or are not there.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "toolkit/ToolkitNetwork.h"

namespace {

const QString Host = u"127.0.0.1"_s, Calling = u"LumoraStation"_s, Called = u"ARCHIVE"_s;

} // namespace

class AssociationTest : public QObject {
    Q_OBJECT

private slots:
    // An attribute changed in memory travels; a compressed image goes as it is
    // when the partner takes its syntax and losslessly decompressed when not,
    // while its file stays compressed (JPEG 2000: tst_jpeg2000).
    void storesAsHeldInMemory_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("arrives");
        using E = SyntheticImageSpec::Encoding;
        QTest::newRow("uncompressed") << int(E::ExplicitLittle) << QStringList() << "1.2.840.10008.1.2.1";
        QTest::newRow("jpeg-ls to an uncompressed-only partner") << int(E::JpegLs) << QStringList() << "1.2.840.10008.1.2.1";
        QTest::newRow("jpeg lossless accepted") << int(E::JpegLossless) << QStringList{"+xa"} << "1.2.840.10008.1.2.4.70";
    }
    void storesAsHeldInMemory()
    {
        QFETCH(int, encoding);
        QFETCH(QStringList, options);
        QFETCH(QString, arrives);
        TestFolder f;
        StorePeer peer;
        QVERIFY(peer.start(f.file(u"out"_s), Called, options));
        SyntheticImageSpec spec{.sopUid = NewSyntheticUid(), .rows = 96, .columns = 64};
        QVERIFY(WriteSyntheticImage(spec, f.file(u"plain.dcm"_s)));
        spec.encoding = SyntheticImageSpec::Encoding(encoding);
        const QString source = f.file(u"sent.dcm"_s);
        QVERIFY(WriteSyntheticImage(spec, source));
        const QString sourceSyntax = DumpTag(source, u"0002,0010"_s);
        ToolkitImagePtr image = ReadImage(source);
        QVERIFY(image && SetAttribute(image, 0x0018, 0x0060, u"28"_s));

        ToolkitAssociation a;
        Result e;
        QVERIFY2(a.OpenAssociation(Host, peer.port(), Calling, Called, &e), qPrintable(e.text));
        QVERIFY2(a.SendImage(image, &e), qPrintable(e.text));
        a.CloseAssociation();
        QVERIFY(!a.isOpen());

        QCOMPARE(peer.received().size(), 1);
        const QString got = peer.folder() + u'/' + peer.received().first();
        QCOMPARE(DumpTag(got, u"0002,0010"_s), arrives);
        QCOMPARE(DumpTag(got, u"0008,0018"_s), spec.sopUid);
        QCOMPARE(DumpTag(got, u"0018,0060"_s), u"28"_s);
        // Lossless on the way: the pixels as sent, or as the uncompressed twin holds them.
        const QByteArray pixels = PixelDataOfFile(got);
        QVERIFY(!pixels.isEmpty() && pixels == PixelDataOfFile(arrives == sourceSyntax ? source : f.file(u"plain.dcm"_s)));
        QCOMPARE(DumpTag(source, u"0002,0010"_s), sourceSyntax);
    }

    void verification()
    {
        TestFolder f;
        StorePeer peer;
        QVERIFY(peer.start(f.file(u"out"_s), Called));
        Result e;
        QVERIFY2(VerifyPartner(Host, peer.port(), Calling, Called, &e), qPrintable(e.text));
        QVERIFY(!VerifyPartner(Host, peer.port(), Calling, u"A-TITLE-FAR-TOO-LONG"_s, &e));
        // The error names the address that could not be reached.
        const int nobody = FreePort();
        QVERIFY(!VerifyPartner(Host, nobody, Calling, Called, &e) && e.text.contains(QString::number(nobody)));
        QVERIFY(!ToolkitAssociation().OpenAssociation(Host, nobody, Calling, Called, &e));
        QVERIFY(!VerifyPartner(Host, 70000, Calling, Called, &e) && e.text.contains(u"70000"_s));
        QVERIFY(!VerifyPartner(u"::1"_s, FreePort(), Calling, Called, &e) && e.text.contains(u"::1"_s));
    }

    void partnerThatFails_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("replaceFolder"); // the partner cannot store: a failure status
        QTest::newRow("refuses the association") << QStringList{"--refuse"} << false;
        QTest::newRow("aborts during the store") << QStringList{"--abort-during"} << false;
        QTest::newRow("aborts after the request") << QStringList{"--abort-after"} << false;
        QTest::newRow("never answers") << QStringList{"--sleep-during", "20"} << false;
        QTest::newRow("answers a failure status") << QStringList{} << true;
    }
    void partnerThatFails()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, replaceFolder);
        TestFolder f;
        StorePeer peer;
        QVERIFY(peer.start(f.file(u"out"_s), Called, options));
        if (replaceFolder) {
            QVERIFY(QDir(f.file(u"out"_s)).removeRecursively());
            f.write(u"out"_s, "a file where the folder was");
        }
        QVERIFY(WriteSyntheticImage({.rows = 64, .columns = 48}, f.file(u"a.dcm"_s)));
        const ToolkitImagePtr image = ReadImage(f.file(u"a.dcm"_s));
        ToolkitAssociation a;
        a.setTimeoutSeconds(2);
        Result e;
        const bool opened = a.OpenAssociation(Host, peer.port(), Calling, Called, &e);
        QCOMPARE(opened, !options.contains(u"--refuse"_s));
        if (opened) {
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!a.SendImage(image, &e));
            QVERIFY2(clock.elapsed() < 15000, "a partner that does not answer must not hold the send for ever");
        }
        QVERIFY(!e.text.isEmpty());
        if (replaceFolder) {
            QVERIFY2(e.text.contains(u"status"_s), qPrintable(e.text));
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
