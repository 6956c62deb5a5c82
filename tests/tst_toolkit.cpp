// The toolkit operations: attributes, SOP class, writing and reading back,
// bad files, encodings and rendering, checked with DCMTK's own tools. Nested
// sequences, written and replaced: tst_stamping's stamped and validated files.
#include "support/Dicom.h"
#include "support/SendJob.h"
#include "support/Station.h"

namespace {

// Mean grey of a rectangle given in fractions of the picture.
double meanGrey(const QImage &img, QRectF frac)
{
    const QRect r(int(frac.x() * img.width()), int(frac.y() * img.height()),
                  std::max(1, int(frac.width() * img.width())), std::max(1, int(frac.height() * img.height())));
    double sum = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            sum += qGray(img.pixel(x, y));
    return sum / (r.width() * r.height());
}

// The marker (top left) white, the air (top right) black.
bool markerWhiteAirBlack(const QImage &pic)
{
    const double marker = meanGrey(pic, {0.0, 0.0, 0.08, 0.08}), air = meanGrey(pic, {0.9, 0.0, 0.1, 0.1});
    if (marker > 230 && air < 25)
        return true;
    qWarning("marker %g, air %g", marker, air);
    return false;
}

// DCMTK's picture of the file (min-max window) as PGM bytes: dcmj2pnm has the
// JPEG and RLE decoders, dcml2pnm the JPEG-LS one.
QByteArray dcmtkPicture(const QString &file, const QString &tool)
{
    QByteArray log;
    if (RunProgram(tool, {u"+Wm"_s, file, file + u".pgm"_s}, &log) != 0)
        return QByteArray("render failed: ") + log;
    return ReadFile(file + u".pgm"_s);
}

} // namespace

class ToolkitTest : public QObject {
    Q_OBJECT

    TestFolder folder_;

    QString make(const QString &name, const SyntheticImageSpec &spec = {})
    {
        const QString path = folder_.file(name);
        WriteImage(spec, path);
        return path;
    }

private slots:
    void attributesRoundTripThroughAFile()
    {
        const ToolkitImagePtr img = ReadImage(make(u"a.dcm"_s, {.patientName = u"O'Brien^Mary"_s}));
        QVERIFY(img && img->isValid());
        QCOMPARE(GetAttribute(img, 0x0010, 0x0010).value, u"O'Brien^Mary"_s);
        QVERIFY(!GetAttribute(img, 0x0010, 0x1030).exists && GetAttribute(img, 0x0010, 0x1030).value.isEmpty()); // weight
        const ToolkitAttribute type = GetAttribute(img, 0x0008, 0x0008);
        QCOMPARE(type.value, u"ORIGINAL|PRIMARY"_s);
        QVERIFY(type.isMultiValued() && !GetAttribute(img, 0x0010, 0x0020).isMultiValued());
        QCOMPARE((QStringList{type.valueAt(0), type.valueAt(1), type.valueAt(2), type.valueAt(3)}), (QStringList{"", "ORIGINAL", "PRIMARY", ""}));

        QVERIFY(SetAttribute(img, 0x0018, 0x0060, u"28"_s));           // replaces nothing: new
        QVERIFY(SetAttribute(img, 0x0010, 0x0010, u"D'Arcy^Anna"_s)); // replaces
        QVERIFY(SetAttribute(img, 0x0020, 0x0013, qint16(7)));         // IS: written as text
        QVERIFY(SetAttribute(img, 0x0028, 0x0006, qint16(1)));         // US: binary
        QVERIFY(SetAttribute(img, 0x0009, 0x1010, u"private"_s));     // unknown tag: text
        QVERIFY(SetAttribute(img, 0x0008, 0x0008, u"DERIVED|SECONDARY|POST"_s));
        QVERIFY(RemoveAttribute(img, 0x0010, 0x0030));
        QVERIFY(!RemoveAttribute(img, 0x0010, 0x0030));
        const QString dx = u"1.2.840.10008.5.1.4.1.1.1.1"_s;
        QVERIFY(SetImageSopClass(img, dx));

        const QString out = folder_.file(u"a-out.dcm"_s);
        Result e;
        QVERIFY2(WriteDicomFile(img, out, &e), qPrintable(e.text));
        const ToolkitImagePtr back = ReadImage(out);
        QVERIFY(back);
        QCOMPARE(GetAttribute(back, 0x0009, 0x1010).value, u"private"_s);
        // The SOP class reaches the file meta too.
        QStringList dumped;
        const QString text = Dump(out);
        for (const char *tag : {"0018,0060", "0010,0010", "0020,0013", "0028,0006", "0008,0008", "0002,0002", "0008,0016", "0010,0030"})
            dumped << DumpedValue(text, QLatin1String(tag));
        QCOMPARE(dumped, (QStringList{"28", "D'Arcy^Anna", "7", "1", "DERIVED\\SECONDARY\\POST", dx, dx, "<missing>"}));
    }

