// DICOM over TLS with real peers: storescu +tls into the receiver's TLS
// port, the send and the partner check into storescp +tls, the worklist
// against Orthanc with DICOM TLS, partners whose certificate the site does
// not trust refused with the reason, and the plain port closed on request.
// The certificates are made here with the openssl command: a site CA, the
// station's and a partner's certificate signed by it, and a self-signed one.
#include "core/Settings.h"
#include "network/PartnerForms.h"
#include "network/WorklistForm.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>

namespace {

const QString kAet = u"LUMORA"_s;

} // namespace

class TlsTest : public QObject {
    Q_OBJECT

    QTemporaryDir certs_;
    std::unique_ptr<TestFolder> f_;
    RecordingPrompter prompter_;

    QString cert(const QString &name) const { return certs_.filePath(name); }

    // "" or what openssl said.
    QString openssl(const QStringList &args)
    {
        QByteArray out;
        return RunProgram(u"openssl"_s, args, &out, 60000) == 0 ? QString() : QString::fromUtf8(out);
    }
    // A key and a certificate signed by the site CA.
    QString signedBySite(const QString &name)
    {
        QString why = openssl({u"req"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, cert(name + u".key"_s), u"-out"_s,
                               cert(name + u".csr"_s), u"-subj"_s, u"/O=Test Site/CN="_s + name});
        if (why.isEmpty())
            why = openssl({u"x509"_s, u"-req"_s, u"-in"_s, cert(name + u".csr"_s), u"-CA"_s, cert(u"ca.crt"_s), u"-CAkey"_s,
                           cert(u"ca.key"_s), u"-CAcreateserial"_s, u"-days"_s, u"2"_s, u"-out"_s, cert(name + u".crt"_s)});
        return why;
    }
    QString selfSigned(const QString &name)
    {
        return openssl({u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-days"_s, u"2"_s, u"-keyout"_s,
                        cert(name + u".key"_s), u"-out"_s, cert(name + u".crt"_s), u"-subj"_s, u"/CN="_s + name});
    }
    // DCMTK's tools with TLS as `who` ("peer", "rogue"), trusting `trusted`.
    QStringList tlsOptions(const QString &who, const QString &trusted = u"ca.crt"_s) const
    {
        return {u"+tls"_s, cert(who + u".key"_s), cert(who + u".crt"_s), u"+cf"_s, cert(trusted)};
    }
    int echoTls(quint16 port, QByteArray *out = nullptr)
    {
        return RunProgram(u"echoscu"_s, QStringList{u"-to"_s, u"5"_s} + tlsOptions(u"peer"_s) + QStringList{u"-aec"_s, kAet, u"127.0.0.1"_s, QString::number(port)},
                          out, 20000);
    }
    void useStationFiles()
    {
        Settings.TLS_PrivateKey = cert(u"station.key"_s);
        Settings.TLS_Certificate = cert(u"station.crt"_s);
        Settings.TLS_TrustedCertificates = cert(u"ca.crt"_s);
    }

    struct TlsReceiver {
        std::unique_ptr<CompanionProcess> process;
        quint16 plain = 0, tls = 0;
    };
    // The receiver with its TLS port, the plain port open or closed, as the
    // site's settings file says; answering on the TLS port.
    bool startReceiver(bool plainOpen, TlsReceiver &r)
    {
        {
            PortOccupant a, b;
            r.plain = a.port();
            r.tls = b.port();
        }
        f_->write(u"LumoraStation.ini"_s, u"[Com]\nIR_AET=%1\nIR_Port=%2\nIR_TLS=1\nIR_TLS_Port=%3\nIR_PlainPort=%4\n"
                                          "TLS_PrivateKey=%5\nTLS_Certificate=%6\nTLS_TrustedCertificates=%7\n"_s
                                              .arg(kAet)
                                              .arg(r.plain)
                                              .arg(r.tls)
                                              .arg(plainOpen ? 1 : 0)
                                              .arg(cert(u"station.key"_s), cert(u"station.crt"_s), cert(u"ca.crt"_s))
                                              .toUtf8());
        r.process = std::make_unique<CompanionProcess>(ReceiverProgram(), f_->path());
        return r.process->start() && WaitFor([&] { return echoTls(r.tls) == 0; }, 15000);
    }

