#include "transfer/ImageExport.h"

#include "core/ErrorLog.h"
#include "store/Database.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "store/ImageRows.h"
#include "toolkit/DoseReport.h"
#include "transfer/MediaPaths.h"
#include "transfer/ZipArchive.h"
#include "ui/Prompts.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>

QStringList StudyDoseReportFiles(const QStringList &studyUids, Result *error)
{
    QStringList files;
    for (const QString &studyUid : studyUids) {
        const RowList<QString> r = ImageUidsOfStudyOfClass(studyUid, QString::fromLatin1(DoseReportSopClass));
        if (!r.ok()) {
            if (error)
                *error = r;
            return {};
        }
        const QString folder = StudyFolder(studyUid);
        for (const QString &uid : r.rows) {
            // The UID names the file: nothing else ever becomes a path.
            const QString file = folder + QLatin1Char('/') + uid + QStringLiteral(".dcm");
            if (!folder.isEmpty() && IsValidUid(uid) && QFileInfo(file).isFile())
                files << file;
        }
    }
    return files;
}

ImageExport::ImageExport(ExportRequest request, ExportHooks hooks, Prompter &prompter)
    : r_(std::move(request))
    , hooks_(std::move(hooks))
    , prompter_(prompter)
{
}

QString ImageExport::place() const
{
    return r_.kind == ExportKind::Jpeg ? QStringLiteral("ExportForm ExportJPEG") : QStringLiteral("ExportForm ExportDICOM");
}

bool ImageExport::run()
{
    if (!begin())
        return false;
    while (imagesLeft())
        if (!exportNext())
            return false;
    if (!finishImages())
        return false;
    report(r_.compress ? CreateZIP() : ZipResult::Written);
    return true;
}

bool ImageExport::begin()
{
    if (r_.folder.isEmpty() || !QFileInfo(r_.folder).isDir()) {
        prompter_.critical(hooks_.parent, QStringLiteral("Export directory does not exists!"), DefaultPromptTitle);
        return false;
    }
    r_.folder = QDir::cleanPath(QFileInfo(r_.folder).absoluteFilePath());
    exportedFiles_.clear();
    entryNames_.clear();
    written_ = leftOut_ = reportsLeftOut_ = 0;
    audited_.clear();
    next_ = 0;
    pictures_.assign(size_t(r_.images.size()), {});
    started_.assign(size_t(r_.images.size()), false);
    Result e;
    if (fileSet() && !OpenDirectory(directory_, r_.folder, &e))
        return stop(e, QStringLiteral("The DICOMDIR of the export folder cannot be read or made; nothing was exported."));
    findDoseReports();
    encodeAhead(0);
    encodeAhead(1);
    return true;
}

void ImageExport::report(int zip)
{
    if (zip == ZipResult::Unexpected) {
        prompter_.critical(hooks_.parent,
                           QStringLiteral("An unspecified error occured during ZIP compression!\r\nView log-files for information."),
                           DefaultPromptTitle);
    } else if (zip == ZipResult::Written) {
        QString text = QStringLiteral("Images exported!");
        if (leftOut_ > 0)
            text += QStringLiteral("\r\n%1 of %2 image(s) could not be exported and were left out; see the error log.")
                        .arg(leftOut_)
                        .arg(r_.images.size());
        if (reportsLeftOut_ > 0)
            text += QStringLiteral("\r\n%1 dose report(s) could not be exported; see the error log.").arg(reportsLeftOut_);
        if (!archiveNote_.isEmpty())
            text += QStringLiteral("\r\n") + archiveNote_;
        prompter_.information(hooks_.parent, text, DefaultPromptTitle);
    }
}

bool ImageExport::fileSet() const { return r_.kind == ExportKind::Dicom && r_.dicomDir; }

void ImageExport::auditImages(const QString &failure)
{
    if (audited_.isEmpty())
        return;
    AuditExport(r_.kind == ExportKind::Jpeg ? ExportMedium::JpegHandOut : ExportMedium::Folder, r_.folder, audited_, failure);
}

