// libFuzzer entry: the bytes written as the DICOMDIR of a medium and imported
// as "Import DICOM-Dir" does it, through the toolkit's directory reading, the
// Referenced File IDs' resolution and the import of each file into temp/.
// The medium's images come from the folder LUMORA_FUZZ_MEDIUM names.
#include "transfer/ImportImages.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QTemporaryDir *work = nullptr;
QString medium, temp, errorLog;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    work = new QTemporaryDir; // for the whole run
    if (!work->isValid())
        std::abort();
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(work->filePath(QStringLiteral("station"))));
    medium = work->filePath(QStringLiteral("medium"));
    temp = work->filePath(QStringLiteral("station/temp"));
    errorLog = work->filePath(QStringLiteral("station/Logs/Error.log"));
    QDir().mkpath(medium);
    const QString from = qEnvironmentVariable("LUMORA_FUZZ_MEDIUM");
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString relative = QDir(from).relativeFilePath(file);
        if (relative == QLatin1String("DICOMDIR"))
            continue;
        QDir().mkpath(QFileInfo(medium + QLatin1Char('/') + relative).absolutePath());
        QFile::copy(file, medium + QLatin1Char('/') + relative);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString dicomdir = medium + QStringLiteral("/DICOMDIR");
    QFile file(dicomdir);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        std::abort();
    file.close();
    const DirectoryImport done = ImportDirectory(dicomdir, QStringLiteral("fuzz"));
    if (done.imported < 0 || done.skipped < 0 || (!done.ok() && (done.imported + done.skipped != 0 || done.text.isEmpty())))
        __builtin_trap();
    // Only images named by their UID reach temp/, no more than were imported.
    const QStringList written = QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    if (written.size() > done.imported)
        __builtin_trap();
    for (const QString &name : written)
        if (!name.endsWith(QLatin1String(".dcm")) || !QFile::remove(temp + QLatin1Char('/') + name))
            __builtin_trap();
    QFile::remove(errorLog);
    return 0;
}