    // A partner stored through the editor as the operator adds one, TLS ticked, made the default.
    QString addTlsPartner(const QString &aet, quint16 port)
    {
        AddSCP editor(nullptr, prompter_, 0);
        const QStringList values{u"Archive over TLS"_s, aet, u"127.0.0.1"_s, QString::number(port)};
        for (int i = 0; i < 4; ++i)
            Child<QLineEdit>(editor, u"txtSCP%1"_s.arg(i))->setText(values[i]);
        Child<QCheckBox>(editor, u"chkTLS"_s)->setChecked(true);
        Child<QPushButton>(editor, u"cmdAdd"_s)->click();
        if (editor.result() != QDialog::Accepted)
            return u"the editor did not store the partner: "_s + prompter_.texts().join(u' ');
        const PartnerList stored = ReadPartners();
        if (stored.partners.size() != 1 || !stored.partners[0].address.tls)
            return u"the partner is not stored with its TLS tick"_s;
        const Result made = MakeDefaultPartner(stored.partners[0].id);
        return made.ok() ? QString() : made.text;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(certs_.isValid());
        QString why = openssl({u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-days"_s, u"2"_s, u"-keyout"_s,
                               cert(u"ca.key"_s), u"-out"_s, cert(u"ca.crt"_s), u"-subj"_s, u"/O=Test Site/CN=Test Site CA"_s});
        for (const QString &name : {u"station"_s, u"peer"_s})
            if (why.isEmpty())
                why = signedBySite(name);
        if (why.isEmpty())
            why = selfSigned(u"rogue"_s);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    void init()
    {
        f_.reset();
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
        prompter_.boxes.clear();
    }
    void cleanup() { f_.reset(); }

    // storescu +tls into the TLS port: a sender whose certificate the site
    // trusts is filed; any other is refused at the handshake, logged with
    // the peer and the reason, and nothing is filed. The plain port answers
    // only when the site keeps it open.
    void receiverTlsPort_data()
    {
        QTest::addColumn<bool>("plainOpen");
        QTest::addColumn<QStringList>("senderOptions");
        QTest::addColumn<bool>("filed");
        QTest::addColumn<QString>("logged");
        QTest::newRow("trusted sender, plain port open") << true << tlsOptions(u"peer"_s) << true << QString();
        QTest::newRow("trusted sender, plain port closed") << false << tlsOptions(u"peer"_s) << true << QString();
        QTest::newRow("self-signed sender") << true << tlsOptions(u"rogue"_s) << false
                                            << u"TLS failure from 127.0.0.1: certificate verify failed: self-signed certificate"_s;
        QTest::newRow("sender without TLS") << false << QStringList() << false << u"TLS failure from 127.0.0.1: "_s;
    }
    void receiverTlsPort()
    {
        QFETCH(bool, plainOpen);
        QFETCH(QStringList, senderOptions);
        QFETCH(bool, filed);
        QFETCH(QString, logged);
        TlsReceiver receiver;
        QVERIFY(startReceiver(plainOpen, receiver));
        QVERIFY(WriteImage({.patientId = u"P1"_s, .sopUid = NewSyntheticUid(), .rows = 64, .columns = 64}, f_->file(u"in/mg.dcm"_s)));
        QByteArray out;
        const int code = Store(kAet, receiver.tls, {f_->file(u"in/mg.dcm"_s)}, &out, senderOptions);
        if (filed) {
            QVERIFY2(code == 0, out.constData());
            QTRY_COMPARE_WITH_TIMEOUT(CountRows(u"tblImages"_s), 1LL, 10000);
            QVERIFY(f_->read(u"Logs/Receiver.log"_s).contains("TLS)"));
        } else {
            QVERIFY(code != 0);
            QTRY_VERIFY2_WITH_TIMEOUT(QString::fromUtf8(f_->read(u"Logs/Receiver.log"_s)).contains(logged), qPrintable(logged), 10000);
            QCOMPARE(CountRows(u"tblImages"_s), 0LL);
            // The receiver serves on after a refused handshake.
            QCOMPARE(echoTls(receiver.tls), 0);
        }
        QByteArray echo;
        const int plain = Echo(kAet, receiver.plain, &echo);
        if (plainOpen) {
            QCOMPARE(plain, 0);
        } else {
            QVERIFY(plain != 0);
            QVERIFY2(echo.contains("Connection refused"), echo.constData());
        }
        QCOMPARE(receiver.process->terminate(), 0);
    }

    // A partner marked for TLS: the partner check and the send go over TLS
    // to storescp +tls. A partner whose certificate the site's trusted
    // certificates do not vouch for is refused, and the operator's message
    // and the error log say why; so is one that does not trust the station.
    void partnerOverTls_data()
    {
        QTest::addColumn<QString>("partnerCert");
        QTest::addColumn<QString>("partnerTrusts");
        QTest::addColumn<QString>("why"); // a pattern; empty: accepted
        QTest::newRow("trusted partner") << u"peer"_s << u"ca.crt"_s << QString();
        QTest::newRow("self-signed partner") << u"rogue"_s << u"ca.crt"_s << u"certificate verify failed: self-signed certificate"_s;
        // Over TLS 1.3 the partner's alert may be lost with the connection it ends.
        QTest::newRow("partner trusting another site") << u"peer"_s << u"rogue.crt"_s
                                                       << u"alert unknown ca|refuses the station's certificate"_s;
    }
    void partnerOverTls()
    {
        QFETCH(QString, partnerCert);
        QFETCH(QString, partnerTrusts);
        QFETCH(QString, why);
        const QRegularExpression reason(why);
        useStationFiles();
        StorePeer storescp;
        QVERIFY(storescp.start(f_->file(u"archive"_s), u"ARCHIVE"_s, tlsOptions(partnerCert, partnerTrusts) << u"--require-peer-cert"_s));
        const QString added = addTlsPartner(u"ARCHIVE"_s, storescp.port());
        QVERIFY2(added.isEmpty(), qPrintable(added));

        // "Verify" on the partner's row.
        QTreeWidget tree;
        StoragePartnerList list(&tree, prompter_);
        list.UpdateSCP();
        QCOMPARE(tree.topLevelItem(0)->text(StoragePartnerList::TlsColumn), u"TLS"_s);
        list.verify(0);
        QTRY_VERIFY_WITH_TIMEOUT(!list.isVerifying() && !prompter_.boxes.isEmpty(), 40000);
        if (why.isEmpty()) {
            QCOMPARE(prompter_.texts(), QStringList{u"Verification succeeded."_s});
        } else {
            QCOMPARE(prompter_.boxes.size(), 1);
            QCOMPARE(prompter_.boxes[0].kind, u"critical"_s);
            QVERIFY2(prompter_.boxes[0].text.contains(reason), qPrintable(prompter_.boxes[0].text));
        }

        // The send to the default partner, as the send commands open it.
        const FiledStudy s = FileStudy(*f_, u"P1"_s, 1, 2);
        SendTarget target;
        TakePartnersInUse(target.partners, ReadPartners().partners);
        target.callingAe = Settings.IR_AET;
        QVERIFY(target.partners.partner.tls);
        SendJob job;
        const Result opened = job.connections.open(target);
        if (why.isEmpty()) {
            QVERIFY2(opened.ok(), qPrintable(opened.text));
            job.selection = {s.patient, u"P1"_s, u"Doe"_s, s.study, s.uid, 0};
            QVERIFY(RunSendJob(1, job).contains(u"2 of 2 images successfully sent."_s));
            QTRY_COMPARE_WITH_TIMEOUT(storescp.received().size(), qsizetype(2), 10000);
        } else {
            QVERIFY2(opened.number == ErrorCode::TlsRefused && opened.text.contains(reason) && opened.text.contains(u"ARCHIVE at 127.0.0.1"_s), qPrintable(opened.text));
            QVERIFY(storescp.received().isEmpty());
            const QString log = QString::fromUtf8(f_->read(u"Logs/Error.log"_s));
            QVERIFY2(log.contains(u"TLS failure with ARCHIVE at 127.0.0.1:%1"_s.arg(storescp.port())) && log.contains(reason), qPrintable(log));
        }
    }

    // The worklist query with the provider's TLS tick against Orthanc with
    // DICOM TLS on; a provider with a certificate the site does not trust is refused.
    void worklistOverTls_data()
    {
        QTest::addColumn<QString>("orthancCert");
        QTest::addColumn<QString>("why");
        QTest::newRow("trusted provider") << u"peer"_s << QString();
        QTest::newRow("self-signed provider") << u"rogue"_s << u"certificate verify failed: self-signed certificate"_s;
    }
    void worklistOverTls()
    {
        QFETCH(QString, orthancCert);
        QFETCH(QString, why);
        WorklistPeer files; // writes the worklist files Orthanc answers from
        QVERIFY(files.start(f_->file(u"wlm"_s), u"WORKLIST"_s));
        QVERIFY(files.add({.name = u"Tls^Tina"_s, .time = u"0900"_s, .id = u"T1"_s}));
        OrthancPeer orthanc;
        const QString started = orthanc.start(f_->file(u"wlm/db/WORKLIST"_s),
                                              {{"DicomTlsEnabled", true},
                                               {"DicomTlsCertificate", cert(orthancCert + u".crt"_s)},
                                               {"DicomTlsPrivateKey", cert(orthancCert + u".key"_s)},
                                               {"DicomTlsTrustedCertificates", cert(u"ca.crt"_s)},
                                               {"DicomTlsRemoteCertificateRequired", true}});
        QVERIFY2(started.isEmpty(), qPrintable(started));
        useStationFiles();
        Settings.LocalAET = u"MAMMO1"_s;
        Settings.RemoteAET = u"ORTHANC"_s;
        Settings.RemoteIP = u"127.0.0.1"_s;
        Settings.RemotePort = QString::number(orthanc.dicomPort());
        Settings.WorklistTLS = 1;
        WorklistForm form(prompter_);
        form.query.today = [] { return WorklistDay; };
        form.show();
        QTreeWidget *list = Child<QTreeWidget>(form, u"lvWorklist"_s);
        QTRY_VERIFY_WITH_TIMEOUT(list->topLevelItemCount() > 0 || !prompter_.boxes.isEmpty(), 40000);
        if (why.isEmpty()) {
            QCOMPARE(prompter_.texts(), QStringList());
            QCOMPARE(list->topLevelItemCount(), 1);
            QCOMPARE(list->topLevelItem(0)->text(1), u"Tls"_s);
        } else {
            QCOMPARE(list->topLevelItemCount(), 0);
            QVERIFY2(prompter_.texts().join(u' ').contains(why), qPrintable(prompter_.texts().join(u' ')));
            QVERIFY(QString::fromUtf8(f_->read(u"Logs/Error.log"_s)).contains(u"TLS failure with ORTHANC at 127.0.0.1"_s));
        }
    }
};

QTEST_MAIN(TlsTest)
#include "tst_tls.moc"
