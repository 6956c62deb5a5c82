// The synthetic image writer that every later test and benchmark feeds on,
// checked with DCMTK's own command-line tools.
#include "support/Station.h"
#include "toolkit/SyntheticImage.h"

#include <QFile>
#include <QtTest>

class SyntheticTest : public QObject {
    Q_OBJECT

    static QString dump(const QString &file, const QStringList &tags)
    {
        QStringList args{QStringLiteral("-M"), QStringLiteral("+L"), QStringLiteral("-Un")};
        for (const QString &t : tags)
            args << QStringLiteral("+P") << t;
        args << file;
        QByteArray out;
        if (RunProgram(QStringLiteral("dcmdump"), args, &out) != 0)
            return QStringLiteral("dcmdump failed: ") + QString::fromUtf8(out);
        return QString::fromUtf8(out);
    }
    static QString valueOf(const QString &dumpText, const QString &tag)
    {
        for (const QString &line : dumpText.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1Char('(') + tag.toLower() + QLatin1Char(')'))) {
                const int a = line.indexOf(QLatin1Char('['));
                const int b = line.indexOf(QLatin1Char(']'), a);
                if (a >= 0 && b > a)
                    return line.mid(a + 1, b - a - 1);
                const int sp = line.indexOf(QLatin1Char(' '), 13);
                return line.mid(sp + 1).section(QLatin1Char(' '), 0, 0).trimmed();
            }
        }
        return QStringLiteral("<missing %1>").arg(tag);
    }
    // DCMTK's renderer with the JPEG and RLE decoders; the JPEG-LS one for JPEG-LS.
    static QByteArray render(const QString &file, const QString &out, const QString &tool = QStringLiteral("dcmj2pnm"))
    {
        QByteArray log;
        if (RunProgram(tool, {QStringLiteral("+Wm"), file, out}, &log) != 0)
            return QByteArray("render failed: ") + log;
        QFile f(out);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void chosenAttributesAreWritten()
    {
        TestFolder f;
        SyntheticImageSpec spec;
        spec.patientName = QStringLiteral("O'Hara^Kate^Ann");
        spec.patientId = QStringLiteral("ID-77");
        spec.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1");
        spec.seriesUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.2");
        spec.sopUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.2.3");
        spec.viewPosition = QStringLiteral("MLO");
        spec.laterality = QStringLiteral("R");
        spec.rows = 300;
        spec.columns = 200;
        spec.bitsStored = 14;
        spec.monochrome1 = true;
        spec.extra = {{QStringLiteral("0018,0060"), QStringLiteral("28")}};
        const QString path = f.file(QStringLiteral("a.dcm"));
        QString why;
        QVERIFY2(WriteSyntheticImage(spec, path, &why), qPrintable(why));
        const QString d = dump(path, {});
        QCOMPARE(valueOf(d, QStringLiteral("0010,0010")), spec.patientName);
        QCOMPARE(valueOf(d, QStringLiteral("0010,0020")), spec.patientId);
        QCOMPARE(valueOf(d, QStringLiteral("0020,000d")), spec.studyUid);
        QCOMPARE(valueOf(d, QStringLiteral("0020,000e")), spec.seriesUid);
        QCOMPARE(valueOf(d, QStringLiteral("0008,0018")), spec.sopUid);
        QCOMPARE(valueOf(d, QStringLiteral("0002,0003")), spec.sopUid);
        QCOMPARE(valueOf(d, QStringLiteral("0008,0016")), QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"));
        QCOMPARE(valueOf(d, QStringLiteral("0018,5101")), QStringLiteral("MLO"));
        QCOMPARE(valueOf(d, QStringLiteral("0020,0062")), QStringLiteral("R"));
        QCOMPARE(valueOf(d, QStringLiteral("0028,0010")), QStringLiteral("300"));
        QCOMPARE(valueOf(d, QStringLiteral("0028,0011")), QStringLiteral("200"));
        QCOMPARE(valueOf(d, QStringLiteral("0028,0100")), QStringLiteral("16"));
        QCOMPARE(valueOf(d, QStringLiteral("0028,0101")), QStringLiteral("14"));
        QCOMPARE(valueOf(d, QStringLiteral("0028,0004")), QStringLiteral("MONOCHROME1"));
        QCOMPARE(valueOf(d, QStringLiteral("0018,0060")), QStringLiteral("28"));
        QCOMPARE(valueOf(d, QStringLiteral("0002,0010")), QStringLiteral("1.2.840.10008.1.2.1"));
    }

    void monochrome1ShowsLikeMonochrome2()
    {
        // The same anatomy stored inverted under MONOCHROME1 must display the same.
        TestFolder f;
        SyntheticImageSpec spec;
        spec.rows = 64;
        spec.columns = 48;
        spec.bitsStored = 8;
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("m2.dcm"))));
        spec.monochrome1 = true;
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("m1.dcm"))));
        const QByteArray a = render(f.file(QStringLiteral("m2.dcm")), f.file(QStringLiteral("m2.pgm")));
        const QByteArray b = render(f.file(QStringLiteral("m1.dcm")), f.file(QStringLiteral("m1.pgm")));
        QVERIFY2(a.startsWith("P5"), a.left(200).constData());
        QCOMPARE(a, b);
        // And the marker corner is bright, the far side dark.
        const int header = a.size() - 64 * 48;
        QVERIFY(quint8(a[header]) > 200);
        QVERIFY(quint8(a[header + 63 * 48 + 47]) < 60 || quint8(a[header + 63 * 48]) < 60);
    }

    void compressedEncodingsAreLossless_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QString>("uid");
        QTest::newRow("implicit") << int(SyntheticImageSpec::Encoding::ImplicitLittle) << "1.2.840.10008.1.2";
        QTest::newRow("jpeg lossless") << int(SyntheticImageSpec::Encoding::JpegLossless) << "1.2.840.10008.1.2.4.70";
        QTest::newRow("jpeg-ls") << int(SyntheticImageSpec::Encoding::JpegLs) << "1.2.840.10008.1.2.4.80";
        QTest::newRow("rle") << int(SyntheticImageSpec::Encoding::Rle) << "1.2.840.10008.1.2.5";
    }
    void compressedEncodingsAreLossless()
    {
        QFETCH(int, encoding);
        QFETCH(QString, uid);
        TestFolder f;
        SyntheticImageSpec spec;
        spec.rows = 128;
        spec.columns = 96;
        spec.sopUid = NewSyntheticUid();
        QVERIFY(WriteSyntheticImage(spec, f.file(QStringLiteral("plain.dcm"))));
        spec.encoding = static_cast<SyntheticImageSpec::Encoding>(encoding);
        QString why;
        QVERIFY2(WriteSyntheticImage(spec, f.file(QStringLiteral("packed.dcm")), &why), qPrintable(why));
        QCOMPARE(valueOf(dump(f.file(QStringLiteral("packed.dcm")), {}), QStringLiteral("0002,0010")), uid);
        const QByteArray a = render(f.file(QStringLiteral("plain.dcm")), f.file(QStringLiteral("plain.pgm")));
        const bool jpegLs = spec.encoding == SyntheticImageSpec::Encoding::JpegLs;
        const QByteArray b = render(f.file(QStringLiteral("packed.dcm")), f.file(QStringLiteral("packed.pgm")),
                                    jpegLs ? QStringLiteral("dcml2pnm") : QStringLiteral("dcmj2pnm"));
        QVERIFY2(a.startsWith("P5"), a.left(200).constData());
        QCOMPARE(a, b);
    }

    void fullSizeMammogram()
    {
        TestFolder f;
        SyntheticImageSpec spec;
        spec.rows = 4096;
        spec.columns = 3328;
        spec.bitsStored = 16;
        const QString path = f.file(QStringLiteral("full.dcm"));
        QVERIFY(WriteSyntheticImage(spec, path));
        QVERIFY(QFileInfo(path).size() > 4096LL * 3328 * 2);
        QCOMPARE(valueOf(dump(path, {}), QStringLiteral("0028,0010")), QStringLiteral("4096"));
    }

    void badInputIsRefused()
    {
        TestFolder f;
        SyntheticImageSpec spec;
        spec.rows = 0;
        QString why;
        QVERIFY(!WriteSyntheticImage(spec, f.file(QStringLiteral("x.dcm")), &why));
        QVERIFY(!why.isEmpty());
        spec.rows = 8;
        spec.extra = {{QStringLiteral("00zz,0010"), QStringLiteral("x")}};
        QVERIFY(!WriteSyntheticImage(spec, f.file(QStringLiteral("y.dcm")), &why));
        spec.extra.clear();
        QVERIFY(!WriteSyntheticImage(spec, f.file(QStringLiteral("no/such/folder/z.dcm")), &why));
    }

    void uidsAreUnique()
    {
        QSet<QString> seen;
        for (int i = 0; i < 1000; ++i)
            seen.insert(NewSyntheticUid());
        QCOMPARE(seen.size(), 1000);
        QVERIFY(NewSyntheticUid().size() <= 64);
    }
};

QTEST_GUILESS_MAIN(SyntheticTest)
#include "tst_synthetic.moc"