    // A value the workstation writes into a header (a task, a stamped code
    // item): the image keeps its set when that holds the value, otherwise it
    // moves to UTF-8 with the text it had converted.
    void writtenTextKeepsASetThatHoldsIt_data()
    {
        QTest::addColumn<QString>("charset"); // the image's texts are in it
        QTest::addColumn<bool>("declared");   // and it says so
        QTest::addColumn<QString>("name");    // in the image already
        QTest::addColumn<bool>("inItem");     // written as a code item's meaning
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("after");
        QTest::newRow("Latin-1 takes Latin-1") << "ISO_IR 100" << true << "Schäfer^Eva" << false << "Jürgen^Müller" << "ISO_IR 100";
        QTest::newRow("Latin-1 cannot take Ł") << "ISO_IR 100" << true << "Schäfer^Eva" << false << "Łukasz^Wójcik" << "ISO_IR 192";
        QTest::newRow("Cyrillic takes Cyrillic") << "ISO_IR 144" << true << "Иванова^Ольга" << false << "Пётр" << "ISO_IR 144";
        QTest::newRow("Cyrillic cannot take ü") << "ISO_IR 144" << true << "Иванова^Ольга" << false << "Müller" << "ISO_IR 192";
        QTest::newRow("none declared, ASCII") << "ISO_IR 192" << false << "Doe^Jane" << false << "Jürgen" << "ISO_IR 192";
        // Undeclared bytes stay what the header view showed: UTF-8 when valid, else Latin-1.
        QTest::newRow("none declared, UTF-8 bytes") << "ISO_IR 192" << false << "Jürgen^Eva" << false << "Łukasz" << "ISO_IR 192";
        QTest::newRow("none declared, Latin-1 bytes") << "ISO_IR 100" << false << "Schäfer^Eva" << false << "Łukasz" << "ISO_IR 192";
        QTest::newRow("item into Latin-1") << "ISO_IR 100" << true << "Schäfer^Eva" << true << "Brustdrüse" << "ISO_IR 100";
        QTest::newRow("Greek item into Latin-1") << "ISO_IR 100" << true << "Schäfer^Eva" << true << "Μαστός" << "ISO_IR 192";
        // A set DCMTK cannot convert from (written here as Latin-1): refused, the image as it was.
        QTest::newRow("unknown set") << "ISO_IR 999" << true << "Møller^Ida" << false << "Łukasz" << "";
    }
    void writtenTextKeepsASetThatHoldsIt()
    {
        QFETCH(QString, charset);
        QFETCH(bool, declared);
        QFETCH(QString, name);
        QFETCH(bool, inItem);
        QFETCH(QString, value);
        QFETCH(QString, after);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        const bool known = !after.isEmpty();
        SyntheticImageSpec spec{.patientName = name, .characterSet = known ? charset : u"ISO_IR 100"_s};
        if (!declared)
            spec.omit = {u"0008,0005"_s};
        const QString in = make(tag + u".dcm"_s, spec);
        if (!known)
            QCOMPARE(RunProgram(u"dcmodify"_s, {u"-nb"_s, u"-m"_s, u"(0008,0005)="_s + charset, in}), 0);
        const ToolkitImagePtr img = ReadImage(in);
        QCOMPARE(GetAttribute(img, 0x0010, 0x0010).value, name);
        if (!known) {
            QVERIFY(!SetAttribute(img, 0x0008, 0x0090, value));
            QVERIFY(WriteDicomFile(img, folder_.file(tag + u"-out.dcm"_s)));
            QCOMPARE(ReadFile(folder_.file(tag + u"-out.dcm"_s)), ReadFile(in));
            return;
        }
        // Two items, the first one Latin-1 can hold: each must read back whatever the second makes of the set.
        const QStringList meanings{u"Drüse"_s, value};
        if (inItem) {
            QList<ToolkitDataSet> items;
            for (const QString &meaning : meanings) {
                items << NewDataSet();
                QVERIFY(SetAttribute(items.last(), 0x0008, 0x0100, u"T-04000"_s) && SetAttribute(items.last(), 0x0008, 0x0104, meaning));
            }
            QVERIFY(SetAttribute(img, 0x0008, 0x2218, NewSequence(items)));
            const ToolkitSequence back = GetSequence(img, 0x0008, 0x2218);
            QCOMPARE(GetAttribute(back.value(0), 0x0008, 0x0104).value + u'|' + GetAttribute(back.value(1), 0x0008, 0x0104).value, meanings.join(u'|'));
        } else {
            QVERIFY(SetAttribute(img, 0x0008, 0x0090, value));
            QCOMPARE(GetAttribute(img, 0x0008, 0x0090).value, value);
        }
        QCOMPARE(GetAttribute(img, 0x0010, 0x0010).value, name);
        const QString out = folder_.file(tag + u"-out.dcm"_s);
        QVERIFY(WriteDicomFile(img, out));
        // DCMTK's own reading, converted by the set the file declares.
        QCOMPARE(DumpTag(out, u"0008,0005"_s), after);
        const QString dump = Dump(out, {u"+U8"_s}).remove(QRegularExpression(u"^ +"_s, QRegularExpression::MultilineOption)); // items indented
        QCOMPARE(DumpedValue(dump, u"0010,0010"_s), name);
        if (inItem) {
            QStringList dumped;
            static const QRegularExpression meaning(u"^\\(0008,0104\\) LO \\[([^\\]]*)\\]"_s, QRegularExpression::MultilineOption);
            for (auto m = meaning.globalMatch(dump); m.hasNext();)
                dumped << m.next().captured(1);
            QCOMPARE(dumped, meanings);
        } else {
            QCOMPARE(DumpedValue(dump, u"0008,0090"_s), value);
        }
    }

