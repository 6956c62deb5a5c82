// Storage partners: the list in the options dialog, the editor's checks, the
// default flag, and the send menus built from the table.
#include "network/PartnerForms.h"
#include "store/DatabasePaths.h"
#include "support/Peers.h"
#include "support/Widgets.h"

class PartnersTest : public QObject {
    Q_OBJECT

    RecordingPrompter prompter_;
    std::unique_ptr<TestFolder> folder_;

    static qlonglong rows() { return CountRows(DefinitionsDatabase.path(), u"tblSCP"_s); }
    // Runs an editor by filling its fields (alias, AE title, address, port) and
    // pressing its button; shown: the alias it opened with.
    static std::function<int(AddSCP &)> filling(const QString &fields, QString *shown = nullptr)
    {
        return [values = fields.split(u' '), shown](AddSCP &e) {
            if (shown)
                *shown = Child<QLineEdit>(e, u"txtSCP0"_s)->text();
            for (int i = 0; i < 4; ++i)
                Child<QLineEdit>(e, u"txtSCP%1"_s.arg(i))->setText(values[i]);
            Child<QPushButton>(e, u"cmdAdd"_s)->click();
            return e.result();
        };
    }

    // A partner stored as the operator adds one: the editor's fields and Add.
    void addPartner(const QString &alias, const QString &aet, quint16 port)
    {
        AddSCP editor(nullptr, prompter_, 0);
        QCOMPARE(filling(alias + u' ' + aet + u" 127.0.0.1 "_s + QString::number(port))(editor), int(QDialog::Accepted));
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        prompter_.boxes.clear();
    }
    void cleanup() { folder_.reset(); }

