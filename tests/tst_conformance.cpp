// docs/conformance.md against live associations: what the receiver accepts
// when storescu proposes every storage class and transfer syntax DCMTK knows,
// what our send proposes as storescp logs it, and the keys a worklist query
// carries as wlmscpfs receives them; over TLS, the protocol versions and
// cipher suites the receiver's TLS port accepts from openssl s_client and our
// associations agree with openssl s_server. A change on either side fails here.
#include "support/Peers.h"
#include "support/Station.h"
#include "network/Worklist.h"
#include "store/DatabasePaths.h"
#include "store/KnownPartners.h"
#include "toolkit/ToolkitNetwork.h"

#include <QRegularExpression>
#include <QtConcurrent/QtConcurrentRun>

namespace {

const QString kAet = u"CONFRCV"_s;

// The table rows under the heading that starts with `heading`, up to the next
// heading; each row as its cells, header and rule rows left out.
QList<QStringList> DocTable(const QString &heading)
{
    const QStringList lines = QString::fromUtf8(ReadFile(SourceDir() + u"/docs/conformance.md"_s)).split(u'\n');
    QList<QStringList> rows;
    bool inside = false, header = false;
    for (const QString &line : lines) {
        if (line.startsWith(u'#')) {
            inside = line.section(u' ', 1).startsWith(heading);
            header = true;
            continue;
        }
        if (!inside || !line.startsWith(u'|'))
            continue;
        if (header) { // the column names, then the rule
            header = !line.contains(u"---"_s);
            continue;
        }
        QStringList cells = line.split(u'|');
        cells = cells.mid(1, cells.size() - 2);
        for (QString &c : cells)
            c = c.trimmed().remove(u'`');
        rows << cells;
    }
    if (rows.isEmpty())
        qWarning() << "no table under" << heading;
    return rows;
}

// The cells of one column, in the table's order.
QStringList Column(const QList<QStringList> &rows, int column)
{
    QStringList out;
    for (const QStringList &r : rows)
        out << r.value(column);
    return out;
}

// Every UID DCMTK 3.6.7 names whose define matches, from its installed header.
QStringList DcmtkUids(const QString &pattern)
{
    static const QString header = QString::fromLatin1(ReadFile(u"/usr/include/dcmtk/dcmdata/dcuid.h"_s));
    QStringList out;
    const QRegularExpression define(u"^#define UID_\\w+\\s+\"(%1)\""_s.arg(pattern), QRegularExpression::MultilineOption);
    for (auto it = define.globalMatch(header); it.hasNext();)
        out << it.next().captured(1);
    out.removeDuplicates();
    return out;
}

// DCMTK logs UIDs by its own names; the name of each UID, as dcmdump shows it.
QMap<QString, QString> UidsByName(const QStringList &uids)
{
    QTemporaryDir dir;
    QString dump = u"(0008,1115) SQ\n"_s;
    for (const QString &uid : uids)
        dump += u"(fffe,e000) -\n(0008,1150) UI [%1]\n(fffe,e00d) -\n"_s.arg(uid);
    dump += u"(fffe,e0dd) -\n"_s;
    QFile text(dir.filePath(u"uids.txt"_s));
    if (!text.open(QIODevice::WriteOnly) || text.write(dump.toLatin1()) < 0)
        return {};
    text.close();
    QProcess p;
    p.start(u"dump2dcm"_s, {u"-q"_s, text.fileName(), dir.filePath(u"uids.dcm"_s)});
    p.waitForFinished(20000);
    p.start(u"dcmdump"_s, {u"-q"_s, dir.filePath(u"uids.dcm"_s)});
    p.waitForFinished(20000);
    static const QRegularExpression line(u"\\(0008,1150\\) UI (\\S+)"_s);
    QMap<QString, QString> out;
    int i = 0;
    for (auto it = line.globalMatch(QString::fromLatin1(p.readAllStandardOutput())); it.hasNext() && i < uids.size(); ++i) {
        QString name = it.next().captured(1);
        name = name.startsWith(u'=') ? name.mid(1) : name.mid(1, name.size() - 2); // "=Name" or "[uid]"
        out.insert(name, uids[i]);
    }
    return out;
}

// Proposes the contexts (abstract syntax, then its transfer syntaxes) to the
// receiver in one association through a storescu profile; each context's
// answer ("Accepted", "Abstract Syntax Not Supported", ...) and the syntax taken.
QList<QPair<QString, QString>> Negotiate(const QString &folder, quint16 port, const QList<QStringList> &contexts, const QString &file)
{
    QString cfg = u"[[TransferSyntaxes]]\n"_s;
    for (int i = 0; i < contexts.size(); ++i)
        cfg += u"[T%1]\n"_s.arg(i) + [&] {
            QString s;
            for (int j = 1; j < contexts[i].size(); ++j)
                s += u"TransferSyntax%1 = %2\n"_s.arg(j).arg(contexts[i][j]);
            return s;
        }();
    cfg += u"[[PresentationContexts]]\n[P]\n"_s;
    for (int i = 0; i < contexts.size(); ++i)
        cfg += u"PresentationContext%1 = %2\\T%3\n"_s.arg(i + 1).arg(contexts[i][0]).arg(i);
    cfg += u"[[Profiles]]\n[X]\nPresentationContexts = P\n"_s;
    QFile f(folder + u"/storescu.cfg"_s);
    if (!f.open(QIODevice::WriteOnly) || f.write(cfg.toLatin1()) < 0)
        return {};
    f.close();
    QByteArray out;
    Store(kAet, port, {file}, &out, {u"-d"_s, u"-xf"_s, f.fileName(), u"X"_s});
    // After the proposal, the answer: "Context ID: 5 (Accepted)" then its syntax.
    QList<QPair<QString, QString>> result(contexts.size());
    static const QRegularExpression context(u"Context ID:\\s+(\\d+) \\(([^)]*)\\)"_s);
    static const QRegularExpression accepted(u"Accepted Transfer Syntax: =?(\\S+)"_s);
    const QStringList lines = QString::fromLatin1(out).split(u'\n');
    int current = -1;
    for (const QString &l : lines) {
        if (const auto m = context.match(l); m.hasMatch()) {
            current = -1;
            if (m.captured(2) != u"Proposed"_s) {
                current = (m.captured(1).toInt() - 1) / 2;
                if (current < result.size())
                    result[current].first = m.captured(2);
            }
        } else if (const auto a = accepted.match(l); a.hasMatch() && current >= 0 && current < result.size()) {
            result[current].second = a.captured(1);
        }
    }
    return result;
}

} // namespace

class ConformanceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0, tlsPort_ = 0;
    QString image_;
    QTemporaryDir certs_;

    QString cert(const QString &name) const { return certs_.filePath(name); }
    // A site CA, a certificate of the station and one of a peer signed by it.
    bool makeCertificates()
    {
        const auto run = [](const QStringList &args) { return RunProgram(u"openssl"_s, args, nullptr, 60000) == 0; };
        bool ok = run({u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-days"_s, u"2"_s, u"-keyout"_s, cert(u"ca.key"_s),
                       u"-out"_s, cert(u"ca.crt"_s), u"-subj"_s, u"/CN=Conformance CA"_s});
        for (const QString &n : {u"station"_s, u"peer"_s})
            ok = ok
                 && run({u"req"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, cert(n + u".key"_s), u"-out"_s, cert(n + u".csr"_s),
                         u"-subj"_s, u"/CN="_s + n})
                 && run({u"x509"_s, u"-req"_s, u"-in"_s, cert(n + u".csr"_s), u"-CA"_s, cert(u"ca.crt"_s), u"-CAkey"_s, cert(u"ca.key"_s),
                         u"-CAcreateserial"_s, u"-days"_s, u"2"_s, u"-out"_s, cert(n + u".crt"_s)});
        return ok;
    }

    // Whether the receiver's TLS port completes a handshake with openssl
    // s_client as the peer, with the protocol and cipher options given.
    bool receiverAccepts(const QStringList &options)
    {
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(u"openssl"_s, QStringList{u"s_client"_s, u"-brief"_s, u"-connect"_s, u"127.0.0.1:%1"_s.arg(tlsPort_), u"-cert"_s,
                                               cert(u"peer.crt"_s), u"-key"_s, cert(u"peer.key"_s), u"-CAfile"_s, cert(u"ca.crt"_s),
                                               u"-verify_return_error"_s}
                                       + options);
        client.closeWriteChannel();
        if (!client.waitForFinished(20000)) {
            client.kill();
            client.waitForFinished();
            return false;
        }
        return client.exitCode() == 0 && client.readAll().contains("CONNECTION ESTABLISHED");
    }

    // The suite our association agrees with openssl s_server given the
    // options (a partner marked for TLS, as the send and Verify reach it);
    // empty when the handshake fails.
    QString stationAgrees(const QStringList &options)
    {
        const quint16 port = FreePort();
        QProcess server;
        EndsWithTheTest(server);
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(u"openssl"_s, QStringList{u"s_server"_s, u"-accept"_s, QString::number(port), u"-cert"_s, cert(u"peer.crt"_s), u"-key"_s,
                                               cert(u"peer.key"_s), u"-CAfile"_s, cert(u"ca.crt"_s), u"-Verify"_s, u"1"_s, u"-naccept"_s, u"1"_s}
                                       + options);
        QByteArray out;
        if (!WaitFor([&] { return (out += server.readAll()).contains("ACCEPT") || server.state() == QProcess::NotRunning; }, 10000)
            || !out.contains("ACCEPT")) {
            qWarning() << "s_server did not start:" << out;
            return u"<no server>"_s;
        }
        ToolkitCancel cancel;
        const ToolkitSecurity security{true, {cert(u"station.key"_s), cert(u"station.crt"_s), cert(u"ca.crt"_s)}};
        QFuture<Result> verified = QtConcurrent::run([&] {
            Result e;
            VerifyPartner(u"127.0.0.1"_s, port, u"CONF"_s, u"PEER"_s, &e, &cancel, security);
            return e;
        });
        // s_server names the suite once the handshake is done; the association after it is not its business.
        WaitFor([&] { return (out += server.readAll()).contains("CIPHER is") || verified.isFinished(); }, 20000);
        cancel.cancel();
        verified.waitForFinished();
        server.kill();
        server.waitForFinished();
        out += server.readAll();
        static const QRegularExpression suite(u"CIPHER is (\\S+)"_s);
        return suite.match(QString::fromLatin1(out)).captured(1);
    }

    // The suites OpenSSL knows for TLS 1.2 (1.3 ones named TLS_...), at any security level.
    static QStringList opensslSuites(bool tls13)
    {
        QByteArray out;
        RunProgram(u"openssl"_s, {u"ciphers"_s, u"-s"_s, tls13 ? u"-tls1_3"_s : u"-tls1_2"_s, u"ALL:COMPLEMENTOFALL:@SECLEVEL=0"_s}, &out);
        QStringList names = QString::fromLatin1(out).trimmed().split(u':', Qt::SkipEmptyParts);
        names.removeIf([tls13](const QString &n) { return n.startsWith(u"TLS_"_s) != tls13; });
        if (tls13) // OpenSSL lists only its default 1.3 suites; the CCM ones are there to be asked for
            names << u"TLS_AES_128_CCM_SHA256"_s << u"TLS_AES_128_CCM_8_SHA256"_s;
        names.removeDuplicates();
        return names;
    }

    bool startReceiver()
    {
        folder_ = std::make_unique<TestFolder>();
        {
            PortOccupant a, b;
            port_ = a.port();
            tlsPort_ = b.port();
        }
        if (!MakeStationDatabases(folder_->path()) || port_ == 0 || !makeCertificates())
            return false;
        // The plain port and, beside it, the TLS port.
        folder_->write(u"LumoraStation.ini"_s, u"[Com]\nIR_AET=%1\nIR_Port=%2\nIR_TLS=1\nIR_TLS_Port=%3\n"
                                               "TLS_PrivateKey=%4\nTLS_Certificate=%5\nTLS_TrustedCertificates=%6\n"_s
                                                   .arg(kAet)
                                                   .arg(port_)
                                                   .arg(tlsPort_)
                                                   .arg(cert(u"station.key"_s), cert(u"station.crt"_s), cert(u"ca.crt"_s))
                                                   .toUtf8());
        image_ = folder_->file(u"mg.dcm"_s);
        receiver_ = std::make_unique<CompanionProcess>(ReceiverProgram(), folder_->path());
        return WriteImage({.sopUid = NewSyntheticUid(), .rows = 64, .columns = 64}, image_) && receiver_->start()
               && receiver_->waitUntilAnswering(kAet, port_);
    }

