// Storage partners: the list in the options dialog, the editor's checks, the
// default flag, and the send menus built from the table.
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "network/PartnerForms.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

class PartnersTest : public QObject {
    Q_OBJECT

    RecordingPrompter prompter_;
    std::unique_ptr<TestFolder> folder_;

    static void addRow(const QString &alias, const QString &aet, const QString &ip, const QString &port, int flag)
    {
        QueryRows(DefinitionsDatabase.path(), QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES (?, ?, ?, ?, ?)"),
                  {alias, aet, ip, port, flag});
    }
    static qlonglong rows() { return CountRows(DefinitionsDatabase.path(), QStringLiteral("tblSCP")); }
    // Runs an editor by filling its fields and pressing its button; shown: the alias it opened with.
    static std::function<int(AddSCP &)> filling(const QStringList &values, QString *shown = nullptr)
    {
        return [values, shown](AddSCP &e) {
            if (shown)
                *shown = e.txtSCP[0]->text();
            for (int i = 0; i < 4; ++i)
                e.txtSCP[i]->setText(values[i]);
            e.cmdAdd->click();
            return e.result();
        };
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        prompter_.boxes.clear();
        DefaultPartner = {};
        SecondPartner = {};
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
        StoragePartnerList list(&lvSCP);
        list.UpdateSCP();
        QCOMPARE(lvSCP.topLevelItemCount(), 0);

        QString shown = QStringLiteral("?");
        list.runEditor = filling({QStringLiteral("Zeta"), QStringLiteral("ZETA"), QStringLiteral("127.0.0.1"), QStringLiteral("104")}, &shown);
        list.PopAddNewSCP();
        QVERIFY(shown.isEmpty());
        QVERIFY(PartnersChanged);
        list.runEditor = filling({QStringLiteral("Alpha"), QStringLiteral("ALPHA"), QStringLiteral("127.0.0.1"), QStringLiteral("11112")});
        list.PopAddNewSCP();
        QCOMPARE(lvSCP.topLevelItemCount(), 2);
        QCOMPARE(lvSCP.topLevelItem(0)->text(0), QStringLiteral("Alpha")); // alias order
        QCOMPARE(lvSCP.topLevelItem(1)->text(3), QStringLiteral("104"));

        // A third is refused while two are listed.
        bool editorOpened = false;
        list.runEditor = [&](AddSCP &) { editorOpened = true; return 0; };
        list.PopAddNewSCP();
        QVERIFY(!editorOpened);
        QCOMPARE(prompter_.boxes.last().text, QStringLiteral("You can only add two storage partners!"));
        QCOMPARE(rows(), 2);

        // Default: bold in the list, the only row with the flag in the table.
        lvSCP.setCurrentItem(lvSCP.topLevelItem(1));
        list.PopDefault();
        QVERIFY(lvSCP.topLevelItem(1)->font(0).bold());
        QVERIFY(!lvSCP.topLevelItem(0)->font(0).bold());
        QCOMPARE(DefaultPartner.aet, QStringLiteral("ZETA"));
        list.UpdateSCP();
        QVERIFY(lvSCP.topLevelItem(1)->font(0).bold());
        lvSCP.setCurrentItem(lvSCP.topLevelItem(1));

        // Editing keeps the row's id and its default flag.
        const qlonglong id = lvSCP.topLevelItem(1)->data(0, Qt::UserRole).toLongLong();
        list.runEditor = filling({QStringLiteral("Archive"), QStringLiteral("ARCH"), QStringLiteral("::1"), QStringLiteral("4242")}, &shown);
        list.PopEditSCP();
        QCOMPARE(shown, QStringLiteral("Zeta"));
        QCOMPARE(lvSCP.topLevelItem(1)->text(0), QStringLiteral("Archive"));
        QCOMPARE(lvSCP.topLevelItem(1)->data(0, Qt::UserRole).toLongLong(), id);
        QVERIFY(lvSCP.topLevelItem(1)->font(0).bold());
        lvSCP.setCurrentItem(lvSCP.topLevelItem(1));

        // A rejected entry changes nothing.
        list.runEditor = filling({QStringLiteral("Archive"), QStringLiteral("ARCH"), QStringLiteral("::1"), QStringLiteral("42a")});
        list.PopEditSCP();
        QCOMPARE(prompter_.boxes.last().text, QStringLiteral("Not a valid port."));
        QCOMPARE(lvSCP.topLevelItem(1)->text(3), QStringLiteral("4242"));

        PartnersChanged = false;
        lvSCP.setCurrentItem(lvSCP.topLevelItem(0));
        list.PopDeleteSCP();
        QCOMPARE(lvSCP.topLevelItemCount(), 1);
        QCOMPARE(rows(), 1);
        QVERIFY(PartnersChanged);
    }

