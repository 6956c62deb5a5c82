// The dose list over a real journal: what is listed, selection into the
// stamping values, removal, the three assignment modes and the name filter.
#include "core/WorkstationState.h"
#include "support/ExposureStation.h"
#include "exposure/ExposureJournal.h"

#include <QtTest>

class DoseListTest : public QObject {
    Q_OBJECT

    QDate today;

private slots:
    void init()
    {
        ResetWorkstationState();
        QVERIFY(WaitPastMidnightIfClose());
        today = QDate::currentDate();
    }

    void listsOnlyTodaysOpenRows()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        const qlonglong a = f.addRow(today, u"Doe^Jane"_s);
        f.addRow(today.addDays(-1), u"Doe^Jane"_s); // captured before midnight
        f.addRow(today, u"Doe^Jane"_s, u"1"_s);
        const qlonglong d = f.addRow(today, u"Roe^Ann"_s);
        ListRefreshRequested = true;
        f.doseList->lvDosis_Fill();
        QCOMPARE(f.listedIds(), (QStringList{QString::number(a), QString::number(d)}));
        QVERIFY(!ListRefreshRequested);
        QTreeWidgetItem *row = f.c.lvDosis->topLevelItem(0);
        QCOMPARE(row->data(0, Qt::UserRole).toLongLong(), a);
        QCOMPARE((QStringList{row->text(1), row->text(3), row->text(8), row->text(10)}),
                 (QStringList{QLocale().toString(today, QLocale::ShortFormat), "28", "L CC", "450"}));
        QVERIFY(f.c.lvDosis->selectedItems().isEmpty());

        // While a batch job runs the list is left alone; the next fill shows the new rows.
        BatchJobActive = true;
        const qlonglong e = f.addRow(today, u"Roe^Ann"_s);
        f.doseList->lvDosis_Fill();
        QCOMPARE(f.c.lvDosis->topLevelItemCount(), 2);
        BatchJobActive = false;
        f.doseList->lvDosis_Fill();
        QCOMPARE(f.listedIds().last(), QString::number(e));

