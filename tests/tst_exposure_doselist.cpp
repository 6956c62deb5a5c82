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
        const qlonglong a = f.addRow(today, QStringLiteral("Doe^Jane"));
        f.addRow(today.addDays(-1), QStringLiteral("Doe^Jane")); // captured before midnight
        f.addRow(today, QStringLiteral("Doe^Jane"), QStringLiteral("1"));
        const qlonglong d = f.addRow(today, QStringLiteral("Roe^Ann"));
        ListRefreshRequested = true;
        f.doseList->lvDosis_Fill();
        QCOMPARE(f.listedIds(), (QStringList{QString::number(a), QString::number(d)}));
        QVERIFY(!ListRefreshRequested);
        QTreeWidgetItem *row = f.c.lvDosis->topLevelItem(0);
        QCOMPARE(row->data(0, Qt::UserRole).toLongLong(), a);
        QCOMPARE(row->text(1), QLocale().toString(today, QLocale::ShortFormat));
        QCOMPARE(row->text(3), QStringLiteral("28"));
        QCOMPARE(row->text(8), QStringLiteral("L CC"));
        QCOMPARE(row->text(10), QStringLiteral("450"));
        QVERIFY(f.c.lvDosis->selectedItems().isEmpty());

        // While a batch job runs the list is left alone; the next fill shows the new rows.
        BatchJobActive = true;
        const qlonglong e = f.addRow(today, QStringLiteral("Roe^Ann"));
        f.doseList->lvDosis_Fill();
        QCOMPARE(f.c.lvDosis->topLevelItemCount(), 2);
        BatchJobActive = false;
        f.doseList->lvDosis_Fill();
        QCOMPARE(f.listedIds().last(), QString::number(e));

        // Without a journal both list commands log, and no journal is made.
        QFile::remove(ResolveUserDatabasePath(Settings.Database));
        f.doseList->lvDosis_Fill();
        f.doseList->RefreshDosisList();
        QVERIFY(f.errorLog().contains(QStringLiteral("MainForm_lvDosis_Fill")));
        QVERIFY(f.errorLog().contains(QStringLiteral("MainForm_RefreshDosisList")));
        QVERIFY(!QFile::exists(ResolveUserDatabasePath(Settings.Database)));
    }

    void clickSelectsTheExposureForStamping()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        f.addRow(today, QStringLiteral("Doe^Jane"), QStringLiteral("0"), QStringLiteral("31"));
        f.doseList->lvDosis_Fill();
        new QTreeWidgetItem(f.c.lvImages, {QStringLiteral("1")});
        auto *img2 = new QTreeWidgetItem(f.c.lvImages, {QStringLiteral("2")});
        f.c.lvImages->setCurrentItem(img2);
        QTreeWidgetItem *row = f.c.lvDosis->topLevelItem(0);
        f.doseList->lvDosis_ItemClick(row);
        const ExposureValues &e = SelectedExposure;
        QCOMPARE((QStringList{e.kV, e.mAs, e.thickness, e.compression, e.dose, e.other, CurrentExposureTime}),
                 (QStringList{"31", "63", "45", "120", "1.2", "L CC", "450"}));
        QCOMPARE(f.c.exposureDateBox->text(), row->text(1));
        QCOMPARE(f.c.exposureTimeBox->text(), QStringLiteral("10:00:00"));
        QCOMPARE(f.c.exposureBoxes[0]->text(), QStringLiteral("31"));
        QCOMPARE(f.c.exposureBoxes[5]->text(), QStringLiteral("L CC"));
        QCOMPARE(f.c.txtID->text(), row->text(0));
        QCOMPARE(f.taskButtonRuns, 1);
        QVERIFY(img2->font(0).bold()); // the image the values go to is marked
        QVERIFY(!f.c.lvImages->topLevelItem(0)->font(0).bold());
    }

    void deleteMarksTheRowAndKeepsIt()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        const qlonglong a = f.addRow(today, QStringLiteral("Doe^Jane"));
        const qlonglong b = f.addRow(today, QStringLiteral("Doe^Jane"));
        f.doseList->lvDosis_Fill();
        f.c.exposureDateBox->setText(QStringLiteral("x"));
        f.c.exposureBoxes[2]->setText(QStringLiteral("x"));
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
        const auto rows = f.journal(QStringLiteral("WHERE ID = ?"), {a});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].value(QStringLiteral("Status")).toString(), QStringLiteral("1"));
        QVERIFY(rows[0].value(QStringLiteral("FKeyPatID")).isNull());
        QVERIFY(f.c.exposureDateBox->text().isEmpty() && f.c.exposureBoxes[2]->text().isEmpty());

        // Nothing selected: logged, the list is not refilled, the boxes still emptied.
        f.c.lvDosis->clearSelection();
        f.c.exposureTimeBox->setText(QStringLiteral("x"));
        f.doseList->PopupDeleteDosis();
        QVERIFY(f.errorLog().contains(QStringLiteral("MainForm_RefreshDosisList")));
        QCOMPARE(f.journal(QStringLiteral("WHERE Status = '0'")).size(), 1);
        QVERIFY(f.c.exposureTimeBox->text().isEmpty());
    }

    void assignmentModes()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        const qlonglong a = f.addRow(today, QStringLiteral("O'Brien^Kate"));
        const qlonglong b = f.addRow(today, QStringLiteral("O'Brien^Kate"));
        const qlonglong c = f.addRow(today, QStringLiteral("Roe^Ann"));
        CurrentSelection.patientId = QStringLiteral("P'42");
        CurrentSelection.patientName = QStringLiteral("O'Brien^Kate Mary");

        // Mode 0 changes nothing but refills.
        f.doseList->RefreshDosisList();
        QCOMPARE(f.listedIds().size(), 3);

        // Mode 3: the selected row only.
        f.c.lvDosis->topLevelItem(1)->setSelected(true);
        AssignmentMode = 3;
        f.doseList->RefreshDosisList();
        auto rows = f.journal(QStringLiteral("WHERE ID = ?"), {b});
        QCOMPARE(rows[0].value(QStringLiteral("Status")).toString(), QStringLiteral("1"));
        QCOMPARE(rows[0].value(QStringLiteral("FKeyPatID")).toString(), QStringLiteral("P'42"));
        QCOMPARE(rows[0].value(QStringLiteral("Patname")).toString(), QStringLiteral("O'Brien^Kate Mary"));
        QCOMPARE(f.listedIds(), (QStringList{QString::number(a), QString::number(c)}));

        // A name choice limits mode 1 to that patient's rows.
        f.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        QTest::mouseClick(f.c.cmbDosis, Qt::LeftButton);
        QCOMPARE(f.c.cmbDosis->count(), 2);
        QCOMPARE(f.c.cmbDosis->itemText(0), QStringLiteral("O'Brien^Kate"));
        f.c.cmbDosis->hidePopup();
        f.doseList->cmbDosis_Click(0);
        QCOMPARE(f.listedIds(), QStringList{QString::number(a)});
        AssignmentMode = 1;
        f.doseList->RefreshDosisList();
        QCOMPARE(f.journal(QStringLiteral("WHERE Status = '1' AND FKeyPatID = ?"), {QStringLiteral("P'42")}).size(), 2);
        rows = f.journal(QStringLiteral("WHERE ID = ?"), {c});
        QCOMPARE(rows[0].value(QStringLiteral("Status")).toString(), QStringLiteral("0"));
        QCOMPARE(f.listedIds(), QStringList{QString::number(c)});

        f.doseList->RefreshDosisList(); // mode 1 over the whole list
        QVERIFY(f.listedIds().isEmpty());
        QCOMPARE(f.journal(QStringLiteral("WHERE Status = '0'")).size(), 0);
        QVERIFY(f.errorLog().isEmpty());
    }

    void newExaminationEmptiesTheListOnly()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        f.addRow(today, QStringLiteral("Doe^Jane"));
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