    void editorChecksItsFields_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty alias and bad port") << QStringList{"", "A", "1.2.3.4", "1x"} << "Please fill all text fields.";
        QTest::newRow("letter in port") << QStringList{"a", "A", "h", "10a4"} << "Not a valid port.";
        QTest::newRow("port zero") << QStringList{"a", "A", "h", "0"} << "Not a valid port.";
        QTest::newRow("port too large") << QStringList{"a", "A", "h", "65536"} << "Not a valid port.";
        QTest::newRow("only blanks") << QStringList{"a", "  ", "h", "104"} << "Please fill all text fields.";
        QTest::newRow("address with a blank") << QStringList{"a", "A", "10.0.0 .5", "104"} << "Not a valid address.";
        QTest::newRow("AE title too long") << QStringList{"a", "ARCHIVE-OF-THE-NORTH", "h", "104"} << "Not a valid AE title.";
        QTest::newRow("IPv6 address") << QStringList{"a", "A", "::1", "104"} << "";
        QTest::newRow("blanks around the address") << QStringList{"a", "A", " 10.0.0.5 ", "104"} << "";
        QTest::newRow("port 65535") << QStringList{"a", "A", "h", "65535"} << "";
    }
    void editorChecksItsFields()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, message);
        QCOMPARE(CheckPartnerFields(fields[0], fields[1], fields[2], fields[3]), message);
    }

    void addEditDefaultDelete()
    {
        QTreeWidget lvSCP;
        StoragePartnerList list(&lvSCP, prompter_);
        QSignalSpy changed(&list, &StoragePartnerList::partnersChanged);
        list.UpdateSCP();
        QVERIFY(list.rows().isEmpty());
        const auto row = [&](int i) { return list.rows().value(i); };
        const auto bold = [&](int i) { return lvSCP.topLevelItem(i)->font(0).bold(); };
        const auto marks = [&] { return ColumnTexts(&lvSCP, StoragePartnerList::DefaultColumn); };
        QCOMPARE(lvSCP.headerItem()->text(StoragePartnerList::DefaultColumn), u"Default"_s);

        QString shown = u"?"_s;
        list.runEditor = filling(u"Zeta ZETA 127.0.0.1 104"_s, &shown);
        list.addPartner();
        QVERIFY(shown.isEmpty());
        QCOMPARE(changed.size(), 1);
        list.runEditor = filling(u"Alpha ALPHA 127.0.0.1 11112"_s);
        list.addPartner();
        QCOMPARE(ColumnTexts(&lvSCP), (QStringList{"Alpha", "Zeta"})); // alias order
        QCOMPARE(row(1).address.port, u"104"_s);
        QCOMPARE(marks(), (QStringList{"", ""}));

        // A third is refused while two are listed.
        bool editorOpened = false;
        list.runEditor = [&](AddSCP &) { editorOpened = true; return 0; };
        list.addPartner();
        QVERIFY(!editorOpened);
        QCOMPARE(prompter_.boxes.last().text, u"You can only add two storage partners!"_s);
        QCOMPARE(rows(), 2);

        // Default: bold in the list and "yes" in its Default column, the only row with the flag in the table.
        list.makeDefault(1);
        QVERIFY(bold(1) && !bold(0));
        QCOMPARE(marks(), (QStringList{"", "yes"}));
        QCOMPARE(changed.size(), 3);
        list.UpdateSCP();
        QVERIFY(row(1).isDefault() && !row(0).isDefault() && bold(1));
        QCOMPARE(marks(), (QStringList{"", "yes"}));
        list.makeDefault(0);
        QCOMPARE(marks(), (QStringList{"yes", ""}));
        list.makeDefault(1);

        // Editing keeps the row's id and its default flag.
        const qlonglong id = row(1).id;
        list.runEditor = filling(u"Archive ARCH ::1 4242"_s, &shown);
        list.editPartner(1);
        QCOMPARE(shown, u"Zeta"_s);
        QCOMPARE(row(1).alias, u"Archive"_s);
        QCOMPARE(row(1).id, id);
        QVERIFY(row(1).isDefault() && bold(1));
        QCOMPARE(marks(), (QStringList{"", "yes"}));

        // A rejected entry changes nothing.
        list.runEditor = filling(u"Archive ARCH ::1 42a"_s);
        list.editPartner(1);
        QCOMPARE(prompter_.boxes.last().text, u"Not a valid port."_s);
        QCOMPARE(row(1).address.port, u"4242"_s);
        QCOMPARE(changed.size(), 6);

        list.deletePartner(0);
        QCOMPARE(ColumnTexts(&lvSCP), QStringList{u"Archive"_s});
        QCOMPARE(rows(), 1);
        QCOMPARE(changed.size(), 7);
    }

    void sendMenusFollowTheTable()
    {
        QMenu series, study, patient;
        PartnersInUse inUse;
        QList<QPair<int, QString>> sent;
        auto sendTo = [&](int level, const QString &tag) { sent.append({level, tag}); };
        UpdateSendToEntries(&series, &study, &patient, inUse, sendTo);
        QVERIFY(!series.menuAction()->isVisible());
        QVERIFY(inUse.partner.isEmpty() && inUse.second.isEmpty());

        QueryRows(DefinitionsDatabase.path(), u"INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES "
                                              "('PACS', 'ARCHIVE', '10.0.0.5', '104', -1), ('Backup', 'BACKUP', '10.0.0.6', '11112', 0)"_s);
        UpdateSendToEntries(&series, &study, &patient, inUse, sendTo);
        for (QMenu *m : {&series, &study, &patient}) {
            QVERIFY(m->menuAction()->isVisible());
            QCOMPARE(m->actions().size(), 2);
            QCOMPARE(m->actions()[0]->text(), u"Backup"_s);
            QCOMPARE(m->actions()[1]->data().toString(), u"ARCHIVE!++!10.0.0.5!++!104"_s);
        }
        QCOMPARE(inUse.partner.aet, u"ARCHIVE"_s); // -1 counts as default too
        QCOMPARE(inUse.second.port, u"11112"_s);
        study.actions()[1]->trigger();
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].first, 1);
        QCOMPARE(PartnerFromTag(sent[0].second).ip, u"10.0.0.5"_s);
        QVERIFY(PartnerFromTag(u"broken"_s).isEmpty());

        // A rebuild does not pile up entries; without a default flag the later alias is the second partner.
        QueryRows(DefinitionsDatabase.path(), u"UPDATE tblSCP SET \"Default\" = 0"_s);
        UpdateSendToEntries(&series, &study, &patient, inUse, sendTo);
        QCOMPARE(patient.actions().size(), 2);
        QVERIFY(inUse.partner.isEmpty());
        QCOMPARE(inUse.second.aet, u"ARCHIVE"_s);

        // Partners deleted are no longer in use: a send finds none to go to.
        QueryRows(DefinitionsDatabase.path(), u"DELETE FROM tblSCP"_s);
        UpdateSendToEntries(&series, &study, &patient, inUse, sendTo);
        QVERIFY(!patient.menuAction()->isVisible());
        QVERIFY(inUse.partner.isEmpty() && inUse.second.isEmpty());
    }

    // Verify against a partner that takes the connection and never answers:
    // the window keeps repainting, shows the check under way with Cancel and
    // runs one check at a time; Cancel ends it without a message. A partner
    // that answers is reported as such.
    void verifyPartnerThatNeverAnswers()
    {
        QTcpServer mute;
        QVERIFY(mute.listen(QHostAddress::LocalHost));
        int connections = 0;
        connect(&mute, &QTcpServer::newConnection, &mute, [&] {
            while (mute.hasPendingConnections())
                connections += mute.nextPendingConnection() != nullptr;
        });
        StorePeer archive;
        QVERIFY(archive.start(folder_->file(u"archive"_s), u"ARCHIVE"_s));
        addPartner(u"Archive"_s, u"ARCHIVE"_s, archive.port());
        addPartner(u"Mute"_s, u"MUTE"_s, mute.serverPort());
        const PartnerList stored = ReadPartners();
        QCOMPARE(stored.partners.size(), 2);
        QVERIFY(MakeDefaultPartner(stored.partners[0].address.aet == u"ARCHIVE"_s ? stored.partners[0].id : stored.partners[1].id).ok());
        QDialog options;
        auto *lvSCP = new QTreeWidget(&options);
        StoragePartnerList list(lvSCP, prompter_);
        list.UpdateSCP();
        options.show();
        QCOMPARE(ColumnTexts(lvSCP), (QStringList{"Archive", "Mute"}));
        QCOMPARE(ColumnTexts(lvSCP, StoragePartnerList::DefaultColumn), (QStringList{"yes", ""}));

        TickGaps gaps;
        lvSCP->setCurrentItem(lvSCP->topLevelItem(1));
        list.actVerify->trigger();
        QVERIFY(list.isVerifying() && list.verifyProgress && list.verifyProgress->isVisible());
        QCOMPARE(list.verifyProgress->labelText(), u"Verifying MUTE at 127.0.0.1:%1 ..."_s.arg(mute.serverPort()));
        QTRY_COMPARE(connections, 1);
        const int ticks = gaps.ticks;
        QVERIFY(QTest::qWaitFor([&] { return gaps.ticks >= ticks + 20; }, 5000));
        list.showMenuAt(lvSCP->visualItemRect(lvSCP->topLevelItem(1)).center());
        QVERIFY(!list.actVerify->isEnabled());
        Child<QMenu>(lvSCP, u"PopupAddSCP"_s)->hide();
        list.verify(1); // a second check while one runs
        QElapsedTimer clock;
        clock.start();
        QPushButton *cancel = list.verifyProgress->findChild<QPushButton *>();
        QVERIFY(cancel && cancel->text() == u"Cancel"_s);
        cancel->click();
        QTRY_VERIFY_WITH_TIMEOUT(!list.isVerifying(), 3000);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(gaps.longest < 200, qPrintable(u"the window stood still for %1 ms"_s.arg(gaps.longest)));
        QVERIFY(!list.verifyProgress);
        QCOMPARE(connections, 1);
        QCOMPARE(prompter_.texts(), QStringList());

        list.verify(0);
        QTRY_COMPARE(prompter_.texts(), QStringList{u"Verification succeeded."_s});
    }

    void databaseFailureIsLoggedAndKeepsTheMenus()
    {
        QFile::remove(DefinitionsDatabase.path());
        QMenu a, b, c;
        PartnersInUse inUse;
        UpdateSendToEntries(&a, &b, &c, inUse, {});
        QVERIFY(!a.menuAction()->isVisible());
        QVERIFY(folder_->read(u"Logs/Error.log"_s).contains("MainForm UpdateSendToEntries"));
        QTreeWidget lvSCP;
        StoragePartnerList list(&lvSCP, prompter_);
        list.UpdateSCP();
        QVERIFY(folder_->read(u"Logs/Error.log"_s).contains("OptionForm UpdateSCP"));
    }
};

LUMORA_WIDGETS_TEST_MAIN(PartnersTest, 1280, 1024)
#include "tst_partners.moc"
