// The dose journal dialog over a journal with rows of several days: its
// searches, "Set Free" both ways and what the dose list then shows, the
// failures it reports, and the two sortable columns.
#include "exposure/DosisForm.h"
#include "dose/DoseStore.h"
#include "support/DoseTables.h"
#include "support/ExposureStation.h"
#include "support/Widgets.h"

namespace {

const QDate Today(2026, 3, 5);

// The journal: id → (day, name, patient id, status).
struct Row {
    int daysBack;
    const char *name;
    const char *patientId;
    const char *status;
};
// A search: the identifier and name typed, the day chosen, All or Search, and the rows of Journal found.
struct Search {
    const char *patientId, *name;
    int daysBack;
    bool all;
    QList<int> expected;
};

const Row Journal[] = {
    {0, "Meier^Anna", "P1", "0"},  {1, "Meister^Bo", "P2", "1"}, {5, "O'Brien^Ann", "P3", "1"},
    {0, "Müller^Eva", "P1", "0"}, {30, "Amei^Cy", "Q7", "1"},  {2, "MÜLLER^Max", "P4", "1"},
};

// Answers the next input dialog with the text, or cancels it for a null text;
// label: what it asked.
void answerInput(QObject *owner, const QString &text, QString *label)
{
    auto *poll = new QTimer(owner);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, text, label] {
        auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        *label = dialog->labelText();
        if (text.isNull()) {
            dialog->reject();
        } else {
            dialog->setTextValue(text);
            dialog->accept();
        }
    });
    poll->start();
}

} // namespace
Q_DECLARE_METATYPE(Search)

class DosisFormTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ExposureFixture> fx_;
    std::unique_ptr<DosisForm> form_;
    QTreeWidget *list() const { return Child<QTreeWidget>(*form_, u"ListView1"_s); }
    void press(const QString &button) const { Child<QAbstractButton>(*form_, button)->click(); }
    QList<qlonglong> ids_;
    double agd_ = 0; // row 0's, as the calibration gave it

    QStringList ids(const QList<int> &rows) const
    {
        QStringList out;
        for (int r : rows)
            out << QString::number(ids_[r]);
        return out;
    }

