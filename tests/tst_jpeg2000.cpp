// JPEG 2000 from arrival to the partner: the receiver keeps what storescu
// proposes to it, the decoder gives a partner that takes only uncompressed
// images the exact pixels, and the viewer shows what it can and logs why not.
#include "acquisition/ViewerPanel.h"
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "toolkit/ToolkitNetwork.h"
#include "toolkit/ToolkitViewer.h"
#include "transfer/ImageExport.h"
#include "support/Widgets.h"

#include <functional>
#include <numeric>

namespace {

const QString kAet = u"J2KRCV"_s;
const QString kPydicom = u"/usr/lib/python3/dist-packages/pydicom/data/test_files/"_s;

// The data set of a file, without preamble and meta header.
QByteArray dataSetBytes(const QString &path)
{
    const QByteArray b = ReadFile(path);
    if (b.size() < 144 || b.mid(128, 4) != "DICM")
        return b;
    return b.mid(144 + qFromLittleEndian<quint32>(b.constData() + 140));
}

// The file's first fragment after the offset table: where it starts, how long it is.
QPair<qsizetype, quint32> firstFragment(const QByteArray &file)
{
    const qsizetype table = file.lastIndexOf(QByteArray("\xE0\x7F\x10\x00OB", 6)) + 12;
    const qsizetype item = table + 8 + qFromLittleEndian<quint32>(file.constData() + table + 4);
    return {item + 8, qFromLittleEndian<quint32>(file.constData() + item + 4)};
}

// The file with its (single) code stream changed; the fragment's length follows.
QByteArray withCodeStream(QByteArray file, const std::function<void(QByteArray &)> &change)
{
    const auto [at, length] = firstFragment(file);
    QByteArray stream = file.mid(at, length), lengthBytes(4, '\0');
    change(stream);
    stream.resize(stream.size() + stream.size() % 2, '\0');
    qToLittleEndian<quint32>(quint32(stream.size()), lengthBytes.data());
    return file.left(at - 4) + lengthBytes + stream + file.mid(at + length);
}

// What OpenJPEG's own tool decodes from the file's code stream, stored as the
// header says: 16-bit samples little endian, sign-extended from Bits Stored
// when Pixel Representation says signed.
QByteArray openJpegSamples(const QString &dicom, const TestFolder &folder)
{
    const QByteArray file = ReadFile(dicom);
    const auto [at, length] = firstFragment(file);
    folder.write(u"stream.jp2"_s, file.mid(at, length));
    RunProgram(u"opj_decompress"_s, {u"-i"_s, folder.file(u"stream.jp2"_s), u"-o"_s, folder.file(u"stream.pnm"_s)});
    const QByteArray pnm = folder.read(u"stream.pnm"_s); // "P5" or "P6", comments, "<w> <h>", "<max>", the samples
    qsizetype next = 0;
    for (int lines = 0; lines < 3 && next < pnm.size(); next = pnm.indexOf('\n', next) + 1)
        lines += pnm.at(next) != '#';
    QByteArray samples = pnm.mid(next);
    const QString dump = Dump(dicom);
    const int shift = DumpedValue(dump, u"0028,0103"_s) == "1"_L1 ? 16 - DumpedValue(dump, u"0028,0101"_s).toInt() : 0;
    const qsizetype end = DumpedValue(dump, u"0028,0100"_s) == "16"_L1 ? samples.size() - 1 : 0;
    for (qsizetype i = 0; i < end; i += 2)
        qToLittleEndian<qint16>(qint16(qFromBigEndian<quint16>(samples.constData() + i) << shift) >> shift, samples.data() + i);
    return samples;
}

// The value of a file's uncompressed pixel data element (tag, VR, length, value).
QByteArray pixelValue(const QString &path)
{
    const QByteArray element = PixelDataOfFile(path);
    return element.size() < 12 ? QByteArray() : element.mid(12, qFromLittleEndian<quint32>(element.constData() + 8));
}

} // namespace

class Jpeg2000Test : public QObject {
    Q_OBJECT

    TestFolder folder_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;
    StorePeer plain_; // takes uncompressed images only

    QString file(const QString &name) const { return folder_.file(u"in/"_s + name); }

