#include "toolkit/TlsLayer.h"

#include "toolkit/ToolkitCancel.h"

#include <dcmtk/dcmtls/tlstrans.h>

#include <QElapsedTimer>
#include <QFile>
#include <QtGlobal>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cerrno>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

QString peerAddress(int socket)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QStringLiteral("unknown peer");
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&address)->sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(&address)->sin6_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

QString subjectOf(SSL *ssl)
{
    X509 *cert = SSL_get1_peer_certificate(ssl);
    if (!cert)
        return {};
    QString out;
    if (BIO *bio = BIO_new(BIO_s_mem())) {
        X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
        char *data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        out = QString::fromUtf8(data, int(n));
        BIO_free(bio);
    }
    X509_free(cert);
    return out;
}

// A TLS connection whose waits are bounded and, with a cancel flag, watched.
class TlsConnection : public DcmTLSConnection {
public:
    TlsConnection(DcmNativeSocketType socket, SSL *ssl, TlsLayer &layer) : DcmTLSConnection(socket, ssl), ssl_(ssl), layer_(layer)
    {
        // OpenSSL's handshake and reads block on the socket; a peer that
        // connects and says nothing must not hold the receiver or the send.
        const timeval bound{layer.timeoutSeconds(), 0};
        ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    }

    OFCondition clientSideHandshake() override
    {
        client_ = true;
        return handshake(DcmTLSConnection::clientSideHandshake());
    }
    OFCondition serverSideHandshake() override { return handshake(DcmTLSConnection::serverSideHandshake()); }

    OFBool networkDataAvailable(int timeout) override
    {
        if (!layer_.cancel())
            return DcmTLSConnection::networkDataAvailable(timeout);
        return SSL_pending(ssl_) > 0 || readable(qint64(timeout) * 1000);
    }

    ssize_t read(void *buf, size_t nbyte) override
    {
        if (layer_.cancel() && SSL_pending(ssl_) == 0 && !readable(qint64(layer_.timeoutSeconds()) * 1000)) {
            errno = ETIMEDOUT;
            return -1;
        }
        ERR_clear_error();
        const ssize_t n = DcmTLSConnection::read(buf, nbyte);
        if (n > 0)
            heard_ = true;
        else
            ended();
        return n;
    }

    ssize_t write(void *buf, size_t nbyte) override
    {
        ERR_clear_error();
        const ssize_t n = DcmTLSConnection::write(buf, nbyte);
        if (n <= 0)
            ended();
        return n;
    }

private:
    OFCondition handshake(const OFCondition &done)
    {
        const QString peer = peerAddress(getSocket());
        if (done.good()) {
            layer_.handshakeDone(peer, {}, subjectOf(ssl_));
            return done;
        }
        // OpenSSL's own words; for a certificate it refused, the verification's reason.
        QString reason;
        const long verify = SSL_get_verify_result(ssl_);
        if (verify != X509_V_OK)
            reason = QStringLiteral("certificate verify failed: %1").arg(QString::fromLatin1(X509_verify_cert_error_string(verify)));
        else
            reason = QString::fromLatin1(done.text());
        layer_.handshakeDone(peer, reason, {});
        return makeOFCondition(OFM_dcmtls, 1001, OF_error, reason.toUtf8().constData());
    }

    // Over TLS 1.3 the client's handshake ends before the server has checked
    // the client's certificate: a refusal comes as an alert at the first read,
    // or, when the connection is gone before that alert is read, as the end
    // of a connection that never carried a word.
    void ended()
    {
        if (!client_ || heard_ || SSL_version(ssl_) != TLS1_3_VERSION || told_)
            return;
        told_ = true;
        const unsigned long e = ERR_peek_error();
        const QString reason = e != 0 && ERR_GET_LIB(e) == ERR_LIB_SSL
            ? QString::fromLatin1(ERR_reason_error_string(e))
            : QStringLiteral("the partner ended the connection right after the TLS 1.3 handshake, as a partner does that refuses "
                             "the station's certificate (its log says why)");
        ERR_clear_error();
        layer_.handshakeDone(peerAddress(getSocket()), reason, {});
    }