    // The pixel data is read from the file lazily: replacing that file must not lose it.
    void writingOverItsOwnFileKeepsThePixels()
    {
        const QString path = make(u"own.dcm"_s, {.rows = 400, .columns = 300});
        const ToolkitImagePtr img = ReadImage(path);
        const QImage before = RenderImage(img, QSize(100, 100));
        QVERIFY(SetAttribute(img, 0x0010, 0x0020, u"NEWID"_s));
        QVERIFY(WriteDicomFile(img, path));
        QVERIFY(!QFile::exists(path + u".part"_s + QString::number(QCoreApplication::applicationPid())));
        const ToolkitImagePtr back = ReadImage(path);
        QVERIFY(back);
        QCOMPARE(GetAttribute(back, 0x0010, 0x0020).value, u"NEWID"_s);
        QCOMPARE(RenderImage(back, QSize(100, 100)), before);
        // Pixel data given back after a write elsewhere is read again from the file.
        QVERIFY(WriteDicomFile(back, folder_.file(u"copy1.dcm"_s)));
        ReleaseReloadableValues(back);
        QVERIFY(WriteDicomFile(back, folder_.file(u"copy2.dcm"_s)));
        QCOMPARE(PixelDataOfFile(folder_.file(u"copy2.dcm"_s)), PixelDataOfFile(path));
        QCOMPARE(RenderImage(back, QSize(100, 100)), before);
        QVERIFY(!WriteDicomFile(img, folder_.file(u"no/such/dir/x.dcm"_s)));
        QVERIFY(!WriteDicomFile(nullptr, folder_.file(u"y.dcm"_s)));
    }

