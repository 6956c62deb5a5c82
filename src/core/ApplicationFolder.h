#pragma once

#include <QMutex>
#include <QString>

#include <optional>

// Where the application folder is, and why.
enum class FolderKind {
    Named,    // LUMORA_APP_FOLDER (tests, demo stations, the receiver service)
    Build,    // the executable's own folder, as a build lays it out
    PerUser,  // an installed program: ~/.local/share/lumora-station
    SiteWide, // an installed program whose site configuration says "site"
};

struct FolderChoice {
    QString path;
    FolderKind kind = FolderKind::Build;
};

// What the choice is made from, read from the environment by ApplicationFolder().
struct FolderInputs {
    QString named;         // LUMORA_APP_FOLDER
    QString programFolder; // the executable's folder
    QString templates;     // the installed templates; empty when the program runs from a build
    QString siteFolder;    // the "Folder" key of the site configuration ("site", "per-user" or empty)
    QString home;          // $HOME
};

FolderChoice ChooseApplicationFolder(const FolderInputs &inputs);

// The inputs of this process.
FolderInputs CurrentFolderInputs();

// Process-wide, like the settings record: the application folder is a fact of
// the process, not of an object. Every path, the companions' included, hangs
// off the one choice; two choices in one process would put the databases in
// one folder and the logs in another. Read and set only through
// ApplicationFolderChoice() and FixApplicationFolder() (core/FixFolder.h).
struct FixedApplicationFolder {
    QMutex mutex;
    std::optional<FolderChoice> choice;
};
extern constinit FixedApplicationFolder ProcessApplicationFolder;

// The folder every fixed path hangs off: LUMORA_APP_FOLDER when set; the
// executable's folder in a build; once installed, the per-user or the
// site-wide folder (the site configuration decides). Chosen at the first
// call and kept for the life of the process (core/FixFolder.h).
QString ApplicationFolder();
FolderChoice ApplicationFolderChoice();

// The folder of the executable itself: where the companions are found once installed.
QString ProgramFolder();

// The templates an installed program copies into a new application folder
// (/usr/share/lumora-station); empty for a build.
QString TemplateFolder();

// The site configuration an installed program reads.
inline constexpr const char *SiteConfiguration = "/etc/lumora-station/station.conf";
inline constexpr const char *SiteWideFolder = "/var/lib/lumora-station";

// Who may read what this process makes in the application folder. The
// site-wide folder (also when LUMORA_APP_FOLDER names it, as the receiver
// service does) is shared with the group and closed to other accounts (umask
// 007); a per-user folder is its owner's alone (umask 077). Another named
// folder or a build keeps the umask the process was given. Returns the umask
// set, or -1 when none was.
int RestrictFolderUmask(const FolderChoice &choice);

// Makes an installed program's application folder ready: the folder and the
// missing template files (never replacing one), images/, temp/ and Logs/,
// with RestrictFolderUmask() applied first; the copied templates are
// writable by the group in the site-wide folder, by the owner alone in a
// per-user one, and never readable by other accounts. False with the reason
// when the folder cannot be made.
bool PrepareApplicationFolder(const FolderChoice &choice, const QString &templates, QString *error);

// ApplicationFolder() + "/" + relative, for the fixed names below it.
QString AppPath(const QString &relative);

// The program's version, "major.minor.patch" (title bar, splash, About).
QString VersionText();

// Fixed names below the application folder.
namespace AppFiles {
inline constexpr const char *ImageDatabase = "Data/LumoraData.dat";
inline constexpr const char *DefinitionsDatabase = "Data/LumoraUser.dat";
inline constexpr const char *TemplateDatabase = "Data/LumoraDef.dat";
inline constexpr const char *ImagesFolder = "images";
inline constexpr const char *TransferFolder = "transfer";
inline constexpr const char *ImportFolder = "temp";
inline constexpr const char *WorkFolder = "bin";
inline constexpr const char *LogsFolder = "Logs";
inline constexpr const char *ProjectionCaptions = "projection.ini";
inline constexpr const char *SplashPicture = "orvana.jpg";
inline constexpr const char *SerialInput = "cInput.txt";
inline constexpr const char *DoneFile = "done.txt";
inline constexpr const char *SettingsFile = "LumoraStation.ini";
inline constexpr const char *LockFile = "OrvanaMammo.lock";
// The receiver's process id while it listens: a receiver of another account
// (the service) cannot be told apart from /proc alone.
inline constexpr const char *ReceiverPidFile = "LumoraReceiver.pid";
} // namespace AppFiles