    bool readable(qint64 ms)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            if (layer_.cancel()->cancelled())
                return false;
            const qint64 left = ms - clock.elapsed();
            pollfd p{getSocket(), POLLIN, 0};
            const int n = ::poll(&p, 1, int(qBound(qint64(0), left, qint64(100))));
            if (n > 0 || (n < 0 && errno != EINTR))
                return true;
            if (left <= 0)
                return false;
        }
    }

    SSL *ssl_;
    TlsLayer &layer_;
    bool client_ = false;
    bool heard_ = false; // the partner has sent data after the handshake
    bool told_ = false;
};

Result refused(const QString &text) { return Result::failure(ErrorCode::TlsRefused, text); }

// The file is named in the settings; say which and why when it cannot be read.
Result readable(const QString &what, const QString &path)
{
    if (path.isEmpty())
        return refused(QStringLiteral("no %1 file is set").arg(what));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return refused(QStringLiteral("%1 %2 cannot be read: %3").arg(what, path, f.errorString()));
    return {};
}

} // namespace

TlsLayer::TlsLayer(T_ASC_NetworkRole role, int timeoutSeconds, const ToolkitCancel *cancel)
    : DcmTLSTransportLayer(role, nullptr, [] {
          // Once per process: layers are made on several threads.
          static std::once_flag once;
          std::call_once(once, [] { DcmTLSTransportLayer::initializeOpenSSL(); });
          return OFFalse;
      }()),
      timeoutSeconds_(timeoutSeconds), cancel_(cancel)
{
}

Result TlsLayer::configure(const TlsFiles &files)
{
    if (!*this)
        return refused(QStringLiteral("OpenSSL could not be set up"));
    for (const auto &[what, path] : {std::pair{QStringLiteral("private key"), files.privateKey},
                                     std::pair{QStringLiteral("certificate"), files.certificate},
                                     std::pair{QStringLiteral("trusted certificates"), files.trustedCertificates}}) {
        if (const Result r = readable(what, path); !r)
            return r;
    }
    OFCondition c = setTLSProfile(TSP_Profile_BCP195_ND);
    if (c.good())
        c = activateCipherSuites();
    if (c.bad())
        return refused(QStringLiteral("the BCP 195 profile cannot be set: %1").arg(QString::fromLatin1(c.text())));
    // The DHE suites of the profile need parameters on the accepting side.
    setBuiltInDHParameters();
    if (c = setPrivateKeyFile(QFile::encodeName(files.privateKey).constData(), DCF_Filetype_PEM); c.bad())
        return refused(QStringLiteral("private key %1 cannot be loaded: %2").arg(files.privateKey, QString::fromLatin1(c.text())));
    if (c = setCertificateFile(QFile::encodeName(files.certificate).constData(), DCF_Filetype_PEM); c.bad())
        return refused(QStringLiteral("certificate %1 cannot be loaded: %2").arg(files.certificate, QString::fromLatin1(c.text())));
    if (!checkPrivateKeyMatchesCertificate())
        return refused(QStringLiteral("private key %1 does not belong to certificate %2").arg(files.privateKey, files.certificate));
    if (c = addTrustedCertificateFile(QFile::encodeName(files.trustedCertificates).constData(), DCF_Filetype_PEM); c.bad())
        return refused(QStringLiteral("trusted certificates %1 cannot be loaded: %2")
                           .arg(files.trustedCertificates, QString::fromLatin1(c.text())));
    setCertificateVerification(DCV_requireCertificate);
    return {};
}

DcmTransportConnection *TlsLayer::createConnection(DcmNativeSocketType socket, OFBool)
{
    // The receiver accepts through DCMTK's DcmSCP, which asks for a plain
    // connection; on a layer of its own every connection is TLS.
    SSL *ssl = SSL_new(getNativeHandle());
    if (!ssl)
        return nullptr;
    SSL_set_fd(ssl, int(socket));
    return new TlsConnection(socket, ssl, *this);
}

void TlsLayer::handshakeDone(const QString &peer, const QString &failure, const QString &subject)
{
    lastFailure_ = failure;
    lastPeerSubject_ = subject;
    if (!failure.isEmpty() && onFailure)
        onFailure(peer, failure);
}
