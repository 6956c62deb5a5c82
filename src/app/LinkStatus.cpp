#include "app/LinkStatus.h"

#include "app/Companions.h"
#include "core/ApplicationFolder.h"
#include "core/Settings.h"

#include <QFile>

namespace {

QString lastLine(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    // The last line is all that is needed; the log may be large.
    if (f.size() > 4096)
        f.seek(f.size() - 4096);
    const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
    return QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last()).trimmed();
}

} // namespace

QString ReceiverPortsText(const SettingsRecord &settings)
{
    const QString plain = QStringLiteral("port %1").arg(settings.IR_Port);
    if (settings.IR_TLS != 1)
        return plain;
    const QString tls = QStringLiteral("TLS port %1").arg(settings.IR_TLS_Port);
    return settings.IR_PlainPort == 1 ? plain + QStringLiteral(", ") + tls : tls;
}

LinkState ReceiverLinkState()
{
    LinkState s;
    const QString ports = ReceiverPortsText(Settings);
    if (const qint64 pid = FindCompanion(QString::fromLatin1(ReceiverName)); pid != 0) {
        s.up = true;
        // Run by another account: the site's receiver service, which the workstation uses as it is.
        const bool service = RunsAsAnotherUser(pid);
        s.text = (service ? QStringLiteral("Receiver service: %1") : QStringLiteral("Receiver: %1")).arg(ports);
        return s;
    }
    s.lastError = lastLine(AppPath(QStringLiteral("Logs/Receiver.log")));
    const QString reason = s.lastError.contains(QLatin1String("in use"), Qt::CaseInsensitive)              ? QStringLiteral(" in use")
                         : s.lastError.contains(QLatin1String("permission denied"), Qt::CaseInsensitive) ? QStringLiteral(": permission denied")
                                                                                                       : QString();
    s.text = QStringLiteral("Receiver stopped – %1%2").arg(ports, reason);
    return s;
}

LinkState SerialLinkState(bool portOpen, const QString &device, const QString &portError)
{
    LinkState s;
    s.up = portOpen;
    if (portOpen)
        s.text = QStringLiteral("X-ray unit: %1").arg(device);
    else if (device.isEmpty() || !QFile::exists(device))
        s.text = QStringLiteral("X-ray unit: %1 not found").arg(device);
    else
        s.text = QStringLiteral("X-ray unit: %1 cannot be opened").arg(device);
    if (!portOpen)
        s.lastError = portError;
    return s;
}

void LinkMonitor::check()
{
    receiver_ = ReceiverLinkState();
    const QString device = ComPortDevice(Settings.Port);
    const bool exists = !device.isEmpty() && QFile::exists(device);
    bool open = serialOpen && serialOpen();
    if (!open && exists && deviceMissing_ && reopenSerial) {
        reopenSerial();
        open = serialOpen && serialOpen();
    }
    deviceMissing_ = !exists;
    serial_ = SerialLinkState(open, device, serialError ? serialError() : QString());
}
