#pragma once

// The export of the viewer's images into a folder: DICOM files (optionally a
// file-set with a DICOMDIR) or JPEG files with info.txt, optionally packed
// into a ZIP archive. Plain logic; ExportForm shows its progress.
#include "audit/AuditTrail.h"
#include "toolkit/Toolkit.h"

#include <QFuture>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTime>
#include <functional>
#include <optional>
#include <vector>

class QWidget;
class Prompter;

// What an export writes: the main window's command chooses it.
enum class ExportKind { Jpeg = 1, Dicom = 2 };

struct ExportRequest {
    ExportKind kind = ExportKind::Dicom;
    QString folder;
    bool dicomDir = false; // a DICOMDIR file-set instead of <folder>/<key>/<UID>.dcm
    bool compress = false; // a ZIP archive of what was written
    int quality = 8;       // the slider, 3..10; JPEG quality is ten times it
    QList<ToolkitImagePtr> images;
};

struct ExportHooks {
    // After each image and each dose report: value of maximum (the images and
    // the reports), the file written.
    std::function<void(int value, int maximum, const QString &file)> progress;
    // The archive's name; nullopt when the operator cancels.
    std::function<std::optional<QString>(const QString &proposal)> askArchiveName;
    std::function<QTime()> clock = [] { return QTime::currentTime(); };
    QWidget *parent = nullptr; // of the message boxes
};

// The files of the dose reports the image database holds for these studies,
// in the studies' order. Files that are not there are left out.
QStringList StudyDoseReportFiles(const QStringList &studyUids, Result *error);

// The archive an export packs, as values: written by WriteArchive on any thread.
struct ArchiveJob {
    QString path;
    QString folder;
    QStringList files;
    QMap<QString, QString> entryNames;
};
struct ArchiveOutcome {
    Result result;
    QString exception; // the text of an unexpected error, when one was thrown
};
ArchiveOutcome WriteArchive(const ArchiveJob &job);

class ImageExport {
public:
    // Its messages go through `prompter`, over hooks.parent.
    ImageExport(ExportRequest request, ExportHooks hooks, Prompter &prompter);

    // ExportDICOM or ExportJPEG, then CreateZIP when asked, with their
    // messages: the steps below in a row. False when nothing could start or
    // the export stopped on an error; the files written until then stay.
    bool run();

    // The same in steps, for a window that lets events run between them.
    // Each returns false when the export cannot go on (the message was shown).
    bool begin();
    bool imagesLeft() const { return next_ < int(r_.images.size()); }
    // The next image's picture is made (JPEG, on a worker): exportNext does not wait.
    bool nextReady() const;
    bool exportNext();
    // The dose reports of the exported studies and the DICOMDIR.
    bool finishImages();
    // Asks the archive's name: the archive to write, or nullopt with the
    // ZipResult that stands instead.
    std::optional<ArchiveJob> prepareArchive(int *code);
    // What WriteArchive did, logged and said: one of ZipResult.
    int archiveWritten(const ArchiveOutcome &outcome);
    // The closing message for the ZipResult (Written when nothing was packed).
    void report(int zip);

    // CreateZIP over the files written, here and now: one of ZipResult.
    int CreateZIP();

    int written() const { return written_; }
    const QString &archive() const { return archive_; }

private:
    // A JPEG file's bytes, made on a worker.
    struct Encoded {
        QByteArray bytes;
        Result error;
    };
    bool fileSet() const;
    // The images written so far, to the audit trail.
    void auditImages(const QString &failure);
    bool stop(const Result &e, const QString &what);
    void encodeAhead(int i);
    bool exportImage(const ToolkitImagePtr &image, QString *file, Result *error, QFuture<Encoded> *picture);
    // The dose reports of the exported studies, looked up before the first
    // image, so that the progress counts them: one step each after the images.
    void findDoseReports();
    void exportDoseReports(Result *error);
    int steps() const;
    bool writeInfoFile(const ToolkitImagePtr &image, const QString &subFolder, Result *error);
    QString place() const;

    ExportRequest r_;
    ExportHooks hooks_;
    Prompter &prompter_;
    QStringList exportedFiles_;
    QStringList reports_;  // the dose report files to write after the images
    QStringList exported_; // the UIDs of the images exported
    QList<AuditPatient> audited_; // what the written files hold, for the audit trail
    // The file-set of a DICOMDIR export; its own DICOMDIR lives as long as it does.
    ToolkitDirectory directory_;
    QMap<QString, QString> entryNames_; // archive entries not named by their place in the folder
    int next_ = 0;                      // the image exportNext writes
    std::vector<QFuture<Encoded>> pictures_;
    std::vector<bool> started_;
    int written_ = 0;
    int leftOut_ = 0;
    int reportsLeftOut_ = 0;
    QString archive_;
    QString archiveNote_;
};
