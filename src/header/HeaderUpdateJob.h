#pragma once

// The header-update job: the task list written into the images loaded in the
// viewer, study tasks carried to the study's other series and patient tasks to
// the patient's other studies, every rewritten file handed to the receiver
// through temp/. Plain logic; the progress dialog only shows its texts.
//
// It never loses an image: every rewritten file is written completely into a
// work folder of its own first; the old rows and files of exactly the images
// it rewrote go only once every write succeeded, and then the files move into
// temp/. On a failure nothing is removed and the job's files are deleted. A
// marker in the work folder, written inside the removal before its commit,
// names the old images and their rewritten files: at the next start a folder
// with it is handed to the receiver once the old rows are found gone, and
// dropped when they are still there (the removal never committed).
#include "audit/AuditTrail.h"
#include "jobs/Job.h"
#include "toolkit/Toolkit.h"

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <functional>

// One row of lvTasks.
struct HeaderTask {
    QString level;  // "Patient", "Study", "Series", or "Image #n" (n from 1, in the viewer)
    int kind = 0;   // 0 "Change entry", 1 "Move entry", 2 "Switch entry"
    QString source; // "gggg,eeee - description"
    QString value;  // the value when the task was made; Move and Switch read each image's own instead
    QString target; // kind 0: the new value; kinds 1 and 2: "gggg,eeee - description"
};

// Taken when the operator gives the command. The study and the series the job
// works on are where the loaded images are filed, whatever is selected later.
struct HeaderUpdateInput {
    QList<HeaderTask> tasks;
    QList<ToolkitImagePtr> images; // the viewer's images, in its order
    QString loadedLevel;           // "Serie" or "Studie"
    qlonglong patientKey = 0;      // the selected patient (tblPatienten.PatID): the loaded images must be his
    // The window the viewer applies to an image (General\ComputeWindow 1).
    std::function<ToolkitWindow(const ToolkitImagePtr &)> viewerWindow;
};

// A value checked against its attribute's VR; empty when it fits, else why not.
// Several values are separated by "\".
QString CheckValue(quint16 group, quint16 element, const QString &value);

// How a run ended: ok, or the number and text the error log got.
struct HeaderUpdateResult : Result {
    // The job refused its tasks before it changed anything, also in memory;
    // the text is for the operator.
    bool refused = false;
};

class HeaderUpdateJob {
public:
    // The progress is told the running log, the items and their count.
    HeaderUpdateJob(HeaderUpdateInput input, JobProgress &progress);

    // Runs the phases in their order. A failure when the job refused its tasks
    // or failed: then nothing was removed, except when moving into temp/ failed,
    // which leaves the rewritten files in the work folder (logged).
    HeaderUpdateResult run();
    // The job's own folder below the application folder.
    static QString WorkFolder();
    // The file a job's work folder gets inside the removal of the old entries.
    static inline const QString MarkerName = QStringLiteral("entries-removed");
    // At start: the files of every work folder whose marker is complete and
    // whose old images have no rows go into temp/ for the receiver; any other
    // work folder is deleted, except while the image database cannot be read.
    // Logged.
    static void HandOverLeftovers();

    // For tests: asked before each file is written (its name, the count written
    // before it); false makes that write fail as a full disk would.
    static inline std::function<bool(const QString &, int)> beforeWrite;
    // For tests: told as the job passes the steps where a crash leaves a
    // different state behind (a test kills the job's process there).
    enum class Step { MarkerWritten, EntriesRemoved, FileMoved };
    static inline std::function<void(Step)> afterStep;

private:
    struct Parsed;
    struct Item;
    class BatchFlush;
    // Logs the reason, writes "failed", and removes the job's files unless
    // the old entries are already gone.
    bool fail(const QString &text, qint32 number, bool refused, bool keepFiles = false);
    // The phases of run(), in their order.
    bool collect();           // the tasks and every image they touch
    bool check();             // the tasks applied in memory, each value checked
    bool writeLoaded();       // the viewer's images, into the work folder
    bool writeOtherSeries();  // study tasks: the active study's other series
    bool writeOtherStudies(); // patient tasks: the patient's other studies
    bool removeOld();         // the old rows and files, once every file is written
    bool handToReceiver();    // the files into temp/
    void disposeRemoved();    // the old files set aside, removed on a worker thread

    bool parseTasks();
    bool collectImages();
    bool readImages(const QStringList &uids, const QString &studyUid, bool activeStudy, bool loadedScope);
    void applyTasks();
    bool validate();
    bool writeItems(int from, int to);
    static void addAudited(QList<AuditPatient> &patients, const ToolkitImagePtr &image);

    HeaderUpdateInput in_;
    JobProgress &report_;
    HeaderUpdateResult result_;
    QString work_;
    std::shared_ptr<QList<Parsed>> tasks_;
    std::shared_ptr<QList<Item>> items_;
    QMap<QString, QString> newUids_; // "tag|old UID" → new UID, one per original study or series
    QStringList rewritten_; // the old ImageUIDs of every image the job rewrites
    QList<AuditPatient> audited_; // the images as they were, for the audit trail
    QList<QPair<QString, QString>> files_; // old ImageUID, the rewritten file's name
    int loadedCount_ = 0;
    int activeStudyEnd_ = 0; // end of the items of the active study beyond the loaded ones
    QList<int> studyEnds_;   // end of each other study's items
    int written_ = 0;
    QString removed_; // the folder the old files are moved into
    static constexpr const char *kRemovedPrefix = "removed-";
};