bool ImageExport::stop(const Result &e, const QString &what)
{
    auditImages(e.text);
    WriteErrorLog(e.number, e.text, place());
    prompter_.critical(hooks_.parent, what + QStringLiteral("\r\n") + e.text + QStringLiteral("\r\nView log-files for information."),
                       DefaultPromptTitle);
    return false;
}

// JPEG: rendering and encoding take most of the time, so the next image is
// made on a worker while this one is waited for and written. The job is
// taken here, on this thread; the worker reads the file or a copy.
void ImageExport::encodeAhead(int i)
{
    if (r_.kind != ExportKind::Jpeg || i >= int(r_.images.size()) || started_[size_t(i)] || !r_.images.at(i) || !r_.images.at(i)->isValid())
        return;
    started_[size_t(i)] = true;
    const int quality = r_.quality * 10;
    pictures_[size_t(i)] = QtConcurrent::run([job = MakeRenderJob(r_.images.at(i), QSize()), quality] {
        Encoded out;
        out.bytes = EncodePicture(job, QStringLiteral("JPEG"), quality, &out.error);
        return out;
    });
}

bool ImageExport::nextReady() const
{
    return next_ >= int(r_.images.size()) || !started_[size_t(next_)] || pictures_[size_t(next_)].isFinished();
}

bool ImageExport::exportNext()
{
    const int total = int(r_.images.size());
    const int i = next_++;
    const ToolkitImagePtr &image = r_.images.at(i);
    encodeAhead(i);
    encodeAhead(i + 1);
    QString file;
    Result e;
    if (!exportImage(image, &file, &e, started_[size_t(i)] ? &pictures_[size_t(i)] : nullptr)) {
        // An image that cannot be written in this form is left out; a
        // folder that cannot take more stops the export.
        if (e.number != ErrorCode::NoPixels && e.number != ErrorCode::BadAttribute && e.number != ErrorCode::NoImage)
            return stop(e, QStringLiteral("The export stopped after %1 of %2 image(s); the files written so far stay in place.")
                               .arg(written_)
                               .arg(total));
        WriteErrorLog(e.number, e.text, place());
        ++leftOut_;
    } else {
        ++written_;
        AddAuditInstance(audited_, GetAttribute(image, Tags::PatientID).value.trimmed(), GetAttribute(image, Tags::PatientName).value.trimmed(),
                         GetAttribute(image, Tags::StudyInstanceUID).value.trimmed(), GetAttribute(image, Tags::SOPClassUID).value.trimmed(),
                         GetAttribute(image, Tags::AccessionNumber).value.trimmed());
    }
    // Its picture is written; the worker's copy goes.
    pictures_[size_t(i)] = {};
    if (hooks_.progress)
        hooks_.progress(i + 1, steps(), file);
    return true;
}

bool ImageExport::finishImages()
{
    Result e;
    // The dose reports of the exported studies go with their images; a
    // picture of a report would show nothing.
    if (r_.kind != ExportKind::Jpeg)
        exportDoseReports(&e);
    if (fileSet()) {
        if (!WriteDirectory(directory_, &e))
            return stop(e, QStringLiteral("The DICOMDIR could not be written; the image files stay in place."));
        // The archive holds this export alone, with a DICOMDIR of its own:
        // earlier exports into the folder may be other patients.
        QString own;
        if (r_.compress && !WriteOwnDirectory(directory_, &own, &e))
            return stop(e, QStringLiteral("The DICOMDIR for the archive could not be written; the image files stay in place."));
        exportedFiles_.clear();
        for (const QString &file : DirectoryFiles(directory_))
            exportedFiles_ << r_.folder + QLatin1Char('/') + file;
        if (!own.isEmpty()) {
            exportedFiles_ << own;
            entryNames_.insert(own, QStringLiteral("DICOMDIR"));
        }
    }
    auditImages({});
    return true;
}

