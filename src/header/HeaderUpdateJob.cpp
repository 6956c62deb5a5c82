#include "header/HeaderUpdateJob.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "dictionary/DictionaryStore.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "store/ImageRows.h"
#include "toolkit/AttributeDictionary.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QSqlRecord>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kWhere = QStringLiteral("EditForm UpdateTimer");
constexpr quint32 kSopInstanceUid = Tags::SOPInstanceUID.key();
constexpr quint32 kStudyUid = Tags::StudyInstanceUID.key();
constexpr quint32 kSeriesUid = Tags::SeriesInstanceUID.key();
constexpr quint32 kWindowCenter = Tags::WindowCenter.key();
constexpr quint32 kWindowWidth = Tags::WindowWidth.key();

quint32 key(quint16 g, quint16 e) { return (quint32(g) << 16) | e; }
QString tagText(quint32 k) { return QStringLiteral("%1,%2").arg(k >> 16, 4, 16, QLatin1Char('0')).arg(k & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper(); }

// "gggg,eeee" at the start of a Source or Target text.
bool parseTag(const QString &text, quint32 *out)
{
    static const QRegularExpression re(QStringLiteral("^([0-9A-Fa-f]{4}),([0-9A-Fa-f]{4})$"));
    const QRegularExpressionMatch m = re.match(text.left(9));
    if (!m.hasMatch())
        return false;
    *out = key(quint16(m.captured(1).toUInt(nullptr, 16)), quint16(m.captured(2).toUInt(nullptr, 16)));
    return true;
}

// The header view joins several values with " | "; the data set takes "\".
QString asDicomValue(QString text) { return text.replace(QStringLiteral(" | "), QStringLiteral("\\")); }

QString currentValue(const ToolkitImagePtr &image, quint32 k)
{
    const ToolkitAttribute a = GetAttribute(image, quint16(k >> 16), quint16(k & 0xFFFF));
    return a.values.join(QLatin1Char('\\'));
}

// Flushes a file or folder to the disk.
bool syncPath(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Starts writing a file to the disk without waiting, so that the flush
// before the removal finds little left to do.
void startWriteback(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    ::close(fd);
}

// Unlinks the files of a folder of ours and then the folder, without
// following a link put there; the count of files removed.
int RemoveFolderOfFiles(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    QList<QByteArray> names;
    if (DIR *dir = ::fdopendir(::dup(fd))) {
        while (const dirent *e = ::readdir(dir))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names << QByteArray(e->d_name);
        ::closedir(dir);
    }
    int removed = 0;
    for (const QByteArray &name : std::as_const(names))
        removed += ::unlinkat(fd, name.constData(), 0) == 0;
    ::close(fd);
    ::rmdir(QFile::encodeName(path).constData());
    return removed;
}

} // namespace

// The rewritten files flushed all at once on worker threads: the file system
// commits the flushes that wait together in one journal commit, where one
// file after another each waited for a commit of its own.
class HeaderUpdateJob::BatchFlush {
public:
    BatchFlush() { pool_.setMaxThreadCount(kThreads); }
    ~BatchFlush() { pool_.waitForDone(); }
    // Flushes every file and returns those that did not reach the disk;
    // `idle` runs while they are on their way.
    QStringList flush(const QStringList &paths, const std::function<void()> &idle)
    {
        for (const QString &path : paths)
            pool_.start([this, path] {
                if (!syncPath(path)) {
                    const QMutexLocker lock(&mutex_);
                    failed_ << path;
                }
            });
        while (!pool_.waitForDone(20))
            idle();
        const QMutexLocker lock(&mutex_);
        return failed_;
    }

private:
    // Threads that wait on the disk, not on a core.
    static constexpr int kThreads = 16;
    QThreadPool pool_;
    QMutex mutex_;
    QStringList failed_;
};

namespace {

// Moves a file into the folder on the same file system, in one step, never
// over a file of that name: the receiver sees it whole, and only once.
bool moveInto(const QString &file, const QString &folder)
{
    const QFileInfo info(file);
    QString target = folder + QLatin1Char('/') + info.fileName();
    for (int n = 1; n < 1000; ++n) {
        if (::renameat2(AT_FDCWD, QFile::encodeName(file).constData(), AT_FDCWD, QFile::encodeName(target).constData(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno == EINVAL) // a file system without the flag
            return !QFileInfo::exists(target) && std::rename(QFile::encodeName(file).constData(), QFile::encodeName(target).constData()) == 0;
        if (errno != EEXIST)
            return false;
        target = folder + QLatin1Char('/') + info.completeBaseName() + QStringLiteral("-%1.dcm").arg(n);
    }
    return false;
}

// The marker's first and last lines; between them one line per rewritten
// image: its old UID (percent-encoded) and its file's name, tab-separated.
const QByteArray kMarkerHead = "header update: old entries removed\n";
const QByteArray kMarkerEnd = "end\n";

// What a work folder's marker says. Not complete when the job stopped while
// writing it, which is before the removal's commit.
struct Marker {
    bool complete = false;
    bool legacy = false; // from before the marker named the images
    QList<QPair<QString, QString>> files;
};

Marker readMarker(const QString &path)
{
    Marker m;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return m;
    const QByteArray all = f.readAll();
    if (all == "old entries removed\n") {
        m.complete = m.legacy = true;
        return m;
    }
    if (!all.startsWith(kMarkerHead) || !all.endsWith(kMarkerEnd))
        return m;
    const QByteArray body = all.mid(kMarkerHead.size(), all.size() - kMarkerHead.size() - kMarkerEnd.size());
    for (const QByteArray &line : body.split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> parts = line.split('\t');
        if (parts.size() != 2)
            return m;
        m.files.append({QString::fromUtf8(QByteArray::fromPercentEncoding(parts[0])), QString::fromUtf8(parts[1])});
    }
    m.complete = true;
    return m;
}

bool isGenerateUid(const QString &target)
{
    const QString t = target.trimmed();
    return t.compare(QLatin1String("generate new UID"), Qt::CaseInsensitive) == 0 || t.compare(QLatin1String("New UID"), Qt::CaseInsensitive) == 0;
}

} // namespace

QString CheckValue(quint16 group, quint16 element, const QString &value)
{
    // What the data dictionary does not know is written as LO.
    const AttributeInfo info = LookupAttribute(group, element);
    const QString vr = info.known ? info.vr : QStringLiteral("LO");
    static const QHash<QString, int> maxLength{{QStringLiteral("AE"), 16}, {QStringLiteral("AS"), 4},   {QStringLiteral("CS"), 16},
                                               {QStringLiteral("DA"), 8},  {QStringLiteral("DS"), 16},  {QStringLiteral("DT"), 26},
                                               {QStringLiteral("IS"), 12}, {QStringLiteral("LO"), 64},  {QStringLiteral("LT"), 10240},
                                               {QStringLiteral("PN"), 64}, {QStringLiteral("SH"), 16},  {QStringLiteral("ST"), 1024},
                                               {QStringLiteral("TM"), 14}, {QStringLiteral("UI"), 64}};
    static const QRegularExpression ds(QStringLiteral("^[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    static const QRegularExpression da(QStringLiteral("^[0-9]{8}$"));
    static const QRegularExpression tm(QStringLiteral("^([01][0-9]|2[0-3])([0-5][0-9]([0-5][0-9]|60)?)?(\\.[0-9]{1,6})?$"));
    static const QRegularExpression ui(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    // Text VRs hold one value; a "\" in them is text.
    const bool single = vr == QLatin1String("LT") || vr == QLatin1String("ST") || vr == QLatin1String("UT") || vr == QLatin1String("UR");
    const QStringList values = single ? QStringList{value} : value.split(QLatin1Char('\\'));
    for (const QString &raw : values) {
        const int limit = maxLength.value(vr, 0);
        if (vr == QLatin1String("PN")) {
            for (const QString &group : raw.split(QLatin1Char('=')))
                if (group.size() > limit)
                    return QStringLiteral("longer than %1 characters (PN)").arg(limit);
        } else if (limit > 0 && raw.size() > limit) {
            return QStringLiteral("longer than %1 characters (%2)").arg(limit).arg(vr);
        }
        const QString v = raw.trimmed();
        if (v.isEmpty())
            continue;
        bool ok = true;
        if (vr == QLatin1String("DS")) {
            if (!ds.match(v).hasMatch())
                return QStringLiteral("not a decimal number (DS)");
        } else if (vr == QLatin1String("IS")) {
            const qlonglong n = v.toLongLong(&ok);
            if (!integer.match(v).hasMatch() || !ok || n < -2147483648LL || n > 2147483647LL)
                return QStringLiteral("not an integer (IS)");
        } else if (vr == QLatin1String("DA")) {
            if (!da.match(v).hasMatch() || !QDate::fromString(v, QStringLiteral("yyyyMMdd")).isValid())
                return QStringLiteral("not a date YYYYMMDD (DA)");
        } else if (vr == QLatin1String("TM")) {
            if (!tm.match(v).hasMatch())
                return QStringLiteral("not a time HHMMSS.FFFFFF (TM)");
        } else if (vr == QLatin1String("UI")) {
            if (!ui.match(v).hasMatch())
                return QStringLiteral("not a UID (UI)");
        } else if (vr == QLatin1String("US") || vr == QLatin1String("SS") || vr == QLatin1String("UL") || vr == QLatin1String("SL")) {
            const qlonglong n = v.toLongLong(&ok);
            const qlonglong lo = vr.startsWith(QLatin1Char('U')) ? 0 : (vr == QLatin1String("SS") ? -32768 : -2147483648LL);
            const qlonglong hi = vr == QLatin1String("US") ? 65535 : vr == QLatin1String("SS") ? 32767 : vr == QLatin1String("UL") ? 4294967295LL : 2147483647LL;
            if (!integer.match(v).hasMatch() || !ok || n < lo || n > hi)
                return QStringLiteral("not an integer in %1..%2 (%3)").arg(lo).arg(hi).arg(vr);
        } else if (vr == QLatin1String("FL") || vr == QLatin1String("FD")) {
            v.toDouble(&ok);
            if (!ok)
                return QStringLiteral("not a number (%1)").arg(vr);
        }
    }
    return {};
}

struct HeaderUpdateJob::Parsed {
    enum Scope { Patient, Study, Series, Image };
    QString source;
    int kind = 0;
    quint32 tag = 0, target = 0;
    QString value; // Change: the new value
    Scope scope = Image;
    int imageIndex = 0; // Image: 1-based
};

struct HeaderUpdateJob::Item {
    ToolkitImagePtr image;
    int viewerIndex = 0; // loaded images only
    bool activeStudy = false;
    bool loadedScope = false; // the loaded series, or the loaded study
    QString oldUid;
    QMap<quint32, QString> values;   // what is written, per tag
    QMap<quint32, int> writtenBy;    // the task that wrote it last (-1: the window)
    QString fileName;
};

void HeaderUpdateJob::addAudited(QList<AuditPatient> &patients, const ToolkitImagePtr &image)
{
    AddAuditInstance(patients, GetAttribute(image, Tags::PatientID).value.trimmed(), GetAttribute(image, Tags::PatientName).value.trimmed(),
                     GetAttribute(image, Tags::StudyInstanceUID).value.trimmed(), GetAttribute(image, Tags::SOPClassUID).value.trimmed(),
                     GetAttribute(image, Tags::AccessionNumber).value.trimmed());
}

HeaderUpdateJob::HeaderUpdateJob(HeaderUpdateInput input, JobProgress &progress)
    : in_(std::move(input))
    , report_(progress)
    , tasks_(std::make_shared<QList<Parsed>>())
    , items_(std::make_shared<QList<Item>>())
{
    if (!in_.viewerWindow)
        in_.viewerWindow = [](const ToolkitImagePtr &image) { return ImageWindow(image); };
}

// Beside temp/ on the same file system, apart from bin/ where stamping and sending keep their copies.
QString HeaderUpdateJob::WorkFolder() { return AppPath(QStringLiteral("update")); }

bool HeaderUpdateJob::fail(const QString &text, qint32 number, bool refused, bool keepFiles)
{
    result_.number = number;
    result_.text = text;
    result_.refused = refused;
    WriteErrorLog(number, text, kWhere);
    report_.append(QStringLiteral("failed\r\n") + text + QStringLiteral("\r\n"));
    if (!keepFiles && !work_.isEmpty())
        QDir(work_).removeRecursively();
    items_->clear();
    report_.append(QStringLiteral("Tasks done."));
    return false;
}

HeaderUpdateResult HeaderUpdateJob::run()
{
    // The old entries go only once every file is written; a phase that fails
    // has logged and reported why.
    if (!collect() || !check() || !writeLoaded() || !writeOtherSeries() || !writeOtherStudies() || !removeOld())
        return result_;
    // The images changed once their old entries went: the trail names them as
    // they were and as they are (a changed Patient ID or study UID both).
    QList<AuditPatient> changed = audited_;
    for (const Item &item : std::as_const(*items_))
        addAudited(changed, item.image);
    const bool handed = handToReceiver();
    disposeRemoved();
    if (!handed) {
        AuditHeaderChange(changed, result_.text);
        return result_;
    }
    AuditHeaderChange(changed);
    report_.append(QStringLiteral("Tasks done."));
    return {};
}

bool HeaderUpdateJob::collect()
{
    report_.setMaximum(int(in_.tasks.size()));
    report_.append(QStringLiteral("Updating active images (") + in_.loadedLevel + QStringLiteral(") ... "));
    if (in_.images.isEmpty())
        return fail(QStringLiteral("No images are loaded; nothing was changed."), ErrorCode::InvalidCall, true);
    // A run that ended between removing the old entries and moving its files
    // left the only copies there: they go to the receiver at the next start.
    for (const QString &left : QDir(WorkFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (!left.startsWith(QLatin1String(kRemovedPrefix)) && !QDir(WorkFolder() + QLatin1Char('/') + left).isEmpty())
            WriteErrorLog(ErrorCode::InvalidCall, QStringLiteral("Files of an earlier run are left in %1/%2").arg(WorkFolder(), left), kWhere);
    return parseTasks() && collectImages();
}

bool HeaderUpdateJob::check()
{
    applyTasks();
    if (!validate())
        return false;
    report_.append(QStringLiteral("OK\r\n"));
    return true;
}

bool HeaderUpdateJob::writeLoaded()
{
    work_ = WorkFolder() + QStringLiteral("/job-%1-%2").arg(QCoreApplication::applicationPid()).arg(QDateTime::currentMSecsSinceEpoch());
    if (!QDir().mkpath(work_))
        return fail(QStringLiteral("Cannot make the work folder ") + work_, ErrorCode::PathAccess, false);
    report_.append(QStringLiteral("Saving images ... "));
    report_.setMaximum(loadedCount_);
    if (!writeItems(0, loadedCount_))
        return false;
    report_.append(QStringLiteral("OK\r\n"));
    return true;
}

bool HeaderUpdateJob::writeOtherSeries()
{
    if (activeStudyEnd_ <= loadedCount_)
        return true;
    report_.append(QStringLiteral("Updating active study ... "));
    report_.setMaximum(activeStudyEnd_ - loadedCount_);
    if (!writeItems(loadedCount_, activeStudyEnd_))
        return false;
    report_.append(QStringLiteral("OK\r\n"));
    return true;
}

bool HeaderUpdateJob::writeOtherStudies()
{
    int from = activeStudyEnd_;
    for (int n = 0; n < studyEnds_.size(); ++n) {
        report_.append(QStringLiteral("Updating study #%1 ... ").arg(n + 1));
        report_.setMaximum(studyEnds_[n] - from);
        if (!writeItems(from, studyEnds_[n]))
            return false;
        report_.append(QStringLiteral("OK\r\n"));
        from = studyEnds_[n];
    }
    items_->clear();
    return true;
}

bool HeaderUpdateJob::parseTasks()
{
    tasks_->clear();
    // The workstation's dictionary names the attributes tasks may touch; a rule
    // set can outlive a tag removed from it.
    QSet<QString> dictionary;
    const DbResult tags = InDefinitions([](Database &db) { return DictionaryTags(db); });
    if (!tags.ok())
        return fail(QStringLiteral("Cannot read the dictionary: ") + tags.text, tags.number, false);
    for (const QSqlRecord &row : tags.rows)
        dictionary.insert(row.value(0).toString().trimmed().toUpper());
    for (const HeaderTask &t : in_.tasks) {
        Parsed p;
        p.source = t.source;
        p.kind = t.kind;
        const QString name = QStringLiteral("Task \"%1\"").arg(t.source);
        if (!parseTag(t.source, &p.tag))
            return fail(name + QStringLiteral(": \"%1\" is not a tag (gggg,eeee in hexadecimal).").arg(t.source.left(9)), ErrorCode::TypeMismatch, true);
        if (t.kind < 0 || t.kind > 2)
            return fail(name + QStringLiteral(": unknown task kind %1.").arg(t.kind), ErrorCode::TypeMismatch, true);
        if (t.kind != 0) {
            if (!parseTag(t.target, &p.target))
                return fail(name + QStringLiteral(": the target \"%1\" is not a tag (gggg,eeee in hexadecimal).").arg(t.target.left(9)), ErrorCode::TypeMismatch, true);
            if (p.target == p.tag)
                return fail(name + QStringLiteral(": the target %1 is its own source.").arg(tagText(p.tag)), ErrorCode::InvalidCall, true);
        }
        for (const quint32 k : {p.tag, p.target}) {
            if (k == 0 && t.kind == 0)
                continue;
            const AttributeInfo info = LookupAttribute(quint16(k >> 16), quint16(k & 0xFFFF));
            if (!dictionary.contains(tagText(k)))
                return fail(name + QStringLiteral(": (%1) is not in the dictionary.").arg(tagText(k)), ErrorCode::InvalidCall, true);
            static const QStringList binary{QStringLiteral("SQ"), QStringLiteral("OB"), QStringLiteral("OW"), QStringLiteral("OF"), QStringLiteral("OD"),
                                            QStringLiteral("OL"), QStringLiteral("OV"), QStringLiteral("UN"), QStringLiteral("AT")};
            if ((k >> 16) <= 0x0002 || binary.contains(info.vr))
                return fail(name + QStringLiteral(": (%1) %2 cannot be written as text.").arg(tagText(k), info.keyword), ErrorCode::InvalidCall, true);
        }
        p.value = asDicomValue(t.target);
        const quint16 group = quint16(p.tag >> 16);
        if (t.level == QLatin1String("Patient") || group == 0x0010) {
            p.scope = Parsed::Patient;
        } else if (t.level == QLatin1String("Study")) {
            p.scope = Parsed::Study;
        } else if (t.level == QLatin1String("Series") || p.tag == kSeriesUid) {
            p.scope = Parsed::Series;
        } else if (t.level.startsWith(QLatin1String("Image #"))) {
            bool ok = false;
            p.scope = Parsed::Image;
            p.imageIndex = t.level.mid(7).trimmed().toInt(&ok);
            if (!ok || p.imageIndex < 1 || p.imageIndex > in_.images.size())
                return fail(name + QStringLiteral(": no image %1 in the viewer.").arg(t.level.mid(7)), ErrorCode::OutOfRange, true);
        } else {
            return fail(name + QStringLiteral(": unknown level \"%1\".").arg(t.level), ErrorCode::InvalidCall, true);
        }
        tasks_->append(p);
        report_.advance();
    }
    return true;
}

bool HeaderUpdateJob::collectImages()
{
    bool patient = false, study = false;
    for (const Parsed &p : *tasks_) {
        patient |= p.scope == Parsed::Patient;
        study |= p.scope == Parsed::Study;
    }
    if (in_.patientKey == 0)
        return fail(QStringLiteral("No patient selected for the loaded images; nothing was changed."), ErrorCode::InvalidCall, true);
    // One connection for the lookups of every image, not one opened for each.
    const DatabaseSession images(ImageDatabase);

    items_->clear();
    QSet<QString> loaded;
    for (int i = 0; i < in_.images.size(); ++i) {
        Item item;
        item.image = in_.images[i];
        if (!item.image || !item.image->isValid())
            return fail(QStringLiteral("Image %1 of the viewer cannot be read.").arg(i + 1), ErrorCode::NotReadable, false);
        item.viewerIndex = i + 1;
        item.activeStudy = true;
        item.loadedScope = true;
        item.oldUid = ImageUid(item.image);
        loaded.insert(item.oldUid);
        items_->append(item);
    }
    loadedCount_ = int(items_->size());

    auto unread = [this](const Result &r) { return fail(QStringLiteral("Cannot read the image database: ") + r.text, r.number, false); };
    // The study and patient the job works on are where the loaded images are
    // filed: the selection may have moved on since they were loaded.
    qlonglong studyKey = 0, patientKey = 0;
    QString studyUid;
    QStringList loadedUids;
    for (const Item &item : std::as_const(*items_))
        loadedUids << item.oldUid;
    const PlacesLookup found = PlacesOfImages(loadedUids);
    if (!found.ok())
        return unread(found);
    for (const Item &item : std::as_const(*items_)) {
        const auto place = found.places.constFind(item.oldUid);
        if (place == found.places.cend())
            return fail(QStringLiteral("Image %1 of the viewer is no longer in the image database; nothing was changed.").arg(item.viewerIndex), ErrorCode::InvalidCall, true);
        if (studyKey != 0 && place->studyKey != studyKey)
            return fail(QStringLiteral("The loaded images belong to more than one study; nothing was changed."), ErrorCode::InvalidCall, true);
        studyKey = place->studyKey;
        studyUid = place->studyUid;
        patientKey = place->patientKey;
    }
    if (patientKey != in_.patientKey)
        return fail(QStringLiteral("The loaded images belong to another patient than the one selected; nothing was changed."), ErrorCode::InvalidCall, true);

    // Study and patient tasks reach the study's other series, patient tasks the
    // patient's other studies; the loaded images alone take the rest.
    if (study || patient) {
        const RowList<QString> images = ImageUidsOfStudy(studyKey);
        if (!images.ok())
            return unread(images);
        QStringList others;
        for (const QString &uid : images.rows)
            if (!loaded.contains(uid))
                others << uid;
        if (!readImages(others, studyUid, true, false))
            return false;
    }
    activeStudyEnd_ = int(items_->size());
    studyEnds_.clear();
    if (patient) {
        const RowList<StudyKey> studies = StudiesOfPatientKey(patientKey, studyKey);
        if (!studies.ok())
            return unread(studies);
        for (const StudyKey &other : studies.rows) {
            const RowList<QString> images = ImageUidsOfStudy(other.key);
            if (!images.ok())
                return unread(images);
            if (!readImages(images.rows, other.uid, false, false))
                return false;
            studyEnds_ << int(items_->size());
        }
    }
    rewritten_.clear();
    audited_.clear();
    for (const Item &item : std::as_const(*items_)) {
        rewritten_ << item.oldUid;
        addAudited(audited_, item.image);
    }
    return true;
}

bool HeaderUpdateJob::readImages(const QStringList &uids, const QString &studyUid, bool activeStudy, bool loadedScope)
{
    const QString folder = StudyFolder(studyUid);
    for (const QString &uid : uids) {
        const QString path = folder + QLatin1Char('/') + uid + QStringLiteral(".dcm");
        ToolkitImageList list;
        Result e;
        if (folder.isEmpty() || QFileInfo(uid + QStringLiteral(".dcm")).fileName() != uid + QStringLiteral(".dcm")
            || !ReadFileIntoList(list, path, &e))
            return fail(QStringLiteral("Cannot read %1: %2").arg(path, e.text), e.number ? e.number : ErrorCode::NotReadable, false);
        Item item;
        item.image = ListItem(list, 1);
        item.activeStudy = activeStudy;
        item.loadedScope = loadedScope;
        item.oldUid = uid;
        items_->append(item);
        report_.idle();
    }
    return true;
}

void HeaderUpdateJob::applyTasks()
{
    for (Item &item : *items_) {
        auto current = [&item](quint32 k) { return item.values.contains(k) ? item.values.value(k) : currentValue(item.image, k); };
        auto write = [&item](quint32 k, const QString &v, int task) {
            item.values.insert(k, v);
            item.writtenBy.insert(k, task);
        };
        for (int t = 0; t < tasks_->size(); ++t) {
            const Parsed &p = tasks_->at(t);
            const bool applies = p.scope == Parsed::Patient || (p.scope == Parsed::Study && item.activeStudy)
                || (p.scope == Parsed::Series && item.loadedScope) || (p.scope == Parsed::Image && item.viewerIndex == p.imageIndex);
            if (!applies)
                continue;
            if (p.kind == 0) {
                QString v = p.value;
                if (p.tag == kSopInstanceUid) {
                    v = NewUid(); // one per image, whatever the target says
                } else if ((p.tag == kStudyUid || p.tag == kSeriesUid) && isGenerateUid(p.value)) {
                    // One new UID per original study or series, shared by all its images.
                    const QString old = QString::number(p.tag) + QLatin1Char('|') + current(p.tag);
                    if (!newUids_.contains(old))
                        newUids_.insert(old, NewUid());
                    v = newUids_.value(old);
                }
                write(p.tag, v, t);
            } else if (p.kind == 1) {
                const QString source = current(p.tag);
                write(p.tag, QString(), t);
                write(p.target, source, t);
            } else {
                const QString source = current(p.tag);
                const QString target = current(p.target);
                write(p.tag, target, t);
                write(p.target, source, t);
            }
        }
        // The loaded images get the window they are shown with, or the custom one.
        if (item.viewerIndex > 0 && Settings.AutoWindow == 1) {
            if (Settings.ComputeWindow == 1) {
                const ToolkitWindow w = in_.viewerWindow(item.image);
                if (w.valid) {
                    write(kWindowWidth, QString::number(qRound(w.width)), -1);
                    write(kWindowCenter, QString::number(qRound(w.center)), -1);
                }
            } else {
                write(kWindowWidth, Settings.CustomWidth.trimmed(), -1);
                write(kWindowCenter, Settings.CustomCenter.trimmed(), -1);
            }
        }
        item.fileName = current(kSopInstanceUid) + QStringLiteral(".dcm");
    }
}

bool HeaderUpdateJob::validate()
{
    QSet<QString> names;
    for (const Item &item : *items_) {
        for (auto it = item.values.cbegin(); it != item.values.cend(); ++it) {
            const QString why = CheckValue(quint16(it.key() >> 16), quint16(it.key() & 0xFFFF), it.value());
            if (why.isEmpty())
                continue;
            const int t = item.writtenBy.value(it.key(), -1);
            const QString by = t >= 0 ? QStringLiteral("Task \"%1\"").arg(tasks_->at(t).source) : QStringLiteral("The window setting");
            return fail(by + QStringLiteral(": \"%1\" for (%2) %3 is %4; image %5. Nothing was written.")
                                 .arg(it.value(), tagText(it.key()), LookupAttribute(quint16(it.key() >> 16), quint16(it.key() & 0xFFFF)).keyword,
                                      why, item.oldUid),
                        ErrorCode::InvalidCall, true);
        }
        static const QRegularExpression safe(QStringLiteral("^[0-9A-Za-z][0-9A-Za-z._-]*\\.dcm$"));
        if (!safe.match(item.fileName).hasMatch())
            return fail(QStringLiteral("Image %1 has no usable SOP Instance UID. Nothing was written.").arg(item.oldUid), ErrorCode::InvalidCall, true);
        if (names.contains(item.fileName))
            return fail(QStringLiteral("Two images would get the SOP Instance UID %1. Nothing was written.").arg(item.fileName.chopped(4)), ErrorCode::InvalidCall, true);
        names.insert(item.fileName);
    }
    return true;
}

bool HeaderUpdateJob::writeItems(int from, int to)
{
    // One file is written on a worker while the next one's values are set;
    // two writers at once only competed with the disk's writeback (slower
    // and less even on a two-core station). Each keeps its image until it
    // is written.
    struct Pending {
        int index;
        QString path;
        QFuture<Result> done;
    };
    QList<Pending> pending;
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    constexpr int kInFlight = 2; // the one being written and the next
    QString failure;
    qint32 failureNumber = ErrorCode::None;
    // Takes the oldest write's outcome; a failure is kept until the others end.
    auto settleOldest = [&] {
        Pending p = pending.takeFirst();
        p.done.waitForFinished();
        const Result e = p.done.result();
        if (!failure.isEmpty())
            return;
        if (!e.ok()) {
            failure = QStringLiteral("Cannot write %1: %2").arg(p.path, e.text);
            failureNumber = e.number;
            return;
        }
        Item &item = (*items_)[p.index];
        startWriteback(p.path);
        files_.append({item.oldUid, item.fileName});
        ++written_;
        // The others are done with. The viewer keeps its own, but their pixel
        // data can be read again from their files until the old entries go,
        // and the viewer is emptied after the job: holding a study's pixels
        // twice costs more time than the write.
        if (item.viewerIndex == 0)
            item.image.reset();
        else
            ReleaseReloadableValues(item.image);
        report_.advance();
    };
    for (int i = from; i < to && failure.isEmpty(); ++i) {
        Item &item = (*items_)[i];
        for (auto it = item.values.cbegin(); it != item.values.cend(); ++it) {
            Result e;
            if (!SetAttribute(item.image, quint16(it.key() >> 16), quint16(it.key() & 0xFFFF), it.value(), &e)) {
                failure = QStringLiteral("Cannot write (%1) of %2: %3").arg(tagText(it.key()), item.oldUid, e.text);
                failureNumber = e.number;
                break;
            }
        }
        if (!failure.isEmpty())
            break;
        report_.idle();
        const QString path = work_ + QLatin1Char('/') + item.fileName;
        if (beforeWrite && !beforeWrite(item.fileName, written_ + int(pending.size()))) {
            failure = QStringLiteral("Cannot write %1: no space left on device").arg(path);
            failureNumber = ErrorCode::WriteFailed;
            break;
        }
        pending.append({i, path, QtConcurrent::run(&pool, [image = item.image, path] {
                            Result e;
                            if (!WriteDicomFile(image, path, &e) && e.ok())
                                e = Result::failure(ErrorCode::WriteFailed, QStringLiteral("not written"));
                            return e;
                        })});
        if (pending.size() >= kInFlight)
            settleOldest();
    }
    while (!pending.isEmpty())
        settleOldest();
    if (!failure.isEmpty())
        return fail(failure, failureNumber, false);
    return true;
}

void HeaderUpdateJob::disposeRemoved()
{
    if (removed_.isEmpty())
        return;
    // On the shared pool, which the application waits for as it ends; a run
    // cut short leaves the folder to the next start.
    QThreadPool::globalInstance()->start([folder = removed_] { RemoveFolderOfFiles(folder); });
    removed_.clear();
}

bool HeaderUpdateJob::removeOld()
{
    DeletionReport r;
    r.append = [this](const QString &t) { report_.append(t); };
    // Once the old entries are gone the work folder holds the only copies, and
    // must say so: the marker names the old images, so that a start after a
    // crash can tell whether the removal's commit came (their rows gone). The
    // copies, the marker and the folder reach the disk in one batch before
    // the removal begins, outside its lock; a flush one after the other made
    // the operator wait for each.
    QByteArray content = kMarkerHead;
    for (const auto &[old, file] : std::as_const(files_))
        content += QUrl::toPercentEncoding(old) + '\t' + file.toUtf8() + '\n';
    content += kMarkerEnd;
    QFile marker(work_ + QLatin1Char('/') + MarkerName);
    if (!marker.open(QIODevice::WriteOnly) || marker.write(content) != content.size() || !marker.flush())
        return fail(QStringLiteral("Cannot write %1; nothing was changed.").arg(marker.fileName()), ErrorCode::WriteFailed, false);
    marker.close();
    QStringList flushed;
    for (const QString &f : QDir(work_).entryList(QDir::Files))
        flushed << work_ + QLatin1Char('/') + f;
    flushed << work_;
    const QStringList unflushed = BatchFlush().flush(flushed, [this] { report_.idle(); });
    if (!unflushed.isEmpty())
        return fail(QStringLiteral("Cannot flush %1; nothing was changed.").arg(unflushed.first()), ErrorCode::WriteFailed, false);
    if (afterStep)
        afterStep(Step::MarkerWritten);
    // The old files are moved aside and removed once the job is done: each
    // unlink waits for the disk to trim its blocks, which the operator need
    // not wait for. Without that folder they are unlinked here.
    removed_ = WorkFolder() + QLatin1Char('/') + QString::fromLatin1(kRemovedPrefix) + QFileInfo(work_).fileName();
    if (!QDir().mkdir(removed_))
        removed_.clear();
    // Exactly the images the job rewrote: one the receiver files beside them meanwhile stays.
    if (DeleteImageListFromDatabase(rewritten_, r, removed_)) {
        if (afterStep)
            afterStep(Step::EntriesRemoved);
        return true;
    }
    // The routine rolled its rows back; the old images stay as they were.
    disposeRemoved();
    return fail(QStringLiteral("The old database entries could not be removed; nothing was changed."), ErrorCode::InvalidCall, false);
}

bool HeaderUpdateJob::handToReceiver()
{
    report_.append(QStringLiteral("Moving images to input folder ... "));
    const QString temp = AppPath(QString::fromLatin1(AppFiles::ImportFolder));
    QDir().mkpath(temp);
    const QStringList files = QDir(work_).entryList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name);
    report_.setMaximum(int(files.size()));
    for (const QString &f : files) {
        if (!moveInto(work_ + QLatin1Char('/') + f, temp))
            return fail(QStringLiteral("Cannot move %1 into %2; the rewritten images stay in %3 and go to the receiver at the next start").arg(f, temp, work_),
                        ErrorCode::WriteFailed, false, true);
        if (afterStep)
            afterStep(Step::FileMoved);
        report_.advance();
    }
    report_.append(QStringLiteral("OK\r\n"));
    QDir(work_).removeRecursively();
    return true;
}

void HeaderUpdateJob::HandOverLeftovers()
{
    const QString where = kWhere + QStringLiteral(" (LEFTOVER)");
    const QString temp = AppPath(QString::fromLatin1(AppFiles::ImportFolder));
    const QDir work(WorkFolder());
    for (const QString &name : work.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString folder = work.filePath(name);
        if (name.startsWith(QLatin1String(kRemovedPrefix))) {
            // Old images whose rows went; the run ended before it removed them.
            const int files = RemoveFolderOfFiles(folder);
            WriteErrorLog(ErrorCode::None, QStringLiteral("Removed %1 old image(s) of a header update from %2").arg(files).arg(folder), where);
            continue;
        }
        const Marker marker = readMarker(folder + QLatin1Char('/') + MarkerName);
        if (!marker.complete) {
            // The job stopped before it removed anything: the originals are still filed.
            QDir(folder).removeRecursively();
            WriteErrorLog(ErrorCode::None, QStringLiteral("Deleted %1, left by a header update that removed no entries").arg(folder), where);
            continue;
        }
        // The marker is written before the removal commits: the job may have
        // died in between. The old rows of the images still here must be gone;
        // one handed over already may be filed again under its old UID.
        QStringList pending;
        for (const auto &[old, file] : marker.files)
            if (QFileInfo(file).fileName() == file && QFileInfo::exists(folder + QLatin1Char('/') + file))
                pending << old;
        bool readable = false;
        const QStringList filed = marker.legacy ? QStringList() : ImagesWithRows(pending, &readable);
        if (!marker.legacy && !readable) {
            WriteErrorLog(ErrorCode::NotReadable,
                          QStringLiteral("%1 stays for the next start: the image database cannot be read to see whether its old entries are gone").arg(folder),
                          where);
            continue;
        }
        if (!filed.isEmpty()) {
            QDir(folder).removeRecursively();
            WriteErrorLog(ErrorCode::None,
                          QStringLiteral("Deleted %1, left by a header update whose old entries are still filed (%2 of %3 images, %4 among them): "
                                         "its removal never completed")
                              .arg(folder)
                              .arg(filed.size())
                              .arg(marker.files.size())
                              .arg(filed.first()),
                          where);
            continue;
        }
        QDir().mkpath(temp);
        int moved = 0, left = 0;
        for (const QString &f : QDir(folder).entryList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name))
            moveInto(folder + QLatin1Char('/') + f, temp) ? ++moved : ++left;
        // The marker goes last: a folder still holding images keeps it for the next start.
        if (left == 0)
            QDir(folder).removeRecursively();
        WriteErrorLog(left ? ErrorCode::WriteFailed : ErrorCode::None,
                      QStringLiteral("Handed %1 image(s) of an interrupted header update from %2 to the receiver (%3)%4")
                          .arg(moved)
                          .arg(folder, temp, left ? QStringLiteral("; %1 could not be moved and stay there").arg(left) : QString()),
                      where);
    }
}