        // Without a journal both list commands log, and no journal is made.
        QFile::remove(ResolveUserDatabasePath(Settings.Database));
        f.doseList->lvDosis_Fill();
        f.doseList->RefreshDosisList();
        QVERIFY(f.errorLog().contains(u"MainForm_lvDosis_Fill"_s));
        QVERIFY(f.errorLog().contains(u"MainForm_RefreshDosisList"_s));
        QVERIFY(!QFile::exists(ResolveUserDatabasePath(Settings.Database)));
    }

    void clickSelectsTheExposureForStamping()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        f.addRow(today, u"Doe^Jane"_s, u"0"_s, u"31"_s);
        f.doseList->lvDosis_Fill();
        new QTreeWidgetItem(f.c.lvImages, {u"1"_s});
        auto *img2 = new QTreeWidgetItem(f.c.lvImages, {u"2"_s});
        f.c.lvImages->setCurrentItem(img2);
        QTreeWidgetItem *row = f.c.lvDosis->topLevelItem(0);
        f.doseList->lvDosis_ItemClick(row);
        const ExposureValues &e = SelectedExposure;
        QCOMPARE((QStringList{e.kV, e.mAs, e.thickness, e.compression, e.dose, e.other, CurrentExposureTime}),
                 (QStringList{"31", "63", "45", "120", "1.2", "L CC", "450"}));
        QCOMPARE((QStringList{f.c.exposureDateBox->text(), f.c.exposureTimeBox->text(), f.c.exposureBoxes[0]->text(),
                              f.c.exposureBoxes[5]->text(), f.c.txtID->text()}),
                 (QStringList{row->text(1), "10:00:00", "31", "L CC", row->text(0)}));
        QCOMPARE(f.taskButtonRuns, 1);
        QVERIFY(img2->font(0).bold()); // the image the values go to is marked
        QVERIFY(!f.c.lvImages->topLevelItem(0)->font(0).bold());
    }

    void deleteMarksTheRowAndKeepsIt()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        const qlonglong a = f.addRow(today, u"Doe^Jane"_s);
        const qlonglong b = f.addRow(today, u"Doe^Jane"_s);
        f.doseList->lvDosis_Fill();
        f.c.exposureDateBox->setText(u"x"_s);
        f.c.exposureBoxes[2]->setText(u"x"_s);
        // The right button selects the row under the pointer and opens the menu.
        QTreeWidgetItem *first = f.c.lvDosis->topLevelItem(0);
        f.window.resize(800, 600);
        f.c.lvDosis->resize(700, 400);
        f.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        const QPoint at = f.c.lvDosis->visualItemRect(first).center();
        QTest::mouseClick(f.c.lvDosis->viewport(), Qt::RightButton, {}, at);
        QVERIFY(first->isSelected());
        QTRY_VERIFY_WITH_TIMEOUT(f.c.Popup_Dosis->isVisible(), 2000);
        f.c.Popup_Dosis->hide();
        f.c.PopupDeleteDosis->trigger();

        QCOMPARE(AssignmentMode, qint16(2));
        QCOMPARE(f.listedIds(), QStringList{QString::number(b)});
        QCOMPARE(f.journalRowById(a, u"Status|FKeyPatID"_s), u"1|<null>"_s);
        QVERIFY(f.c.exposureDateBox->text().isEmpty() && f.c.exposureBoxes[2]->text().isEmpty());

        // Nothing selected: logged, the list is not refilled, the boxes still emptied.
        f.c.lvDosis->clearSelection();
        f.c.exposureTimeBox->setText(u"x"_s);
        f.doseList->PopupDeleteDosis();
        QVERIFY(f.errorLog().contains(u"MainForm_RefreshDosisList"_s));
        QCOMPARE(f.journal(u"WHERE Status = '0'"_s).size(), 1);
        QVERIFY(f.c.exposureTimeBox->text().isEmpty());
    }

    void assignmentModes()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        const qlonglong a = f.addRow(today, u"O'Brien^Kate"_s);
        const qlonglong b = f.addRow(today, u"O'Brien^Kate"_s);
        const qlonglong c = f.addRow(today, u"Roe^Ann"_s);
        CurrentSelection.patientId = u"P'42"_s;
        CurrentSelection.patientName = u"O'Brien^Kate Mary"_s;

        // Mode 0 changes nothing but refills.
        f.doseList->RefreshDosisList();
        QCOMPARE(f.listedIds().size(), 3);

        // Mode 3: the selected row only.
        f.c.lvDosis->topLevelItem(1)->setSelected(true);
        AssignmentMode = 3;
        f.doseList->RefreshDosisList();
        QCOMPARE(f.journalRowById(b, u"Status|FKeyPatID|Patname"_s), u"1|P'42|O'Brien^Kate Mary"_s);
        QCOMPARE(f.listedIds(), (QStringList{QString::number(a), QString::number(c)}));

        // A name choice limits mode 1 to that patient's rows.
        f.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        QTest::mouseClick(f.c.cmbDosis, Qt::LeftButton);
        QCOMPARE(f.c.cmbDosis->count(), 2);
        QCOMPARE(f.c.cmbDosis->itemText(0), u"O'Brien^Kate"_s);
        f.c.cmbDosis->hidePopup();
        f.doseList->cmbDosis_Click(0);
        QCOMPARE(f.listedIds(), QStringList{QString::number(a)});
        AssignmentMode = 1;
        f.doseList->RefreshDosisList();
        QCOMPARE(f.journal(u"WHERE Status = '1' AND FKeyPatID = ?"_s, {u"P'42"_s}).size(), 2);
        QCOMPARE(f.journalRowById(c, u"Status"_s), u"0"_s);
        QCOMPARE(f.listedIds(), QStringList{QString::number(c)});

        f.doseList->RefreshDosisList(); // mode 1 over the whole list
        QVERIFY(f.listedIds().isEmpty());
        QCOMPARE(f.journal(u"WHERE Status = '0'"_s).size(), 0);
        QVERIFY(f.errorLog().isEmpty());
    }

    void newExaminationEmptiesTheListOnly()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        f.addRow(today, u"Doe^Jane"_s);
        f.doseList->lvDosis_Fill();
        ProjectionCounter = 3;
        f.c.newExaminationButton->click();
        QCOMPARE(ProjectionCounter, qint16(0));
        QCOMPARE(f.c.lvDosis->topLevelItemCount(), 0);
        QCOMPARE(f.journal().size(), 1);
        QVERIFY(f.c.SerTimer->isActive() && f.c.sendTimer->isActive());
        // The operator sees the capture state on the button: green runs, red stopped.
        QCOMPARE(f.c.newExaminationButton->palette().color(QPalette::Button), QColor(0, 255, 0));
        f.c.stopButton->click();
        QVERIFY(!f.c.SerTimer->isActive() && !f.c.sendTimer->isActive());
        QCOMPARE(f.c.newExaminationButton->palette().color(QPalette::Button), QColor(255, 0, 0));
    }
};

QTEST_MAIN(DoseListTest)
#include "tst_exposure_doselist.moc"