    // The same image as JPEG 2000 (name) and uncompressed (name-plain).
    bool writePair(const QString &name, SyntheticImageSpec spec, SyntheticImageSpec::Encoding encoding)
    {
        spec.sopUid = NewSyntheticUid();
        const bool plain = WriteImage(spec, file(name + u"-plain.dcm"_s));
        spec.encoding = encoding;
        return plain && WriteImage(spec, file(name + u".dcm"_s));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(MakeStationDatabases(folder_.path()));
        port_ = FreePort();
        WriteReceiverSettings(folder_, kAet, QString::number(port_));
        receiver_ = std::make_unique<CompanionProcess>(ReceiverProgram(), folder_.path());
        QVERIFY(receiver_->start() && receiver_->waitUntilAnswering(kAet, port_));
        QVERIFY(plain_.start(folder_.file(u"plain"_s), u"PLAIN"_s));

        using E = SyntheticImageSpec::Encoding;
        QVERIFY(writePair(u"mammogram"_s, FourViews(4096, 3328, 16, true).first(), E::Jpeg2000Lossless));
        SyntheticImageSpec small{.rows = 300, .columns = 211};
        QVERIFY(writePair(u"small12"_s, small, E::Jpeg2000Lossless));
        small.bitsStored = 8;
        QVERIFY(writePair(u"small8"_s, small, E::Jpeg2000Lossless));
        small.bitsStored = 16;
        QVERIFY(writePair(u"lossy"_s, small, E::Jpeg2000));
        // JP2-wrapped colour; the receiver files nothing without a patient.
        QVERIFY(QFile::copy(kPydicom + u"GDCMJ2K_TextGBR.dcm"_s, file(u"jp2.dcm"_s)));
        QCOMPARE(RunProgram(u"dcmodify"_s, {u"-nb"_s, u"-i"_s, u"(0010,0020)=JP2"_s, file(u"jp2.dcm"_s)}), 0);
    }
    void cleanupTestCase() { QCOMPARE(receiver_->terminate(), 0); }

