#include "audit/AuditDelivery.h"

#include "audit/AuditTrail.h"
#include "core/Settings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kTimeoutMs = 10000;
// A batch is confirmed before the next is sent; a backlog goes in steps.
constexpr int kBatchRecords = 500;
constexpr qint64 kBatchBytes = 4 * 1024 * 1024;
// The largest UDP payload over IPv4.
constexpr qsizetype kUdpMax = 65507;

QString sslErrors()
{
    QStringList texts;
    while (const unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        texts << QString::fromLatin1(buffer);
    }
    return texts.isEmpty() ? QStringLiteral("no detail") : texts.join(QStringLiteral("; "));
}

Result fail(const QString &text) { return Result::failure(ErrorCode::NetworkError, text); }

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The milliseconds one blocking call may take: the time-out, or what is left
// before the deadline if that is less; 0 when nothing is left.
int callLimit(const QDeadlineTimer &deadline)
{
    if (deadline.isForever())
        return kTimeoutMs;
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, kTimeoutMs));
}

// Each later call on the socket bounded as above.
bool boundCalls(int fd, const QDeadlineTimer &deadline)
{
    const int ms = callLimit(deadline);
    if (ms <= 0)
        return false;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 && ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

QString timeUp() { return QStringLiteral("the time for delivery ran out"); }

// A connected socket of the type asked for, within the time-out.
int connectTo(const AuditRepository &repo, int type, const QDeadlineTimer &deadline, QString *why)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    addrinfo *found = nullptr;
    const QByteArray host = repo.host.toUtf8();
    const QByteArray port = QByteArray::number(repo.port);
    if (const int rc = ::getaddrinfo(host.constData(), port.constData(), &hints, &found); rc != 0) {
        *why = QStringLiteral("%1: %2").arg(repo.host, QString::fromLocal8Bit(gai_strerror(rc)));
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            *why = QStringLiteral("%1 port %2: %3").arg(repo.host).arg(repo.port).arg(QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            fd = -1;
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (::poll(&p, 1, callLimit(deadline)) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            *why = QStringLiteral("%1 port %2: %3")
                       .arg(repo.host)
                       .arg(repo.port)
                       .arg(error ? QString::fromLocal8Bit(std::strerror(error)) : QStringLiteral("no answer"));
            ::close(fd);
            fd = -1;
            continue;
        }
        // Blocking from here, each call bounded by the time-out.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (!boundCalls(fd, deadline)) {
            *why = timeUp();
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

// A TLS connection to the repository, its certificate checked against the
// site's trusted ones and the host name (or address) it was reached by.
class TlsLink {
public:
    ~TlsLink()
    {
        if (ssl_)
            SSL_free(ssl_);
        if (ctx_)
            SSL_CTX_free(ctx_);
    }

    explicit TlsLink(const QDeadlineTimer &deadline) : deadline_(deadline) {}

    Result open(const AuditRepository &repo)
    {
        ctx_ = SSL_CTX_new(TLS_client_method());
        if (!ctx_)
            return fail(QStringLiteral("TLS: ") + sslErrors());
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        // A peer that closes without close_notify has still read what came before its close.
        SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
        if (repo.caFile.isEmpty())
            return fail(QStringLiteral("TLS: no trusted certificates set (Audit\\CACertificates)"));
        if (SSL_CTX_load_verify_locations(ctx_, QFile::encodeName(repo.caFile).constData(), nullptr) != 1)
            return fail(QStringLiteral("TLS: the trusted certificates %1 cannot be read: %2").arg(repo.caFile, sslErrors()));
        if (!repo.certificateFile.isEmpty()) {
            if (SSL_CTX_use_certificate_chain_file(ctx_, QFile::encodeName(repo.certificateFile).constData()) != 1)
                return fail(QStringLiteral("TLS: the certificate %1 cannot be read: %2").arg(repo.certificateFile, sslErrors()));
            if (SSL_CTX_use_PrivateKey_file(ctx_, QFile::encodeName(repo.keyFile).constData(), SSL_FILETYPE_PEM) != 1
                || SSL_CTX_check_private_key(ctx_) != 1)
                return fail(QStringLiteral("TLS: the private key %1 cannot be used: %2").arg(repo.keyFile, sslErrors()));
        }
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        QString why;
        socket_.fd = connectTo(repo, SOCK_STREAM, deadline_, &why);
        if (socket_.fd < 0)
            return fail(why);
        ssl_ = SSL_new(ctx_);
        const QByteArray host = repo.host.toUtf8();
        unsigned char address[sizeof(in6_addr)];
        const bool isAddress = ::inet_pton(AF_INET, host.constData(), address) == 1 || ::inet_pton(AF_INET6, host.constData(), address) == 1;
        if (!isAddress) {
            SSL_set_tlsext_host_name(ssl_, host.constData());
            SSL_set1_host(ssl_, host.constData());
        } else {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.constData());
        }
        SSL_set_fd(ssl_, socket_.fd);
        if (SSL_connect(ssl_) != 1) {
            const long verify = SSL_get_verify_result(ssl_);
            return fail(verify != X509_V_OK ? QStringLiteral("TLS: the repository's certificate is refused: %1")
                                                  .arg(QString::fromLatin1(X509_verify_cert_error_string(verify)))
                                            : QStringLiteral("TLS handshake with %1 failed: %2").arg(repo.host, sslErrors()));
        }
        return {};
    }

    Result write(const QByteArray &bytes)
    {
        if (!boundCalls(socket_.fd, deadline_))
            return fail(timeUp());
        size_t written = 0;
        if (SSL_write_ex(ssl_, bytes.constData(), size_t(bytes.size()), &written) != 1 || written != size_t(bytes.size()))
            return fail(QStringLiteral("TLS: sending failed: ") + sslErrors());
        return {};
    }

    // Our close, then the repository's: it closes only after reading all
    // that came before ours.
    Result confirm()
    {
        if (!boundCalls(socket_.fd, deadline_))
            return fail(timeUp());
        if (SSL_shutdown(ssl_) < 0)
            return fail(QStringLiteral("TLS: closing failed: ") + sslErrors());
        char buffer[512];
        for (;;) {
            size_t n = 0;
            if (SSL_read_ex(ssl_, buffer, sizeof buffer, &n) == 1)
                continue; // a syslog receiver says nothing; ignore it if it does
            const int error = SSL_get_error(ssl_, 0);
            if (error == SSL_ERROR_ZERO_RETURN)
                return {};
            return fail(QStringLiteral("TLS: the repository did not confirm the end of the connection (%1)")
                            .arg(error == SSL_ERROR_SYSCALL ? QString::fromLocal8Bit(std::strerror(errno)) : sslErrors()));
        }
    }

private:
    QDeadlineTimer deadline_;
    SSL_CTX *ctx_ = nullptr;
    SSL *ssl_ = nullptr;
    Fd socket_;
};

struct Record {
    QString file;
    qint64 end = 0; // the offset after its line
    QByteArray message;
};

// The whole lines of each file past its offset, at most one batch.
QList<Record> pendingRecords(const QString &folder, const QMap<QString, qint64> &offsets, int *pendingTotal)
{
    QList<Record> batch;
    qint64 bytes = 0;
    *pendingTotal = 0;
    for (const QString &name : AuditFiles(folder)) {
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        qint64 offset = offsets.value(name, 0);
        if (offset > file.size())
            offset = 0; // not the file the offset was for
        file.seek(offset);
        const QByteArray rest = file.readAll();
        qsizetype start = 0;
        for (qsizetype nl = rest.indexOf('\n'); nl >= 0; start = nl + 1, nl = rest.indexOf('\n', start)) {
            ++*pendingTotal;
            if (batch.size() >= kBatchRecords || bytes >= kBatchBytes)
                continue;
            QByteArray line = rest.mid(start, nl - start);
            if (line.endsWith('\r'))
                line.chop(1);
            bytes += line.size();
            batch.append({name, offset + nl + 1, line});
        }
    }
    return batch;
}

bool writeOffsets(const QString &folder, const QMap<QString, qint64> &offsets, QString *why)
{
    QByteArray text;
    for (auto it = offsets.cbegin(); it != offsets.cend(); ++it)
        text += it.key().toUtf8() + ' ' + QByteArray::number(it.value()) + '\n';
    const QByteArray target = QFile::encodeName(folder + QStringLiteral("/Delivered"));
    const QByteArray temporary = target + ".new";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0 || ::write(fd, text.constData(), size_t(text.size())) != ssize_t(text.size()) || ::fsync(fd) != 0) {
        *why = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(temporary), QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    if (::rename(temporary.constData(), target.constData()) != 0) {
        *why = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(target), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

// RFC 5425's octet counting: the length, a space, the message.
QByteArray framed(const QByteArray &message) { return QByteArray::number(message.size()) + ' ' + message; }

} // namespace

RepositoryChoice AuditRepositoryFromSettings()
{
    RepositoryChoice choice;
    const QString host = ReadSetting(QStringLiteral("Audit\\RepositoryHost"), QString()).trimmed();
    if (host.isEmpty())
        return choice;
    AuditRepository repo;
    repo.host = host;
    const QString transport = ReadSetting(QStringLiteral("Audit\\Transport"), QStringLiteral("TLS")).trimmed();
    if (transport.compare(QLatin1String("TLS"), Qt::CaseInsensitive) == 0)
        repo.transport = AuditRepository::Transport::Tls;
    else if (transport.compare(QLatin1String("UDP"), Qt::CaseInsensitive) == 0)
        repo.transport = AuditRepository::Transport::Udp;
    else {
        choice.number = ErrorCode::InvalidProperty;
        choice.text = QStringLiteral("transport \"%1\" (Audit\\Transport) is neither TLS nor UDP").arg(transport);
        return choice;
    }
    // 6514 is the port registered for syslog over TLS, 514 for syslog over UDP.
    const QString portText = ReadSetting(QStringLiteral("Audit\\RepositoryPort"),
                                         repo.transport == AuditRepository::Transport::Tls ? QStringLiteral("6514") : QStringLiteral("514"));
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        choice.number = ErrorCode::InvalidPortNumber;
        choice.text = QStringLiteral("port \"%1\" (Audit\\RepositoryPort) is not a port number").arg(portText);
        return choice;
    }
    repo.port = quint16(port);
    repo.caFile = ReadSetting(QStringLiteral("Audit\\CACertificates"), QString());
    repo.certificateFile = ReadSetting(QStringLiteral("Audit\\Certificate"), QString());
    repo.keyFile = ReadSetting(QStringLiteral("Audit\\PrivateKey"), QString());
    if (!repo.certificateFile.isEmpty() && repo.keyFile.isEmpty()) {
        choice.number = ErrorCode::InvalidProperty;
        choice.text = QStringLiteral("a certificate (Audit\\Certificate) without its private key (Audit\\PrivateKey)");
        return choice;
    }
    choice.repository = repo;
    return choice;
}

QMap<QString, qint64> ReadDeliveredOffsets(const QString &auditFolder)
{
    QMap<QString, qint64> offsets;
    QFile file(auditFolder + QStringLiteral("/Delivered"));
    if (!file.open(QIODevice::ReadOnly))
        return offsets;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype space = line.lastIndexOf(' ');
        bool ok = false;
        const qint64 offset = line.mid(space + 1).toLongLong(&ok);
        if (space > 0 && ok && offset >= 0)
            offsets.insert(QString::fromUtf8(line.left(space)), offset);
    }
    return offsets;
}

DeliveryRound DeliverAuditTrail(const QString &auditFolder, const AuditRepository &repository, const QDeadlineTimer &deadline)
{
    DeliveryRound round;
    QMap<QString, qint64> offsets = ReadDeliveredOffsets(auditFolder);
    for (;;) {
        const QList<Record> batch = pendingRecords(auditFolder, offsets, &round.pending);
        if (batch.isEmpty())
            return round;
        if (callLimit(deadline) <= 0) {
            static_cast<Result &>(round) = fail(timeUp());
            return round;
        }
        Result sent;
        if (repository.transport == AuditRepository::Transport::Tls) {
            TlsLink link(deadline);
            sent = link.open(repository);
            for (const Record &r : batch) {
                if (!sent)
                    break;
                sent = link.write(framed(r.message));
            }
            if (sent)
                sent = link.confirm();
        } else {
            QString why;
            Fd socket{connectTo(repository, SOCK_DGRAM, deadline, &why)};
            if (socket.fd < 0)
                sent = fail(why);
            for (const Record &r : batch) {
                if (!sent)
                    break;
                // RFC 5426 lets a message too large for a datagram be cut.
                const QByteArray datagram = r.message.left(kUdpMax);
                if (::send(socket.fd, datagram.constData(), size_t(datagram.size()), 0) != ssize_t(datagram.size()))
                    sent = fail(QStringLiteral("UDP to %1 port %2: %3").arg(repository.host).arg(repository.port).arg(QString::fromLocal8Bit(std::strerror(errno))));
            }
        }
        if (!sent) {
            static_cast<Result &>(round) = sent;
            return round;
        }
        for (const Record &r : batch)
            offsets[r.file] = r.end;
        round.delivered += int(batch.size());
        if (QString why; !writeOffsets(auditFolder, offsets, &why)) {
            round.number = ErrorCode::WriteFailed;
            round.text = QStringLiteral("what was delivered cannot be noted (%1); it will be sent again").arg(why);
            return round;
        }
        round.pending -= int(batch.size());
    }
}