    // A missing file, text, a file cut in the middle of the pixel data, and
    // JPEG 2000 (no decoder here): each refused with a reason, the list as it was.
    void badFilesAreRefusedAndLeaveTheListAlone()
    {
        ToolkitImageList list;
        QVERIFY(ReadFileIntoList(list, make(u"good.dcm"_s)));
        const QByteArray whole = folder_.read(u"good.dcm"_s);
        folder_.write(u"text.dcm"_s, QByteArray("this is a radiology report, not an image\n").repeated(50));
        folder_.write(u"cut.dcm"_s, whole.left(whole.size() * 2 / 3));
        make(u"ls.dcm"_s, {.encoding = SyntheticImageSpec::Encoding::JpegLs});
        QByteArray j2k = folder_.read(u"ls.dcm"_s);
        QVERIFY(j2k.contains("1.2.840.10008.1.2.4.80"));
        folder_.write(u"j2k.dcm"_s, j2k.replace("1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.92")); // same length; JPEG 2000 multi-component has no decoder
        using namespace ErrorCode;
        for (const auto &[name, number] : {std::pair{"missing.dcm", FileNotFound}, {"text.dcm", NotReadable}, {"cut.dcm", 0}, {"j2k.dcm", NoPixels}}) {
            Result e;
            QVERIFY2(!ReadFileIntoList(list, folder_.file(QLatin1String(name)), &e), name);
            QVERIFY2(e.number != 0 && !e.text.isEmpty() && (number == 0 || e.number == number), qPrintable(e.text));
        }
        QCOMPARE(ListCount(list), 1);
        QVERIFY(!ListItem(list, 0) && !ListItem(list, 2));
        ListClear(list);
        QCOMPARE(ListCount(list), 0);

        const ToolkitImagePtr none = UnreadableImage(folder_.file(u"j2k.dcm"_s));
        QVERIFY(!none->isValid() && ImageUid(none).isEmpty() && !GetAttribute(none, 0x0010, 0x0010).exists);
        QVERIFY(RenderImage(none, QSize(10, 10)).isNull());
    }