    // storescu proposes JPEG 2000 alone first; the receiver takes that context
    // and files the data set as it came.
    void receiverKeepsWhatArrives_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("proposal");
        const QString lossless = u"-xv"_s, lossy = u"-xw"_s;
        QTest::newRow("MR lossless") << kPydicom + u"MR_small_jp2klossless.dcm"_s << lossless;
        QTest::newRow("lossy") << kPydicom + u"JPEG2000.dcm"_s << lossy;
        QTest::newRow("signedness mismatch") << kPydicom + u"J2K_pixelrep_mismatch.dcm"_s << lossless;
        QTest::newRow("JP2 colour") << file(u"jp2.dcm"_s) << lossless;
        QTest::newRow("full-size mammogram") << file(u"mammogram.dcm"_s) << lossless;
        QTest::newRow("synthetic lossy") << file(u"lossy.dcm"_s) << lossy;
    }
    void receiverKeepsWhatArrives()
    {
        QFETCH(QString, path);
        QFETCH(QString, proposal);
        const QString syntax = DumpTag(path, u"0002,0010"_s);
        const QString sop = DumpTag(path, u"0008,0018"_s);
        QByteArray out;
        QVERIFY2(Store(kAet, port_, {path}, &out, {proposal, u"-R"_s, u"-d"_s}) == 0, out.right(1500).constData());
        const QString accepted = proposal == "-xv"_L1 ? u"JPEG2000LosslessOnly"_s : u"JPEG2000"_s;
        QVERIFY2(out.contains("Accepted Transfer Syntax: =" + accepted.toLatin1() + '\n'), out.constData());
        const QString stored = folder_.file(u"images/%1/%2.dcm"_s.arg(DumpTag(path, u"0020,000d"_s), sop));
        QCOMPARE(DumpTag(stored, u"0002,0010"_s), syntax);
        // The data set as storescu puts it on the wire: explicit lengths, no trailing padding.
        const QString wire = folder_.file(u"wire.dcm"_s);
        QCOMPARE(RunProgram(u"dcmconv"_s, {u"-p"_s, path, wire}), 0);
        QVERIFY(dataSetBytes(stored) == dataSetBytes(wire));
        QCOMPARE(QueryValue(folder_.file(u"Data/LumoraData.dat"_s), u"SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?"_s, {sop}).toInt(), 1);
    }

    // A partner that takes only uncompressed images gets the decoded pixels:
    // exactly the uncompressed source's for lossless code streams, and for a
    // lossy one the header's size and bits with plausible values, still
    // marked lossy.
    void partnerGetsTheDecodedPixels_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("source"); // the uncompressed source, "opj_decompress" for that tool's output, or empty: lossy
        QTest::newRow("full-size 16-bit mammogram") << file(u"mammogram.dcm"_s) << file(u"mammogram-plain.dcm"_s);
        QTest::newRow("12-bit") << file(u"small12.dcm"_s) << file(u"small12-plain.dcm"_s);
        QTest::newRow("8-bit") << file(u"small8.dcm"_s) << file(u"small8-plain.dcm"_s);
        QTest::newRow("MR signed") << kPydicom + u"MR_small_jp2klossless.dcm"_s << kPydicom + u"MR_small.dcm"_s;
        QTest::newRow("JP2 colour") << file(u"jp2.dcm"_s) << u"opj_decompress"_s;
        QTest::newRow("signedness mismatch") << kPydicom + u"J2K_pixelrep_mismatch.dcm"_s << u"opj_decompress"_s;
        QTest::newRow("lossy") << kPydicom + u"JPEG2000.dcm"_s << QString();
        QTest::newRow("synthetic lossy") << file(u"lossy.dcm"_s) << QString();
    }
    void partnerGetsTheDecodedPixels()
    {
        QFETCH(QString, path);
        QFETCH(QString, source);
        plain_.clear();
        const ToolkitImagePtr image = ReadImage(path);
        QVERIFY(image);
        ToolkitAssociation a;
        Result e;
        QVERIFY2(a.OpenAssociation(u"127.0.0.1"_s, plain_.port(), u"LUMORA"_s, u"PLAIN"_s, &e), qPrintable(e.text));
        QVERIFY2(a.SendImage(image, &e), qPrintable(e.text));
        a.CloseAssociation();
        QCOMPARE(plain_.received().size(), 1);
        const QString got = plain_.folder() + QLatin1Char('/') + plain_.received().first();
        const QString sent = Dump(path), arrived = Dump(got);
        QCOMPARE(DumpedValue(arrived, u"0002,0010"_s), u"1.2.840.10008.1.2.1"_s);
        for (const char *tag : {"0028,0010", "0028,0011", "0028,0101", "0028,0103", "0028,2110", "0028,2112", "0028,2114"})
            QCOMPARE(DumpedValue(arrived, QLatin1String(tag)), DumpedValue(sent, QLatin1String(tag)));
        const QByteArray value = pixelValue(got);
        if (!source.isEmpty()) {
            QVERIFY(value == (source == "opj_decompress"_L1 ? openJpegSamples(path, folder_) : pixelValue(source)));
            return;
        }
        // Lossy, and still marked so: the header's size, values in the range the
        // header gives (else the synthetic image's) give or take the ringing.
        QCOMPARE(DumpedValue(arrived, u"0028,2110"_s), u"01"_s);
        QCOMPARE(value.size(), 2 * DumpedValue(sent, u"0028,0010"_s).toInt() * DumpedValue(sent, u"0028,0011"_s).toInt());
        const QString largest = DumpedValue(sent, u"0028,0107"_s);
        const double top = largest == "<missing>"_L1 ? 65535 : largest.toDouble();
        const bool isSigned = DumpedValue(sent, u"0028,0103"_s) == "1"_L1;
        QList<double> v;
        for (qsizetype i = 0; i < value.size(); i += 2)
            v << (isSigned ? qFromLittleEndian<qint16>(value.constData() + i) : qFromLittleEndian<quint16>(value.constData() + i));
        const double mean = std::accumulate(v.begin(), v.end(), 0.0) / v.size();
        const auto [low, high] = std::minmax_element(v.begin(), v.end());
        const QString stats = u"mean %1 min %2 max %3"_s.arg(mean).arg(*low).arg(*high);
        QVERIFY2(mean > 0.02 * top && mean < 0.95 * top && *high - *low > 0.5 * top, qPrintable(stats));
        QVERIFY2(*low > -0.2 * top && *high < 1.2 * top, qPrintable(stats));
    }

    // Tiles are decoded at a reduced resolution; the operator then double-clicks
    // a tile and exports the image: the single view and the JPEG show every
    // pixel of a full decode, the same as the uncompressed twin gives.
    void fullViewAndExportAfterReducedTiles()
    {
        ViewerPanel panel;
        ToolkitViewer &dicomViewer = *panel.findChild<ToolkitViewer *>(u"dv1"_s);
        dicomViewer.setColumns(2);
        dicomViewer.setRows(2);
        panel.placeGrid(QRect(0, 0, 211, 300)); // the image's own size: the single view shows it 1:1
        const ToolkitImagePtr image = ReadImage(file(u"small12.dcm"_s)), plain = ReadImage(file(u"small12-plain.dcm"_s));
        QVERIFY(image && plain);
        dicomViewer.addImage(image);
        panel.show();
        QVERIFY(WaitFor([&] { return dicomViewer.viewComplete(); }, 20000));

        QTest::mouseDClick(&dicomViewer, Qt::LeftButton, Qt::NoModifier, dicomViewer.tileRect(0).center());
        QVERIFY(dicomViewer.singleView());
        QVERIFY(WaitFor([&] { return dicomViewer.viewComplete(); }, 20000));
        QCOMPARE(dicomViewer.singleImageRect(), QRectF(0, 0, 211, 300));
        const QImage shown = dicomViewer.grab().toImage(), full = RenderImage(plain, QSize());
        QCOMPARE(full.size(), QSize(211, 300));
        int differing = 0;
        for (int y = 0; y < full.height(); ++y)
            for (int x = 0; x < full.width(); ++x)
                differing += qGray(shown.pixel(x, y)) != qGray(full.pixel(x, y));
        QCOMPARE(differing, 0);

        RecordingPrompter prompts;
        QList<QByteArray> jpegs;
        for (const ToolkitImagePtr &exported : {image, plain}) {
            const QString out = folder_.file(u"jpeg%1"_s.arg(jpegs.size()));
            QVERIFY(QDir().mkpath(out));
            ImageExport job({.kind = ExportKind::Jpeg, .folder = out, .images = {exported}}, {}, prompts);
            QVERIFY(job.run() && job.written() == 1);
            const QStringList files = QDir(out + u'/' + ImagePatient(exported).exportKey).entryList({u"*.jpg"_s});
            QCOMPARE(files.size(), 1);
            jpegs << ReadFile(out + u'/' + ImagePatient(exported).exportKey + u'/' + files.first());
        }
        QVERIFY(!jpegs.first().isEmpty() && jpegs.first() == jpegs.last());
    }

    // Each bad code stream: its tile an empty frame, a log line with the file
    // and the reason; a code stream signed otherwise than the header says is
    // shown as the header says, with a log line; the good one beside them shows.
    void badCodeStreamsShowEmptyTilesAndAreLogged()
    {
        const QByteArray good = ReadFile(file(u"small12.dcm"_s));
        QByteArray sizeMismatch = good;
        qToLittleEndian<quint16>(280, sizeMismatch.data() + sizeMismatch.indexOf(QByteArray("\x28\x00\x10\x00US\x02\x00", 8)) + 8);
        auto big32 = [](QByteArray &b, qsizetype at, quint32 v) { qToBigEndian<quint32>(v, b.data() + at); };
        const QList<std::tuple<QString, QByteArray, QString>> bad = {
            {u"truncated"_s, withCodeStream(good, [](QByteArray &s) { s.truncate(s.size() / 2); }),
             u"decoding failed: Tile part length size inconsistent with stream length"_s},
            {u"size-mismatch"_s, sizeMismatch, u"the code stream is 211 x 300 pixels, the header says 211 x 280"_s},
            {u"corrupt-tile-part"_s, withCodeStream(good, [](QByteArray &s) { s.replace(s.indexOf("\xFF\x90") + 40, 160, QByteArray(160, '\xFF')); }),
             u"decoding failed: Invalid bit number"_s},
            {u"huge"_s, withCodeStream(good, [&](QByteArray &s) { for (int at : {8, 12, 24, 28}) big32(s, at, 100000); }),
             u"the code stream is 100000 x 100000 pixels, the header says 211 x 300"_s},
        };
        ViewerPanel panel; // logs what its grid cannot draw
        ToolkitViewer &dicomViewer = *panel.findChild<ToolkitViewer *>(u"dv1"_s);
        dicomViewer.setColumns(3);
        dicomViewer.setRows(2);
        panel.placeGrid(QRect(0, 0, 600, 400));
        for (const auto &[name, bytes, reason] : bad) {
            folder_.write(u"bad/%1.dcm"_s.arg(name), bytes);
            dicomViewer.addImage(ReadImage(folder_.file(u"bad/%1.dcm"_s.arg(name))));
        }
        dicomViewer.addImage(ReadImage(kPydicom + u"J2K_pixelrep_mismatch.dcm"_s));
        dicomViewer.addImage(ReadImage(file(u"small12.dcm"_s)));
        QCOMPARE(dicomViewer.imageCount(), 6);
        panel.show();
        QVERIFY(WaitFor([&] { return dicomViewer.viewComplete(); }, 60000));
        const QImage shot = dicomViewer.grab().toImage();
        const QString log = QString::fromUtf8(folder_.read(u"Logs/Error.log"_s));
        for (int i = 0; i < bad.size(); ++i) {
            const QString line = folder_.file(u"bad/%1.dcm: JPEG 2000: "_s.arg(std::get<0>(bad[i]))) + std::get<2>(bad[i]);
            QVERIFY2(log.contains(line), qPrintable(line + u"\nnot in\n"_s + log));
            QCOMPARE(shot.pixelColor(dicomViewer.tileRect(i).center()), QColor(Qt::black));
        }
        QVERIFY2(log.contains(kPydicom + QStringLiteral("J2K_pixelrep_mismatch.dcm: JPEG 2000: the code stream's samples are unsigned, "
                                                           "Pixel Representation says signed; read as signed")),
                 qPrintable(log));
        QVERIFY(qGray(shot.pixel(dicomViewer.tileRect(4).center())) > 20); // the CT's body
        QVERIFY(qGray(shot.pixel(dicomViewer.tileRect(5).center())) > 60); // the breast
        QCOMPARE(log.count(QLatin1Char('\n')), 5); // once each
    }
};

QTEST_MAIN(Jpeg2000Test)
#include "tst_jpeg2000.moc"
