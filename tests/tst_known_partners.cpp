// The receiver's association acceptance: the decision on its own (AE titles,
// addresses, certificate subjects), then echoscu and storescu against the
// receiver process with the ticks and the known partners a site sets, a list
// changed while it runs, and the options dialog that edits them.
#include "app/OptionForm.h"
#include "core/Settings.h"
#include "network/KnownPartnerForms.h"
#include "network/PartnerForms.h"
#include "store/DatabasePaths.h"
#include "store/KnownPartners.h"
#include "support/Peers.h"
#include "support/Widgets.h"

#include <QContextMenuEvent>
#include <QMenu>

Q_DECLARE_METATYPE(AdmissionReason)

namespace {

const QString kAet = u"KNOWNRCV"_s;

// "AE host subject store echo" per entry: "MODALITY 127.0.0.1 - SE"; "-" for
// no subject, S may store, E may echo.
KnownPartner Entry(const QString &text)
{
    const QStringList f = text.split(u' ');
    KnownPartner p;
    p.aet = f.value(0);
    p.host = f.value(1);
    p.subject = f.value(2) == u"-"_s ? QString() : QString(f.value(2)).replace(u'_', u' ');
    p.mayStore = f.value(3).contains(u'S');
    p.mayEcho = f.value(3).contains(u'E');
    return p;
}

int EchoAs(const QString &calling, const QString &called, quint16 port, QByteArray *out)
{
    return RunProgram(u"echoscu"_s, {u"-to"_s, u"5"_s, u"-aet"_s, calling, u"-aec"_s, called, u"127.0.0.1"_s, QString::number(port)}, out, 20000);
}

} // namespace

class KnownPartnersTest : public QObject {
    Q_OBJECT

    RecordingPrompter prompter_;
    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;

    QString log() const { return QString::fromUtf8(folder_->read(u"Logs/Receiver.log"_s)); }
    // The settings file a site's options dialog leaves: the receiver's title and port and the two ticks.
    void writeSettings(bool checkCalled, bool knownOnly) const
    {
        folder_->write(u"LumoraStation.ini"_s, u"[Com]\nIR_AET=%1\nIR_Port=%2\nCheckCalledAE=%3\nKnownPartnersOnly=%4\n"_s
                                                   .arg(kAet)
                                                   .arg(port_)
                                                   .arg(checkCalled ? 1 : 0)
                                                   .arg(knownOnly ? 1 : 0)
                                                   .toUtf8());
    }
    bool startReceiver()
    {
        receiver_ = std::make_unique<CompanionProcess>(ReceiverProgram(), folder_->path());
        return receiver_->start() && WaitFor([&] { return log().contains(u"listening on port %1"_s.arg(port_)); }, 15000);
    }
    static void add(const QString &entry)
    {
        const Result r = SaveKnownPartner(Entry(entry));
        QVERIFY2(r.ok(), qPrintable(r.text));
    }
    QString image(const QString &name) const
    {
        const QString path = folder_->file(u"send/%1.dcm"_s.arg(name));
        return WriteImage({.sopUid = NewSyntheticUid(), .rows = 32, .columns = 32}, path) ? path : QString();
    }

private slots:
    void init()
    {
        ResetWorkstationState();
        prompter_.boxes.clear();
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        QVERIFY((port_ = FreePort()) != 0);
    }
    void cleanup()
    {
        if (receiver_)
            receiver_->terminate();
        receiver_.reset();
        folder_.reset();
    }