private slots:
    void initTestCase() { QVERIFY(startReceiver()); }
    void cleanupTestCase()
    {
        if (receiver_)
            receiver_->terminate();
    }

    // Every storage class DCMTK knows, proposed with explicit little endian:
    // the receiver accepts exactly the statement's classes, and verification.
    void receiverSopClasses()
    {
        const QStringList documented = Column(DocTable(u"4.1.2"_s), 1);
        QVERIFY(documented.contains(u"1.2.840.10008.1.1"_s));
        QStringList proposed = DcmtkUids(u"1\\.2\\.840\\.10008\\.5\\.1\\.4\\.1\\.1\\.[0-9.]+"_s) << u"1.2.840.10008.1.1"_s;
        for (const QString &uid : documented)
            if (!proposed.contains(uid))
                proposed << uid;
        QStringList accepted;
        for (qsizetype from = 0; from < proposed.size(); from += 100) {
            QList<QStringList> contexts;
            for (const QString &uid : proposed.mid(from, 100))
                contexts << QStringList{uid, u"1.2.840.10008.1.2.1"_s};
            const auto answers = Negotiate(folder_->path(), port_, contexts, image_);
            for (int i = 0; i < contexts.size(); ++i)
                if (answers.value(i).first == u"Accepted"_s)
                    accepted << contexts[i][0];
        }
        QStringList missing, extra;
        for (const QString &uid : documented)
            if (!accepted.contains(uid))
                missing << uid;
        for (const QString &uid : accepted)
            if (!documented.contains(uid))
                extra << uid;
        QVERIFY2(missing.isEmpty() && extra.isEmpty(),
                 qPrintable(u"documented, not accepted: %1; accepted, not documented: %2"_s.arg(missing.join(u' '), extra.join(u' '))));
    }

    // Every transfer syntax DCMTK knows, one context each for a mammogram: the
    // receiver accepts exactly the statement's syntaxes; offered all of them
    // in one context, backwards, it takes the first of the statement's order.
    void receiverTransferSyntaxes()
    {
        const QStringList documented = Column(DocTable(u"4.1.3"_s), 1);
        QVERIFY(!documented.isEmpty());
        const QString mammo = u"1.2.840.10008.5.1.4.1.1.1.2"_s;
        const QStringList known = DcmtkUids(u"1\\.2\\.840\\.10008\\.1\\.2[0-9.]*"_s);
        QList<QStringList> contexts;
        for (const QString &x : known)
            contexts << QStringList{mammo, x};
        const auto answers = Negotiate(folder_->path(), port_, contexts, image_);
        QStringList accepted;
        for (int i = 0; i < contexts.size(); ++i)
            if (answers.value(i).first == u"Accepted"_s)
                accepted << contexts[i][1];
        accepted.sort();
        QStringList expected = documented;
        expected.sort();
        QCOMPARE(accepted, expected);

        QStringList backwards{mammo};
        for (auto it = documented.crbegin(); it != documented.crend(); ++it)
            backwards << *it;
        const auto chosen = Negotiate(folder_->path(), port_, {backwards}, image_);
        QCOMPARE(chosen.value(0).first, u"Accepted"_s);
        QCOMPARE(UidsByName(documented).value(chosen.value(0).second), documented.first());
    }

    // Our send as storescp logs its proposal: the statement's contexts, in order.
    void sendProposes()
    {
        const QList<QStringList> rows = DocTable(u"4.2.2"_s);
        QVERIFY(!rows.isEmpty());
        QStringList expected;
        for (const QStringList &r : rows)
            expected << r.value(2) + u": "_s + r.value(3).split(u',').replaceInStrings(u" "_s, QString()).join(u' ');

        const quint16 port = FreePort();
        QProcess storescp;
        storescp.setProcessChannelMode(QProcess::MergedChannels);
        storescp.start(u"storescp"_s, {u"-d"_s, u"-aet"_s, u"ARCHIVE"_s, u"+xa"_s, u"-od"_s, folder_->path(), QString::number(port)});
        QVERIFY(storescp.waitForStarted(5000));
        Result e;
        ToolkitAssociation association;
        QVERIFY(WaitFor([&] { return association.OpenAssociation(u"127.0.0.1"_s, port, u"LumoraStation"_s, u"ARCHIVE"_s, &e); }, 10000));
        association.CloseAssociation();
        QByteArray log;
        QVERIFY(WaitFor([&] { return (log += storescp.readAll()).contains("Association Release"); }, 10000));
        storescp.kill();
        storescp.waitForFinished();

        // "Context ID: 1 (Proposed)", "Abstract Syntax: =Name", "Proposed Transfer Syntax(es):", "=Name"...
        QList<QPair<QString, QStringList>> proposed;
        bool syntaxes = false;
        for (const QString &raw : QString::fromLatin1(log).split(u'\n')) {
            const QString l = (raw.startsWith(u"D:"_s) ? raw.mid(2) : raw).trimmed();
            if (l.startsWith(u"Context ID:"_s)) {
                if (!l.contains(u"(Proposed)"_s))
                    break; // the answer follows the request
                proposed.append(QPair<QString, QStringList>());
                syntaxes = false;
            } else if (l.startsWith(u"Abstract Syntax:"_s) && !proposed.isEmpty()) {
                proposed.last().first = l.section(u':', 1).trimmed().remove(u'=');
            } else if (l.startsWith(u"Proposed Transfer Syntax"_s)) {
                syntaxes = true;
            } else if (syntaxes && l.startsWith(u'=') && !proposed.isEmpty()) {
                proposed.last().second << l.mid(1);
            } else {
                syntaxes = syntaxes && l.startsWith(u'=');
            }
        }
        QStringList uids = DcmtkUids(u"1\\.2\\.840\\.10008\\.[0-9.]+"_s);
        const QMap<QString, QString> byName = UidsByName(uids);
        QStringList actual;
        for (const auto &[cls, xfers] : proposed) {
            QStringList x;
            for (const QString &n : xfers)
                x << byName.value(n, n);
            actual << byName.value(cls, cls) + u": "_s + x.join(u' ');
        }
        QCOMPARE(actual.size(), expected.size());
        for (int i = 0; i < actual.size(); ++i)
            QVERIFY2(actual[i] == expected[i], qPrintable(u"context %1: sent %2, statement %3"_s.arg(i * 2 + 1).arg(actual[i], expected[i])));
    }

    // Each protocol version offered alone, to the receiver's TLS port and by
    // our associations: accepted exactly where the statement says yes.
    void tlsProtocolVersions()
    {
        const QMap<QString, QString> flag{{u"TLS 1.0"_s, u"-tls1"_s}, {u"TLS 1.1"_s, u"-tls1_1"_s}, {u"TLS 1.2"_s, u"-tls1_2"_s}, {u"TLS 1.3"_s, u"-tls1_3"_s}};
        const QList<QStringList> rows = DocTable(u"5.1.2"_s);
        QCOMPARE(Column(rows, 0), flag.keys());
        for (const QStringList &row : rows) {
            const bool documented = row.value(1) == u"yes"_s;
            const QStringList options{flag.value(row[0]), u"-cipher"_s, u"ALL:@SECLEVEL=0"_s};
            QVERIFY2(receiverAccepts(options) == documented, qPrintable(u"receiver, %1: statement says %2"_s.arg(row[0], row[1])));
            const QString agreed = stationAgrees(options);
            QVERIFY2(agreed != u"<no server>"_s, qPrintable(row[0]));
            QVERIFY2(agreed.isEmpty() != documented, qPrintable(u"association, %1: statement says %2"_s.arg(row[0], row[1])));
        }
    }

    // Every cipher suite OpenSSL knows, offered alone: the receiver's TLS port
    // and our associations agree on exactly the statement's.
    void tlsCipherSuites()
    {
        const QList<QStringList> rows = DocTable(u"5.1.3"_s);
        QVERIFY(!rows.isEmpty());
        for (const bool tls13 : {false, true}) {
            const QString protocol = tls13 ? u"TLS 1.3"_s : u"TLS 1.2"_s;
            QStringList documented;
            for (const QStringList &r : rows)
                if (r.value(0) == protocol)
                    documented << r.value(2);
            QStringList byReceiver, byStation;
            for (const QString &suite : opensslSuites(tls13)) {
                const QStringList options = tls13 ? QStringList{u"-tls1_3"_s, u"-ciphersuites"_s, suite}
                                                  : QStringList{u"-tls1_2"_s, u"-cipher"_s, suite + u":@SECLEVEL=0"_s};
                if (receiverAccepts(options))
                    byReceiver << suite;
                if (stationAgrees(options) == suite)
                    byStation << suite;
            }
            documented.sort();
            byReceiver.sort();
            byStation.sort();
            QCOMPARE(byReceiver, documented);
            QCOMPARE(byStation, documented);
        }
    }

    // The worklist query as wlmscpfs receives it: the statement's keys in order, nested ones included.
    void worklistKeys()
    {
        WorklistPeer wlm;
        QVERIFY(wlm.start(folder_->file(u"wlm"_s), u"WORKLIST"_s));
        ToolkitQueryAnswers answers;
        Result e;
        QVERIFY2(RunWorklistQuery(u"MAMMO1"_s, u"WORKLIST"_s, u"127.0.0.1"_s, wlm.port(), u"WORKLIST"_s,
                                  WorklistIdentifier(u"MAMMO1"_s, WorklistDay), answers, &e),
                 qPrintable(e.text));
        QVERIFY(WaitFor([&] { return !wlm.requests().isEmpty(); }, 5000));
        // Nested keys by depth: dcmdump indents an item's attributes by four more.
        static const QRegularExpression tag(u"^( *)\\(([0-9a-f]{4},[0-9a-f]{4})\\)"_s, QRegularExpression::MultilineOption);
        QStringList sent;
        for (auto it = tag.globalMatch(wlm.requests().first()); it.hasNext();) {
            const auto m = it.next();
            if (!m.captured(2).startsWith(u"fffe"_s))
                sent << QString(m.captured(1).size() / 4, u'>') + m.captured(2).toUpper();
        }
        QStringList documented;
        for (const QStringList &row : DocTable(u"4.3.2"_s))
            documented << QString(row.value(0).count(u'>'), u'>') + row.value(1).mid(1, 9).toUpper();
        QCOMPARE(sent, documented);
    }

    // 4.1.5: each request of the table made to the running receiver with the
    // row's settings (taken without a restart), against the known partners
    // below; the answer as echoscu or storescu reports it.
    void receiverRejections()
    {
        const QList<QStringList> rows = DocTable(u"4.1.5"_s);
        QVERIFY(rows.size() >= 6);
        DefinitionsDatabase.setPath(folder_->file(u"Data/LumoraUser.dat"_s));
        for (const QString &entry : {u"KNOWN 127.0.0.1  SE"_s, u"ELSEWHERE 127.0.0.2  SE"_s, u"SECURE 127.0.0.1 CN=secure,O=Hospital SE"_s,
                                     u"ECHOONLY 127.0.0.1  E"_s}) {
            const QStringList f = entry.split(u' ');
            KnownPartner p;
            p.aet = f[0];
            p.host = f[1];
            p.subject = f[2];
            p.mayStore = f[3].contains(u'S');
            p.mayEcho = f[3].contains(u'E');
            const Result saved = SaveKnownPartner(p);
            QVERIFY2(saved.ok(), qPrintable(saved.text));
        }
        // How each request is made: the tool, the calling and the called AE title.
        const QMap<QString, QStringList> requests{
            {u"called AE title not the receiver's"_s, {u"echo"_s, u"KNOWN"_s, u"NOTUS"_s}},
            {u"calling AE title not a known partner's"_s, {u"echo"_s, u"STRANGER"_s, kAet}},
            {u"known calling AE title from another host"_s, {u"echo"_s, u"ELSEWHERE"_s, kAet}},
            {u"known partner whose entry names a certificate subject, plain TCP"_s, {u"echo"_s, u"SECURE"_s, kAet}},
            {u"known partner that may only echo, proposing storage only"_s, {u"store"_s, u"ECHOONLY"_s, kAet}},
            {u"known partner, called AE title not the receiver's"_s, {u"store"_s, u"KNOWN"_s, u"NOTUS"_s}},
        };
        // The statement's names as DCMTK prints them.
        const QMap<QString, QString> printed{
            {u"rejected-permanent"_s, u"Rejected Permanent"_s}, {u"service-user"_s, u"Service User"_s},
            {u"called-AE-title-not-recognized"_s, u"Called AE Title Not Recognized"_s},
            {u"calling-AE-title-not-recognized"_s, u"Calling AE Title Not Recognized"_s}, {u"no-reason-given"_s, u"No Reason"_s}};
        for (const QStringList &row : rows) {
            QVERIFY2(requests.contains(row[0]), qPrintable(u"no way to make the request \"%1\""_s.arg(row[0])));
            const QStringList how = requests[row[0]];
            folder_->write(u"LumoraStation.ini"_s,
                           u"[Com]\nIR_AET=%1\nIR_Port=%2\nCheckCalledAE=%3\nKnownPartnersOnly=%4\n"_s.arg(kAet).arg(port_).arg(row[1], row[2]).toUtf8());
            QByteArray out;
            const int code = how[0] == u"echo"_s
                ? RunProgram(u"echoscu"_s, {u"-to"_s, u"5"_s, u"-aet"_s, how[1], u"-aec"_s, how[2], u"127.0.0.1"_s, QString::number(port_)}, &out, 20000)
                : Store(how[2], port_, {image_}, &out, {u"-aet"_s, how[1]});
            const QString what = row.join(u" | "_s) + u"\n"_s + QString::fromUtf8(out);
            if (row[3] == u"accepted"_s) {
                QVERIFY2(code == 0, qPrintable(what));
                continue;
            }
            QVERIFY2(code != 0 && out.contains("Association Rejected"), qPrintable(what));
            for (int c = 3; c <= 5; ++c)
                QVERIFY2(printed.contains(row[c]) && out.contains(printed[row[c]].toUtf8()), qPrintable(what));
        }
        WriteReceiverSettings(*folder_, kAet, QString::number(port_));
        QVERIFY(receiver_->waitUntilAnswering(kAet, port_));
    }
};

QTEST_GUILESS_MAIN(ConformanceTest)
#include "tst_conformance.moc"
