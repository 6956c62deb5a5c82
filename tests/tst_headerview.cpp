// The header view and the task list: attribute values as display text, the
// rows of the active filter for the current image, sorting, the task entry a
// click prepares, tasks from the header rows, and rule sets saved and applied.
#include "core/Settings.h"
#include "store/Session.h"
#include "header/HeaderView.h"
#include "header/TaskList.h"
#include "store/DatabasePaths.h"
#include "support/Widgets.h"

class HeaderViewTest : public QObject {
    Q_OBJECT

    TestFolder folder_;
    ToolkitImagePtr image_;
    Session session_;

    QStringList rows(const QTreeWidget &list) const
    {
        QStringList out;
        for (int i = 0; i < list.topLevelItemCount(); ++i) {
            const QTreeWidgetItem *r = list.topLevelItem(i);
            out << r->text(1) + QLatin1Char('=') + r->text(0);
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        SyntheticImageSpec spec;
        spec.laterality = u"R"_s;
        spec.extra = {{u"0008,0008"_s, u"ORIGINAL\\ORIGINAL\\MAMMO"_s},
                      {u"0018,1164"_s, u"0.085\\\\0.085"_s},
                      {u"0028,1050"_s, u"2048"_s},
                      {u"0018,0060"_s, u"20"_s}, {u"0018,1152"_s, u"10"_s}, {u"0018,11A0"_s, u"30"_s}, {u"0018,11A2"_s, u"40"_s}};
        const QString path = folder_.file(u"h.dcm"_s);
        WriteImage(spec, path);
        ToolkitImageList list;
        QVERIFY(ReadFileIntoList(list, path));
        image_ = ListItem(list, 1);
    }

    void values_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("text");
        QTest::newRow("absent: empty, no error") << "0018" << "1150" << "";
        QTest::newRow("single value") << "0028" << "1050" << "2048";
        QTest::newRow("two values joined") << "0020" << "0020" << "P | L";
        QTest::newRow("a repeated value ends the list") << "0008" << "0008" << "ORIGINAL";
        QTest::newRow("an empty value ends the list") << "0018" << "1164" << "0.085";
        QTest::newRow("lower-case hexadecimal") << "0020" << "000d" << GetAttribute(image_, 0x0020, 0x000D).value;
        QTest::newRow("not hexadecimal: empty") << "00zz" << "0010" << "";
    }
    void values()
    {
        QFETCH(QString, group);
        QFETCH(QString, element);
        QFETCH(QString, text);
        QCOMPARE(GetHeaderElement(group, element, image_), text);
    }

