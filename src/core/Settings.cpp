#include "core/Settings.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "core/VbConvert.h"

#include <QSettings>
#include <QStringList>
#include <variant>

SettingsRecord Settings;

namespace {

using Field = std::variant<qint16 SettingsRecord::*, qint32 SettingsRecord::*, QString SettingsRecord::*>;

struct Key {
    const char *path;
    const char *defaultText;
    Field field;
};

// In the order they are read.
const Key kKeys[] = {
    {"General\\RunAsClient", "0", &SettingsRecord::RunAsClient},
    {"General\\ModifyImageHeader", "1", &SettingsRecord::ModifyImageHeader},
    // One four-view study a page. A station that ran before keeps its grid:
    // every OK in the options dialog, the first at start-up, stores it.
    {"General\\Viewer_Rows", "2", &SettingsRecord::Viewer_Rows},
    {"General\\Viewer_Columns", "2", &SettingsRecord::Viewer_Columns},
    {"General\\Viewer_bgColor", "&H00000000&", &SettingsRecord::Viewer_bgColor},
    {"General\\Viewer_fgColor", "&H00C0FFFF&", &SettingsRecord::Viewer_fgColor},
    {"General\\EditAndSend", "0", &SettingsRecord::EditAndSend},
    {"General\\SentAndKeep", "1", &SettingsRecord::SentAndKeep},
    {"General\\AutoWindow", "0", &SettingsRecord::AutoWindow},
    {"General\\ComputeWindow", "0", &SettingsRecord::ComputeWindow},
    {"General\\CustomWidth", "0", &SettingsRecord::CustomWidth},
    {"General\\CustomCenter", "0", &SettingsRecord::CustomCenter},
    {"General\\StopService", "0", &SettingsRecord::StopService},
    {"Com\\IR_AET", "LumoraStation", &SettingsRecord::IR_AET},
    {"Com\\IR_Port", "105", &SettingsRecord::IR_Port},
    {"Com\\SCP_AET", "", &SettingsRecord::SCP_AET},
    {"Com\\SCP_IP", "", &SettingsRecord::SCP_IP},
    {"Com\\SCP_Port", "", &SettingsRecord::SCP_Port},
    {"Com\\FOR_Port", "", &SettingsRecord::FOR_Port},
    {"Com\\CheckCalledAE", "0", &SettingsRecord::CheckCalledAE},
    {"Com\\KnownPartnersOnly", "0", &SettingsRecord::KnownPartnersOnly},
    {"Com\\IR_TLS", "0", &SettingsRecord::IR_TLS},
    {"Com\\IR_TLS_Port", "2762", &SettingsRecord::IR_TLS_Port},
    {"Com\\IR_PlainPort", "1", &SettingsRecord::IR_PlainPort},
    {"Com\\TLS_PrivateKey", DefaultTlsPrivateKey, &SettingsRecord::TLS_PrivateKey},
    {"Com\\TLS_Certificate", DefaultTlsCertificate, &SettingsRecord::TLS_Certificate},
    {"Com\\TLS_TrustedCertificates", DefaultTlsTrustedCertificates, &SettingsRecord::TLS_TrustedCertificates},
    {"Worklist\\LocalAET", "", &SettingsRecord::LocalAET},
    {"Worklist\\RemoteAET", "", &SettingsRecord::RemoteAET},
    {"Worklist\\RemoteIP", "", &SettingsRecord::RemoteIP},
    {"Worklist\\RemotePort", "", &SettingsRecord::RemotePort},
    {"Worklist\\TLS", "0", &SettingsRecord::WorklistTLS},
    {"ComPort\\Speed", "5", &SettingsRecord::Speed},
    {"ComPort\\Parity", "2", &SettingsRecord::Parity},
    {"ComPort\\Bit_Get", "4", &SettingsRecord::Bit_Get},
    {"ComPort\\Bit_Put", "0", &SettingsRecord::Bit_Put},
    {"ComPort\\Flux", "0", &SettingsRecord::Flux},
    {"ComPort\\Port", "1", &SettingsRecord::Port},
    {"ComPort\\Time_Out_Start", "5", &SettingsRecord::Time_Out_Start},
    {"ComPort\\Time_Out_End", "5", &SettingsRecord::Time_Out_End},
    {"Filter\\Active", "", &SettingsRecord::FilterActive},
    {"General\\Debug", "", &SettingsRecord::Debug},
    {"General\\XrayComm", "1", &SettingsRecord::XrayComm},
    {"General\\Database", "LumoraData.dat", &SettingsRecord::Database},
};

// The order they are written back.
const char *const kSaveOrder[] = {
    "General\\RunAsClient", "General\\ModifyImageHeader", "General\\Debug", "General\\Viewer_Rows",
    "General\\Viewer_Columns", "General\\Viewer_bgColor", "General\\Viewer_fgColor",
    "General\\EditAndSend", "General\\SentAndKeep", "General\\AutoWindow", "General\\ComputeWindow",
    "General\\CustomWidth", "General\\CustomCenter", "General\\StopService", "General\\XrayComm",
    "General\\Database", "Com\\IR_AET", "Com\\IR_Port", "Com\\SCP_AET", "Com\\SCP_IP",
    "Com\\SCP_Port", "Com\\FOR_Port", "Com\\CheckCalledAE", "Com\\KnownPartnersOnly", "Com\\IR_TLS", "Com\\IR_TLS_Port", "Com\\IR_PlainPort",
    "Com\\TLS_PrivateKey", "Com\\TLS_Certificate", "Com\\TLS_TrustedCertificates", "Worklist\\LocalAET", "Worklist\\RemoteAET",
    "Worklist\\RemoteIP", "Worklist\\RemotePort", "Worklist\\TLS", "ComPort\\Speed", "ComPort\\Parity",
    "ComPort\\Bit_Get", "ComPort\\Bit_Put", "ComPort\\Flux", "ComPort\\Port",
    "ComPort\\Time_Out_Start", "ComPort\\Time_Out_End", "Filter\\Active",
};

// "General\Key" is the key of the one "[General]" section people write, which
// QSettings takes as its top level.
QString iniKey(const QString &keyPath)
{
    QString k = keyPath;
    k.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (k.startsWith(QLatin1String("General/")))
        k = k.mid(8);
    return k;
}

QString settingsFile() { return AppPath(QString::fromLatin1(AppFiles::SettingsFile)); }

QString deviceKey(int n) { return QStringLiteral("ComPort\\Device%1").arg(n); }

QString textOf(const QVariant &v)
{
    // QSettings hands back a list for an unquoted value with commas.
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

const Key *findKey(const char *path)
{
    for (const Key &k : kKeys) {
        if (qstrcmp(k.path, path) == 0)
            return &k;
    }
    return nullptr;
}

void readInto(const Key &key)
{
    const QString text = ReadSetting(QString::fromLatin1(key.path), QString::fromLatin1(key.defaultText));
    std::visit(
        [&](auto member) {
            using T = std::remove_reference_t<decltype(Settings.*member)>;
            if constexpr (std::is_same_v<T, QString>) {
                Settings.*member = text;
            } else if constexpr (std::is_same_v<T, qint16>) {
                if (const auto v = ToInt16(text))
                    Settings.*member = *v;
            } else {
                if (const auto v = ToInt32(text))
                    Settings.*member = *v;
            }
        },
        key.field);
}

QString textFor(const Key &key)
{
    return std::visit(
        [&](auto member) -> QString {
            using T = std::remove_reference_t<decltype(Settings.*member)>;
            if constexpr (std::is_same_v<T, QString>)
                return Settings.*member;
            else
                return QString::number(Settings.*member);
        },
        key.field);
}

// Earlier versions saved the group "General" as "[%General]" beside the
// hand-written "[General]", which then lost every later hand edit. Folded into
// "[General]" once; the saved value wins, as the options dialog stored it last.
void foldSavedGeneralSection(QSettings &ini)
{
    if (!ini.childGroups().contains(QLatin1String("General")))
        return;
    ini.beginGroup(QStringLiteral("General"));
    const QStringList keys = ini.childKeys();
    QList<QVariant> saved;
    for (const QString &key : keys)
        saved << ini.value(key);
    ini.endGroup();
    for (int i = 0; i < keys.size(); ++i) {
        const QVariant hand = ini.value(keys[i]);
        if (hand.isValid() && textOf(hand) != textOf(saved[i]))
            WriteErrorNote(QStringLiteral("[General] %1=%2 written by hand gave way to the saved %1=%3").arg(keys[i], textOf(hand), textOf(saved[i])),
                          QStringLiteral("Global LoadSettings"));
        ini.setValue(keys[i], saved[i]);
    }
    ini.remove(QStringLiteral("General"));
    ini.sync();
}

} // namespace

QString ReadSetting(const QString &keyPath, const QString &defaultText)
{
    QSettings ini(settingsFile(), QSettings::IniFormat);
    foldSavedGeneralSection(ini);
    const QVariant v = ini.value(iniKey(keyPath));
    const QString text = v.isValid() ? textOf(v) : QString();
    return text.isEmpty() ? defaultText : text;
}

void WriteSetting(const QString &fullPath, const QString &text, const QString &type)
{
    Q_UNUSED(type); // every value is a string
    QString path = fullPath;
    const QString root = QString::fromLatin1(SettingsRoot);
    if (path.startsWith(root, Qt::CaseInsensitive))
        path = path.mid(root.size());
    QSettings ini(settingsFile(), QSettings::IniFormat);
    foldSavedGeneralSection(ini);
    ini.setValue(iniKey(path), text);
    ini.sync(); // an unwritable file fails silently
}

void LoadSettings()
{
    for (const Key &key : kKeys) {
        readInto(key);
        if (key.field == Field(&SettingsRecord::Viewer_Columns)) {
            const int product = int(Settings.Viewer_Rows) * int(Settings.Viewer_Columns);
            if (product >= -32768 && product <= 32767) // overflow keeps the previous product
                Settings.ImagesPerPage = static_cast<qint16>(product);
        }
    }
    for (int n = 1; n <= 8; ++n)
        Settings.ComDevice[n - 1] = ReadSetting(deviceKey(n), QStringLiteral("/dev/ttyS%1").arg(n - 1));
}

void SaveSettings()
{
    const QString root = QString::fromLatin1(SettingsRoot);
    for (const char *path : kSaveOrder) {
        if (const Key *key = findKey(path))
            WriteSetting(root + QString::fromLatin1(path), textFor(*key));
    }
    for (int n = 1; n <= 8; ++n)
        WriteSetting(root + deviceKey(n), Settings.ComDevice[n - 1]);
}

QString ComPortDevice(int portNumber)
{
    if (portNumber < 1 || portNumber > 8)
        return {};
    return Settings.ComDevice[portNumber - 1];
}