    void admits_data()
    {
        QTest::addColumn<bool>("checkCalled");
        QTest::addColumn<bool>("knownOnly");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("called");
        QTest::addColumn<QString>("calling");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<AdmissionReason>("reason");
        QTest::addColumn<QString>("rights"); // S store, E echo, when admitted
        using R = AdmissionReason;
        const QStringList modality{u"MODALITY 10.0.0.5 - SE"_s};
        const QStringList secure{u"SECURE 10.0.0.7 CN=modality7,O=Hospital SE"_s};
        QTest::newRow("nothing ticked: anyone") << false << false << QStringList() << "OTHER" << "ANYONE" << "192.168.1.1" << "" << R::Admitted << "SE";
        QTest::newRow("called AE ours") << true << false << QStringList() << "OWN" << "ANYONE" << "192.168.1.1" << "" << R::Admitted << "SE";
        QTest::newRow("called AE ours, padded") << true << false << QStringList() << "OWN  " << "ANYONE" << "192.168.1.1" << "" << R::Admitted << "SE";
        QTest::newRow("called AE another's") << true << false << QStringList() << "OTHER" << "ANYONE" << "192.168.1.1" << "" << R::CalledAeNotRecognized << "";
        QTest::newRow("called AE in other case") << true << false << QStringList() << "own" << "ANYONE" << "192.168.1.1" << "" << R::CalledAeNotRecognized << "";
        QTest::newRow("called AE before the list") << true << true << modality << "OTHER" << "MODALITY" << "10.0.0.5" << "" << R::CalledAeNotRecognized << "";
        QTest::newRow("known") << false << true << modality << "OTHER" << "MODALITY" << "10.0.0.5" << "" << R::Admitted << "SE";
        QTest::newRow("known, v4-mapped address") << false << true << modality << "OWN" << "MODALITY" << "::ffff:10.0.0.5" << "" << R::Admitted << "SE";
        QTest::newRow("unknown AE") << false << true << modality << "OWN" << "STRANGER" << "10.0.0.5" << "" << R::CallingAeUnknown << "";
        QTest::newRow("AE in other case") << false << true << modality << "OWN" << "modality" << "10.0.0.5" << "" << R::CallingAeUnknown << "";
        QTest::newRow("empty list") << false << true << QStringList() << "OWN" << "MODALITY" << "10.0.0.5" << "" << R::CallingAeUnknown << "";
        QTest::newRow("known AE, other host") << false << true << modality << "OWN" << "MODALITY" << "10.0.0.6" << "" << R::HostNotKnown << "";
        QTest::newRow("known AE, no address") << false << true << modality << "OWN" << "MODALITY" << "" << "" << R::HostNotKnown << "";
        QTest::newRow("same AE from a second host") << false << true << (modality + QStringList{u"MODALITY 10.0.0.6 - E"_s}) << "OWN" << "MODALITY"
                                                    << "10.0.0.6" << "" << R::Admitted << "E";
        QTest::newRow("echo only") << false << true << QStringList{u"QA 10.0.0.9 - E"_s} << "OWN" << "QA" << "10.0.0.9" << "" << R::Admitted << "E";
        QTest::newRow("store only") << false << true << QStringList{u"SENDER 10.0.0.9 - S"_s} << "OWN" << "SENDER" << "10.0.0.9" << "" << R::Admitted << "S";
        QTest::newRow("subject matches") << false << true << secure << "OWN" << "SECURE" << "10.0.0.7" << "CN=modality7,O=Hospital" << R::Admitted << "SE";
        QTest::newRow("subject with blanks and other case") << false << true << secure << "OWN" << "SECURE" << "10.0.0.7" << "cn = Modality7, o = hospital"
                                                            << R::Admitted << "SE";
        QTest::newRow("subject missing: plain association") << false << true << secure << "OWN" << "SECURE" << "10.0.0.7" << ""
                                                            << R::CertificateSubjectMismatch << "";
        QTest::newRow("another certificate") << false << true << secure << "OWN" << "SECURE" << "10.0.0.7" << "CN=modality8,O=Hospital"
                                             << R::CertificateSubjectMismatch << "";
        QTest::newRow("no subject in the entry: TLS too") << false << true << modality << "OWN" << "MODALITY" << "10.0.0.5" << "CN=anything"
                                                          << R::Admitted << "SE";
    }
    void admits()
    {
        QFETCH(bool, checkCalled);
        QFETCH(bool, knownOnly);
        QFETCH(QStringList, entries);
        QFETCH(QString, called);
        QFETCH(QString, calling);
        QFETCH(QString, address);
        QFETCH(QString, subject);
        QFETCH(AdmissionReason, reason);
        QFETCH(QString, rights);
        KnownPartners policy;
        policy.checkCalledAe = checkCalled;
        policy.knownOnly = knownOnly;
        policy.ownAe = u"OWN"_s;
        for (const QString &e : entries)
            policy.partners << Entry(e);
        QVERIFY(ResolveKnownPartnerHosts(policy.partners).isEmpty());
        const Admission a = policy.admits(called, calling, address, subject);
        QCOMPARE(a.reason, reason);
        QCOMPARE(a.admitted(), reason == AdmissionReason::Admitted);
        if (a.admitted()) {
            QCOMPARE((a.mayStore ? u"S"_s : QString()) + (a.mayEcho ? u"E"_s : QString()), rights);
        } else {
            QVERIFY(!a.mayStore && !a.mayEcho);
            QVERIFY2(a.text.startsWith(reason == AdmissionReason::CalledAeNotRecognized ? u"called AE title not recognized"_s
                                                                                        : u"calling AE title not recognized"_s),
                     qPrintable(a.text));
        }
    }

