// The data dictionary and the modality filters through their dialogs, over the
// definitions database the station ships: new attributes, Apply and Delete,
// filters created, filled, activated and deleted, and unsafe filter names.
#include "core/Settings.h"
#include "dictionary/DictionaryForms.h"
#include "dictionary/DictionaryStore.h"
#include "store/DatabasePaths.h"
#include "store/Session.h"
#include "support/Widgets.h"

namespace {

// Runs `step` on the modal dialog the next call opens.
void onNextDialog(const std::function<void(QWidget *)> &step)
{
    QTimer::singleShot(0, [step] {
        QWidget *dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        step(dialog);
    });
}

// A new attribute as typed (group, element, VR), the message it gets (none: stored) and its tag.
struct NewTag {
    QString group, element, vr, message, tag;
};

QTreeWidgetItem *rowOf(QTreeWidget *list, int column, const QString &text) { return list->findItems(text, Qt::MatchExactly, column).value(0); }

} // namespace
Q_DECLARE_METATYPE(NewTag)

class DictionaryTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    QString defs_;

    QStringList columns()
    {
        QStringList out;
        for (const QVariantList &r : QueryRows(defs_, u"SELECT name FROM pragma_table_info('tblDictionary')"_s))
            out << r.value(0).toString();
        return out;
    }
    QVariant value(const QString &sql, const QVariantList &values = {}) { return QueryValue(defs_, sql, values); }

    // The attribute hidden as an operator hides it, in a dictionary dialog of her own.
    static void hideAttribute(const QString &tag)
    {
        RecordingPrompter prompts;
        DatabaseForm dictionary(prompts);
        dictionary.UpdateDictionary();
        rowOf(Child<QTreeWidget>(dictionary, u"lvDatabase"_s), 1, tag)->setCheckState(0, Qt::Unchecked);
        Child<QPushButton>(dictionary, u"cmdApply"_s)->click();
        QCOMPARE(prompts.texts(), QStringList{u"Apply changes?"_s});
    }
    // The attribute deleted through the dictionary's menu, when it is listed.
    static void deleteAttribute(const QString &tag)
    {
        RecordingPrompter prompts;
        DatabaseForm dictionary(prompts);
        dictionary.UpdateDictionary();
        auto *rows = Child<QTreeWidget>(dictionary, u"lvDatabase"_s);
        if (QTreeWidgetItem *row = rowOf(rows, 1, tag)) {
            rows->setCurrentItem(row);
            dictionary.PopDelete_Click();
            QVERIFY(!rowOf(rows, 1, tag));
        }
    }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        defs_ = folder_->file(u"Data/LumoraUser.dat"_s);
    }
    void cleanup()
    {
        QVERIFY(NoDatabaseLeftOpen());
        folder_.reset();
    }

    void newAttribute_data()
    {
        QTest::addColumn<NewTag>("c");
        QTest::newRow("padded, VR trimmed and upper case") << NewTag{"8", "60", " cs ", "", "0008,0060"};
        QTest::newRow("lower-case hex") << NewTag{"7fe1", "1b", "OB", "", "7FE1,001B"};
        QTest::newRow("one-character VR") << NewTag{"0009", "0010", "C", "Not a valid VR type!", "0009,0010"};
        QTest::newRow("three-character VR") << NewTag{"0009", "0010", "CSS", "Not a valid VR type!", "0009,0010"};
        QTest::newRow("a tag already there") << NewTag{"10", "10", "PN", "Tag already exists.", "0010,0010"};
        QTest::newRow("group not hexadecimal") << NewTag{"8G", "60", "CS", "Not a valid group or element!", "008G,0060"};
        QTest::newRow("element of five digits") << NewTag{"0009", "00100", "CS", "Not a valid group or element!", "0009,00100"};
    }
    void newAttribute()
    {
        QFETCH(NewTag, c);
        const auto &[group, element, vr, message, tag] = c;
        if (message.isEmpty()) // the shipped dictionary may know it already
            deleteAttribute(tag);
        const int before = CountRows(defs_, u"tblDictionary"_s);
        RecordingPrompter prompts;
        DatabaseForm dictionary(prompts);
        dictionary.UpdateDictionary();
        AddTagToDB add(&dictionary, prompts);
        const std::pair<const char16_t *, QString> fields[] = {
            {u"txtGroup", group}, {u"txtElement", element}, {u"txtDescription", u"Private note"_s}, {u"txtVR", vr}};
        for (const auto &[name, text] : fields)
            Child<QLineEdit>(add, QString::fromUtf16(name))->setText(text);
        Child<QCheckBox>(add, u"chkVisi"_s)->setChecked(true);
        Child<QPushButton>(add, u"cmdOK"_s)->click();
        QCOMPARE(prompts.texts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(CountRows(defs_, u"tblDictionary"_s), before + (message.isEmpty() ? 1 : 0));
        if (message.isEmpty()) {
            const QList<QVariantList> row = QueryRows(defs_, u"SELECT Type, Visible FROM tblDictionary WHERE Tag = ?"_s, {tag});
            QCOMPARE(row, (QList<QVariantList>{{vr.trimmed().toUpper(), -1}}));
            QVERIFY(rowOf(Child<QTreeWidget>(dictionary, u"lvDatabase"_s), 1, tag)); // listed again
        }
    }

    // Apply stores the boxes the operator changed and nothing else; Delete removes its row.
    void applyAndDelete()
    {
        RecordingPrompter prompts;
        DatabaseForm dictionary(prompts);
        dictionary.UpdateDictionary();
        auto *rows = Child<QTreeWidget>(dictionary, u"lvDatabase"_s);
        QCOMPARE(qlonglong(rows->topLevelItemCount()), CountRows(defs_, u"tblDictionary"_s));
        rowOf(rows, 1, u"0010,0010"_s)->setCheckState(0, Qt::Unchecked);
        // Another operator hides a row behind the dialog's back.
        hideAttribute(u"0010,0020"_s);
        prompts.answer = false;
        Child<QPushButton>(dictionary, u"cmdApply"_s)->click();
        QCOMPARE(value(u"SELECT Visible FROM tblDictionary WHERE Tag = '0010,0010'"_s).toInt(), -1);
        prompts.answer = true;
        Child<QPushButton>(dictionary, u"cmdApply"_s)->click();
        QCOMPARE(prompts.texts(), QStringList(2, u"Apply changes?"_s));
        QCOMPARE(value(u"SELECT Visible FROM tblDictionary WHERE Tag = '0010,0010'"_s).toInt(), 0);
        QCOMPARE(value(u"SELECT Visible FROM tblDictionary WHERE Tag = '0010,0020'"_s).toInt(), 0);

        Child<QPushButton>(dictionary, u"cmdAll"_s)->click();
        QVERIFY(rowOf(rows, 1, u"0010,0010"_s)->checkState(0) == Qt::Checked);
        // Delete asks first; No keeps the row.
        rows->setCurrentItem(rowOf(rows, 1, u"0010,0030"_s));
        prompts.answer = false;
        dictionary.PopDelete_Click();
        QVERIFY(rowOf(rows, 1, u"0010,0030"_s));
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblDictionary WHERE Tag = '0010,0030'"_s).toInt(), 1);
        prompts.answer = true;
        dictionary.PopDelete_Click();
        QCOMPARE(prompts.texts().mid(2), QStringList(2, u"Delete 0010,0030 (Patient Birth Date) from the dictionary?"_s));
        QVERIFY(!rowOf(rows, 1, u"0010,0030"_s));
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblDictionary WHERE Tag = '0010,0030'"_s).toInt(), 0);
    }

    // A new filter, its visible attributes, activation, removal and deletion.
    void filterFromStartToEnd()
    {
        QWidget dialog;
        RecordingPrompter prompts;
        FilterArea area(&dialog, prompts);
        QMap<QString, QString> activeTags{{u"unset"_s, {}}};
        QStringList filters;
        bool visibleTagsChanged = false, activatable = false;
        QObject::connect(&area, &FilterArea::activeFilterChanged, [&](const QMap<QString, QString> &tags) { activeTags = tags; });
        QObject::connect(&area, &FilterArea::visibleTagsChanged, [&] { visibleTagsChanged = true; });
        QObject::connect(&area, &FilterArea::filtersChanged, [&](const QStringList &names) { filters = names; });
        QObject::connect(&area, &FilterArea::activatable, [&](bool can) { activatable = can; });
        area.FillFilterList();
        area.cmdAdd_Click();
        QCOMPARE(prompts.texts(), QStringList{u"No filter selected!"_s});

        onNextDialog([](QWidget *box) {
            Child<QLineEdit>(box, u"txtValue"_s)->setText(u" cr "_s);
            Child<QPushButton>(box, u"cmdOK"_s)->click();
        });
        area.cmdNew_Click();
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblModality WHERE Modality = 'CR'"_s).toInt(), 1);
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblDictionary WHERE CR = 0"_s).toLongLong(), CountRows(defs_, u"tblDictionary"_s));
        QCOMPARE(Child<QLineEdit>(area.inputBox(), u"txtValue"_s)->text(), u" cr "_s); // kept for the next use
        // The same name again adds nothing.
        onNextDialog([](QWidget *box) { Child<QPushButton>(box, u"cmdOK"_s)->click(); });
        area.cmdNew_Click();
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblModality"_s).toInt(), 2);
        QCOMPARE(filters, (QStringList{u"CR"_s, u"MG"_s}));

        // Only visible attributes are offered; the chosen ones join the filter.
        hideAttribute(u"0010,0020"_s);
        area.cboModality_Click(u"CR"_s);
        QVERIFY(activatable);
        onNextDialog([](QWidget *form) {
            auto *list = Child<QTreeWidget>(form, u"lvDictionary"_s);
            QVERIFY(!rowOf(list, 0, u"0010,0020"_s));
            rowOf(list, 0, u"0010,0010"_s)->setSelected(true);
            rowOf(list, 0, u"0018,0060"_s)->setSelected(true);
            Child<QPushButton>(form, u"cmdAdd"_s)->click();
        });
        area.cmdAdd_Click();
        QVERIFY(visibleTagsChanged);
        QCOMPARE(ColumnTexts(area.tags()), (QStringList{u"0010,0010"_s, u"0018,0060"_s}));

        area.cmdActivate_Click();
        QCOMPARE(Settings.FilterActive, u"CR"_s);
        QCOMPARE(ReadSetting(u"Filter\\Active"_s, QString()), u"CR"_s);
        QCOMPARE(activeTags.keys(), (QStringList{u"0010,0010"_s, u"0018,0060"_s}));
        QVERIFY(!activatable);

        area.cmdDelete_Click({0});
        QCOMPARE(ColumnTexts(area.tags()), QStringList{u"0018,0060"_s});
        QCOMPARE(activeTags.keys(), QStringList{u"0018,0060"_s});
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblDictionary WHERE CR = -1"_s).toInt(), 1);

        // Deleting the active filter drops its column and clears Filter\Active.
        prompts.boxes.clear();
        area.cmdDelMod_Click();
        QCOMPARE(prompts.texts(), QStringList{u"Delete filter \"CR\"?"_s});
        QVERIFY(!columns().contains(u"CR"_s));
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblModality"_s).toInt(), 1);
        QVERIFY(Settings.FilterActive.isEmpty());
        QCOMPARE(ReadSetting(u"Filter\\Active"_s, u"unset"_s), u"unset"_s);
        QVERIFY(activeTags.isEmpty());
    }

    // A filter name becomes a column: a name that cannot be one is refused and leaves nothing behind.
    void unsafeFilterNames_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"CR X", "1A", "SELECT", "visible", "rowid", "MG\"; DROP TABLE tblSCP; --"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void unsafeFilterNames()
    {
        QFETCH(QString, name);
        const QStringList before = columns();
        QWidget dialog;
        RecordingPrompter prompts;
        FilterArea area(&dialog, prompts);
        area.inputBox()->setDefault(name);
        onNextDialog([](QWidget *box) { Child<QPushButton>(box, u"cmdOK"_s)->click(); });
        area.cmdNew_Click();
        QCOMPARE(prompts.boxes.size(), 1);
        QVERIFY(prompts.boxes[0].text.startsWith(u"The filter \"%1\" cannot be created: "_s.arg(name.toUpper())));
        QCOMPARE(columns(), before);
        QCOMPARE(value(u"SELECT COUNT(*) FROM tblModality"_s).toInt(), 1);
        QCOMPARE(value(u"SELECT COUNT(*) FROM sqlite_master WHERE name = 'tblSCP'"_s).toInt(), 1);
    }

    // At start the active filter's attributes are read into the session.
    void activeFilterAtStart()
    {
        Settings.FilterActive = u"MG"_s;
        Session session;
        LoadModFilter(session);
        QCOMPARE(session.activeFilterTags().size(), 5);
        QVERIFY(session.activeFilterTags().contains(u"0040,8302"_s));
    }
};

LUMORA_WIDGETS_TEST_MAIN(DictionaryTest, 1280, 1024)
#include "tst_dictionary.moc"