    // Per stored form: the transfer syntax dcmdump reads, DCMTK's decoders
    // giving the very picture of a plain MONOCHROME2 file (lossless, polarity
    // kept), and the toolkit's picture the right way round.
    void encodingsDecodeAndKeepPolarity_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<bool>("monochrome1");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QString>("syntax");
        using E = SyntheticImageSpec::Encoding;
        QTest::newRow("explicit MONOCHROME2 12") << int(E::ExplicitLittle) << false << 12 << "1.2.840.10008.1.2.1";
        QTest::newRow("explicit MONOCHROME1 16") << int(E::ExplicitLittle) << true << 16 << "1.2.840.10008.1.2.1";
        QTest::newRow("explicit MONOCHROME1 8") << int(E::ExplicitLittle) << true << 8 << "1.2.840.10008.1.2.1";
        QTest::newRow("implicit MONOCHROME1 12") << int(E::ImplicitLittle) << true << 12 << "1.2.840.10008.1.2";
        QTest::newRow("JPEG lossless MONOCHROME1 12") << int(E::JpegLossless) << true << 12 << "1.2.840.10008.1.2.4.70";
        QTest::newRow("JPEG lossless MONOCHROME2 16") << int(E::JpegLossless) << false << 16 << "1.2.840.10008.1.2.4.70";
        QTest::newRow("JPEG-LS MONOCHROME2 12") << int(E::JpegLs) << false << 12 << "1.2.840.10008.1.2.4.80";
        QTest::newRow("RLE MONOCHROME1 16") << int(E::Rle) << true << 16 << "1.2.840.10008.1.2.5";
    }
    void encodingsDecodeAndKeepPolarity()
    {
        QFETCH(int, encoding);
        QFETCH(bool, monochrome1);
        QFETCH(int, bits);
        QFETCH(QString, syntax);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        // Chest wall on the left.
        SyntheticImageSpec spec{.sopUid = NewSyntheticUid(), .laterality = u"R"_s, .bitsStored = bits};
        const QString plain = make(tag + u"-plain.dcm"_s, spec);
        spec.encoding = SyntheticImageSpec::Encoding(encoding);
        spec.monochrome1 = monochrome1;
        const QString packed = make(tag + u".dcm"_s, spec);
        QCOMPARE(DumpTag(packed, u"0002,0010"_s), syntax);
        const QByteArray reference = dcmtkPicture(plain, u"dcmj2pnm"_s);
        QVERIFY2(reference.startsWith("P5"), reference.left(200).constData());
        QVERIFY(dcmtkPicture(packed, spec.encoding == SyntheticImageSpec::Encoding::JpegLs ? u"dcml2pnm"_s : u"dcmj2pnm"_s) == reference);

        const ToolkitImagePtr img = ReadImage(packed);
        Result e;
        const QImage pic = RenderImage(img, QSize(96, 96), &e);
        QVERIFY2(!pic.isNull(), qPrintable(e.text));
        QCOMPARE(pic.size(), QSize(72, 96)); // 256 x 192 fitted, the aspect kept
        QVERIFY(markerWhiteAirBlack(pic));
        const double tissue = meanGrey(pic, {0.05, 0.45, 0.2, 0.1}); // grey to bright
        QVERIFY2(tissue > 100 && tissue < 250, qPrintable(QString::number(tissue)));
        QCOMPARE(RenderImage(img, QSize()).size(), QSize(192, 256));
    }

    void quickPathMatchesDcmtk_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("monochrome1");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("rescaled");
        QTest::addColumn<bool>("jpeg2000"); // decoded at a reduced resolution, compared with the pixels uncompressed
        QTest::newRow("16 bit MONOCHROME1 thumbnail") << 16 << true << QSize(60, 80) << false << false;
        QTest::newRow("12 bit MONOCHROME2 odd size") << 12 << false << QSize(77, 53) << false << false;
        QTest::newRow("8 bit full size") << 8 << false << QSize() << false << false;
        QTest::newRow("rescaled MONOCHROME1") << 12 << true << QSize(100, 100) << true << false;
        QTest::newRow("JPEG 2000 16 bit MONOCHROME1 tile") << 16 << true << QSize(100, 130) << false << true;
        QTest::newRow("JPEG 2000 8 bit tile") << 8 << false << QSize(160, 200) << false << true;
        QTest::newRow("JPEG 2000 rescaled full size") << 12 << false << QSize() << true << true;
    }
    void quickPathMatchesDcmtk()
    {
        QFETCH(int, bits);
        QFETCH(bool, monochrome1);
        QFETCH(QSize, size);
        QFETCH(bool, rescaled);
        QFETCH(bool, jpeg2000);
        SyntheticImageSpec spec{.rows = 600, .columns = 470, .bitsStored = bits, .monochrome1 = monochrome1};
        if (rescaled)
            spec.extra = {{u"0028,1053"_s, u"2"_s}, {u"0028,1052"_s, u"-100"_s}, {u"0028,1050"_s, u"3000"_s}, {u"0028,1051"_s, u"5000"_s}};
        const ToolkitImagePtr img = ReadImage(make(u"q%1.dcm"_s.arg(QTest::currentDataTag()), spec));
        // JPEG 2000 against the same pixels uncompressed on the same quick path.
        spec.encoding = SyntheticImageSpec::Encoding::Jpeg2000Lossless;
        const ToolkitImagePtr j2k = jpeg2000 ? ReadImage(make(u"j%1.dcm"_s.arg(QTest::currentDataTag()), spec)) : nullptr;
        Result e;
        const QImage quick = RunRenderJob(MakeRenderJob(j2k ? j2k : img, size), &e);
        const QImage exact = RunRenderJob(MakeRenderJob(img, size, !j2k), &e);
        QVERIFY2(!quick.isNull() && !exact.isNull(), qPrintable(e.text));
        QCOMPARE(quick.size(), exact.size());
        double total = 0;
        int worst = 0;
        for (int y = 0; y < quick.height(); ++y)
            for (int x = 0; x < quick.width(); ++x) {
                const int d = std::abs(qGray(quick.pixel(x, y)) - qGray(exact.pixel(x, y)));
                total += d;
                worst = std::max(worst, d);
            }
        const double mean = total / (quick.width() * quick.height());
        QVERIFY2(mean < 1.5 && worst < 60, qPrintable(u"mean %1 worst %2"_s.arg(mean).arg(worst)));
    }

    void windowFromTheImageOrComputed()
    {
        const ToolkitImagePtr img = ReadImage(make(u"w.dcm"_s, {.laterality = u"R"_s, .bitsStored = 12}));
        ToolkitWindow w = ImageWindow(img);
        QVERIFY(w.valid && !w.computed);
        QCOMPARE(w.center, 2048.0);
        QCOMPARE(w.width, 4096.0);

        QVERIFY(RemoveAttribute(img, 0x0028, 0x1050) && RemoveAttribute(img, 0x0028, 0x1051));
        const QString out = folder_.file(u"w-out.dcm"_s);
        QVERIFY(WriteDicomFile(img, out));
        w = ImageWindow(ReadImage(out));
        QVERIFY(w.valid && w.computed);
        // min/max of the pixels without the extremes (air 0, marker 4095)
        QVERIFY2(w.width > 1000 && w.width < 4095, qPrintable(QString::number(w.width)));
        QVERIFY(w.center - w.width / 2 >= 0 && w.center + w.width / 2 <= 4095);
        QVERIFY(markerWhiteAirBlack(RenderImage(ReadImage(out), QSize(96, 96)))); // rendered through that window
    }
};

QTEST_GUILESS_MAIN(ToolkitTest)
#include "tst_toolkit.moc"