    // A list the receiver cannot read admits nobody when only known partners may come.
    void unreadableListAdmitsNobody()
    {
        KnownPartners policy;
        policy.knownOnly = true;
        policy.partners << Entry(u"MODALITY 10.0.0.5 - SE"_s);
        QVERIFY(ResolveKnownPartnerHosts(policy.partners).isEmpty());
        policy.listFailure = u"no such table: tblKnownPartner"_s;
        QCOMPARE(policy.admits(u"OWN"_s, u"MODALITY"_s, u"10.0.0.5"_s, {}).reason, AdmissionReason::ListUnreadable);
    }

    void addressesAndHosts_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("address"); // one of those it resolves to; empty: none
        QTest::newRow("v4") << "10.0.0.5" << "10.0.0.5";
        QTest::newRow("v6 written long") << "0:0:0:0:0:0:0:1" << "::1";
        QTest::newRow("v4-mapped") << "::ffff:192.168.0.1" << "192.168.0.1";
        QTest::newRow("name") << "localhost" << "127.0.0.1";
        QTest::newRow("name that resolves to nothing") << "no-such-host.invalid" << "";
    }
    void addressesAndHosts()
    {
        QFETCH(QString, host);
        QFETCH(QString, address);
        QList<KnownPartner> list{Entry(u"A %1 - SE"_s.arg(host))};
        const QStringList unresolved = ResolveKnownPartnerHosts(list);
        QCOMPARE(unresolved.isEmpty(), !address.isEmpty());
        QVERIFY2(address.isEmpty() ? list[0].addresses.isEmpty() : list[0].addresses.contains(address), qPrintable(list[0].addresses.join(u' ')));
    }

    void editorChecksItsFields_data()
    {
        QTest::addColumn<QString>("aet");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("rights");
        QTest::addColumn<QString>("message");
        QTest::newRow("fine") << "MODALITY" << "10.0.0.5" << "SE" << "";
        QTest::newRow("no AE title") << " " << "10.0.0.5" << "SE" << "Please fill the AE title and the host.";
        QTest::newRow("no host") << "MODALITY" << "" << "SE" << "Please fill the AE title and the host.";
        QTest::newRow("AE title too long") << "ARCHIVE-OF-THE-NORTH" << "h" << "SE" << "Not a valid AE title: at most 16 characters.";
        QTest::newRow("backslash") << "A\\B" << "h" << "SE"
                                   << "Not a valid AE title: letters, digits and signs of the default repertoire, without backslash.";
        QTest::newRow("two hosts") << "A" << "h1 h2" << "SE" << "Not a valid host: one address or host name.";
        QTest::newRow("no rights") << "A" << "h" << "" << "A known partner may store, echo or both; remove it instead.";
    }
    void editorChecksItsFields()
    {
        QFETCH(QString, aet);
        QFETCH(QString, host);
        QFETCH(QString, rights);
        QFETCH(QString, message);
        QCOMPARE(CheckKnownPartnerFields(aet, host, {}, rights.contains(u'S'), rights.contains(u'E')), message);
    }

    // echoscu and storescu against the receiver as the site set it up.
    void liveAssociations_data()
    {
        QTest::addColumn<bool>("checkCalled");
        QTest::addColumn<bool>("knownOnly");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("tool"); // echo or store
        QTest::addColumn<QString>("calling");
        QTest::addColumn<QString>("called");
        QTest::addColumn<QString>("answer"); // "" accepted, else what the sender prints
        QTest::addColumn<QString>("logged"); // in the receiver's log
        const QString callingUnknown = u"Calling AE Title Not Recognized"_s, calledUnknown = u"Called AE Title Not Recognized"_s;
        const QStringList known{u"MODALITY 127.0.0.1 - SE"_s, u"QA localhost - E"_s};
        QTest::newRow("as today: unknown AE stores") << false << false << QStringList() << "store" << "STRANGER" << kAet << "" << "1 stored";
        QTest::newRow("as today: wrong called AE stores") << false << false << QStringList() << "store" << "STRANGER" << "NOTUS" << "" << "1 stored";
        QTest::newRow("unknown AE: echo rejected") << false << true << known << "echo" << "STRANGER" << kAet << callingUnknown
                                                   << "association from STRANGER at 127.0.0.1 rejected: calling AE title not recognized";
        QTest::newRow("unknown AE: store rejected") << false << true << known << "store" << "STRANGER" << kAet << callingUnknown
                                                    << "association from STRANGER at 127.0.0.1 rejected: calling AE title not recognized";
        QTest::newRow("known: stores") << false << true << known << "store" << "MODALITY" << kAet << "" << "1 stored";
        QTest::newRow("known by host name: echoes") << false << true << known << "echo" << "QA" << kAet << "" << "association from QA (127.0.0.1)";
        QTest::newRow("known AE from another host") << false << true << QStringList{u"MODALITY 127.0.0.2 - SE"_s} << "store" << "MODALITY" << kAet
                                                    << callingUnknown << "known from other hosts, not from 127.0.0.1";
        QTest::newRow("entry with a certificate subject, plain association") << false << true
                                                                             << QStringList{u"MODALITY 127.0.0.1 CN=modality,O=Hospital SE"_s}
                                                                             << "echo" << "MODALITY" << kAet << callingUnknown << "must come over TLS";
        QTest::newRow("echo only: echoes") << false << true << known << "echo" << "QA" << kAet << "" << "association from QA (127.0.0.1)";
        QTest::newRow("echo only: store refused") << false << true << known << "store" << "QA" << kAet << "Rejected Permanent"
                                                  << "QA at 127.0.0.1 rejected: a known partner that may only echo proposed storage";
        QTest::newRow("wrong called AE rejected when checked") << true << false << QStringList() << "echo" << "STRANGER" << "NOTUS" << calledUnknown
                                                               << "called AE title \"NOTUS\" is not this receiver's \"KNOWNRCV\"";
        QTest::newRow("wrong called AE, known partner") << true << true << known << "store" << "MODALITY" << "NOTUS" << calledUnknown
                                                        << "rejected: called AE title not recognized";
        QTest::newRow("right called AE when checked") << true << false << QStringList() << "store" << "STRANGER" << kAet << "" << "1 stored";
    }
    void liveAssociations()
    {
        QFETCH(bool, checkCalled);
        QFETCH(bool, knownOnly);
        QFETCH(QStringList, entries);
        QFETCH(QString, tool);
        QFETCH(QString, calling);
        QFETCH(QString, called);
        QFETCH(QString, answer);
        QFETCH(QString, logged);
        for (const QString &e : entries)
            add(e);
        writeSettings(checkCalled, knownOnly);
        QVERIFY2(startReceiver(), qPrintable(log()));
        QByteArray out;
        int code = 0;
        if (tool == u"echo"_s) {
            code = EchoAs(calling, called, port_, &out);
        } else {
            const QString file = image(u"one"_s);
            QVERIFY(!file.isEmpty());
            code = Store(called, port_, {file}, &out, {u"-aet"_s, calling});
        }
        if (answer.isEmpty()) {
            QVERIFY2(code == 0, out.constData());
        } else {
            QVERIFY2(code != 0 && out.contains(answer.toUtf8()), out.constData());
            QVERIFY2(out.contains("Association Rejected") && out.contains("Rejected Permanent"), out.constData());
        }
        QTRY_VERIFY2_WITH_TIMEOUT(log().contains(logged), qPrintable(log()), 10000);
        if (!answer.isEmpty()) {
            // One line for the refusal, naming the calling AE, its address and the reason.
            const QStringList lines = log().split(u'\n').filter(u"association from %1 "_s.arg(calling));
            QVERIFY2(lines.size() == 1, qPrintable(log()));
            QVERIFY2(lines.first().contains(u"association from %1 at 127.0.0.1 rejected: "_s.arg(calling)) && lines.first().contains(logged),
                     qPrintable(log()));
        }
        QCOMPARE(CountRows(u"tblImages"_s), tool == u"store"_s && answer.isEmpty() ? 1 : 0);
        QCOMPARE(QDir(folder_->file(u"images"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), tool == u"store"_s && answer.isEmpty() ? 1 : 0);
    }

    // The list and the ticks changed while the receiver runs take effect at its next association.
    void changesTakeEffectWithoutRestart()
    {
        writeSettings(false, true);
        QVERIFY2(startReceiver(), qPrintable(log()));
        const qint64 pid = receiver_->process().processId();
        QByteArray out;
        QVERIFY(EchoAs(u"MODALITY"_s, kAet, port_, &out) != 0 && out.contains("Calling AE Title Not Recognized"));

        KnownPartner p = Entry(u"MODALITY 127.0.0.1 - SE"_s);
        qlonglong id = 0;
        QVERIFY(SaveKnownPartner(p, &id).ok());
        QVERIFY2(EchoAs(u"MODALITY"_s, kAet, port_, &out) == 0, out.constData());
        const QString file = image(u"first"_s);
        QVERIFY2(Store(kAet, port_, {file}, &out, {u"-aet"_s, u"MODALITY"_s}) == 0, out.constData());
        QCOMPARE(CountRows(u"tblImages"_s), 1);

        // Made echo-only: the next send is refused, the echo still answered.
        p.id = id;
        p.mayStore = false;
        QVERIFY(SaveKnownPartner(p).ok());
        QVERIFY(Store(kAet, port_, {image(u"second"_s)}, &out, {u"-aet"_s, u"MODALITY"_s}) != 0);
        QVERIFY2(EchoAs(u"MODALITY"_s, kAet, port_, &out) == 0, out.constData());
        QCOMPARE(CountRows(u"tblImages"_s), 1);

        QVERIFY(DeleteKnownPartner(id).ok());
        QVERIFY(EchoAs(u"MODALITY"_s, kAet, port_, &out) != 0 && out.contains("Calling AE Title Not Recognized"));

        // The ticks off again in the settings file: anyone, as before.
        writeSettings(true, false);
        QVERIFY2(EchoAs(u"MODALITY"_s, kAet, port_, &out) == 0, out.constData());
        QVERIFY(EchoAs(u"MODALITY"_s, u"NOTUS"_s, port_, &out) != 0 && out.contains("Called AE Title Not Recognized"));
        QCOMPARE(receiver_->process().processId(), pid);
        QVERIFY2(log().contains(u"association acceptance: called AE title must be KNOWNRCV; any calling AE title and host"_s), qPrintable(log()));
    }

    // The options dialog: the ticks and the list stored by OK and shown again.
    void optionsRoundTrip()
    {
        {
            OptionForm form(prompter_);
            form.Form_Load();
            form.show();
            QVERIFY(!Child<QCheckBox>(form, u"chkCheckCalledAE"_s)->isChecked() && !Child<QCheckBox>(form, u"chkKnownOnly"_s)->isChecked());
            KnownPartnerList &known = form.knownPartners();
            known.runEditor = [](KnownPartnerEditor &e) {
                Child<QLineEdit>(e, u"txtKnownAet"_s)->setText(u"MODALITY"_s);
                Child<QLineEdit>(e, u"txtKnownHost"_s)->setText(u"10.0.0.5"_s);
                Child<QLineEdit>(e, u"txtKnownSubject"_s)->setText(u"CN=modality,O=Hospital"_s);
                Child<QCheckBox>(e, u"chkKnownStore"_s)->setChecked(false);
                Child<QPushButton>(e, u"cmdKnownApply"_s)->click();
                return e.result();
            };
            Child<QPushButton>(form, u"cmdKnownAdd"_s)->click();
            auto *lvKnown = Child<QTreeWidget>(form, u"lvKnown"_s);
            QCOMPARE(ColumnTexts(lvKnown), QStringList{u"MODALITY"_s});
            // A bad entry is refused with its reason and nothing stored.
            known.runEditor = [](KnownPartnerEditor &e) {
                Child<QLineEdit>(e, u"txtKnownAet"_s)->setText(u"ARCHIVE-OF-THE-NORTH"_s);
                Child<QLineEdit>(e, u"txtKnownHost"_s)->setText(u"h"_s);
                Child<QPushButton>(e, u"cmdKnownApply"_s)->click();
                return e.result();
            };
            Child<QPushButton>(form, u"cmdKnownAdd"_s)->click();
            QCOMPARE(prompter_.texts(), QStringList{u"Not a valid AE title: at most 16 characters."_s});
            QCOMPARE(lvKnown->topLevelItemCount(), 1);
            Child<QCheckBox>(form, u"chkCheckCalledAE"_s)->click();
            Child<QCheckBox>(form, u"chkKnownOnly"_s)->click();
            Child<QPushButton>(form, u"cmdOK"_s)->click();
            QCOMPARE(form.result(), int(QDialog::Accepted));
        }
        QSettings ini(folder_->file(u"LumoraStation.ini"_s), QSettings::IniFormat);
        QCOMPARE(ini.value(u"Com/CheckCalledAE"_s).toString(), u"1"_s);
        QCOMPARE(ini.value(u"Com/KnownPartnersOnly"_s).toString(), u"1"_s);
        prompter_.boxes.clear();
        OptionForm form(prompter_);
        form.Form_Load();
        form.show();
        QVERIFY(Child<QCheckBox>(form, u"chkCheckCalledAE"_s)->isChecked() && Child<QCheckBox>(form, u"chkKnownOnly"_s)->isChecked());
        Child<QTabWidget>(form, u"tabs"_s)->setCurrentIndex(OptionForm::KnownPartnersTab);
        auto *lvKnown = Child<QTreeWidget>(form, u"lvKnown"_s);
        QCOMPARE(ColumnTexts(lvKnown, 2), QStringList{u"CN=modality,O=Hospital"_s});
        QCOMPARE(ColumnTexts(lvKnown, 3), QStringList{u"no"_s});
        QCOMPARE(ColumnTexts(lvKnown, 4), QStringList{u"yes"_s});
        // Edit on the row clicked: the editor opens with the row's entry.
        KnownPartnerList &known = form.knownPartners();
        QString shown;
        known.runEditor = [&shown](KnownPartnerEditor &e) {
            shown = Child<QLineEdit>(e, u"txtKnownAet"_s)->text();
            Child<QCheckBox>(e, u"chkKnownStore"_s)->setChecked(true);
            Child<QPushButton>(e, u"cmdKnownApply"_s)->click();
            return e.result();
        };
        const QPoint row = lvKnown->visualItemRect(lvKnown->topLevelItem(0)).center();
        QTest::mouseClick(lvKnown->viewport(), Qt::LeftButton, {}, row);
        Child<QPushButton>(form, u"cmdKnownEdit"_s)->click();
        QCOMPARE(shown, u"MODALITY"_s);
        QCOMPARE(ColumnTexts(lvKnown, 3), QStringList{u"yes"_s});
        // Remove asks first; No keeps the entry.
        prompter_.answer = false;
        QTest::mouseClick(lvKnown->viewport(), Qt::LeftButton, {}, row);
        Child<QPushButton>(form, u"cmdKnownRemove"_s)->click();
        QCOMPARE(prompter_.boxes.last().kind, u"confirm"_s);
        QVERIFY2(prompter_.boxes.last().text.contains(u"MODALITY at 10.0.0.5"_s), qPrintable(prompter_.boxes.last().text));
        QCOMPARE(CountRows(DefinitionsDatabase.path(), u"tblKnownPartner"_s), 1);
        prompter_.answer = true;
        Child<QPushButton>(form, u"cmdKnownRemove"_s)->click();
        QCOMPARE(CountRows(DefinitionsDatabase.path(), u"tblKnownPartner"_s), 0);
        QCOMPARE(lvKnown->topLevelItemCount(), 0);
        // Known partners only over an empty list: OK asks, No keeps the dialog open.
        prompter_.answer = false;
        Child<QPushButton>(form, u"cmdOK"_s)->click();
        QVERIFY(prompter_.boxes.last().text.contains(u"rejects every association"_s));
        QVERIFY(form.isVisible() && form.result() != int(QDialog::Accepted));
    }

    // "Add to known partners ..." on the storage partner right-clicked: a new
    // entry with its AE title and host, the others' left alone.
    void addFromStoragePartnerRow()
    {
        OptionForm form(prompter_);
        form.Form_Load();
        form.show();
        Child<QTabWidget>(form, u"tabs"_s)->setCurrentIndex(1);
        StoragePartnerList &partners = form.storagePartners();
        for (const QString &fields : {u"Archive ARCHIVE 10.0.0.20 104"_s, u"Mirror MIRROR mirror.example 11112"_s}) {
            partners.runEditor = [values = fields.split(u' ')](AddSCP &e) {
                for (int i = 0; i < 4; ++i)
                    Child<QLineEdit>(e, u"txtSCP%1"_s.arg(i))->setText(values[i]);
                Child<QPushButton>(e, u"cmdAdd"_s)->click();
                return e.result();
            };
            partners.addPartner();
        }
        auto *lvSCP = Child<QTreeWidget>(form, u"lvSCP"_s);
        QCOMPARE(ColumnTexts(lvSCP), (QStringList{u"Archive"_s, u"Mirror"_s}));
        QStringList prefilled;
        form.knownPartners().runEditor = [&prefilled](KnownPartnerEditor &e) {
            prefilled << Child<QLineEdit>(e, u"txtKnownAet"_s)->text() << Child<QLineEdit>(e, u"txtKnownHost"_s)->text();
            Child<QPushButton>(e, u"cmdKnownApply"_s)->click();
            return e.result();
        };
        // The row right-clicked, the first one current before.
        lvSCP->setCurrentItem(lvSCP->topLevelItem(0));
        const QPoint at = lvSCP->visualItemRect(lvSCP->topLevelItem(1)).center();
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at, lvSCP->viewport()->mapToGlobal(at));
        QApplication::sendEvent(lvSCP->viewport(), &rightClick);
        auto *menu = Child<QMenu>(lvSCP, u"PopupAddSCP"_s);
        QTRY_VERIFY(menu->isVisible());
        QVERIFY(partners.actKnown->isEnabled());
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(partners.actKnown).center());
        QTRY_COMPARE(prefilled, (QStringList{u"MIRROR"_s, u"mirror.example"_s}));
        QCOMPARE(ColumnTexts(Child<QTreeWidget>(form, u"lvKnown"_s)), QStringList{u"MIRROR"_s});
        const QList<QVariantList> rows = QueryRows(DefinitionsDatabase.path(), u"SELECT AET, Host, Subject, MayStore, MayEcho FROM tblKnownPartner"_s);
        QCOMPARE(rows, (QList<QVariantList>{{u"MIRROR"_s, u"mirror.example"_s, u""_s, 1, 1}}));
    }
};

QTEST_MAIN(KnownPartnersTest)
#include "tst_known_partners.moc"
