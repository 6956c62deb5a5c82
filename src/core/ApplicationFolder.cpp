#include "core/ApplicationFolder.h"
#include "core/FixFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>

#include <optional>
#include <sys/stat.h>

// Constant-initialised: a path asked for during another file's static
// initialisation finds it ready.
constinit FixedApplicationFolder ProcessApplicationFolder;

FolderChoice ChooseApplicationFolder(const FolderInputs &in)
{
    if (!in.named.isEmpty())
        return {QDir::cleanPath(QDir(in.named).absolutePath()), FolderKind::Named};
    if (in.templates.isEmpty())
        return {in.programFolder, FolderKind::Build};
    if (in.siteFolder.trimmed().compare(QLatin1String("site"), Qt::CaseInsensitive) == 0)
        return {QString::fromLatin1(SiteWideFolder), FolderKind::SiteWide};
    return {QDir::cleanPath(in.home + QStringLiteral("/.local/share/lumora-station")), FolderKind::PerUser};
}

QString ProgramFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // No application object yet (early start, plain tools): ask the kernel.
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    return QFileInfo(self.symLinkTarget()).absolutePath();
}

QString TemplateFolder()
{
    // Installed as <prefix>/lib/lumora-station/ beside <prefix>/share/lumora-station/.
    const QString shared = QDir::cleanPath(ProgramFolder() + QStringLiteral("/../../share/lumora-station"));
    return QFileInfo::exists(shared + QLatin1Char('/') + QLatin1String(AppFiles::TemplateDatabase)) ? shared : QString();
}

FolderInputs CurrentFolderInputs()
{
    FolderInputs in;
    in.named = qEnvironmentVariable("LUMORA_APP_FOLDER");
    if (!in.named.isEmpty())
        return in;
    in.programFolder = ProgramFolder();
    in.templates = TemplateFolder();
    if (!in.templates.isEmpty()) {
        in.home = QDir::homePath();
        if (QFileInfo::exists(QString::fromLatin1(SiteConfiguration)))
            in.siteFolder = QSettings(QString::fromLatin1(SiteConfiguration), QSettings::IniFormat).value(QStringLiteral("Folder")).toString();
    }
    return in;
}

FolderChoice ApplicationFolderChoice()
{
    FixedApplicationFolder &f = ProcessApplicationFolder;
    QMutexLocker lock(&f.mutex);
    if (!f.choice)
        f.choice = ChooseApplicationFolder(CurrentFolderInputs());
    return *f.choice;
}

void FixApplicationFolder(const FolderChoice &choice)
{
    FixedApplicationFolder &f = ProcessApplicationFolder;
    QMutexLocker lock(&f.mutex);
    f.choice = choice;
}

QString ApplicationFolder() { return ApplicationFolderChoice().path; }

namespace {

bool IsSiteFolder(const FolderChoice &choice)
{
    return choice.kind == FolderKind::SiteWide
        || (choice.kind == FolderKind::Named && choice.path == QDir::cleanPath(QString::fromLatin1(SiteWideFolder)));
}

} // namespace

int RestrictFolderUmask(const FolderChoice &choice)
{
    // Patient data: never for other accounts.
    if (IsSiteFolder(choice)) {
        ::umask(S_IRWXO);
        return S_IRWXO;
    }
    if (choice.kind == FolderKind::PerUser) {
        ::umask(S_IRWXG | S_IRWXO);
        return S_IRWXG | S_IRWXO;
    }
    return -1;
}

bool PrepareApplicationFolder(const FolderChoice &choice, const QString &templates, QString *error)
{
    RestrictFolderUmask(choice);
    if (choice.kind != FolderKind::PerUser && choice.kind != FolderKind::SiteWide)
        return true;
    QDir root(choice.path);
    for (const char *sub : {"Data", AppFiles::ImagesFolder, AppFiles::ImportFolder, AppFiles::LogsFolder}) {
        if (!root.mkpath(QString::fromLatin1(sub))) {
            if (error)
                *error = QStringLiteral("cannot create %1/%2").arg(choice.path, QString::fromLatin1(sub));
            return false;
        }
    }
    if (templates.isEmpty())
        return true;
    QDirIterator it(templates, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString from = it.next();
        const QString relative = QDir(templates).relativeFilePath(from);
        const QString to = root.filePath(relative);
        if (QFileInfo::exists(to))
            continue;
        root.mkpath(QFileInfo(relative).path());
        if (!QFile::copy(from, to)) {
            if (error)
                *error = QStringLiteral("cannot copy %1 to %2").arg(from, to);
            return false;
        }
        // The templates are read-only and readable by all below /usr; the
        // copies are the station's own, and patients' records.
        QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner
                                      | (choice.kind == FolderKind::SiteWide ? QFile::ReadGroup | QFile::WriteGroup : QFile::Permissions()));
    }
    return true;
}

QString AppPath(const QString &relative)
{
    return ApplicationFolder() + QLatin1Char('/') + relative;
}

QString VersionText()
{
    return QStringLiteral("%1.%2.%3").arg(LUMORA_VERSION_MAJOR).arg(LUMORA_VERSION_MINOR).arg(LUMORA_VERSION_PATCH);
}
