// Import of files and DICOM directories into temp/, and export of the viewer's
// images as DICOM files, DICOMDIR file-sets, JPEG and ZIP.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include "toolkit/DoseReport.h"
#include "transfer/ExportForm.h"
#include "transfer/Import.h"
#include "transfer/MediaPaths.h"
#include "transfer/ZipArchive.h"

#include <unistd.h>

namespace {

constexpr auto kAet = "TRANSFERRCV";

// Reads every file; nulls for files that cannot be read.
QList<ToolkitImagePtr> ReadImages(const QStringList &files)
{
    QList<ToolkitImagePtr> images;
    for (const QString &f : files)
        images << ReadImage(f);
    return images;
}

// Every file below a folder, relative to it.
QStringList FilesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

// The data set of a file as dcmdump shows it, without the meta header and
// without how sequence lengths were encoded.
QString DataSetDump(const QString &file)
{
    static const QRegularExpression encoding(u"with (undefined|explicit) length|#.*$"_s);
    QStringList lines;
    for (const QString &l : Dump(file, {u"-Un"_s}).split(u'\n'))
        if (!l.startsWith(u"(0002,"_s) && !l.startsWith(u'#') && !l.contains(u"Delimitation"_s))
            lines << QString(l).remove(encoding);
    return lines.join(u'\n');
}

// The Referenced File IDs a DICOMDIR lists, as dcmdump reads them, "/" between the components.
QStringList ReferencedFiles(const QString &dicomdir)
{
    QStringList out;
    static const QRegularExpression id(uR"(\(0004,1500\) CS \[([^\]]*)\])"_s);
    for (auto m = id.globalMatch(Dump(dicomdir, {})); m.hasNext();)
        out << m.next().captured(1).replace(u'\\', u'/');
    return out;
}

// The export with its prompts answered: the archive name, and a clock at 14:23:05.
bool RunExport(Prompter &prompter, ExportRequest request, const std::optional<QString> &archiveName = {})
{
    ExportHooks hooks;
    hooks.askArchiveName = [=](const QString &) { return archiveName; };
    hooks.clock = [] { return QTime(14, 23, 5); };
    return ImageExport(std::move(request), std::move(hooks), prompter).run();
}

} // namespace

class TransferTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<RecordingPrompter> prompts_;
    // Two studies: three images in three encodings, one of them lossy, and one without a Study ID.
    QStringList first_, second_;
    QString firstUid_, secondUid_;

    QString errorLog() const { return QString::fromLatin1(folder_->read(u"Logs/Error.log"_s)); }
    QStringList temp() const { return QDir(folder_->file(u"temp"_s)).entryList({u"*.dcm"_s}, QDir::Files); }
    QString write(const QString &relative, SyntheticImageSpec spec) const
    {
        const QString path = folder_->file(relative);
        return WriteImage(spec, path) ? path : QString();
    }
    QString importFiles(const QStringList &files)
    {
        return RunProgressJob(JobKind::ImportImages, [chosen = ImportFilesFrom(files)](JobProgress &p) { return ImportTimer(p, chosen); });
    }
    QString importDirectory(const QString &dicomdir)
    {
        return RunProgressJob(JobKind::ImportDir, [dicomdir](JobProgress &p) { return ImportDirTimer(p, dicomdir); });
    }
    // The first study's dose report, filed as the receiver files it; its file.
    QString fileDoseReport()
    {
        SyntheticImageSpec spec;
        spec.sopClassUid = QString::fromLatin1(DoseReportSopClass);
        FixtureStudy study{.studyUid = firstUid_, .series = {FixtureSeries{999, {spec}, {}, 0}}};
        QString why;
        if (!AddStudy(folder_->path(), study, &why, false))
            return {};
        const SyntheticImageSpec &filed = study.series.first().images.first();
        DoseReportInput in;
        in.study = {u"Doe^Jane"_s, u"PAT0001"_s, u"19620314"_s, u"F"_s, firstUid_, u"20261206"_s, u"101500"_s};
        in.device = {UidForName(u"station"_s), u"LUMORA"_s, u"Lumora"_s, u"Station"_s, u"1"_s, u"1"_s};
        in.seriesUid = filed.seriesUid;
        in.sopUid = filed.sopUid;
        in.events << DoseReportEvent{.eventUid = NewSyntheticUid(), .dateTime = u"20261206101600"_s, .laterality = u"L"_s, .view = u"CC"_s, .agdMGy = 1.2};
        const QString file = folder_->file(u"images/%1/%2.dcm"_s.arg(firstUid_, filed.sopUid));
        return WriteDoseReport(in, file).ok() ? file : QString();
    }
    ExportRequest request(ExportKind kind, const QString &out, QStringList files = {}) const
    {
        QDir().mkpath(out);
        return {.kind = kind, .folder = out, .images = ReadImages(files.isEmpty() ? first_ + second_ : files)};
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        prompts_ = std::make_unique<RecordingPrompter>();
        firstUid_ = NewSyntheticUid();
        secondUid_ = NewSyntheticUid();
        using E = SyntheticImageSpec::Encoding;
        first_.clear();
        second_.clear();
        int n = 0;
        for (E encoding : {E::ExplicitLittle, E::JpegLossless, E::Jpeg2000})
            first_ << write(u"src/a%1.dcm"_s.arg(++n), {.studyUid = firstUid_, .instanceNumber = n, .encoding = encoding});
        // The lossy one does not say so in its header, as some senders leave it.
        QCOMPARE(RunProgram(u"dcmodify"_s, {u"-nb"_s, u"-ea"_s, u"(0028,2110)"_s, first_.last()}), 0);
        second_ << write(u"src/b.dcm"_s, {.patientId = u"PAT0002"_s, .studyUid = secondUid_, .omit = {u"0020,0010"_s}});
        QVERIFY(!first_.contains(QString()) && !second_.contains(QString()));
    }
    void cleanup()
    {
        prompts_.reset();
        folder_.reset();
    }

    // A duplicate counts as imported and is not written again; what cannot be
    // read is skipped, logged and counted apart.
    void importFiles_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<int>("inTemp");
        QTest::addColumn<int>("imported");
        QTest::addColumn<int>("skipped");
        QTest::newRow("one file") << QStringList{u"a"_s} << 1 << 1 << 0;
        QTest::newRow("same UID twice") << QStringList{u"a"_s, u"a again"_s, u"b"_s} << 2 << 3 << 0;
        QTest::newRow("not DICOM, truncated, bad UID") << QStringList{u"a"_s, u"text"_s, u"truncated"_s, u"bad uid"_s} << 1 << 1 << 3;
        QTest::newRow("one unreadable file") << QStringList{u"text"_s} << 0 << 0 << 1;
        // A directory record's type claiming 134 bytes: DCMTK throws out of its reading.
        QTest::newRow("a file DCMTK throws on") << QStringList{u"a"_s, u"throws"_s} << 1 << 1 << 1;
    }
    void importFiles()
    {
        QFETCH(QStringList, sources);
        QFETCH(int, inTemp);
        QFETCH(int, imported);
        QFETCH(int, skipped);
        const QString uid = NewSyntheticUid();
        const QMap<QString, QString> made{
            {u"a"_s, write(u"in/a.dcm"_s, {.patientName = u"First"_s, .sopUid = uid})},
            {u"a again"_s, write(u"in/a2.dcm"_s, {.patientName = u"Second"_s, .sopUid = uid})},
            {u"b"_s, write(u"in/b.dcm"_s, {})},
            {u"bad uid"_s, write(u"in/evil.dcm"_s, {.sopUid = u"../../evil"_s})},
        };
        folder_->write(u"in/text.dcm"_s, "not an image");
        folder_->write(u"in/truncated.dcm"_s, folder_->read(u"in/b.dcm"_s).left(1500));
        if (sources.contains(u"throws"_s)) {
            QVERIFY(!write(u"in/media/IM1"_s, {}).isEmpty());
            QByteArray out;
            QVERIFY2(RunProgram(u"dcmmkdir"_s, {u"+id"_s, folder_->file(u"in/media"_s), u"+D"_s, folder_->file(u"in/throws.dcm"_s), u"IM1"_s}, &out) == 0,
                     out.constData());
            QByteArray bytes = folder_->read(u"in/throws.dcm"_s);
            const qsizetype at = bytes.indexOf(QByteArray("\x04\x00\x30\x14" "CS\x06\x00STUDY ", 14));
            QVERIFY(at > 0);
            bytes[at + 6] = char(0x86);
            folder_->write(u"in/throws.dcm"_s, bytes);
        }
        QStringList files;
        for (const QString &s : sources)
            files << made.value(s, folder_->file(u"in/%1.dcm"_s.arg(s)));

        const QString text = importFiles(files);
        QCOMPARE(temp().size(), inTemp);
        QVERIFY2(text.startsWith(u"Importing image(s) ... OK\n%1 image(s) successfully imported.\n"_s.arg(imported)), qPrintable(text));
        QVERIFY2(text.endsWith(skipped ? u"%1 file(s) skipped, see the error log.\nTasks done."_s.arg(skipped) : u"imported.\nTasks done."_s),
                 qPrintable(text));
        QCOMPARE(errorLog().count(files.size() > 1 ? u"ERROR_IMPORT_MULTI"_s : u"ERROR_IMPORT_SINGLE"_s), skipped);
        if (sources.contains(u"a again"_s)) // the first stays
            QCOMPARE(DumpTag(folder_->file(u"temp/%1.dcm"_s.arg(uid)), u"0010,0010"_s), u"First"_s);
        QCOMPARE(FilesBelow(folder_->path()).filter(u"evil"_s), QStringList{u"in/evil.dcm"_s}); // the UID never became a path
    }

    void importedImagesReachTheDatabase()
    {
        const quint16 port = FreePort();
        WriteReceiverSettings(*folder_, kAet, QString::number(port));
        CompanionProcess receiver(ReceiverProgram(), folder_->path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(kAet, port));
        importFiles(first_);
        QVERIFY2(WaitFor([&] { return temp().isEmpty() && CountRows(u"tblImages"_s) == 3; }, 30000), qPrintable(errorLog()));
        const QString mismatch = ImagesMismatch(folder_->path(), 100);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    // Media written elsewhere: other letter case, ISO 9660 versions, trailing
    // dots; references that leave the medium are never followed.
    void referencedFiles_data()
    {
        QTest::addColumn<QStringList>("onDisk");
        QTest::addColumn<QStringList>("components");
        QTest::addColumn<QString>("found"); // relative; empty when refused or missing
        QTest::newRow("as listed") << QStringList{u"IMAGES/IM0001"_s} << QStringList{u"IMAGES"_s, u"IM0001"_s} << u"IMAGES/IM0001"_s;
        QTest::newRow("lower case on disk") << QStringList{u"images/im0001"_s} << QStringList{u"IMAGES"_s, u"IM0001"_s} << u"images/im0001"_s;
        QTest::newRow("version and dot") << QStringList{u"IMAGES./IM0001;1"_s} << QStringList{u"IMAGES"_s, u"IM0001"_s} << u"IMAGES./IM0001;1"_s;
        QTest::newRow("empty components") << QStringList{u"IMAGES/IM0001"_s} << QStringList{u""_s, u"IMAGES"_s, u""_s, u"IM0001"_s} << u"IMAGES/IM0001"_s;
        QTest::newRow("climbs out") << QStringList{u"IMAGES/IM0001"_s, u"../secret"_s} << QStringList{u".."_s, u"secret"_s} << QString();
        QTest::newRow("absolute") << QStringList{u"secret"_s} << QStringList{u"/etc"_s, u"hostname"_s} << QString();
        QTest::newRow("missing") << QStringList{u"IMAGES/IM0001"_s} << QStringList{u"IMAGES"_s, u"IM0002"_s} << QString();
        QTest::newRow("a folder") << QStringList{u"IMAGES/IM0001"_s} << QStringList{u"IMAGES"_s} << QString();
        // "name->target": a symbolic link, its target relative to the link's folder.
        QTest::newRow("file link off the medium") << QStringList{u"IMAGES/IM0001->../../secret"_s} << QStringList{u"IMAGES"_s, u"IM0001"_s} << QString();
        QTest::newRow("folder link mid-path") << QStringList{u"IMAGES->../outside"_s} << QStringList{u"IMAGES"_s, u"IM0001"_s} << QString();
        QTest::newRow("link on the medium") << QStringList{u"IMAGES/IM0001"_s, u"LINKED->IMAGES"_s} << QStringList{u"LINKED"_s, u"IM0001"_s}
                                            << u"IMAGES/IM0001"_s;
    }
    void referencedFiles()
    {
        QFETCH(QStringList, onDisk);
        QFETCH(QStringList, components);
        QFETCH(QString, found);
        folder_->write(u"secret"_s, "x");
        folder_->write(u"outside/IM0001"_s, "x");
        for (const QString &f : onDisk) {
            const QString name = f.section(u"->"_s, 0, 0), target = f.section(u"->"_s, 1);
            QDir().mkpath(QFileInfo(folder_->file(u"media/"_s + name)).absolutePath());
            if (target.isEmpty())
                folder_->write(u"media/"_s + name, "x");
            else
                QVERIFY(QFile::link(target, folder_->file(u"media/"_s + name)));
        }
        Result why;
        const QString file = ResolveReferencedFile(folder_->file(u"media"_s), components, &why);
        QCOMPARE(file, found.isEmpty() ? QString() : QFileInfo(folder_->file(u"media/"_s + found)).canonicalFilePath());
        QCOMPARE(why.ok(), !found.isEmpty());
        QCOMPARE(why.text.isEmpty(), why.ok());
    }

    // A DICOMDIR made by dcmmkdir, a lower-cased copy of its medium, one that lost a file, and no DICOMDIR at all.
    void importDirectory_data()
    {
        QTest::addColumn<QString>("medium");
        QTest::addColumn<QString>("expected");
        QTest::newRow("dcmmkdir") << u"as made"_s << u"OK\n3 image(s) imported\nTasks done."_s;
        QTest::newRow("lower-cased copy") << u"lower case"_s << u"OK\n3 image(s) imported\nTasks done."_s;
        QTest::newRow("a file missing") << u"missing"_s << u"OK\n2 image(s) imported\n1 file(s) skipped, see the error log.\nTasks done."_s;
        QTest::newRow("not a DICOMDIR") << u"image"_s << u"failed\n"_s;
        QTest::newRow("a file linked off the medium") << u"file link"_s << u"OK\n2 image(s) imported\n1 file(s) skipped, see the error log.\nTasks done."_s;
        QTest::newRow("its folder linked off the medium") << u"folder link"_s << u"OK\n0 image(s) imported\n3 file(s) skipped, see the error log.\nTasks done."_s;
        // A study record whose type claims 134 bytes: DCMTK threw from inside its reading.
        QTest::newRow("a record type running over its record") << u"overrun"_s << u"failed\n"_s;
    }
    void importDirectory()
    {
        QFETCH(QString, medium);
        QFETCH(QString, expected);
        QStringList names;
        QVERIFY(QDir().mkpath(folder_->file(u"media/IMAGES"_s)));
        for (int i = 1; i <= 3; ++i) { // media of this profile hold uncompressed images
            names << u"IMAGES/IM%1"_s.arg(i, 6, 10, QChar(u'0'));
            QVERIFY(!write(u"media/"_s + names.last(), {.instanceNumber = i}).isEmpty());
        }
        QByteArray out;
        QVERIFY2(RunProgram(u"dcmmkdir"_s, QStringList{u"+id"_s, folder_->file(u"media"_s), u"+D"_s, folder_->file(u"media/DICOMDIR"_s)} + names, &out)
                     == 0,
                 out.constData());
        QString dicomdir = folder_->file(u"media/DICOMDIR"_s);
        if (medium == u"lower case") {
            for (const QString &n : names + QStringList{u"DICOMDIR"_s})
                folder_->write(u"lower/"_s + n.toLower(), folder_->read(u"media/"_s + n));
            dicomdir = folder_->file(u"lower/dicomdir"_s);
        } else if (medium == u"missing") {
            QVERIFY(QFile::remove(folder_->file(u"media/"_s + names.at(1))));
        } else if (medium == u"image") {
            dicomdir = first_.first();
        } else if (medium == u"file link") { // an image of the same name elsewhere on the machine
            QVERIFY(QFile::rename(folder_->file(u"media/"_s + names.at(1)), folder_->file(u"elsewhere.dcm"_s)));
            QVERIFY(QFile::link(u"../../elsewhere.dcm"_s, folder_->file(u"media/"_s + names.at(1))));
        } else if (medium == u"overrun") {
            QByteArray bytes = folder_->read(u"media/DICOMDIR"_s);
            const qsizetype at = bytes.indexOf(QByteArray("\x04\x00\x30\x14" "CS\x06\x00STUDY ", 14));
            QVERIFY(at > 0);
            bytes[at + 6] = char(0x86);
            folder_->write(u"media/DICOMDIR"_s, bytes);
        } else if (medium == u"folder link") {
            QVERIFY(QFile::rename(folder_->file(u"media/IMAGES"_s), folder_->file(u"elsewhere"_s)));
            QVERIFY(QFile::link(u"../elsewhere"_s, folder_->file(u"media/IMAGES"_s)));
        }
        const QString text = importDirectory(dicomdir);
        QVERIFY2(text.startsWith(u"Importing DICOM-Dir ... "_s + expected), qPrintable(text));
        const QMap<QString, int> inTemp{{u"missing"_s, 2}, {u"image"_s, 0}, {u"file link"_s, 2}, {u"folder link"_s, 0}, {u"overrun"_s, 0}};
        QCOMPARE(temp().size(), inTemp.value(medium, 3));
        if (medium != u"as made" && medium != u"lower case")
            QVERIFY2(errorLog().contains(u"EditForm ImportDirTimer"_s), qPrintable(errorLog()));
        if (medium.endsWith(u"link"_s))
            QVERIFY2(errorLog().contains(u"outside the medium"_s), qPrintable(errorLog()));
    }

    // <folder>/<key>/<UID>.dcm with the source's data set; the archive keeps
    // the layout and never replaces an earlier one.
    void exportDicomFiles()
    {
        const QString out = folder_->file(u"out"_s);
        ExportRequest r = request(ExportKind::Dicom, out);
        r.compress = true;
        QVERIFY(RunExport(*prompts_, r, u"study.ZIP"_s));
        QStringList expected;
        for (const QString &source : first_ + second_) {
            const QString key = DumpTag(source, u"0020,000D"_s);
            const QString file = u"%1/%2.dcm"_s.arg(key, DumpTag(source, u"0008,0018"_s));
            expected << file;
            QCOMPARE(DataSetDump(out + u'/' + file), DataSetDump(source));
        }
        expected << u"study.ZIP"_s;
        expected.sort();
        QCOMPARE(FilesBelow(out), expected);
        QCOMPARE(prompts_->texts(), QStringList{u"Images exported!"_s});
        QByteArray listing;
        QCOMPARE(RunProgram(u"unzip"_s, {u"-Z1"_s, out + u"/study.ZIP"_s}, &listing), 0);
        QStringList entries = QString::fromUtf8(listing).split(u'\n', Qt::SkipEmptyParts);
        entries.sort();
        QCOMPARE(entries, expected.mid(0, 4));

        const QByteArray firstArchive = ReadFile(out + u"/study.ZIP"_s);
        QVERIFY(RunExport(*prompts_, r, u"study.ZIP"_s));
        QCOMPARE(ReadFile(out + u"/study.ZIP"_s), firstArchive);
        QVERIFY(QFile::exists(out + u"/study_1.ZIP"_s));
        QVERIFY2(prompts_->texts().last().contains(u"the archive is study_1.ZIP"_s), qPrintable(prompts_->texts().last()));

        // A name with a folder in it is refused: no archive anywhere else.
        QVERIFY(RunExport(*prompts_, r, u"../study"_s));
        QCOMPARE(prompts_->boxes.last().kind, u"critical"_s);
        QVERIFY(!QFile::exists(folder_->file(u"study.zip"_s)) && QDir(out).entryList({u"*.zip"_s}).size() == 2);
        QVERIFY(errorLog().contains(u"ExportForm CreateZIP"_s));
    }

    // The study's dose report goes with its images into DICOM files, the
    // file-set and the archive, never into pictures; a study without one
    // exports as before. Exporting again changes no file.
    void exportWithDoseReport_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("dicomDir");
        QTest::addColumn<bool>("filed");
        QTest::addColumn<bool>("written");
        const int dicom = int(ExportKind::Dicom), jpeg = int(ExportKind::Jpeg);
        QTest::newRow("files") << dicom << false << true << true;
        QTest::newRow("file-set") << dicom << true << true << true;
        QTest::newRow("files, no report") << dicom << false << false << false;
        QTest::newRow("file-set, no report") << dicom << true << false << false;
        QTest::newRow("JPEG") << jpeg << false << true << false;
    }
    void exportWithDoseReport()
    {
        QFETCH(int, kind);
        QFETCH(bool, dicomDir);
        QFETCH(bool, filed);
        QFETCH(bool, written);
        const QString report = filed ? fileDoseReport() : QString();
        QVERIFY(!filed || !report.isEmpty());
        const QString out = folder_->file(u"out"_s);
        ExportRequest r = request(ExportKind(kind), out);
        r.dicomDir = dicomDir;
        r.compress = true;
        QVERIFY(RunExport(*prompts_, r, u"study.zip"_s));
        QCOMPARE(prompts_->texts(), QStringList{u"Images exported!"_s});
        const QString reportUid = filed ? DumpTag(report, u"0008,0018"_s) : QString();
        QStringList files = FilesBelow(out);
        files.removeAll(u"study.zip"_s);
        files.removeAll(u"DICOMDIR"_s);
        QStringList reports;
        for (const QString &f : files)
            if (f.endsWith(u".dcm"_s) || dicomDir)
                if (DumpTag(out + u'/' + f, u"0008,0016"_s) == QLatin1String(DoseReportSopClass))
                    reports << f;
        QCOMPARE(reports.size(), written ? 1 : 0);
        QCOMPARE(files.size() - reports.size(), kind == int(ExportKind::Jpeg) ? 4 + 1 : 4); // the images; JPEG: info.txt
        QByteArray listing;
        QCOMPARE(RunProgram(u"unzip"_s, {u"-Z1"_s, out + u"/study.zip"_s}, &listing), 0);
        if (written) {
            QCOMPARE(DumpTag(out + u'/' + reports.first(), u"0008,0018"_s), reportUid);
            QCOMPARE(DumpTag(out + u'/' + reports.first(), u"0020,000D"_s), firstUid_);
            QVERIFY2(listing.contains(reports.first().toUtf8()), listing.constData());
            if (!dicomDir)
                QCOMPARE(reports.first(), u"%1/%2.dcm"_s.arg(firstUid_, reportUid));
        }
        if (dicomDir) {
            const QString dicomdir = out + u"/DICOMDIR"_s;
            QCOMPARE(ReferencedFiles(dicomdir).size(), files.size());
            QCOMPARE(Dump(dicomdir, {}).contains(u"SR DOCUMENT"_s), written);
            QCOMPARE(ValidationErrors(dicomdir), QStringList());
        }

        // The same export again: nothing lost, nothing changed, no second copy.
        QMap<QString, QByteArray> before;
        for (const QString &f : files)
            before[f] = ReadFile(out + u'/' + f);
        r.compress = false;
        QVERIFY(RunExport(*prompts_, r));
        QStringList again = FilesBelow(out);
        again.removeAll(u"study.zip"_s);
        again.removeAll(u"DICOMDIR"_s);
        QCOMPARE(again, files);
        for (const QString &f : files)
            if (!f.endsWith(u".jpg"_s)) // pictures are made anew
                QVERIFY2(ReadFile(out + u'/' + f) == before[f], qPrintable(f));
        if (dicomDir)
            QCOMPARE(ReferencedFiles(out + u"/DICOMDIR"_s).size(), files.size());
    }

    void archiveNames()
    {
        const QTime now(14, 23, 5);
        QCOMPARE(ZipArchiveName(u"study.ZIP"_s, now), u"study.ZIP"_s);
        QCOMPARE(ZipArchiveName(u" study "_s, now), u"study.zip"_s);
        QCOMPARE(ZipArchiveName(std::nullopt, now), u"142305.zip"_s);
        QCOMPARE(ZipArchiveName(u"  "_s, now), u"142305.zip"_s);
    }

    // A General Purpose file-set: conforming names, Explicit VR Little Endian,
    // every image listed, readable by DCMTK and dciodvfy, and by our own import.
    void exportFileSet()
    {
        const QString out = folder_->file(u"out"_s);
        // One whose code stream does not fit its header cannot be decompressed: it is left out.
        const QString broken = folder_->file(u"src/broken.dcm"_s);
        QVERIFY(QFile::copy(first_.at(2), broken));
        QCOMPARE(RunProgram(u"dcmodify"_s, {u"-nb"_s, u"-m"_s, u"(0028,0010)=200"_s, u"-m"_s, u"(0008,0018)=1.2.3.4"_s, broken}), 0);
        ExportRequest r = request(ExportKind::Dicom, out, first_ + second_ + QStringList{broken});
        r.dicomDir = true;
        r.compress = true;
        QVERIFY(RunExport(*prompts_, r, u"media"_s));
        QCOMPARE(prompts_->texts(),
                 QStringList{u"Images exported!\r\n1 of 5 image(s) could not be exported and were left out; see the error log."_s});
        QVERIFY2(errorLog().contains(u"broken.dcm: the pixel data"_s), qPrintable(errorLog()));
        const QString dicomdir = out + u"/DICOMDIR"_s;
        QCOMPARE(RunProgram(u"dcmdump"_s, {dicomdir}), 0);
        QCOMPARE(ValidationErrors(dicomdir), QStringList());
        const QStringList listed = ReferencedFiles(dicomdir);
        QCOMPARE(listed.size(), 4);
        static const QRegularExpression component(u"^[A-Z0-9_]{1,8}$"_s);
        QByteArray zipListing;
        QCOMPARE(RunProgram(u"unzip"_s, {u"-l"_s, out + u"/media.zip"_s}, &zipListing), 0);
        QVERIFY(zipListing.contains("DICOMDIR"));
        // The lossy original says so, the others do not.
        QStringList lossy;
        for (const QString &id : listed) {
            const QStringList parts = id.split(u'/');
            QVERIFY2(parts.size() <= 8, qPrintable(id));
            for (const QString &p : parts)
                QVERIFY2(component.match(p).hasMatch(), qPrintable(id));
            QCOMPARE(DumpTag(out + u'/' + id, u"0002,0010"_s), u"1.2.840.10008.1.2.1"_s);
            QVERIFY(zipListing.contains(id.toUtf8()));
            if (DumpTag(out + u'/' + id, u"0028,2110"_s) == u"01")
                lossy << DumpTag(out + u'/' + id, u"0008,0018"_s);
        }
        QCOMPARE(lossy, QStringList{DumpTag(first_.at(2), u"0008,0018"_s)});
        // The missing Study ID was made up, and logged.
        QVERIFY2(errorLog().contains(u"invented values for Study ID"_s), qPrintable(errorLog()));

        QVERIFY2(importDirectory(dicomdir).contains(u"OK\n4 image(s) imported\nTasks done."_s), qPrintable(errorLog()));
        QCOMPARE(temp().size(), 4);

        // Again into the same folder with one more image: that one is added under
        // a new name, the listed ones are neither written again nor touched.
        const QString firstFile = out + u'/' + listed.first();
        const QByteArray before = ReadFile(firstFile);
        r.compress = false;
        r.images << ReadImage(write(u"src/c.dcm"_s, {.studyUid = firstUid_}));
        QVERIFY(RunExport(*prompts_, r));
        QCOMPARE(ReadFile(firstFile), before);
        const QStringList again = ReferencedFiles(dicomdir);
        QCOMPARE(again.size(), 5);
        QCOMPARE(FilesBelow(out + u"/DICOM"_s).size(), 5);
        for (const QString &id : listed)
            QVERIFY(again.contains(id));
        QCOMPARE(ValidationErrors(dicomdir), QStringList());
    }

    // Patient A's study, then patient B's, each with DICOMDIR and ZIP into one
    // hand-out folder: each archive holds its own images and a DICOMDIR of
    // them alone, the folder's DICOMDIR lists both. B's header changed and
    // exported again: the folder gets the new file and records that say so.
    void twoExportsIntoOneFolder()
    {
        const QString out = folder_->file(u"out"_s);
        for (const auto &[files, archive] : {std::pair{first_, u"a"_s}, {second_, u"b"_s}}) {
            ExportRequest r = request(ExportKind::Dicom, out, files);
            r.dicomDir = r.compress = true;
            QVERIFY(RunExport(*prompts_, r, archive));
        }
        const QString dicomdir = out + u"/DICOMDIR"_s;
        QCOMPARE(ReferencedFiles(dicomdir).size(), 4);
        QCOMPARE(ValidationErrors(dicomdir), QStringList());
        for (const auto &[archive, patient, other, count] : {std::tuple{u"a"_s, u"PAT0001"_s, u"PAT0002"_s, 3}, {u"b"_s, u"PAT0002"_s, u"PAT0001"_s, 1}}) {
            const QString unpacked = folder_->file(u"unpacked/"_s + archive);
            QDir().mkpath(unpacked);
            QByteArray log;
            QVERIFY2(RunProgram(u"unzip"_s, {u"-q"_s, out + u'/' + archive + u".zip"_s, u"-d"_s, unpacked}, &log) == 0, log.constData());
            const QStringList listed = ReferencedFiles(unpacked + u"/DICOMDIR"_s);
            QCOMPARE(listed.size(), count);
            for (const QString &id : listed)
                QCOMPARE(DumpTag(unpacked + u'/' + id, u"0010,0020"_s), patient);
            QStringList files = listed + QStringList{u"DICOMDIR"_s};
            files.sort();
            QCOMPARE(FilesBelow(unpacked), files);
            QCOMPARE(ValidationErrors(unpacked + u"/DICOMDIR"_s), QStringList());
            const QString dump = Dump(unpacked + u"/DICOMDIR"_s, {});
            QVERIFY2(dump.contains(u'[' + patient + u']') && !dump.contains(other), qPrintable(dump));
        }

        // B's name corrected in the header, then B exported again without ZIP.
        const QStringList before = ReferencedFiles(dicomdir);
        QMap<QString, QByteArray> contents;
        for (const QString &id : before)
            contents[id] = ReadFile(out + u'/' + id);
        const ToolkitImagePtr b = ReadImage(second_.first());
        QVERIFY(SetAttribute(b, 0x0010, 0x0010, u"Roe^Richard"_s) && WriteDicomFile(b, second_.first()));
        QVERIFY(RunExport(*prompts_, {.kind = ExportKind::Dicom, .folder = out, .dicomDir = true, .images = {b}}));
        QCOMPARE(prompts_->texts().last(), u"Images exported!"_s);
        QCOMPARE(ReferencedFiles(dicomdir), before);
        QStringList changed;
        for (const QString &id : before)
            if (ReadFile(out + u'/' + id) != contents[id])
                changed << DumpTag(out + u'/' + id, u"0010,0010"_s);
        QCOMPARE(changed, QStringList{u"Roe^Richard"_s});
        const QString dump = Dump(dicomdir, {});
        QCOMPARE(dump.count(u"[Roe^Richard]"_s), 1);
        QCOMPARE(dump.count(u"[Doe^Jane]"_s), 1); // A's patient record
        QCOMPARE(ValidationErrors(dicomdir), QStringList());
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase),
                 (QStringList{u"a.zip"_s, u"b.zip"_s, u"DICOMDIR"_s})); // nothing half-made left
        QVERIFY2(importDirectory(dicomdir).contains(u"OK\n4 image(s) imported"_s), qPrintable(errorLog()));
    }

    // Pictures at the image's size that show the breast; info.txt beside the first.
    void exportJpeg()
    {
        QList<qint64> sizes;
        for (int quality : {3, 10}) {
            const QString out = folder_->file(u"out%1"_s.arg(quality));
            ExportRequest r = request(ExportKind::Jpeg, out);
            r.quality = quality;
            QVERIFY(RunExport(*prompts_, r));
            const QString file = out + u'/' + firstUid_ + u'/' + DumpTag(first_.first(), u"0008,0018"_s) + u".jpg"_s;
            const QImage picture(file);
            QCOMPARE(picture.size(), QSize(192, 256));
            const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
            double sum = 0, squares = 0, n = grey.width() * grey.height();
            for (int y = 0; y < grey.height(); ++y)
                for (const char v : QByteArrayView(grey.constScanLine(y), grey.width()))
                    sum += uchar(v), squares += uchar(v) * uchar(v);
            const double mean = sum / n, deviation = std::sqrt(squares / n - mean * mean);
            QVERIFY2(mean > 15 && mean < 240 && deviation > 20, qPrintable(u"mean %1, deviation %2"_s.arg(mean).arg(deviation)));
            QCOMPARE(folder_->read(u"out%1/%2/info.txt"_s.arg(quality).arg(firstUid_)),
                     QByteArray("PATIENT_NAME=Doe^Jane\r\nPATIENT_ID=PAT0001\r\nPATIENT_BIRTHDATE=19620314\r\nPATIENT_SEX=F\r\n"));
            QVERIFY(!QFile::exists(out + u'/' + secondUid_ + u"/info.txt"_s));
            QCOMPARE(QDir(out + u'/' + secondUid_).entryList({u"*.jpg"_s}).size(), 1);
            sizes << QFileInfo(file).size();
        }
        QVERIFY2(sizes.at(0) < sizes.at(1), qPrintable(u"%1 %2"_s.arg(sizes.at(0)).arg(sizes.at(1))));

        // One that cannot be decoded, between two good ones that are made on
        // workers meanwhile: left out, and only it.
        const QString broken = folder_->file(u"src/broken.dcm"_s);
        QVERIFY(QFile::copy(first_.at(2), broken));
        QCOMPARE(RunProgram(u"dcmodify"_s, {u"-nb"_s, u"-m"_s, u"(0028,0010)=200"_s, u"-m"_s, u"(0008,0018)=1.2.3.4"_s, broken}), 0);
        const QString mixed = folder_->file(u"outMixed"_s);
        QVERIFY(RunExport(*prompts_, request(ExportKind::Jpeg, mixed, {first_.at(0), broken, second_.first()})));
        QCOMPARE(prompts_->texts().last(), u"Images exported!\r\n1 of 3 image(s) could not be exported and were left out; see the error log."_s);
        QCOMPARE(QDir(mixed + u'/' + firstUid_).entryList({u"*.jpg"_s}), QStringList{DumpTag(first_.at(0), u"0008,0018"_s) + u".jpg"_s});
        QCOMPARE(QDir(mixed + u'/' + secondUid_).entryList({u"*.jpg"_s}).size(), 1);
        QVERIFY2(errorLog().contains(u"the code stream is"_s), qPrintable(errorLog()));

        // A header in Latin-1: info.txt says the name the header means.
        const QString latin = write(u"src/latin.dcm"_s, {.patientName = u"Müller^Anna"_s, .studyUid = firstUid_, .characterSet = u"ISO_IR 100"_s});
        QVERIFY(RunExport(*prompts_, request(ExportKind::Jpeg, folder_->file(u"outLatin"_s), {latin})));
        const QString info = QString::fromUtf8(folder_->read(u"outLatin/%1/info.txt"_s.arg(firstUid_)));
        QVERIFY2(info.startsWith(u"PATIENT_NAME=Müller^Anna\r\n"_s), qPrintable(info));
    }

    // The dialog of each kind; a missing folder stops before anything is written,
    // an export writes the four settings.
    void exportForm_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("title");
        QTest::newRow("JPEG") << int(ExportKind::Jpeg) << u"Export JPEG"_s;
        QTest::newRow("DICOM") << int(ExportKind::Dicom) << u"Export DICOM"_s;
    }
    void exportForm()
    {
        QFETCH(int, kind);
        QFETCH(QString, title);
        ExportForm form(ExportKind(kind), ReadImages(second_), *prompts_);
        form.Form_Load();
        form.show();
        QCOMPARE(form.windowTitle(), title);
        QCOMPARE(Child<QCheckBox>(form, u"chkDicomDir"_s)->isVisible(), kind == int(ExportKind::Dicom));
        QCOMPARE(Child<QGroupBox>(form, u"Frame1"_s)->isVisible(), kind == int(ExportKind::Jpeg));
        emit Child<QComboBox>(form, u"cboQuality"_s)->activated(1); // "Middle"
        QCOMPARE(Child<QSlider>(form, u"sldQuality"_s)->value(), 5);
        Child<QSlider>(form, u"sldQuality"_s)->setValue(10);
        QCOMPARE(Child<QComboBox>(form, u"cboQuality"_s)->currentText() + Child<QLineEdit>(form, u"txtQuality"_s)->text(), u"Max10"_s);

        Child<QLineEdit>(form, u"txtExportDir"_s)->setText(folder_->file(u"nowhere"_s));
        Child<QPushButton>(form, u"cmdExport"_s)->click();
        QCOMPARE(prompts_->texts(), QStringList{u"Export directory does not exists!"_s});
        QVERIFY(form.isVisible() && !QFile::exists(folder_->file(u"nowhere"_s)));

        QDir().mkpath(folder_->file(u"out"_s));
        Child<QLineEdit>(form, u"txtExportDir"_s)->setText(folder_->file(u"out"_s));
        Child<QCheckBox>(form, u"chkCompress"_s)->setChecked(true);
        bool cancelLocked = false; // while the export runs
        form.hooks.askArchiveName = [&](const QString &) {
            form.reject();
            cancelLocked = form.isVisible() && !Child<QPushButton>(form, u"cmdCancel"_s)->isEnabled();
            return std::optional<QString>();
        };
        form.hooks.clock = [] { return QTime(9, 5, 1); };
        Child<QPushButton>(form, u"cmdExport"_s)->click();
        QVERIFY(form.isBusy() && !Child<QPushButton>(form, u"cmdExport"_s)->isEnabled()); // going on from the event loop
        QTRY_VERIFY(cancelLocked && !form.isVisible() && form.result() == QDialog::Accepted);
        QVERIFY(!form.isBusy());
        QVERIFY(QFile::exists(folder_->file(u"out/090501.zip"_s)));
        QCOMPARE(Child<QLabel>(form, u"lblCount"_s)->text(), u"1 of 1"_s);
        QSettings ini(folder_->file(u"LumoraStation.ini"_s), QSettings::IniFormat);
        ini.beginGroup(u"Export"_s);
        QCOMPARE(ini.allKeys().size(), 4);
        QCOMPARE((QStringList{ini.value(u"Quality"_s).toString(), ini.value(u"Directory"_s).toString(), ini.value(u"DicomDir"_s).toString(),
                              ini.value(u"Compress"_s).toString()}),
                 (QStringList{u"10"_s, folder_->file(u"out"_s), u"0"_s, u"1"_s}));
    }

    // The study's dose report is one more step of the export's progress,
    // after the images: the bar counts 1, 2, ... up to the images and the
    // report and ends full. A picture export writes no report and counts none.
    void exportProgressCountsTheDoseReport_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("dicomDir");
        QTest::addColumn<bool>("filed");
        QTest::addColumn<int>("steps");
        const int dicom = int(ExportKind::Dicom), jpeg = int(ExportKind::Jpeg);
        QTest::newRow("files with the report") << dicom << false << true << 5;
        QTest::newRow("file-set with the report") << dicom << true << true << 5;
        QTest::newRow("files, no report") << dicom << false << false << 4;
        QTest::newRow("JPEG, report filed") << jpeg << false << true << 4;
    }
    void exportProgressCountsTheDoseReport()
    {
        QFETCH(int, kind);
        QFETCH(bool, dicomDir);
        QFETCH(bool, filed);
        QFETCH(int, steps);
        QVERIFY(!filed || !fileDoseReport().isEmpty());
        ExportForm form(ExportKind(kind), ReadImages(first_ + second_), *prompts_);
        form.Form_Load();
        form.show();
        const QString out = folder_->file(u"out"_s);
        QDir().mkpath(out);
        Child<QLineEdit>(form, u"txtExportDir"_s)->setText(out);
        Child<QCheckBox>(form, u"chkCompress"_s)->setChecked(false);
        Child<QCheckBox>(form, u"chkDicomDir"_s)->setChecked(dicomDir);
        auto *bar = Child<QProgressBar>(form, u"pbExport"_s);
        QStringList seen; // "value/maximum" as the bar showed them
        connect(bar, &QProgressBar::valueChanged, &form, [&](int value) { seen << u"%1/%2"_s.arg(value).arg(bar->maximum()); });
        Child<QPushButton>(form, u"cmdExport"_s)->click();
        QTRY_VERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Accepted));
        QCOMPARE(prompts_->texts(), QStringList{u"Images exported!"_s});
        QStringList expected;
        for (int i = 1; i <= steps; ++i)
            expected << u"%1/%2"_s.arg(i).arg(steps);
        QCOMPARE(seen, expected);
        QCOMPARE(Child<QLabel>(form, u"lblCount"_s)->text(), u"%1 of %1"_s.arg(steps));
        int reports = 0;
        for (const QString &f : FilesBelow(out))
            reports += f != u"DICOMDIR"_s && (f.endsWith(u".dcm"_s) || dicomDir) && DumpTag(out + u'/' + f, u"0008,0016"_s) == QLatin1String(DoseReportSopClass);
        QCOMPARE(reports, steps - 4);
    }

    // A folder that fills up: the message, and the file written before it whole.
    // A tmpfs of 3 MB in a mount namespace of its own takes one of four 1.6 MB images.
    void exportIntoAFullFolder()
    {
        QStringList files;
        for (int i = 0; i < 4; ++i)
            files << write(u"big/%1.dcm"_s.arg(i), {.studyUid = firstUid_, .rows = 1024, .columns = 768});
        const QString out = folder_->file(u"full"_s);
        QVERIFY(QDir().mkpath(out));
        const QString script = u"mount -t tmpfs -o size=3m tmpfs \"$1\" || exit 99\nd=\"$1\"; p=\"$2\"; shift 2\nexec \"$p\" --export-into \"$d\" \"$@\"\n"_s;
        QByteArray report;
        const int rc = RunProgram(u"unshare"_s,
                                  (::geteuid() == 0 ? QStringList{u"-m"_s} : QStringList{u"-r"_s, u"-m"_s})
                                      + QStringList{u"sh"_s, u"-c"_s, script, u"sh"_s, out, QCoreApplication::applicationFilePath()} + files,
                                  &report);
        QVERIFY2(rc == 0, report.constData());
        const QString text = QString::fromUtf8(report);
        QVERIFY2(text.contains(u"The export stopped after 1 of 4 image(s)"_s) && text.endsWith(u"written 1, whole 1, parts 0\n"_s), qPrintable(text));
        QVERIFY(errorLog().contains(u"ExportForm ExportDICOM"_s));
    }
};

// Inside the full folder's mount namespace: exports the files and reports.
static int ExportIntoFullFolder(const QString &out, const QStringList &files)
{
    RecordingPrompter prompts;
    ExportRequest r{.kind = ExportKind::Dicom, .folder = out, .images = ReadImages(files)};
    ImageExport job(r, {}, prompts);
    job.run();
    const QStringList below = FilesBelow(out);
    int whole = 0;
    for (const QString &f : below)
        whole += ReadImage(out + u'/' + f) && f.endsWith(u".dcm"_s) ? 1 : 0;
    QTextStream(stdout) << prompts.texts().join(u'\n') << u"\nwritten "_s << job.written() << u", whole "_s << whole << u", parts "_s
                        << below.filter(u".part"_s).size() << u'\n';
    return 0;
}

int main(int argc, char **argv)
{
    const auto app = OffscreenApplication(argc, argv, 1280, 1024);
    app->setQuitOnLastWindowClosed(false);
    if (argc >= 3 && QByteArray(argv[1]) == "--export-into")
        return ExportIntoFullFolder(QString::fromLocal8Bit(argv[2]), app->arguments().mid(3));
    TransferTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_transfer.moc"
