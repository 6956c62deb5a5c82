// The dose journal dialog over a journal with rows of several days: its
// searches, "Set Free" both ways and what the dose list then shows, the
// failures it reports, and the two sortable columns.
#include "exposure/DosisForm.h"
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
    QList<qlonglong> ids_;

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
    }
    void cleanupTestCase() { fx_.reset(); }

    void init()
    {
        {
            DatabaseSession db(UserDatabase);
            QVERIFY(db.ok() && Execute(UserDatabase, u"DELETE FROM tblDosis"_s).ok());
        }
        ids_.clear();
        for (const Row &r : Journal)
            ids_ << fx_->addRow(Today.addDays(-r.daysBack), QString::fromUtf8(r.name), QLatin1String(r.status), QLatin1String(r.patientId));
        {
            DatabaseSession db(UserDatabase);
            QVERIFY(Execute(UserDatabase, u"UPDATE tblDosis SET AGD = 1.234, AgdSource = 'reported dose' WHERE ID = ?"_s, {ids_[0]}).ok());
        }
        form_ = std::make_unique<DosisForm>();
        form_->today = [] { return Today; };
        form_->Form_Load();
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
        QCOMPARE(ColumnTexts(form_->ListView1, 0), ids({0, 3})); // opens on today's rows
        QCOMPARE(ColumnTexts(form_->ListView1, 8), (QStringList{QLocale().toString(1.234, 'f', 2), QString()})); // AGD, none computed
        const QString log = fx_->errorLog();
        form_->txtID->setText(QString::fromUtf8(c.patientId));
        form_->txtPatname->setText(QString::fromUtf8(c.name));
        form_->MonthView1->setSelectedDate(Today.addDays(-c.daysBack));
        c.all ? form_->cmdMod->click() : form_->cmdSearch->click();
        QCOMPARE(ColumnTexts(form_->ListView1, 0), ids(c.expected));
        QCOMPARE(fx_->errorLog(), log);
    }

    // Set free as it was, the row stays of its day and out of today's dose list;
    // with CL/SE it takes the new name and today's date and the list shows it.
    void setFreeBothWays()
    {
        RecordingPrompter prompts;
        form_->cmdMod->click();
        QVERIFY(!form_->txtDoNo->isEnabled());
        form_->ListView1->setCurrentItem(form_->ListView1->topLevelItem(1));
        form_->cmdFree->click();
        QCOMPARE(fx_->journalValue(1, u"Status|Patname"_s), u"0|Meister^Bo"_s);
        fx_->doseList->lvDosis_Fill();
        QCOMPARE(fx_->listedIds(), ids({0, 3}));

        form_->clSeBox->click();
        QVERIFY(form_->txtDoNo->isEnabled());
        form_->txtDoNo->setText(u"D'Arcy^Jo"_s);
        form_->txtPatname->setText(u"O*"_s);
        form_->cmdSearch->click();
        form_->ListView1->setCurrentItem(form_->ListView1->topLevelItem(0));
        form_->cmdFree->click();
        QCOMPARE(fx_->journalRowById(ids_[2], u"Status|Patname|Datum"_s), u"0|D'Arcy^Jo|"_s + DbDate(Today));
        QCOMPARE(ColumnTexts(form_->ListView1, 0), QStringList()); // refilled: no O* name is left
        fx_->doseList->lvDosis_Fill();
        QCOMPARE(fx_->listedIds(), ids({0, 2, 3}));
        QVERIFY(prompts.boxes.isEmpty());
        form_->clSeBox->click();
        QVERIFY(!form_->txtDoNo->isEnabled());
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
        form_->cmdMod->click();
        form_->clSeBox->click();
        form_->txtDoNo->setText(typed);
        form_->ListView1->setCurrentItem(form_->ListView1->topLevelItem(2));
        QString asked;
        answerInput(form_.get(), answer, &asked);
        form_->cmdFree->click();
        QCOMPARE(asked, u"Patient name for the released exposure:"_s);
        QCOMPARE(fx_->journalRowById(ids_[2], u"Status|Patname|Datum"_s), expected);
    }

    // No row selected, or a journal that cannot be opened: a message, nothing
    // changed, and the dialog goes on working.
    void setFreeFailuresAreReported()
    {
        RecordingPrompter prompts;
        form_->ListView1->clearSelection();
        form_->cmdFree->click();
        QCOMPARE(prompts.texts(), QStringList{u"Please select an exposure first."_s});

        form_->ListView1->setCurrentItem(form_->ListView1->topLevelItem(0));
        const QString journal = UserDatabase.path();
        QVERIFY(QFile::rename(journal, journal + u".away"_s));
        form_->cmdFree->click();
        QCOMPARE(prompts.boxes.size(), 2);
        QCOMPARE(prompts.boxes.last().kind, u"critical"_s);
        QVERIFY(prompts.boxes.last().text.startsWith(u"The exposure could not be set free: "_s));
        QVERIFY(fx_->errorLog().contains(u"DosisForm updateDosisDB"_s));
        form_->cmdSearch->click();
        QVERIFY(fx_->errorLog().contains(u"DosisForm DosisListFill"_s));
        QCOMPARE(form_->ListView1->topLevelItemCount(), 0);

        QVERIFY(QFile::rename(journal + u".away"_s, journal));
        form_->cmdMod->click();
        QCOMPARE(form_->ListView1->topLevelItemCount(), 6);
    }

    // The date header twice: ascending, then descending, by date value; other
    // columns but the name do not sort.
    void onlyNameAndDateSort()
    {
        form_->cmdMod->click();
        QHeaderView *header = form_->ListView1->header();
        const auto click = [&](int c) { emit header->sectionClicked(c); };
        click(2);
        QCOMPARE(ColumnTexts(form_->ListView1, 0), ids({4, 2, 5, 1, 0, 3}));
        click(2);
        QCOMPARE(ColumnTexts(form_->ListView1, 0), ids({0, 3, 1, 5, 2, 4}));
        click(5);
        click(3);
        QCOMPARE(ColumnTexts(form_->ListView1, 0), ids({0, 3, 1, 5, 2, 4}));
        click(1);
        QCOMPARE(ColumnTexts(form_->ListView1, 1),
                 (QStringList{"Amei^Cy", "Meier^Anna", "Meister^Bo", "MÜLLER^Max", "Müller^Eva", "O'Brien^Ann"}));
        form_->show();
        form_->grab().save(TestBinDir() + u"/dosisform.png"_s); // to look at
        form_->cmdSearch->click(); // a refill keeps the order
        QCOMPARE(ColumnTexts(form_->ListView1, 1), (QStringList{"Meier^Anna", "Müller^Eva"}));
    }
};

LUMORA_WIDGETS_TEST_MAIN(DosisFormTest, 1280, 1024)
#include "tst_dosisform.moc"