bool ImageExport::exportImage(const ToolkitImagePtr &image, QString *file, Result *error, QFuture<Encoded> *picture)
{
    if (!image || !image->isValid()) {
        *error = {ErrorCode::NoImage, QStringLiteral("%1: the image could not be read; left out").arg(image ? image->path() : QString())};
        return false;
    }
    const QString uid = ImageUid(image);
    // The UID becomes a file name: anything else than a UID never becomes a path.
    if (!IsValidUid(uid)) {
        *error = {ErrorCode::BadAttribute,
                  QStringLiteral("%1: SOP Instance UID \"%2\" is not a valid UID; left out").arg(image->path(), uid.left(80))};
        return false;
    }
    const ToolkitPatient patient = ImagePatient(image);
    if (r_.kind == ExportKind::Dicom && r_.dicomDir) {
        QString relative;
        QStringList invented;
        if (!AddToDirectory(directory_, image, patient.exportKey, &relative, error, &invented))
            return false;
        if (!invented.isEmpty())
            WriteErrorLog(ErrorCode::None, QStringLiteral("%1: the DICOMDIR records got invented values for %2").arg(uid, invented.join(QStringLiteral(", "))),
                          place());
        *file = r_.folder + QLatin1Char('/') + relative;
    } else {
        const QString subFolder = r_.folder + QLatin1Char('/') + patient.exportKey;
        if (!QDir().mkpath(subFolder)) {
            *error = {ErrorCode::WriteFailed, QStringLiteral("%1: cannot create the folder").arg(subFolder)};
            return false;
        }
        if (r_.kind == ExportKind::Dicom) {
            *file = subFolder + QLatin1Char('/') + uid + QStringLiteral(".dcm");
            if (!WriteDicomFile(image, *file, error))
                return false;
        } else {
            *file = subFolder + QLatin1Char('/') + uid + QStringLiteral(".jpg");
            if (picture) {
                const Encoded encoded = picture->result();
                if (encoded.bytes.isEmpty()) {
                    *error = encoded.error;
                    return false;
                }
                if (!WritePictureFile(*file, encoded.bytes, error))
                    return false;
            } else if (!WriteImageFile(image, *file, QStringLiteral("JPEG"), r_.quality * 10, error)) {
                return false;
            }
            if (written_ == 0 && !writeInfoFile(image, subFolder, error))
                return false;
        }
    }
    // The viewer keeps its images; their pixel data can be read again from their files.
    ReleaseReloadableValues(image);
    if (!exportedFiles_.contains(*file))
        exportedFiles_ << *file;
    return true;
}

int ImageExport::steps() const { return int(r_.images.size() + reports_.size()); }

void ImageExport::findDoseReports()
{
    reports_.clear();
    // A picture of a report would show nothing.
    if (r_.kind == ExportKind::Jpeg)
        return;
    QStringList studies;
    exported_.clear();
    for (const ToolkitImagePtr &image : std::as_const(r_.images)) {
        if (!image || !image->isValid())
            continue;
        exported_ << ImageUid(image);
        const QString study = GetAttribute(image, Tags::StudyInstanceUID).value.trimmed();
        if (!study.isEmpty() && !studies.contains(study))
            studies << study;
    }
    if (studies.isEmpty())
        return;
    Result e;
    const QStringList files = StudyDoseReportFiles(studies, &e);
    if (!e.ok()) {
        WriteErrorLog(e.number, QStringLiteral("The dose reports of the exported studies cannot be looked up: ") + e.text, place());
        ++reportsLeftOut_;
        return;
    }
    // One the operator exported among the images is written once, as an image;
    // its file is named by its UID.
    for (const QString &file : files)
        if (!exported_.contains(QFileInfo(file).completeBaseName()))
            reports_ << file;
}

void ImageExport::exportDoseReports(Result *error)
{
    const int images = int(r_.images.size());
    for (int k = 0; k < reports_.size(); ++k) {
        const QString &path = reports_.at(k);
        const ToolkitImagePtr report = ReadDicomObject(path, error);
        QString file;
        if (report && exported_.contains(ImageUid(report))) {
            // A file that holds an image exported: written once, as that image.
        } else if (!report || !exportImage(report, &file, error, nullptr)) {
            WriteErrorLog(error->number, error->text, place());
            ++reportsLeftOut_;
        }
        if (hooks_.progress)
            hooks_.progress(images + k + 1, steps(), file.isEmpty() ? path : file);
    }
}