    void sendMenusFollowTheTable()
    {
        QMenu series, study, patient;
        QList<QPair<int, QString>> sent;
        auto sendTo = [&](int level, const QString &tag) { sent.append({level, tag}); };
        UpdateSendToEntries(&series, &study, &patient, sendTo);
        QVERIFY(!series.menuAction()->isVisible());
        QVERIFY(DefaultPartner.isEmpty() && SecondPartner.isEmpty());

        addRow(QStringLiteral("PACS"), QStringLiteral("ARCHIVE"), QStringLiteral("10.0.0.5"), QStringLiteral("104"), -1);
        addRow(QStringLiteral("Backup"), QStringLiteral("BACKUP"), QStringLiteral("10.0.0.6"), QStringLiteral("11112"), 0);
        UpdateSendToEntries(&series, &study, &patient, sendTo);
        for (QMenu *m : {&series, &study, &patient}) {
            QVERIFY(m->menuAction()->isVisible());
            QCOMPARE(m->actions().size(), 2);
            QCOMPARE(m->actions()[0]->text(), QStringLiteral("Backup"));
            QCOMPARE(m->actions()[1]->data().toString(), QStringLiteral("ARCHIVE!++!10.0.0.5!++!104"));
        }
        QCOMPARE(DefaultPartner.aet, QStringLiteral("ARCHIVE")); // -1 counts as default too
        QCOMPARE(SecondPartner.port, QStringLiteral("11112"));
        study.actions()[1]->trigger();
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].first, 1);
        QCOMPARE(PartnerFromTag(sent[0].second).ip, QStringLiteral("10.0.0.5"));
        QVERIFY(PartnerFromTag(QStringLiteral("broken")).isEmpty());

        // A rebuild does not pile up entries; without a default flag the later alias is the second partner.
        QueryRows(DefinitionsDatabase.path(), QStringLiteral("UPDATE tblSCP SET \"Default\" = 0"));
        DefaultPartner = {};
        UpdateSendToEntries(&series, &study, &patient, sendTo);
        QCOMPARE(patient.actions().size(), 2);
        QVERIFY(DefaultPartner.isEmpty());
        QCOMPARE(SecondPartner.aet, QStringLiteral("ARCHIVE"));
    }

    void databaseFailureIsLoggedAndKeepsTheMenus()
    {
        QFile::remove(DefinitionsDatabase.path());
        QMenu a, b, c;
        UpdateSendToEntries(&a, &b, &c, {});
        QVERIFY(!a.menuAction()->isVisible());
        QVERIFY(folder_->read(QStringLiteral("Logs/Error.log")).contains("MainForm UpdateSendToEntries"));
        QTreeWidget lvSCP;
        StoragePartnerList list(&lvSCP);
        list.UpdateSCP();
        QVERIFY(folder_->read(QStringLiteral("Logs/Error.log")).contains("OptionForm UpdateSCP"));
    }
};

LUMORA_WIDGETS_TEST_MAIN(PartnersTest, 1280, 1024)
#include "tst_partners.moc"
