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

    static QStringList rows(const HeaderView &view)
    {
        QStringList out;
        for (int i = 0; i < view.rowCount(); ++i)
            out << view.row(i).tag + u'=' + view.row(i).value;
        return out;
    }
    static QStringList taskRows(TaskList &tasks)
    {
        QStringList out;
        for (int i = 0; i < tasks.taskCount(); ++i) {
            QStringList cells;
            // The source as the task carries it; the list shows its description.
            for (int c = 0; c < 5; ++c)
                cells << tasks.model()->index(i, c).data(c == 1 ? Qt::UserRole : Qt::DisplayRole).toString();
            const QString source = cells[1];
            if (tasks.model()->index(i, 1).data().toString() != (source.contains(u" - "_s) ? source.section(u" - "_s, 1) : source))
                cells << u"shown as "_s + tasks.model()->index(i, 1).data().toString();
            out << cells.join(u'|');
        }
        return out;
    }
    // The exposure boxes as the operator filled them: kV, mAs, thickness, compression, dose, projection.
    static ExposureValues exposure() { return {u"28"_s, u"63"_s, u"45"_s, u"120"_s, u"1.2"_s, u"L CC"_s}; }

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
        // The header view shows the session's current image.
        QVERIFY(session_.addLoadedImage(ImageUid(image_), image_));
        QVERIFY(session_.setCurrentImage(ImageUid(image_)));
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

    // The rows follow the session's current image, however it was chosen,
    // and go when none is current.
    void followsTheSessionsCurrentImage()
    {
        HeaderView view(session_);
        session_.setActiveFilterTags({{u"0020,0062"_s, u"Image Laterality"_s}});
        session_.clearCurrentImage();
        QCOMPARE(view.rowCount(), 0);
        QVERIFY(!session_.setCurrentImage(ImageUid(image_) + u"0"_s)); // not loaded: nothing changes
        QCOMPARE(view.rowCount(), 0);
        QVERIFY(session_.setCurrentImage(ImageUid(image_)));
        QCOMPARE(rows(view), QStringList{u"0020,0062=R"_s});
        session_.clearCurrentImage();
        QCOMPARE(view.rowCount(), 0);
        QVERIFY(session_.setCurrentImage(ImageUid(image_)));
        QCOMPARE(view.rowCount(), 1);
    }

    void rowsSortingAndTaskEntry()
    {
        HeaderView view(session_);
        RecordingPrompter prompts;
        TaskList tasks(session_, view, {}, prompts);
        session_.setActiveFilterTags({{u"0028,1050"_s, u"Window Center"_s},
                                      {u"0018,1150"_s, u"Exposure Time"_s},
                                      {u"0020,000E"_s, u"Series Instance UID"_s}});
        view.LoadHeaderData();
        const QString series = GetAttribute(image_, 0x0020, 0x000E).value;
        QCOMPARE(rows(view), (QStringList{"0018,1150=", "0020,000E=" + series, "0028,1050=2048"}));
        view.lvHeader_ColumnClick(HeaderView::TagColumn); // sorted by the tag already: reversed
        QCOMPARE(rows(view).first(), u"0028,1050=2048"_s);
        view.lvHeader_ColumnClick(HeaderView::DescriptionColumn); // another column: by it, the order kept
        QCOMPARE(view.row(0).description, u"Window Center"_s);
        view.LoadHeaderData(); // a refill sorts by the tag again
        QCOMPARE(rows(view).first(), u"0028,1050=2048"_s);

        // A UID is never typed: "New UID", the kind fixed to "Change entry".
        tasks.setKind(1);
        tasks.selectHeaderRow(view.rowOf(u"0020,000E"_s));
        QCOMPARE(tasks.entry().selected, u"0020,000E - Series Instance UID"_s);
        QCOMPARE(tasks.entry().value, u"New UID"_s);
        QVERIFY(!tasks.entry().valueEditable && !tasks.entry().kindEditable);
        QCOMPARE(tasks.entry().kind, 0);
        // Move and switch take their target from the filter's other attributes.
        tasks.setKind(2);
        tasks.selectHeaderRow(view.rowOf(u"0028,1050"_s));
        QCOMPARE(tasks.entry().value, u"2048"_s);
        QVERIFY(!tasks.entry().valueEditable && tasks.entry().kindEditable);
        QCOMPARE(tasks.entry().targets, (QStringList{"0018,1150 - Exposure Time", "0020,000E - Series Instance UID"}));
        tasks.setKind(0);
        QVERIFY(tasks.entry().targets.isEmpty());
        tasks.selectHeaderRow(view.rowOf(u"0018,1150"_s));
        QVERIFY(tasks.entry().valueEditable && tasks.entry().kindEditable);
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
        HeaderView view(session_);
        RecordingPrompter prompts;
        TaskList list(session_, view, {.currentImageIndex = [] { return 1; }, .exposure = exposure}, prompts);
        Settings.XrayComm = 4; // sends every value in its attribute's unit
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
        for (const HeaderTask &task : list.tasks()) {
            const QString tag = task.source.left(9);
            QCOMPARE(task.source, tag + u" - "_s + tags.value(tag));
            QCOMPARE(task.value, GetHeaderElement(tag.left(4), tag.mid(5), image_)); // the value it replaces
            made << tag + u'=' + task.target;
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
        QStringList answers, asked, ruleSets{u"<none told>"_s};
        int applied = 0;
        session_.setActiveFilterTags({{u"0018,0060"_s, u"KVP"_s}, {u"0018,1152"_s, u"Exposure"_s}});
        HeaderView view(session_);
        view.LoadHeaderData();
        RecordingPrompter prompts;
        TaskList tasks(session_, view,
                       {.currentImageIndex = [] { return 3; }, .viewerImageCount = [] { return 4; }, .loadedLevel = [] { return u"Studie"_s; },
                        .exposure = exposure,
                        .askText = [&](const QString &prompt, QString *text) { asked << prompt; *text = answers.takeFirst(); return !text->isNull(); }},
                       prompts);
        QObject::connect(&tasks, &TaskList::applyTasksRequested, [&] { ++applied; });
        QObject::connect(&tasks, &TaskList::ruleSetsChanged, [&](const QStringList &names) { ruleSets = names; });
        tasks.RebuildRuleMenu();
        QCOMPARE(ruleSets, QStringList());
        Settings.XrayComm = 4; // sends every value in its attribute's unit

        tasks.AddTask();
        QCOMPARE(taskRows(tasks), (QStringList{"Image #3|0018,0060 - KVP|20|Change entry|28", "Image #3|0018,1152 - Exposure|10|Change entry|63"}));

        answers = QStringList{u"Screening"_s};
        tasks.SaveAs();
        QCOMPARE(prompts.texts().last(), u"Tasks not saved.\nNo tasks with level \"Patient\", \"Study\" or \"Series\"."_s);
        tasks.setLevel(TaskLevels().indexOf(u"Series"_s));
        tasks.AddTask();
        QCOMPARE(prompts.texts().last(), u"Cannot create series task on study level."_s);
        tasks.setLevel(TaskLevels().indexOf(u"Study"_s));
        tasks.AddTask();
        tasks.addTask({u"Study"_s, 0, u"0020,000D - Study Instance UID"_s, {}, u"generate new UID"_s});
        answers = QStringList{u"O'Neil's set"_s};
        tasks.SaveAs();
        QCOMPARE(prompts.texts().last(), u"Task successfully saved!"_s);
        QCOMPARE(ruleSets, QStringList{u"ONeils set"_s});
        answers = QStringList{u"ONeils set"_s, QString()}; // taken, then given up
        tasks.SaveAs();
        QCOMPARE(prompts.texts().last(), u"Name already exists!"_s);
        QCOMPARE(QueryValue(station.file(u"Data/LumoraUser.dat"_s), u"SELECT COUNT(*) FROM tblRules"_s).toInt(), 3);

        tasks.ClearEntries();
        asked.clear();
        answers = QStringList{u"30"_s, u"70"_s};
        prompts.answer = true;
        tasks.ApplyRuleSet(ruleSets.value(0));
        QCOMPARE(asked, (QStringList{"Enter new value (0018,0060 - KVP):", "Enter new value (0018,1152 - Exposure):"}));
        QCOMPARE(taskRows(tasks), (QStringList{"Study|0018,0060 - KVP||Change entry|30", "Study|0018,1152 - Exposure||Change entry|70",
                                              "Study|0020,000D - Study Instance UID||Change entry|generate new UID"}));
        QCOMPARE(prompts.texts().last(), u"Execute tasks now?"_s);
        QCOMPARE(applied, 1);
        QCOMPARE(tasks.tasks().value(0).kind, 0);

        // Cancel on a value stops the rule set: none of its tasks, no execution.
        tasks.ClearEntries();
        prompts.boxes.clear();
        answers = QStringList{u"31"_s, QString()};
        tasks.ApplyRuleSet(ruleSets.value(0));
        QCOMPARE(tasks.taskCount(), 0);
        QVERIFY(prompts.texts().isEmpty());
        QCOMPARE(applied, 1);
        answers = QStringList{u"30"_s, u"70"_s};
        tasks.ApplyRuleSet(ruleSets.value(0));

        tasks.DeleteTask(0);
        tasks.DeleteTask(-1);
        QCOMPARE(taskRows(tasks).value(0), u"Study|0018,1152 - Exposure||Change entry|70"_s);
        QCOMPARE(tasks.taskCount(), 2);
        QVERIFY(NoDatabaseLeftOpen());
    }
};

LUMORA_WIDGETS_TEST_MAIN(HeaderViewTest, 1280, 1024)
#include "tst_headerview.moc"