bool ImageExport::writeInfoFile(const ToolkitImagePtr &image, const QString &subFolder, Result *error)
{
    const ToolkitPatient p = ImagePatient(image);
    if (!p.charsetProblem.isEmpty())
        WriteErrorLog(ErrorCode::NotReadable, QStringLiteral("%1: %2").arg(image->path(), p.charsetProblem), place());
    const QString path = subFolder + QStringLiteral("/info.txt");
    QSaveFile out(path);
    const QString text = QStringLiteral("PATIENT_NAME=%1\r\nPATIENT_ID=%2\r\nPATIENT_BIRTHDATE=%3\r\nPATIENT_SEX=%4\r\n")
                             .arg(p.name, p.id, p.birthDate, p.sex);
    if (!out.open(QIODevice::WriteOnly) || out.write(text.toUtf8()) < 0 || !out.commit()) {
        *error = {ErrorCode::WriteFailed, QStringLiteral("%1: %2").arg(path, out.errorString())};
        return false;
    }
    exportedFiles_ << path;
    return true;
}

ArchiveOutcome WriteArchive(const ArchiveJob &job)
{
    try {
        return {WriteZipArchive(job.path, job.folder, job.files, job.entryNames), {}};
    } catch (const std::exception &ex) {
        return {{}, QString::fromLocal8Bit(ex.what())};
    }
}

int ImageExport::CreateZIP()
{
    try {
        int code = ZipResult::Written;
        const std::optional<ArchiveJob> job = prepareArchive(&code);
        return job ? archiveWritten(WriteArchive(*job)) : code;
    } catch (const std::exception &ex) {
        return archiveWritten({{}, QString::fromLocal8Bit(ex.what())});
    }
}

std::optional<ArchiveJob> ImageExport::prepareArchive(int *code)
{
    if (exportedFiles_.isEmpty()) {
        WriteErrorLog(ErrorCode::WriteFailed, QStringLiteral("No files were written, so there is nothing to pack"),
                      QStringLiteral("ExportForm CreateZIP"));
        *code = ZipResult::Unexpected;
        return std::nullopt;
    }
    const QString proposal = hooks_.clock().toString(QStringLiteral("HHmmss"));
    const std::optional<QString> answer =
        hooks_.askArchiveName ? hooks_.askArchiveName(proposal) : std::optional<QString>();
    const QString name = ZipArchiveName(answer, hooks_.clock());
    if (!IsPlainArchiveName(name)) {
        WriteErrorLog(ErrorCode::WriteFailed, QStringLiteral("Archive name refused: %1").arg(name), QStringLiteral("ExportForm CreateZIP"));
        prompter_.critical(hooks_.parent,
                           QStringLiteral("\"%1\" is not a file name: the archive goes into the export folder and its name holds no folder.\r\nNo archive was written.")
                               .arg(name),
                           DefaultPromptTitle);
        *code = ZipResult::Failed;
        return std::nullopt;
    }
    archive_ = FreeArchivePath(r_.folder, name);
    const QString written = QFileInfo(archive_).fileName();
    archiveNote_ = written == name ? QString() : QStringLiteral("%1 was already there: the archive is %2.").arg(name, written);
    return ArchiveJob{archive_, r_.folder, exportedFiles_, entryNames_};
}

int ImageExport::archiveWritten(const ArchiveOutcome &outcome)
{
    if (!outcome.exception.isEmpty()) {
        WriteErrorLog(ErrorCode::WriteFailed, outcome.exception, QStringLiteral("ExportForm CreateZIP"));
        return ZipResult::Unexpected;
    }
    if (const Result &zipped = outcome.result; !zipped.ok()) {
        WriteErrorLog(zipped.number, zipped.text, QStringLiteral("ExportForm CreateZIP"));
        prompter_.critical(hooks_.parent, QStringLiteral("An error occured during ZIP compression!\r\nPlease try again."), DefaultPromptTitle);
        return ZipResult::Failed;
    }
    if (!audited_.isEmpty())
        AuditExport(ExportMedium::Archive, archive_, audited_);
    return ZipResult::Written;
}