private slots:
    void initTestCase()
    {
        ResetWorkstationState();
        fx_ = std::make_unique<ExposureFixture>();
        QVERIFY(fx_->ready);
        fx_->doseList->setToday([] { return Today; });
        // The physicist's calibration of the unit and the factor tables, so that exposures carry an AGD.
        fx_->folder.write(u"factors.csv"_s, TestFactorTable.toUtf8());
        DoseCalibration c = TestCalibration();
        c.unit = UnitSophie;
        DatabaseSession db(DefinitionsDatabase);
        QVERIFY(db.ok());
        QVERIFY(ImportFactorFile(DefinitionsDatabase, fx_->folder.file(u"factors.csv"_s), QDateTime::currentDateTime()).ok());
        QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
    }
    void cleanupTestCase() { fx_.reset(); }

    void init()
    {
        {
            DatabaseSession db(UserDatabase);
            QVERIFY(db.ok() && Execute(UserDatabase, u"DELETE FROM tblDosis"_s).ok());
        }
        // The unit sends each exposure with its day; the dose list assigns it
        // to the patient chosen. Row 3's breast lies outside the factor grid: no AGD.
        ids_.clear();
        for (const Row &r : Journal) {
            const bool outsideGrid = &r == &Journal[3];
            ids_ << fx_->expose(QString::fromUtf8(r.name), {.day = Today.addDays(-r.daysBack), .cm = outsideGrid ? u"9.0"_s : u"4.5"_s});
            QVERIFY(ids_.last() > 0);
            if (*r.patientId)
                QVERIFY(fx_->assign(ids_.last(), QLatin1String(r.patientId), QString::fromUtf8(r.name)));
        }
        form_ = std::make_unique<DosisForm>(fx_->prompter);
        form_->today = [] { return Today; };
        form_->Form_Load();
        // Rows left open after their assignment were set free in this dialog.
        for (qsizetype i = 0; i < ids_.size(); ++i)
            if (QLatin1String(Journal[i].status) == "0"_L1 && *Journal[i].patientId) {
                press(u"cmdMod"_s);
                const QList<QTreeWidgetItem *> found = list()->findItems(QString::number(ids_[i]), Qt::MatchExactly, 0);
                QCOMPARE(found.size(), 1);
                list()->setCurrentItem(found.first());
                press(u"cmdFree"_s);
                QCOMPARE(fx_->journalRowById(ids_[i], u"Status|FKeyPatID"_s), u"0|"_s + QLatin1String(Journal[i].patientId));
            }
        press(u"cmdSearch"_s); // back to the calendar day, as the dialog opens
        agd_ = fx_->journalRowById(ids_[0], u"AGD"_s).toDouble();
        QVERIFY(agd_ > 0);
        fx_->prompter.boxes.clear(); // a case sees its own boxes
    }
    void cleanup() { form_.reset(); }

    void searches_data()
    {
        QTest::addColumn<Search>("c");
        QTest::newRow("nothing filled: the calendar day") << Search{"", "", 0, false, {0, 3}};
        QTest::newRow("an earlier calendar day") << Search{"", "", 5, false, {2}};
        QTest::newRow("All with nothing filled: the whole journal") << Search{"", "", 0, true, {0, 1, 2, 3, 4, 5}};
        QTest::newRow("Mei*: names that begin with Mei") << Search{"", "Mei*", 0, false, {0, 1}};
        QTest::newRow("All by name, any day") << Search{"", "*ei*", 0, true, {0, 1, 4}};
        QTest::newRow("the identifier before the name") << Search{"P1", "O*", 0, false, {0, 3}};
        QTest::newRow("identifier with a wild card") << Search{"P*", "", 0, true, {0, 1, 2, 3, 5}};
        QTest::newRow("mü*: umlauts without regard to case") << Search{"", "mü*", 0, true, {3, 5}};
        QTest::newRow("an apostrophe in the name") << Search{"", "O'Brien^Ann", 0, false, {2}};
    }
    void searches()
    {
        QFETCH(Search, c);
        QCOMPARE(ColumnTexts(list(), 0), ids({0, 3})); // opens on today's rows
        QCOMPARE(ColumnTexts(list(), 8), (QStringList{QLocale().toString(agd_, 'f', 2), QString()})); // AGD, none computed
        const QString log = fx_->errorLog();
        Child<QLineEdit>(*form_, u"txtID"_s)->setText(QString::fromUtf8(c.patientId));
        Child<QLineEdit>(*form_, u"txtPatname"_s)->setText(QString::fromUtf8(c.name));
        Child<QCalendarWidget>(*form_, u"MonthView1"_s)->setSelectedDate(Today.addDays(-c.daysBack));
        c.all ? press(u"cmdMod"_s) : press(u"cmdSearch"_s);
        QCOMPARE(ColumnTexts(list(), 0), ids(c.expected));
        QCOMPARE(fx_->errorLog(), log);
    }

    // A name the row gets after its decoding, when the exposure is assigned
    // to her images, rejected during her examination or set free under her
    // name, is the name searched; the one it was decoded under is not found
    // any more.
    void nameGivenLaterIsSearched_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("assigned") << u"assigned"_s;
        QTest::newRow("rejected") << u"rejected"_s;
        QTest::newRow("set free under her name") << u"set free"_s;
    }
    void nameGivenLaterIsSearched()
    {
        QFETCH(QString, how);
        const qlonglong id = fx_->expose(u"Unbekannt^X"_s, {.day = Today});
        QVERIFY(id > 0);
        const QString name = u"ÖZDEMIR^Ayşe"_s;
        if (how == u"set free"_s) {
            QVERIFY(fx_->assign(id, u"Q9"_s, u"Unbekannt^X"_s));
            press(u"cmdMod"_s);
            const QList<QTreeWidgetItem *> found = list()->findItems(QString::number(id), Qt::MatchExactly, 0);
            QCOMPARE(found.size(), 1);
            list()->setCurrentItem(found.first());
            press(u"Check1"_s);
            Child<QLineEdit>(*form_, u"txtDoNo"_s)->setText(name);
            press(u"cmdFree"_s);
            press(u"Check1"_s);
            QCOMPARE(fx_->journalRowById(id, u"Status|Patname"_s), u"0|"_s + name);
        } else if (how == u"rejected"_s) {
            const BrowserSelection her{.patientKey = 9, .patientId = u"R5"_s, .patientName = name, .studyKey = 9, .studyUid = u"1.2.826.0.1.9"_s};
            fx_->session.setSelection(her);
            fx_->session.setLoadedFor(her);
            QVERIFY(fx_->selectListed(id));
            for (int row = 0; row < fx_->doseList->rowCount(); ++row)
                if (fx_->doseList->id(row) == id)
                    fx_->doseList->choose(row);
            fx_->doseList->PopupDeleteDosis();
            QCOMPARE(fx_->journalRowById(id, u"Status|Patname"_s), u"2|"_s + name);
        } else {
            QVERIFY(fx_->assign(id, u"R5"_s, name));
        }
        Child<QLineEdit>(*form_, u"txtPatname"_s)->setText(u"Özd*"_s);
        press(u"cmdMod"_s);
        QCOMPARE(ColumnTexts(list(), 0), QStringList{QString::number(id)});
        Child<QLineEdit>(*form_, u"txtPatname"_s)->setText(u"unb*"_s);
        press(u"cmdMod"_s);
        QCOMPARE(ColumnTexts(list(), 0), QStringList());
    }

    // Set free as it was, the row stays of its day and out of today's dose list;
    // with CL/SE it takes the new name and today's date and the list shows it.
    void setFreeBothWays()
    {
        const RecordingPrompter &prompts = fx_->prompter;
        press(u"cmdMod"_s);
        QVERIFY(!Child<QLineEdit>(*form_, u"txtDoNo"_s)->isEnabled());
        list()->setCurrentItem(list()->topLevelItem(1));
        press(u"cmdFree"_s);
        QCOMPARE(fx_->journalValue(1, u"Status|Patname"_s), u"0|Meister^Bo"_s);
        fx_->doseList->lvDosis_Fill();
        QCOMPARE(fx_->listedIds(), ids({0, 3}));

        press(u"Check1"_s);
        QVERIFY(Child<QLineEdit>(*form_, u"txtDoNo"_s)->isEnabled());
        Child<QLineEdit>(*form_, u"txtDoNo"_s)->setText(u"D'Arcy^Jo"_s);
        Child<QLineEdit>(*form_, u"txtPatname"_s)->setText(u"O*"_s);
        press(u"cmdSearch"_s);
        list()->setCurrentItem(list()->topLevelItem(0));
        press(u"cmdFree"_s);
        QCOMPARE(fx_->journalRowById(ids_[2], u"Status|Patname|Datum"_s), u"0|D'Arcy^Jo|"_s + DbDate(Today));
        QCOMPARE(ColumnTexts(list(), 0), QStringList()); // refilled: no O* name is left
        fx_->doseList->lvDosis_Fill();
        QCOMPARE(fx_->listedIds(), ids({0, 2, 3}));
        QVERIFY(prompts.boxes.isEmpty());
        press(u"Check1"_s);
        QVERIFY(!Child<QLineEdit>(*form_, u"txtDoNo"_s)->isEnabled());
    }

    // CL/SE ticked and no name typed: the dialog asks for one. The answer is
    // given to the row; Cancel keeps the row as it was.
    void setFreeAsksForAName_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("answer"); // null: Cancel
        QTest::addColumn<QString>("expected");
        QTest::newRow("answered") << "" << "Neu^Nina" << "0|Neu^Nina|" + DbDate(Today);
        QTest::newRow("blanks typed, cancelled") << "  " << QString() << "1|O'Brien^Ann|" + DbDate(Today.addDays(-5));
    }
    void setFreeAsksForAName()
    {
        QFETCH(QString, typed);
        QFETCH(QString, answer);
        QFETCH(QString, expected);
        press(u"cmdMod"_s);
        press(u"Check1"_s);
        Child<QLineEdit>(*form_, u"txtDoNo"_s)->setText(typed);
        list()->setCurrentItem(list()->topLevelItem(2));
        QString asked;
        answerInput(form_.get(), answer, &asked);
        press(u"cmdFree"_s);
        QCOMPARE(asked, u"Patient name for the released exposure:"_s);
        QCOMPARE(fx_->journalRowById(ids_[2], u"Status|Patname|Datum"_s), expected);
    }

    // No row selected, or a journal that cannot be opened: a message, nothing
    // changed, and the dialog goes on working.
    void setFreeFailuresAreReported()
    {
        const RecordingPrompter &prompts = fx_->prompter;
        list()->clearSelection();
        press(u"cmdFree"_s);
        QCOMPARE(prompts.texts(), QStringList{u"Please select an exposure first."_s});

        list()->setCurrentItem(list()->topLevelItem(0));
        const QString journal = UserDatabase.path();
        QVERIFY(QFile::rename(journal, journal + u".away"_s));
        press(u"cmdFree"_s);
        QCOMPARE(prompts.boxes.size(), 2);
        QCOMPARE(prompts.boxes.last().kind, u"critical"_s);
        QVERIFY(prompts.boxes.last().text.startsWith(u"The exposure could not be set free: "_s));
        QVERIFY(fx_->errorLog().contains(u"DosisForm updateDosisDB"_s));
        press(u"cmdSearch"_s);
        QVERIFY(fx_->errorLog().contains(u"DosisForm DosisListFill"_s));
        QCOMPARE(list()->topLevelItemCount(), 0);

        QVERIFY(QFile::rename(journal + u".away"_s, journal));
        press(u"cmdMod"_s);
        QCOMPARE(list()->topLevelItemCount(), 6);
    }

    // The date header twice: ascending, then descending, by date value; other
    // columns but the name do not sort.
    void onlyNameAndDateSort()
    {
        press(u"cmdMod"_s);
        QHeaderView *header = list()->header();
        const auto click = [&](int c) { emit header->sectionClicked(c); };
        click(2);
        QCOMPARE(ColumnTexts(list(), 0), ids({4, 2, 5, 1, 0, 3}));
        click(2);
        QCOMPARE(ColumnTexts(list(), 0), ids({0, 3, 1, 5, 2, 4}));
        click(5);
        click(3);
        QCOMPARE(ColumnTexts(list(), 0), ids({0, 3, 1, 5, 2, 4}));
        click(1);
        QCOMPARE(ColumnTexts(list(), 1),
                 (QStringList{"Amei^Cy", "Meier^Anna", "Meister^Bo", "MÜLLER^Max", "Müller^Eva", "O'Brien^Ann"}));
        form_->show();
        form_->grab().save(TestBinDir() + u"/dosisform.png"_s); // to look at
        press(u"cmdSearch"_s); // a refill keeps the order
        QCOMPARE(ColumnTexts(list(), 1), (QStringList{"Meier^Anna", "Müller^Eva"}));
    }
};

LUMORA_WIDGETS_TEST_MAIN(DosisFormTest, 1280, 1024)
#include "tst_dosisform.moc"
