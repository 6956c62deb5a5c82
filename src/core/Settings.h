#pragma once

#include <QString>
#include <array>

// The process-wide settings record. Every field starts at 0 / empty; a stored
// value that does not convert leaves the field as it was.
struct SettingsRecord {
    qint16 RunAsClient = 0;
    qint16 ModifyImageHeader = 0;
    qint16 Viewer_Rows = 0;
    qint16 Viewer_Columns = 0;
    qint32 Viewer_bgColor = 0; // 0x00BBGGRR
    qint32 Viewer_fgColor = 0; // 0x00BBGGRR
    qint16 EditAndSend = 0;
    qint16 SentAndKeep = 0;
    qint16 AutoWindow = 0;
    qint16 ComputeWindow = 0;
    QString CustomWidth;
    QString CustomCenter;
    qint32 StopService = 0;
    QString IR_AET;
    QString IR_Port;
    QString SCP_AET;
    QString SCP_IP;
    QString SCP_Port;
    QString FOR_Port;
    // The receiver's association acceptance: the called AE title must be its
    // own; only the known partners may store and echo. Both off by default.
    qint16 CheckCalledAE = 0;
    qint16 KnownPartnersOnly = 0;
    // The receiver's TLS port (Com\IR_TLS 1: listening on Com\IR_TLS_Port)
    // and whether its plain port stays open beside it.
    qint16 IR_TLS = 0;
    QString IR_TLS_Port;
    qint16 IR_PlainPort = 0;
    // The station's TLS key and certificate and the site's trusted certificates (PEM files).
    QString TLS_PrivateKey;
    QString TLS_Certificate;
    QString TLS_TrustedCertificates;
    QString LocalAET;
    QString RemoteAET;
    QString RemoteIP;
    QString RemotePort;
    qint16 WorklistTLS = 0; // the worklist provider is reached over TLS
    qint16 Speed = 0;
    qint16 Parity = 0;
    qint16 Bit_Get = 0;
    qint16 Bit_Put = 0;
    qint16 Flux = 0;
    qint16 Port = 0;
    qint16 Time_Out_Start = 0;
    qint16 Time_Out_End = 0;
    QString FilterActive;
    qint16 Debug = 0;
    qint16 XrayComm = 0;
    QString Database;

    // Derived: Viewer_Rows × Viewer_Columns.
    qint16 ImagesPerPage = 0;

    // The device behind serial port number N is ComDevice[N-1].
    std::array<QString, 8> ComDevice;
};

// The package's site folder of the TLS files, and their default names in it.
inline constexpr const char *DefaultTlsPrivateKey = "/etc/lumora-station/tls/station.key";
inline constexpr const char *DefaultTlsCertificate = "/etc/lumora-station/tls/station.crt";
inline constexpr const char *DefaultTlsTrustedCertificates = "/etc/lumora-station/tls/trusted.pem";

// Process-wide: one settings file, read at start and by the options dialog, read everywhere.
extern SettingsRecord Settings;

// The prefix under which the settings once lived; WriteSetting takes full paths with it.
inline constexpr const char *SettingsRoot = "HKLM\\Software\\Verdane\\LumoraStation\\";

// The text stored at keyPath ("General\\Debug"); defaultText when missing,
// unreadable or empty.
QString ReadSetting(const QString &keyPath, const QString &defaultText);

// Stores text at fullPath (SettingsRoot + key path; a bare key path is accepted
// too). Only the string type exists. Failures are swallowed.
void WriteSetting(const QString &fullPath, const QString &text, const QString &type = QStringLiteral("REG_SZ"));

void LoadSettings();
void SaveSettings();

// The device of serial port number 1..8 ("" outside that range).
QString ComPortDevice(int portNumber);