    // The name as the header means it, whatever set it is written in; a set
    // that cannot be decoded shows the bytes as received and is logged.
    void characterSets_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Latin-1") << "ISO_IR 100" << "Müller^Jürgen" << "Müller^Jürgen";
        QTest::newRow("Cyrillic") << "ISO_IR 144" << "Иванов^Пётр" << "Иванов^Пётр";
        QTest::newRow("Greek") << "ISO_IR 126" << "Παπαδάκη^Ελένη" << "Παπαδάκη^Ελένη";
        QTest::newRow("UTF-8") << "ISO_IR 192" << "Ærø^Åse" << "Ærø^Åse";
        QTest::newRow("unknown set: as received") << "ISO_IR 999" << "Møller^Ida" << "Møller^Ida";
    }
    void characterSets()
    {
        QFETCH(QString, charset);
        QFETCH(QString, name);
        QFETCH(QString, shown);
        TestFolder station;
        QVERIFY(PrepareStation(station));
        const bool known = charset != u"ISO_IR 999";
        const QString path = station.file(u"c.dcm"_s);
        QVERIFY(WriteImage({.patientName = name, .characterSet = known ? charset : u"ISO_IR 100"_s}, path));
        if (!known)
            QCOMPARE(RunProgram(u"dcmodify"_s, {u"-nb"_s, u"-m"_s, u"(0008,0005)="_s + charset, path}), 0);
        ToolkitImageList list;
        QVERIFY(ReadFileIntoList(list, path));
        const ToolkitImagePtr image = ListItem(list, 1);
        QCOMPARE(GetHeaderElement(u"0010"_s, u"0010"_s, image), shown);
        const QString log = QString::fromUtf8(station.read(u"Logs/Error.log"_s));
        QCOMPARE(log.contains(u"GetHeaderElement"_s) && log.contains(charset), !known);
    }

    void rowsSortingAndTaskEntry()
    {
        QWidget window;
        HeaderControls c{new QTreeWidget(&window), new QLineEdit(&window), new QLineEdit(&window), new QComboBox(&window), {}, {}};
        c.lvHeader->setHeaderLabels({u"Value"_s, u"DICOM Tag"_s, u"DICOM Description"_s});
        c.cboTask->addItems({u"Change entry"_s, u"Move entry"_s, u"Switch entry"_s});
        int taskKindRuns = 0;
        c.currentImage = [this] { return image_; };
        c.cboTask_Click = [&] { ++taskKindRuns; };
        HeaderView view(c, session_);
        QCOMPARE(c.lvHeader->header()->visualIndex(0), 2); // "Value" shown last
        session_.setActiveFilterTags({{u"0028,1050"_s, u"Window Center"_s},
                                      {u"0018,1150"_s, u"Exposure Time"_s},
                                      {u"0020,000E"_s, u"Series Instance UID"_s}});
        view.LoadHeaderData();
        const QString series = GetAttribute(image_, 0x0020, 0x000E).value;
        QCOMPARE(rows(*c.lvHeader), (QStringList{"0018,1150=", "0020,000E=" + series, "0028,1050=2048"}));
        view.lvHeader_ColumnClick(1); // sorted by the tag already: reversed
        QCOMPARE(rows(*c.lvHeader).first(), u"0028,1050=2048"_s);
        view.lvHeader_ColumnClick(2); // another column: by it, the order kept
        QCOMPARE(c.lvHeader->topLevelItem(0)->text(2), u"Window Center"_s);
        view.LoadHeaderData(); // a refill sorts by the tag again
        QCOMPARE(rows(*c.lvHeader).first(), u"0028,1050=2048"_s);

        // A UID is never typed: "New UID", the kind fixed to "Change entry".
        c.cboTask->setCurrentIndex(1);
        view.lvHeader_ItemClick(c.lvHeader->findItems(u"0020,000E"_s, Qt::MatchExactly, 1).value(0));
        QCOMPARE(c.txtSelected->text(), u"0020,000E - Series Instance UID"_s);
        QCOMPARE(c.txtNeu->text(), u"New UID"_s);
        QVERIFY(!c.txtNeu->isEnabled() && !c.cboTask->isEnabled());
        QCOMPARE(c.cboTask->currentText(), u"Change entry"_s);
        QCOMPARE(taskKindRuns, 0);
        c.cboTask->setCurrentIndex(2);
        view.lvHeader_ItemClick(c.lvHeader->findItems(u"0028,1050"_s, Qt::MatchExactly, 1).value(0));
        QCOMPARE(c.txtNeu->text(), u"2048"_s);
        QVERIFY(c.txtNeu->isEnabled() && c.cboTask->isEnabled());
        QCOMPARE(taskKindRuns, 1);
    }

    // Add Task writes each exposure value into its own attribute, whatever
    // the order the header view is sorted in and whatever else the filter holds.
    void addTaskPairsByTag_data()
    {
        QTest::addColumn<int>("column"); // clicked before Add Task; -1 none
        QTest::addColumn<int>("clicks");
        QTest::addColumn<QStringList>("filter"); // tags added to or, with "-", taken from the MG filter
        QTest::addColumn<QStringList>("tasks");
        const QStringList all{"0018,0060=28", "0018,1152=63", "0018,11A0=45", "0018,11A2=120", "0040,8302=1.2"};
        QTest::newRow("sorted by tag") << -1 << 0 << QStringList() << all;
        QTest::newRow("sorted by description") << 2 << 1 << QStringList() << all;
        QTest::newRow("by description, descending") << 2 << 2 << QStringList() << all;
        QTest::newRow("by value") << 0 << 1 << QStringList() << all;
        QTest::newRow("Patient's Name in the filter") << -1 << 0 << QStringList{"0010,0010"} << all;
        QTest::newRow("Patient's Name, by description") << 2 << 1 << QStringList{"0010,0010"} << all;
        QTest::newRow("a filter without KVP") << 2 << 1 << QStringList{"-0018,0060"} << all.mid(1);
    }
    void addTaskPairsByTag()
    {
        QFETCH(int, column);
        QFETCH(int, clicks);
        QFETCH(QStringList, filter);
        QFETCH(QStringList, tasks);
        QWidget window;
        HeaderControls h{new QTreeWidget(&window), new QLineEdit(&window), new QLineEdit(&window), new QComboBox(&window), {}, {}};
        h.lvHeader->setHeaderLabels({u"Value"_s, u"DICOM Tag"_s, u"DICOM Description"_s});
        h.currentImage = [this] { return image_; };
        HeaderView view(h, session_);
        TaskControls t{.lvTasks = new QTreeWidget(&window), .lvHeader = h.lvHeader, .cboLevel = new QComboBox(&window),
                       .cboTask = h.cboTask, .cboTarget = new QComboBox(&window), .txtSelected = h.txtSelected, .txtNeu = h.txtNeu,
                       .currentImageIndex = [] { return 1; }};
        Settings.XrayComm = 4; // sends every value in its attribute's unit
        const QStringList exposure{"28", "63", "45", "120", "1.2", "L CC"};
        for (int i = 0; i < 6; ++i)
            t.exposureBoxes[size_t(i)] = new QLineEdit(exposure[i], &window);
        TaskList list(t, session_);
        list.FillTaskCombos();
        QMap<QString, QString> tags{{u"0018,0060"_s, u"KVP"_s}, {u"0018,1152"_s, u"Exposure"_s}, {u"0018,11A0"_s, u"Body Part Thickness"_s},
                                    {u"0018,11A2"_s, u"Compression Force"_s}, {u"0040,8302"_s, u"Entrance Dose in mGy"_s}};
        for (const QString &tag : filter)
            tag.startsWith(u'-') ? void(tags.remove(tag.mid(1))) : void(tags.insert(tag, u"Patient's Name"_s));
        session_.setActiveFilterTags(tags);
        view.LoadHeaderData();
        for (int i = 0; i < clicks; ++i)
            view.lvHeader_ColumnClick(column);
        list.AddTask();
        QStringList made;
        for (int i = 0; i < t.lvTasks->topLevelItemCount(); ++i) {
            const QTreeWidgetItem *task = t.lvTasks->topLevelItem(i);
            const QString tag = task->text(1).left(9);
            QCOMPARE(task->text(1), tag + u" - "_s + tags.value(tag));
            QCOMPARE(task->text(2), GetHeaderElement(tag.left(4), tag.mid(5), image_)); // the value it replaces
            made << tag + u'=' + task->text(4);
        }
        made.sort();
        QCOMPARE(made, tasks);
    }

    // Add Task turns the header rows into tasks writing the exposure boxes; a
    // rule set keeps the patient, study and series tasks and asks for values
    // when applied, but never for a new UID.
    void tasksAndRuleSets()
    {
        TestFolder station;
        QVERIFY(PrepareStation(station));
        QWidget window;
        QMenu rules;
        QStringList answers, asked;
        int applied = 0;
        TaskControls t{.lvTasks = new QTreeWidget(&window), .lvHeader = new QTreeWidget(&window), .cboLevel = new QComboBox(&window),
                       .cboTask = new QComboBox(&window), .cboTarget = new QComboBox(&window), .txtSelected = new QLineEdit(&window),
                       .txtNeu = new QLineEdit(&window), .PopUpRules = &rules, .currentImageIndex = [] { return 3; },
                       .viewerImageCount = [] { return 4; }, .loadedLevel = [] { return u"Studie"_s; },
                       .askText = [&](const QString &prompt, QString *text) { asked << prompt; *text = answers.takeFirst(); return !text->isNull(); }};
        t.lvHeader->setColumnCount(3);
        Settings.XrayComm = 4; // sends every value in its attribute's unit
        const QStringList exposure{"28", "63", "45", "120", "1.2", "L CC"};
        for (int i = 0; i < 6; ++i)
            t.exposureBoxes[size_t(i)] = new QLineEdit(exposure[i], &window);
        TaskList tasks(t, session_);
        QObject::connect(&tasks, &TaskList::applyTasksRequested, [&] { ++applied; });
        tasks.FillTaskCombos();
        tasks.RebuildRuleMenu();
        QCOMPARE(rules.actions().value(0)->text(), u"No entries"_s);
        for (const QStringList &row : {QStringList{"0.085", "0018,0060", "KVP"}, QStringList{"", "0018,1152", "Exposure"}})
            new QTreeWidgetItem(t.lvHeader, row);
        RecordingPrompter prompts;

        tasks.AddTask();
        QCOMPARE(t.lvTasks->topLevelItemCount(), 2);
        const QTreeWidgetItem *first = t.lvTasks->topLevelItem(0);
        QCOMPARE((QStringList{first->text(0), first->text(1), first->text(2), first->text(3), first->text(4)}),
                 (QStringList{"Image #3", "0018,0060 - KVP", "0.085", "Change entry", "28"}));
        QCOMPARE(t.lvTasks->topLevelItem(1)->text(4), u"63"_s);

        answers = QStringList{u"Screening"_s};
        tasks.SaveAs();
        QCOMPARE(prompts.texts().last(), u"Tasks not saved.\nNo tasks with level \"Patient\", \"Study\" or \"Series\"."_s);
        t.cboLevel->setCurrentText(u"Series"_s);
        tasks.AddTask();
        QCOMPARE(prompts.texts().last(), u"Cannot create series task on study level."_s);
        t.cboLevel->setCurrentText(u"Study"_s);
        tasks.AddTask();
        QTreeWidgetItem *uid = new QTreeWidgetItem(t.lvTasks, {"Study", "0020,000D - Study Instance UID", "", "Change entry", "generate new UID"});
        uid->setData(0, Qt::UserRole, 0);
        answers = QStringList{u"O'Neil's set"_s};
        tasks.SaveAs();
        QCOMPARE(prompts.texts().last(), u"Task successfully saved!"_s);
        QCOMPARE(rules.actions().value(0)->text(), u"ONeils set"_s);
        answers = QStringList{u"ONeils set"_s, QString()}; // taken, then given up
        tasks.SaveAs();
        QCOMPARE(prompts.texts().last(), u"Name already exists!"_s);
        QCOMPARE(QueryValue(station.file(u"Data/LumoraUser.dat"_s), u"SELECT COUNT(*) FROM tblRules"_s).toInt(), 3);

        t.lvTasks->clear();
        asked.clear();
        answers = QStringList{u"30"_s, u"70"_s};
        prompts.answer = true;
        rules.actions().value(0)->trigger();
        QCOMPARE(asked, (QStringList{"Enter new value (0018,0060 - KVP):", "Enter new value (0018,1152 - Exposure):"}));
        QStringList targets;
        for (int i = 0; i < t.lvTasks->topLevelItemCount(); ++i)
            targets << t.lvTasks->topLevelItem(i)->text(0) + QLatin1Char(':') + t.lvTasks->topLevelItem(i)->text(4);
        QCOMPARE(targets, (QStringList{"Study:30", "Study:70", "Study:generate new UID"}));
        QCOMPARE(prompts.texts().last(), u"Execute tasks now?"_s);
        QCOMPARE(applied, 1);

        // Cancel on a value stops the rule set: none of its tasks, no execution.
        t.lvTasks->clear();
        prompts.boxes.clear();
        answers = QStringList{u"31"_s, QString()};
        rules.actions().value(0)->trigger();
        QCOMPARE(t.lvTasks->topLevelItemCount(), 0);
        QVERIFY(prompts.texts().isEmpty());
        QCOMPARE(applied, 1);
        answers = QStringList{u"30"_s, u"70"_s};
        rules.actions().value(0)->trigger();

        // Move and switch take their target from the filter's other attributes.
        session_.setActiveFilterTags({{u"0018,0060"_s, u"KVP"_s}, {u"0018,1152"_s, u"Exposure"_s}});
        t.txtSelected->setText(u"0018,0060 - KVP"_s);
        t.cboTask->setCurrentIndex(1);
        tasks.cboTask_Click();
        QCOMPARE(t.cboTarget->count(), 1);
        QCOMPARE(t.cboTarget->itemText(0), u"0018,1152 - Exposure"_s);
        QVERIFY(!t.txtNeu->isEnabled());
        t.lvTasks->setCurrentItem(t.lvTasks->topLevelItem(0));
        tasks.DeleteTask();
        QCOMPARE(t.lvTasks->topLevelItemCount(), 2);
        QVERIFY(t.lvTasks->selectedItems().isEmpty());
        CloseAllDatabases();
    }
};

LUMORA_WIDGETS_TEST_MAIN(HeaderViewTest, 1280, 1024)
#include "tst_headerview.moc"
