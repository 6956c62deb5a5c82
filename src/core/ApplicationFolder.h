#pragma once

#include <QString>

// The folder every fixed path hangs off: the executable's folder, or
// LUMORA_APP_FOLDER when set (tests, demo stations, several stations on one machine).
QString ApplicationFolder();

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
} // namespace AppFiles
