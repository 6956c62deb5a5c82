// Exposure capture over a real journal. The dose list: what is listed,
// selection into the stamping values, removal, the three assignment modes and
// the name filter. The serial link and the decoding frame with a real
// pseudo-terminal pair: messages sent in pieces become one journal row and one
// list row each, the polled unit is answered, the exchange files, and the
// port's failures.
#include "store/Session.h"
#include "exposure/ExposureJournal.h"
#include "exposure/StudyDoseReport.h"
#include "dose/DoseStore.h"
#include "dose/ReferenceLevels.h"
#include "support/DoseTables.h"
#include "support/ExposureStation.h"
#include "support/SendJob.h"
#include "support/UnitOne.h"
#include "acquisition/ProjectionAssignment.h"
#include "acquisition/Stamping.h"
#include "dose/Projection.h"
#include "qa/DoseQaForm.h"
#include "toolkit/SyntheticImage.h"

#include <QElapsedTimer>

namespace {

// The unit sends its own date: the fixture's day keeps the row in the list.
// Its projection is token 3, in the form pairing compares ("L-CC", "R-MLO45").
const QByteArray Sophie = SophieMessage().toLatin1();
const QByteArray Giotto = "\x02GIOTTO 10 28063 120 45 1.8\x03";
const QByteArray Lorad = LoradMessage().toLatin1();
const QByteArray Seno = "ABCDEF0\xb2" "8100 450ms12 45mm 0 DIGITAL\r\n"; // bit 7 set on one digit
const QByteArray Hfe = "SM 1000 V2.1\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*";

} // namespace

class ExposureCaptureTest : public QObject {
    Q_OBJECT

    const QDate today = ExposureFixture::Day;

    // False when the fixture has no journal.
    static bool useUnit(ExposureFixture &f, qint16 unit, const QString &device)
    {
        Settings.XrayComm = unit;
        Settings.Port = 1;
        Settings.ComDevice[0] = device;
        f.capture->setPatientName(u"O'Neill^Mary"_s);
        f.capture->setPollPauseMs(300);
        return f.ready;
    }

private slots:
    // A comma-decimal workstation with a two-digit-year short date.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void init()
    {
        ResetWorkstationState();
    }

    // Which rows are listed: other days' in tst_dosisform, assigned ones in assignmentModes.
    void listsTheDaysRows()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        DoseList &list = *f.doseList;
        const qlonglong a = f.expose(u"Doe^Jane"_s);
        const qlonglong d = f.expose(u"Roe^Ann"_s);
        list.lvDosis_Fill();
        QCOMPARE(f.listedIds(), (QStringList{QString::number(a), QString::number(d)}));
        QCOMPARE(list.id(0), a);
        QCOMPARE((QStringList{list.text(0, DoseList::Date), list.text(0, DoseList::KV), list.text(0, DoseList::Other), list.text(0, DoseList::ExpTime)}),
                 (QStringList{QLocale().toString(today, QLocale::ShortFormat), "28", "W,Rh,28,L-CC,AEC", "1,25"}));
        QCOMPARE(list.model()->headerData(DoseList::ExpTime, Qt::Horizontal).toString(), u"expTime"_s);
        QVERIFY(!list.selectionModel()->hasSelection());

        // While a batch job runs the list is left alone; the next fill shows the new rows.
        f.session.setBatchActive(true);
        const qlonglong e = f.expose(u"Roe^Ann"_s);
        list.lvDosis_Fill();
        QCOMPARE(list.rowCount(), 2);
        f.session.setBatchActive(false);
        list.lvDosis_Fill();
        QCOMPARE(f.listedIds().last(), QString::number(e));

        // Without a journal both list commands log, and no journal is made.
        QFile::remove(ResolveUserDatabasePath(Settings.Database));
        list.lvDosis_Fill();
        list.RefreshDosisList(DoseAssignment::None);
        QVERIFY(f.errorLog().contains(u"MainForm_lvDosis_Fill"_s));
        QVERIFY(f.errorLog().contains(u"MainForm_RefreshDosisList"_s));
        QVERIFY(!QFile::exists(ResolveUserDatabasePath(Settings.Database)));
    }

    void choosingARowSelectsTheExposureForStamping()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        f.expose(u"Doe^Jane"_s, {.kv = 31});
        f.doseList->lvDosis_Fill();
        QSignalSpy chosen(f.doseList.get(), &DoseList::exposureChosen);
        f.doseList->choose(0);
        const ExposureValues &e = f.session.selectedExposure();
        QCOMPARE((QStringList{e.kV, e.mAs, e.thickness, e.compression, e.dose, e.other, f.session.selectedExposureTime()}),
                 (QStringList{"31", "63", "45", "120", "1.23mGy", "W,Rh,31,L-CC,AEC", "1,25"}));
        QCOMPARE(chosen.size(), 1); // once: it fills the boxes and makes the tasks
        const QStringList cells = chosen[0][0].toStringList();
        QCOMPARE((QStringList{cells[DoseList::Id], cells[DoseList::Date], cells[DoseList::Time], cells[DoseList::Other]}),
                 (QStringList{f.doseList->text(0, DoseList::Id), f.doseList->text(0, DoseList::Date), "14:05:09", "W,Rh,31,L-CC,AEC"}));

        // A projection button rewrites the current row's projection and chooses it again.
        QVERIFY(!f.doseList->rewriteCurrentProjection(u"R XCCL"_s)); // no current row
        f.doseList->select(0);
        QVERIFY(f.doseList->rewriteCurrentProjection(u"R XCCL"_s));
        QCOMPARE(f.session.selectedExposure().other, u"R XCCL"_s);
        QCOMPARE(chosen.size(), 2);
    }

    void deleteMarksTheRowAndKeepsIt()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        const qlonglong a = f.expose(u"Doe^Jane"_s);
        const qlonglong b = f.expose(u"Doe^Jane"_s);
        f.doseList->lvDosis_Fill();
        QSignalSpy cleared(f.doseList.get(), &DoseList::exposureCleared);
        f.doseList->select(0);
        f.doseList->PopupDeleteDosis(); // no images loaded: confirmed as nobody's exposure
        QCOMPARE(f.prompter.boxes.size(), 1);
        QCOMPARE(f.prompter.boxes[0].kind, u"confirm"_s);
        QCOMPARE(f.listedIds(), QStringList{QString::number(b)});
        QCOMPARE(f.journalRowById(a, u"Status|FKeyPatID"_s), u"1|<null>"_s);
        QCOMPARE(cleared.size(), 1);

        // Nothing selected: logged, the list is not refilled, the boxes still emptied.
        f.doseList->PopupDeleteDosis();
        QVERIFY(f.errorLog().contains(u"MainForm_RefreshDosisList"_s));
        QCOMPARE(f.journal(u"WHERE Status = '0'"_s).size(), 1);
        QCOMPARE(cleared.size(), 2);
    }

    void assignmentModes()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        DoseList &list = *f.doseList;
        const qlonglong a = f.expose(u"O'Brien^Kate"_s);
        const qlonglong b = f.expose(u"O'Brien^Kate"_s);
        const qlonglong c = f.expose(u"Roe^Ann"_s);
        f.session.setSelection({.patientId = u"P'42"_s, .patientName = u"O'Brien^Kate Mary"_s});

        // No assignment changes nothing but refills.
        list.RefreshDosisList(DoseAssignment::None);
        QCOMPARE(f.listedIds().size(), 3);

        // The selected row only.
        list.select(1);
        list.RefreshDosisList(DoseAssignment::AssignSelected);
        QCOMPARE(f.journalRowById(b, u"Status|FKeyPatID|Patname"_s), u"1|P'42|O'Brien^Kate Mary"_s);
        QCOMPARE(f.listedIds(), (QStringList{QString::number(a), QString::number(c)}));

        // A name choice limits "all listed" to that patient's rows.
        QCOMPARE(list.patientNames(), (QStringList{"O'Brien^Kate", "Roe^Ann"}));
        list.fillForPatient(u"O'Brien^Kate"_s);
        QCOMPARE(f.listedIds(), QStringList{QString::number(a)});
        list.RefreshDosisList(DoseAssignment::AllListed);
        QCOMPARE(f.journal(u"WHERE Status = '1' AND FKeyPatID = ?"_s, {u"P'42"_s}).size(), 2);
        QCOMPARE(f.journalRowById(c, u"Status"_s), u"0"_s);
        QCOMPARE(f.listedIds(), QStringList{QString::number(c)});

        list.RefreshDosisList(DoseAssignment::AllListed); // over the whole list
        QVERIFY(f.listedIds().isEmpty());
        QCOMPARE(f.journal(u"WHERE Status = '0'"_s).size(), 0);
        QVERIFY(f.errorLog().isEmpty());
    }

    // The unit's next exposure shows at once, also while the list is limited
    // to one patient, and the exposure the operator chose stays chosen with
    // the projection she gave it.
    void decodedExposureJoinsTheList()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        const qlonglong a = f.expose(u"Doe^Jane"_s);
        const qlonglong b = f.expose(u"Roe^Ann"_s);
        f.doseList->fillForPatient(u"Doe^Jane"_s);
        QCOMPARE(f.listedIds(), QStringList{QString::number(a)});
        f.doseList->select(0);
        QVERIFY(f.doseList->rewriteCurrentProjection(u"R XCCL"_s));
        const qlonglong c = f.expose(u"Roe^Ann"_s, {.projection = u"R-MLO45"_s});
        QCOMPARE(f.listedIds(), (QStringList{QString::number(a), QString::number(b), QString::number(c)}));
        QCOMPARE(f.doseList->selectionModel()->selectedRows().value(0).row(), 0);
        QCOMPARE(f.doseList->text(0, DoseList::Other), u"R XCCL"_s);
        QCOMPARE(f.session.selectedExposure().journalId, a);
        QCOMPARE(f.session.selectedExposure().other, u"R XCCL"_s);
    }

    void newExaminationEmptiesTheListOnly()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        f.expose(u"Doe^Jane"_s);
        f.doseList->lvDosis_Fill();
        f.capture->setProjectionCounter(3);
        f.capture->newExaminationButton_Click();
        QCOMPARE(f.capture->projectionCounter(), qint16(0));
        QCOMPARE(f.doseList->rowCount(), 0);
        QCOMPARE(f.journal().size(), 1);
        QVERIFY(f.capture->readTimer().isActive() && f.capture->pollTimer().isActive());
        // The operator sees the capture state on the button: green runs, red stopped.
        QCOMPARE(f.colours.value(ExposureCapture::Button::NewExamination), QColor(0, 255, 0));
        QCOMPARE(f.colours.value(ExposureCapture::Button::Stop), QColor(255, 0, 0));
        f.capture->stopButton_Click();
        QVERIFY(!f.capture->readTimer().isActive() && !f.capture->pollTimer().isActive());
        QCOMPARE(f.colours.value(ExposureCapture::Button::NewExamination), QColor(255, 0, 0));
        QCOMPARE(f.colours.value(ExposureCapture::Button::Stop), QColor(0, 255, 0));
    }

    // Each unit's message end is found in messagesInPiecesBecomeOneRowEach; here the near misses.
    void endOfMessageTests()
    {
        QVERIFY(!ExposureCapture::MessageComplete(UnitSophie, u"1.2 mG"_s));
        QVERIFY(!ExposureCapture::MessageComplete(UnitSophie, u"1.2 MGY"_s));
        QVERIFY(!ExposureCapture::MessageComplete(UnitGiotto, u"abc\x03x"_s));
        QVERIFY(ExposureCapture::MessageComplete(UnitGESeno, u"xx CR yy"_s));
        QVERIFY(ExposureCapture::MessageComplete(UnitGESeno, u"DIGI"_s));
        QVERIFY(!ExposureCapture::MessageComplete(UnitGESeno, u"digital"_s));
        QVERIFY(!ExposureCapture::MessageComplete(7, u"mGy cm * DIGITAL\x03"_s));
    }

    void messagesInPiecesBecomeOneRowEach_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QList<int>>("cuts"); // where the message is cut into pieces
        QTest::newRow("Sophie") << int(UnitSophie) << Sophie << QList<int>{20, int(Sophie.size()) - 22, int(Sophie.size()) - 2};
        QTest::newRow("Giotto") << int(UnitGiotto) << Giotto << QList<int>{5, 15};
        QTest::newRow("Lorad M4") << int(UnitLoradM4) << Lorad << QList<int>{30, 70};
        QTest::newRow("GE Senograph") << int(UnitGESeno) << Seno << QList<int>{7, 19};
        QTest::newRow("SM 1000") << int(UnitHFE) << Hfe << QList<int>{25, 55};
    }
    void messagesInPiecesBecomeOneRowEach()
    {
        QFETCH(int, unit);
        QFETCH(QByteArray, message);
        QFETCH(QList<int>, cuts);
        QList<QByteArray> chunks;
        int from = 0;
        for (int cut : cuts << int(message.size())) {
            chunks << message.mid(from, cut - from);
            from = cut;
        }
        PtyPair pty;
        QVERIFY2(pty.ready(), "socat made no pty pair");
        ExposureFixture f;
        QVERIFY(useUnit(f, qint16(unit), pty.workstationEnd()));
        f.capture->setSelectedProjection(u"L CC"_s);
        f.capture->Initialise_cPort();
        QVERIFY(f.capture->port().isOpen());
        if (unit == UnitGESeno)
            f.capture->activateButton_Click();

        for (int message = 1; message <= 2; ++message) {
            if (unit == UnitGESeno) {
                // The unit answers only when polled; a lone ACK is no message.
                QByteArray polled;
                QVERIFY(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 4000));
                QVERIFY(f.sendAndWaitHandled(pty, "\x06"));
            }
            if (unit == UnitGiotto)
                f.capture->setSelectedProjection(u"L CC"_s);
            for (qsizetype i = 0; i + 1 < chunks.size(); ++i) {
                QVERIFY(f.sendAndWaitHandled(pty, chunks[i]));
                QCOMPARE(f.shownBuffer, f.capture->buffer()); // the debug box grows with it
            }
            QVERIFY(pty.send(chunks.last()));
            // A doubled row of the first message shows when the second one's row arrives.
            QVERIFY2(WaitFor([&] { return f.journal().size() >= message; }, 5000), "no journal row");
            QCOMPARE(f.journal().size(), message);
            QCOMPARE(f.doseList->rowCount(), message);
            QCOMPARE(f.journalValue(-1, u"KVP|Patname|Status"_s), u"28|O'Neill^Mary|0"_s);
            QVERIFY(!QFile::exists(f.folder.file(u"cInput.txt"_s)));
            const QByteArray done = f.folder.read(u"done.txt"_s);
            QCOMPARE(done.count(chunks.first()), 1); // this message, once
            QVERIFY(done.endsWith("\r\n"));
            QVERIFY(!done.contains('\x06')); // the lone ACK was no part of it
            QVERIFY(f.capture->buffer().trimmed().isEmpty()); // at most the CR LF after "mGy"
        }
        QCOMPARE(f.journalValue(-1, u"Datum"_s), DbDate(today));
        if (unit == UnitGESeno) { // the polled unit's projections follow the examination's order
            QCOMPARE(f.journalValue(0, u"Sonstiges"_s) + u'|' + f.journalValue(1, u"Sonstiges"_s), u"R CC|L CC"_s);
            // The frame keeps the decoder's state and shows its tokens.
            const QString tokens = QString::number(f.tokens.size());
            QCOMPARE((QStringList{f.session.selectedExposureTime(), QString::number(f.capture->projectionCounter()), tokens}),
                     (QStringList{"450", "2", "5"}));
        }
        QVERIFY2(f.errorLog().isEmpty(), qPrintable(f.errorLog()));
    }

    // The polled unit's pause after a message keeps nothing waiting: the read
    // tick returns at once and the poll tick starts when the pause ends; Stop
    // during the pause stops the polling for good.
    void polledUnitPausesWithoutWaiting()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitGESeno, QString()));
        f.capture->setPollPauseMs(2000);
        f.capture->startPolling();
        f.capture->setBuffer(QString::fromLatin1(Seno));
        QElapsedTimer t;
        t.start();
        f.capture->SerTimer_Tick();
        QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(f.journal().size(), 1);
        QVERIFY(f.capture->pollPauseTimer().isActive() && !f.capture->pollTimer().isActive());
        f.capture->startPolling(); // a click during the pause does not cut it short
        QVERIFY(!f.capture->pollTimer().isActive());
        QTRY_VERIFY_WITH_TIMEOUT(f.capture->pollTimer().isActive(), 5000);
        QVERIFY(t.elapsed() >= 1900);

        f.capture->setBuffer(QString::fromLatin1(Seno));
        f.capture->SerTimer_Tick();
        QCOMPARE(f.journal().size(), 2);
        QVERIFY(f.capture->pollPauseTimer().isActive());
        f.capture->stopButton_Click();
        QVERIFY(!f.capture->pollPauseTimer().isActive() && !f.capture->pollTimer().isActive() && !f.capture->readTimer().isActive());
    }

    void giottoWaitsForAProjection()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitGiotto, QString()));
        f.capture->setBuffer(QString::fromLatin1(Giotto));
        f.capture->readTimer().start();
        f.capture->SerTimer_Tick();
        QCOMPARE(f.prompter.texts(), QStringList{u"Please click on a Projection button first!"_s});
        QVERIFY(f.journal().isEmpty());
        QVERIFY(!f.capture->readTimer().isActive());
        QCOMPARE(f.capture->buffer(), QString::fromLatin1(Giotto) + u"\r\n"_s);
        // The projection button: the kept message is decoded with it.
        f.capture->setCurrentProjection(u"R MLO"_s);
        f.capture->setSelectedProjection(u"R MLO"_s);
        f.capture->dbFill();
        QCOMPARE(f.journal().size(), 1);
        QCOMPARE(f.journalValue(0, u"Sonstiges"_s), u"R MLO"_s);
        QVERIFY(f.capture->selectedProjection().isEmpty() && f.projectionClears == 1);
        QVERIFY(f.capture->readTimer().isActive());
    }

    void exchangeFileLeftInPlaceCollectsTheNextMessage()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        // A dropped file is taken by the decode-now button and ends as done.txt.
        f.folder.write(u"cInput.txt"_s, Sophie);
        f.capture->decodeNowButton_Click();
        QCOMPARE(f.journal().size(), 1);
        QCOMPARE(f.folder.read(u"done.txt"_s), Sophie);

        // done.txt that cannot be replaced: cInput.txt stays and collects the next message.
        QFile::remove(f.folder.file(u"done.txt"_s));
        f.folder.write(u"done.txt/keep"_s, "x");
        f.capture->setBuffer(QString::fromLatin1(Sophie));
        f.capture->SerTimer_Tick();
        QCOMPARE(f.journal().size(), 2);
        QVERIFY(f.errorLog().contains(u"MainForm dbFill"_s));
        f.capture->setBuffer(QString::fromLatin1(Sophie).replace(u"28kV"_s, u"35kV"_s));
        f.capture->SerTimer_Tick();
        QCOMPARE(f.journal().size(), 3);
        const QByteArray kept = f.folder.read(u"cInput.txt"_s);
        QCOMPARE(kept.count("Name:"), 2);
        QVERIFY(kept.startsWith(Sophie + "\r\n"));
        // Both messages were read as one text: the first one's values, one row.
        QCOMPARE(f.journalValue(-1, u"KVP"_s), u"28"_s);
    }

    void endlessNoiseIsDiscarded()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitHFE, QString()));
        QString noise(ExposureCapture::MaxBufferLength, QLatin1Char('x'));
        f.capture->setBuffer(noise);
        f.capture->SerTimer_Tick();
        QCOMPARE(f.capture->buffer().size(), ExposureCapture::MaxBufferLength); // at the limit it is kept
        f.capture->setBuffer(noise + u"xx*"_s);
        f.capture->readTimer().start();
        f.capture->SerTimer_Tick();
        QVERIFY(f.capture->buffer().isEmpty());
        QVERIFY(f.shownBuffer.isEmpty());
        QVERIFY(f.errorLog().contains(u"Ser_Timer"_s));
        QVERIFY(f.journal().isEmpty());
        QVERIFY(f.capture->readTimer().isActive());
    }

    // An exposure decoded after the physicist entered the unit's calibration
    // and loaded the factor tables carries its dose; without them it is "not
    // configured". The worklist's birth date picks the age table only while
    // her name is the current patient's; the image header's birth date, when
    // the image is paired, settles it. Sophie: 28 kV, 4.5 cm, 1.23 mGy:
    // HVL 0.50, g 0.44375, c 1.0975 (40-49: 0.9825), s 1.05, K 1.23.
    void decodedExposureCarriesItsDose_data()
    {
        QTest::addColumn<bool>("calibrated");
        QTest::addColumn<QDate>("birth");     // from the worklist
        QTest::addColumn<QString>("patient"); // on the label when the exposure comes
        QTest::addColumn<QString>("dose");    // Unit|TargetFilter|HVL|Kerma|AGD|AgdSource|AgeTable
        QTest::addColumn<QString>("headerBirth"); // Patient's Birth Date of the image it is paired with
        QTest::addColumn<QString>("paired");      // AGD|AgeTable of the row afterwards, and the AGD stamped
        QTest::addColumn<QString>("reported");    // the message's dose, mGy
        QTest::addColumn<QString>("note");        // the log's note on K from the output (28 kV: 120 µGy/mAs at 500 mm, 63 mAs, 605 mm)
        const QString mary = u"O'Neill^Mary"_s;
        const QString apart = u"K 1.230 mGy from the reported dose, 5.164 mGy from the output: 76 % apart"_s;
        // The target/filter the unit reported is journalled without a calibration too.
        QTest::newRow("no calibration") << false << QDate() << mary << u"1|W/Rh|<null>|<null>|<null>|not configured|50-64"_s
                                        << u"19810501"_s << u"<null>|50-64"_s << u"1.23"_s << QString();
        QTest::newRow("calibrated") << true << QDate() << mary << u"1|W/Rh|0.5000|1.2300|0.6290|reported dose|50-64"_s
                                    << u"19620314"_s << u"0.6290|50-64"_s << u"1.23"_s << apart;
        QTest::newRow("the output agrees with the reported dose")
            << true << QDate() << mary << u"1|W/Rh|0.5000|5.0000|2.5568|reported dose|50-64"_s << QString() << u"2.5568|50-64"_s
            << u"5.00"_s << QString();
        QTest::newRow("45 years old, known from the image only")
            << true << QDate() << mary << u"1|W/Rh|0.5000|1.2300|0.6290|reported dose|50-64"_s << u"19810501"_s << u"0.5631|40-49"_s
            << u"1.23"_s << apart;
        QTest::newRow("45 years old") << true << QDate(1981, 5, 1) << mary << u"1|W/Rh|0.5000|1.2300|0.5631|reported dose|40-49"_s
                                      << QString() << u"0.5631|40-49"_s << u"1.23"_s << apart;
        QTest::newRow("the image's birth date over the worklist's")
            << true << QDate(1981, 5, 1) << mary << u"1|W/Rh|0.5000|1.2300|0.5631|reported dose|40-49"_s << u"19600101"_s
            << u"0.6290|50-64"_s << u"1.23"_s << apart;
        QTest::newRow("the next woman, not from the worklist") << true << QDate(1981, 5, 1) << u"Doe^Jane"_s
                                                              << u"1|W/Rh|0.5000|1.2300|0.6290|reported dose|50-64"_s
                                                              << u"19620314"_s << u"0.6290|50-64"_s << u"1.23"_s << apart;
    }
    void decodedExposureCarriesItsDose()
    {
        QFETCH(bool, calibrated);
        QFETCH(QDate, birth);
        QFETCH(QString, patient);
        QFETCH(QString, dose);
        QFETCH(QString, headerBirth);
        QFETCH(QString, paired);
        QFETCH(QString, reported);
        QFETCH(QString, note);
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        qlonglong calibrationId = 0;
        if (calibrated) {
            f.folder.write(u"factors.csv"_s, TestFactorTable.toUtf8());
            DoseCalibration c = TestCalibration();
            c.unit = UnitSophie;
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            QVERIFY(ImportFactorFile(DefinitionsDatabase, f.folder.file(u"factors.csv"_s), QDateTime::currentDateTime()).ok());
            QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
            calibrationId = c.id;
        }
        f.capture->MarkPatientChosen(u"O'Neill^Mary"_s, birth); // the worklist's patient
        f.capture->setPatientName(patient);        // who is on the label when the exposure comes
        f.capture->setBuffer(SophieMessage({.mGy = reported}));
        f.capture->dbFill();
        QCOMPARE(f.journal().size(), 1);
        const QSqlRecord row = f.journal().first();
        QStringList values{row.value(u"Unit"_s).toString(), row.value(u"TargetFilter"_s).isNull() ? u"<null>"_s : row.value(u"TargetFilter"_s).toString()};
        for (const char *column : {"HVL", "Kerma", "AGD"})
            values << (row.isNull(QLatin1String(column)) ? u"<null>"_s : QString::number(row.value(QLatin1String(column)).toDouble(), 'f', 4));
        values << row.value(u"AgdSource"_s).toString() << row.value(u"AgeTable"_s).toString();
        QCOMPARE(values.join(u'|'), dose);
        QCOMPARE(row.value(u"CalibrationID"_s).toLongLong(), calibrationId);
        QCOMPARE(row.isNull(u"CalibrationID"_s), !calibrated);
        if (note.isEmpty())
            QVERIFY2(f.errorLog().isEmpty(), qPrintable(f.errorLog()));
        else
            QVERIFY2(f.errorLog().contains(note), qPrintable(f.errorLog()));
        // The dose list shows it, in the workstation's locale, and where it came from.
        QCOMPARE(f.doseList->rowCount(), 1);
        const QString agd = dose.section(u'|', 4, 4);
        QCOMPARE(f.doseList->text(0, DoseList::Agd), agd == u"<null>"_s ? QString() : QLocale().toString(agd.toDouble(), 'f', 2));
        QCOMPARE(f.doseList->model()->index(0, DoseList::Agd).data(Qt::ToolTipRole).toString(), u"AGD: "_s + dose.section(u'|', 5, 5));
        // Chosen for stamping, the row brings its dose and K at the surface, which goes in as the Entrance Dose.
        f.doseList->choose(0);
        const ExposureValues &e = f.session.selectedExposure();
        const HeaderExposureValues h = ExposureValuesForHeader(UnitSophie, e, QString());
        QCOMPARE((QStringList{h.organDose.isEmpty() ? u"<null>"_s : QString::number(h.organDose.toDouble() * 100, 'f', 4), e.targetFilter,
                              h.doseDerivation, h.dose}),
                 (QStringList{agd, u"W/Rh"_s, calibrated ? u"IAK"_s : QString(),
                              calibrated ? QString::number(dose.section(u'|', 3, 3).toDouble()) : reported}));

        // Her image comes and the operator pairs it with the row ("Manually"),
        // then once more with the list not yet refilled.
        SyntheticImageSpec spec{.patientName = patient, .birthDate = headerBirth, .rows = 64, .columns = 48};
        const QString image = f.folder.file(u"image.dcm"_s);
        QVERIFY(WriteSyntheticImage(spec, image).ok());
        AssignmentControls controls;
        controls.askSide = [](const ToolkitImagePtr &) { return QString(); };
        controls.doseForBirthDate = DoseForBirthDate;
        for (int pairing = 1; pairing <= 2; ++pairing) {
            QVERIFY(LoadAsCurrentImage(f.session, image));
            QVERIFY(f.session.currentImage());
            ProjectionAssignment(f.session, controls, f.prompter).cmdSelected_Click();
            const QSqlRecord after = f.journal().first();
            const QString pairedAgd =
                after.isNull(u"AGD"_s) ? u"<null>"_s : QString::number(after.value(u"AGD"_s).toDouble(), 'f', 4);
            QCOMPARE(pairedAgd + u'|' + after.value(u"AgeTable"_s).toString(), paired);
            const ToolkitAttribute organDose = GetAttribute(f.session.currentImage(), Tags::OrganDose);
            QCOMPARE(organDose.exists ? QString::number(organDose.value.toDouble() * 100, 'f', 4) : u"<null>"_s,
                     paired.section(u'|', 0, 0));
        }
    }

    // The physicist's active reference set: an exposure over the level of its
    // view and band is marked in the dose list with the level and the set in
    // the tooltip, and a log line; no message box. Sophie's L CC, 45 mm,
    // 1.23 mGy entrance dose, AGD 0.6290 mGy with the calibration.
    void referenceLevelExceededIsMarked_data()
    {
        QTest::addColumn<bool>("calibrated");
        QTest::addColumn<QString>("level"); // view|from|to|quantity|level
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("mark");  // the tooltip; empty: not marked
        QTest::newRow("AGD over") << true << u"CC|40|50|AGD|0.5"_s << true << u"AGD 0.63 mGy above 0.50 mGy (CC 40-50 mm, set \"Site 2026\")"_s;
        QTest::newRow("AGD within") << true << u"CC|40|50|AGD|0.7"_s << true << QString();
        QTest::newRow("entrance dose over, no AGD") << false << u"CC|40|50|entrance dose|1.0"_s << true
                                                    << u"entrance dose 1.23 mGy above 1.00 mGy (CC 40-50 mm, set \"Site 2026\")"_s;
        QTest::newRow("band ends at 45 mm") << true << u"CC|30|45|AGD|0.5"_s << true << QString();
        QTest::newRow("other view") << true << u"MLO|40|50|AGD|0.5"_s << true << QString();
        QTest::newRow("set not active") << true << u"CC|40|50|AGD|0.5"_s << false << QString();
    }
    void referenceLevelExceededIsMarked()
    {
        QFETCH(bool, calibrated);
        QFETCH(QString, level);
        QFETCH(bool, active);
        QFETCH(QString, mark);
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        {
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            if (calibrated) {
                f.folder.write(u"factors.csv"_s, TestFactorTable.toUtf8());
                DoseCalibration c = TestCalibration();
                c.unit = UnitSophie;
                QVERIFY(ImportFactorFile(DefinitionsDatabase, f.folder.file(u"factors.csv"_s), QDateTime::currentDateTime()).ok());
                QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
            }
            const QStringList l = level.split(u'|');
            ReferenceSet set{0, u"Site 2026"_s, u"local"_s, active, {{l[0], l[1].toDouble(), l[2].toDouble(), l[3], l[4].toDouble()}}};
            const Result written = WriteReferenceSet(DefinitionsDatabase, set);
            QVERIFY2(written.ok(), qPrintable(written.text));
        }
        f.capture->setBuffer(QString::fromLatin1(Sophie));
        f.capture->dbFill();
        QCOMPARE(f.doseList->rowCount(), 1);
        QCOMPARE(f.journalValue(0, u"Sonstiges"_s), u"W,Rh,28,L-CC,AEC"_s); // the unit's fields, the projection fourth
        const QModelIndex kv = f.doseList->model()->index(0, DoseList::KV);
        QCOMPARE(kv.data(Qt::ToolTipRole).toString(), mark);
        QCOMPARE(kv.data(Qt::BackgroundRole).isValid(), !mark.isEmpty());
        QCOMPARE(f.errorLog().contains(mark.isEmpty() ? u"over the reference level"_s : mark), !mark.isEmpty());
        QVERIFY(f.prompter.boxes.isEmpty());
    }

    // Each unit type's message for each of the four views, decoded into the
    // journal: the side and view read back from the row, and the image key of
    // that projection pairs with it. Units 4 and 5 send no projection: it is
    // the message's place in the examination's cycle.
    void projectionReadBackFromTheJournal_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("written"); // as the unit writes it; for units 4 and 5 the message's place in the cycle
        QTest::addColumn<QString>("expected"); // side view
        QTest::addColumn<QString>("key");      // the image key of the projection
        const QString views[] = {u"R CC"_s, u"L CC"_s, u"R MLO"_s, u"L MLO"_s};
        const QString sophie[] = {u"R-CC"_s, u"L-CC"_s, u"R-MLO45"_s, u"L-MLO45"_s};
        const QString giotto[] = {u"R-CC"_s, u"L-CC"_s, u"R-LMO45"_s, u"L-LMO45"_s};
        const QString lorad[] = {u"RCC"_s, u"LCC"_s, u"RMLO"_s, u"LMLO"_s};
        const QString seno[] = {u"1"_s, u"2"_s, u"3"_s, u"4"_s};
        const QString hfe[] = {u"2"_s, u"1"_s, u"4"_s, u"3"_s};
        for (int i = 0; i < 4; ++i) {
            const QByteArray v = views[i].toLatin1();
            QTest::newRow("Sophie " + v) << int(UnitSophie) << sophie[i] << views[i] << sophie[i];
            QTest::newRow("Giotto " + v) << int(UnitGiotto) << giotto[i] << views[i] << giotto[i];
            QTest::newRow("Lorad M4 " + v) << int(UnitLoradM4) << lorad[i] << views[i] << views[i];
            QTest::newRow("GE Senograph " + v) << int(UnitGESeno) << seno[i] << views[i] << views[i];
            QTest::newRow("SM 1000 " + v) << int(UnitHFE) << hfe[i] << views[i] << views[i];
        }
    }
    void projectionReadBackFromTheJournal()
    {
        QFETCH(int, unit);
        QFETCH(QString, written);
        QFETCH(QString, expected);
        QFETCH(QString, key);
        ExposureFixture f;
        QVERIFY(useUnit(f, qint16(unit), QString()));
        int messages = 1;
        QString message;
        switch (unit) {
        case UnitSophie: message = QString::fromLatin1(Sophie).replace(u"L-CC"_s, written); break;
        case UnitGiotto:
            message = QString::fromLatin1(Giotto);
            f.capture->setCurrentProjection(written); // the projection button's caption
            break;
        case UnitLoradM4: message = QString::fromLatin1(Lorad).replace(u"|LCC|"_s, u'|' + written + u'|'); break;
        case UnitGESeno: message = QString::fromLatin1(Seno); messages = written.toInt(); break;
        default: message = QString::fromLatin1(Hfe); messages = written.toInt(); break;
        }
        f.capture->newExaminationButton_Click();
        for (int m = 0; m < messages; ++m) {
            f.capture->setSelectedProjection(written);
            f.capture->setBuffer(message);
            f.capture->dbFill();
        }
        QCOMPARE(f.journal().size(), messages);
        const QString sonstiges = f.journalValue(-1, u"Sonstiges"_s);
        if (unit != UnitGESeno && unit != UnitHFE)
            QVERIFY2(sonstiges.contains(written), qPrintable(sonstiges));
        const qint16 journalUnit = qint16(f.journalValue(-1, u"Unit"_s).toInt());
        QCOMPARE(journalUnit, qint16(unit));
        const ExposureProjection p = ProjectionOfExposure(journalUnit, sonstiges);
        QCOMPARE(p.laterality + u' ' + p.view, expected);
        QVERIFY2(ExposureMatchesKey(journalUnit, sonstiges, key), qPrintable(sonstiges + u" / "_s + key));
    }

    // Sophie's exposures over the active set's CC level: the CC one is
    // marked in the dose list, and the QA window counts both under CC and
    // MLO, none under "other".
    void unitOneExposuresAreMarkedAndCountedByView()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        {
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            ReferenceSet set{0, u"Site 2026"_s, u"local"_s, true, {{u"CC"_s, 40, 50, u"entrance dose"_s, 1.0}}};
            const Result written = WriteReferenceSet(DefinitionsDatabase, set);
            QVERIFY2(written.ok(), qPrintable(written.text));
        }
        for (const QString &projection : {u"R-CC"_s, u"L-MLO45"_s}) {
            f.capture->setBuffer(QString::fromLatin1(Sophie).replace(u"L-CC"_s, projection));
            f.capture->dbFill();
        }
        QCOMPARE(f.doseList->rowCount(), 2);
        const QModelIndex cc = f.doseList->model()->index(0, DoseList::KV);
        QCOMPARE(cc.data(Qt::ToolTipRole).toString(), u"entrance dose 1.23 mGy above 1.00 mGy (CC 40-50 mm, set \"Site 2026\")"_s);
        QVERIFY(!f.doseList->model()->index(1, DoseList::KV).data(Qt::BackgroundRole).isValid());

        DoseQaForm qa(ResolveUserDatabasePath(Settings.Database), ActiveReferenceLookup(u"test"_s), ExposureFixture::Day, f.prompter);
        qa.setRange(ExposureFixture::Day, ExposureFixture::Day);
        QTRY_VERIFY_WITH_TIMEOUT(!qa.reading(), 10000);
        QStringList views;
        for (const QStringList &row : qa.bandTable().rows)
            views << row.value(0) + u' ' + row.value(2);
        QCOMPARE(views, (QStringList{u"CC 1"_s, u"MLO 1"_s}));
    }

    // "Delete" on a dose-list row, asked first. Her images loaded: the row
    // becomes her rejected exposure of the study loaded, with its AGD. Another
    // patient selected since the load: refused, naming both. Nothing loaded:
    // it leaves the list as nobody's (a test exposure). No keeps it listed.
    void deleteKeepsHerRejectedExposure_data()
    {
        QTest::addColumn<QString>("loaded");   // the patient whose images are loaded; empty: none
        QTest::addColumn<QString>("selected"); // the patient selected now
        QTest::addColumn<bool>("answer");
        QTest::addColumn<QString>("asked");    // the start of the one box shown
        QTest::addColumn<QString>("row");      // Status|FKeyPatID|Patname|StudyUID of the row afterwards
        const QString reject = u"Reject exposure Mo,Rh,28,R-CC,AEC (14:05:09, 28 kV, journal no. 1) of Doe^Jane (ID P1)?"_s;
        QTest::newRow("her images, Yes") << u"P1"_s << u"P1"_s << true << reject << u"2|P1|Doe^Jane|1.2.826.0.1.7"_s;
        QTest::newRow("her images, No") << u"P1"_s << u"P1"_s << false << reject << u"0|<null>|Doe^Jane|<null>"_s;
        QTest::newRow("another patient selected") << u"P1"_s << u"P2"_s << true << u"The images in the viewer are of Doe^Jane (ID P1), but Roe^Ann (ID P2)"_s
                                                  << u"0|<null>|Doe^Jane|<null>"_s;
        QTest::newRow("nothing loaded, Yes") << QString() << QString() << true << u"No patient's images are loaded."_s << u"1|<null>|Doe^Jane|<null>"_s;
        QTest::newRow("nothing loaded, No") << QString() << u"P1"_s << false << u"No patient's images are loaded."_s << u"0|<null>|Doe^Jane|<null>"_s;
    }
    void deleteKeepsHerRejectedExposure()
    {
        QFETCH(QString, loaded);
        QFETCH(QString, selected);
        QFETCH(bool, answer);
        QFETCH(QString, asked);
        QFETCH(QString, row);
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        const QString calibrated = CalibrateUnitOne(f.folder);
        QVERIFY2(calibrated.isEmpty(), qPrintable(calibrated));
        f.capture->setPatientName(u"Doe^Jane"_s); // her name on the label when the exposures come
        for (const QString &projection : {u"R-CC"_s, u"L-CC"_s}) {
            f.capture->setBuffer(QString::fromLatin1(UnitOneMessage(projection, 28)));
            f.capture->dbFill();
        }
        QCOMPARE(f.doseList->rowCount(), 2);
        const qlonglong first = f.doseList->id(0);
        const QString agd = f.journalRowById(first, u"AGD"_s);
        QVERIFY2(agd != u"<null>"_s, qPrintable(f.errorLog()));
        const BrowserSelection jane{1, u"P1"_s, u"Doe^Jane"_s, 7, u"1.2.826.0.1.7"_s, 0, {}};
        const BrowserSelection ann{2, u"P2"_s, u"Roe^Ann"_s, 8, u"1.2.826.0.1.8"_s, 0, {}};
        // As the browser leaves the session after her study was loaded and another row clicked.
        f.session.setSelection(selected == u"P1"_s ? jane : selected == u"P2"_s ? ann : BrowserSelection{});
        f.session.setLoadedFor(loaded.isEmpty() ? BrowserSelection{} : jane);
        f.prompter.answer = answer;
        QSignalSpy cleared(f.doseList.get(), &DoseList::exposureCleared);

        f.doseList->select(0);
        f.doseList->choose(0);
        f.doseList->PopupDeleteDosis();

        QCOMPARE(f.prompter.boxes.size(), 1);
        QVERIFY2(f.prompter.boxes[0].text.startsWith(asked), qPrintable(f.prompter.boxes[0].text));
        QCOMPARE(f.journalRowById(first, u"Status|FKeyPatID|Patname|StudyUID"_s), row);
        QCOMPARE(f.journalRowById(first, u"AGD"_s), agd); // its dose stays
        const bool gone = row.startsWith(u'1') || row.startsWith(u'2');
        QCOMPARE(f.doseList->rowCount(), gone ? 1 : 2);
        QCOMPARE(f.session.selectedExposure().journalId, gone ? 0 : first);
        QCOMPARE(cleared.isEmpty(), !gone); // the boxes keep an exposure still listed
        if (row.startsWith(u'2')) {
            // The merge takes it with the rows listed; it is never listed again.
            const std::optional<DoseList::Examination> taken = f.doseList->examinationExposures(DoseAssignment::AllListed, jane.studyUid);
            QVERIFY(taken);
            QCOMPARE(taken->listed, QList<qlonglong>{f.doseList->id(0)});
            QCOMPARE(taken->rejected, QList<qlonglong>{first});
            QCOMPARE(f.doseList->examinationExposures(DoseAssignment::AllListed, ann.studyUid)->rejected, QList<qlonglong>());
            f.doseList->lvDosis_Fill();
            QCOMPARE(f.doseList->rowCount(), 1);
            f.doseList->fillForPatient(u"Doe^Jane"_s);
            QCOMPARE(f.listedIds(), QStringList{QString::number(f.doseList->id(0))});
            QVERIFY(f.doseList->id(0) != first);
        }
    }

    // Four exposures of her examination through the decoder, the first R-CC
    // rejected and the others assigned as her send does; a test exposure
    // removed without a patient. The QA view's reject analysis: CC 1 of 3
    // rejected with its dose, MLO none, all 1 of 4; the test exposure is in
    // no rate.
    void rejectsCountedInTheQaView()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        const QString why = CalibrateUnitOne(f.folder);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const QStringList projections{u"R-CC"_s, u"R-CC"_s, u"L-CC"_s, u"L-MLO45"_s, u"R-CC"_s};
        const QStringList doses{u"1.40mGy"_s, u"1.23mGy"_s, u"1.25mGy"_s, u"1.50mGy"_s, u"0.80mGy"_s};
        for (int i = 0; i < projections.size(); ++i) {
            f.capture->setBuffer(QString::fromLatin1(UnitOneMessage(projections[i], 28, doses[i])));
            f.capture->dbFill();
        }
        QCOMPARE(f.doseList->rowCount(), 5);
        const qlonglong phantom = f.doseList->id(4), rejected = f.doseList->id(0);
        // The phantom exposure first, with nobody's images loaded.
        f.doseList->select(4);
        f.doseList->PopupDeleteDosis();
        const BrowserSelection jane{1, u"P1"_s, u"Doe^Jane"_s, 7, u"1.2.826.0.1.7"_s, 0, {}};
        f.session.setSelection(jane);
        f.session.setLoadedFor(jane);
        f.doseList->select(0);
        f.doseList->PopupDeleteDosis();
        QCOMPARE(f.doseList->rowCount(), 3);
        const std::optional<DoseList::Examination> taken = f.doseList->examinationExposures(DoseAssignment::AllListed, jane.studyUid);
        QVERIFY(taken);
        f.doseList->assignExposures(taken->listed, jane);
        QCOMPARE(f.journal(u"WHERE FKeyPatID = 'P1' AND Status = '1'"_s).size(), 3);
        QCOMPARE(f.journalRowById(phantom, u"Status|FKeyPatID"_s), u"1|<null>"_s);

        const QString added = QString::number(f.journalRowById(rejected, u"AGD"_s).toDouble(), 'f', 3);
        DoseQaForm qa(ResolveUserDatabasePath(Settings.Database), ActiveReferenceLookup(u"test"_s), ExposureFixture::Day, f.prompter);
        qa.setRange(ExposureFixture::Day.addDays(-6), ExposureFixture::Day);
        QTRY_VERIFY_WITH_TIMEOUT(!qa.reading(), 10000);
        const QaTable t = qa.rejectAnalysisTable();
        QVERIFY2(t.title.contains(u"2026-12-01 to 2026-12-07"_s) && t.title.contains(u"added AGD"_s), qPrintable(t.title));
        QCOMPARE(t.rows, (QList<QStringList>{{u"CC"_s, u"3"_s, u"1"_s, u"33.3"_s, added, u"1"_s},
                                             {u"MLO"_s, u"1"_s, u"0"_s, u"0.0"_s, QString(), u"0"_s},
                                             {u"all"_s, u"4"_s, u"1"_s, u"25.0"_s, added, u"1"_s}}));
        QCOMPARE(t.marked, (QList<bool>{true, false, true}));
        // The day's table still names the phantom exposure as never assigned, not as a reject.
        // Its day in the locale's short date, as every list shows dates.
        QCOMPARE(qa.rejectsTable().rows.value(0),
                 (QStringList{QLocale().toString(QDate(2026, 12, 7), QLocale::ShortFormat), u"CC"_s, u"4"_s, u"1"_s, u"0"_s}));
        // The page as the operator opens it on a 1280x1024 screen, to be looked at.
        qa.resize(1280, 1024);
        qa.show();
        qa.showRejects();
        QVERIFY(QTest::qWaitForWindowExposed(&qa));
        QVERIFY(qa.grab().save(TestBinDir() + u"/qa-rejects.png"_s));
    }

    void badValuesAreLoggedAndTheRowStillWritten()
    {
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        f.capture->setBuffer(u"Name: 2005-13-45 a b c d e 30kV 50mAs xs 0 heavykg 4.5cm 1 mGy"_s);
        f.capture->dbFill();
        QCOMPARE(f.journal().size(), 1);
        QCOMPARE(f.journalValue(0, u"Datum|KVP|Druck|Dicke"_s), u"<null>|30|<null>|45"_s);
        QCOMPARE(f.errorLog().count(u"MainForm dbFill"_s), 3); // date, exposure time, compression
        // The row is not today's: the list stays empty.
        QCOMPARE(f.doseList->rowCount(), 0);

        // Without a journal nothing is written, the closing steps still run.
        QFile::remove(ResolveUserDatabasePath(Settings.Database));
        f.capture->readTimer().stop();
        f.capture->setBuffer(QString::fromLatin1(Sophie));
        f.capture->dbFill();
        QVERIFY(f.capture->readTimer().isActive());
        QVERIFY(!QFile::exists(ResolveUserDatabasePath(Settings.Database)));
    }

    // No dose report is written without every exposure's AGD; the reason
    // given is the one the AGD was not computed for, not a guess.
    void doseReportNamesWhyNoAgd_data()
    {
        QTest::addColumn<bool>("calibration");
        QTest::addColumn<bool>("factors");
        QTest::addColumn<QString>("values"); // replaces "28kV 63mAs 1.25s AEC 12kg 4.5cm"
        QTest::addColumn<QString>("reason");
        const QString usual = u"28kV 63mAs 1.25s AEC 12kg 4.5cm"_s;
        QTest::newRow("breast outside the factor grid") << true << true << u"28kV 63mAs 1.25s AEC 12kg 8.5cm"_s
                                                        << u"HVL 0.5 mm Al and 85 mm lie outside the factor tables"_s;
        // The unit reports W/Rh: its own target/filter, not the kV range's W/Al.
        QTest::newRow("kV outside the calibration") << true << true << u"36kV 63mAs 1.25s AEC 12kg 4.5cm"_s
                                                    << u"the unit reported W/Rh at 36 kV, for which the calibration has no HVL"_s;
        QTest::newRow("no calibration") << false << true << usual << u"no dose calibration for this unit type"_s;
        QTest::newRow("no factor tables") << true << false << usual << u"no factor tables loaded"_s;
    }

    void doseReportNamesWhyNoAgd()
    {
        QFETCH(bool, calibration);
        QFETCH(bool, factors);
        QFETCH(QString, values);
        QFETCH(QString, reason);
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, QString()));
        {
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            if (factors) {
                f.folder.write(u"factors.csv"_s, TestFactorTable.toUtf8());
                QVERIFY(ImportFactorFile(DefinitionsDatabase, f.folder.file(u"factors.csv"_s), QDateTime::currentDateTime()).ok());
            }
            if (calibration) {
                DoseCalibration c = TestCalibration();
                c.unit = UnitSophie;
                QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
            }
        }
        f.capture->setPatientName(u"Doe^Jane"_s);
        f.capture->setBuffer(QString::fromLatin1(Sophie).replace(u"28kV 63mAs 1.25s AEC 12kg 4.5cm"_s, values));
        f.capture->dbFill();
        QCOMPARE(f.journal().size(), 1);
        const QSqlRecord row = f.journal().first();
        QVERIFY(row.isNull(u"AGD"_s));
        const QString uid = row.value(u"IrradiationEventUID"_s).toString();
        QVERIFY(!uid.isEmpty());
        DoseReportInput in;
        in.study = {u"Doe^Jane"_s, u"P1"_s, QString(), QString(), NewSyntheticUid(), u"20261207"_s, u"102231"_s};
        const DoseReportWritten written = WriteStudyDoseReport(in, {uid}, std::nullopt, f.folder.file(u"report.dcm"_s));
        QVERIFY(!written.ok());
        QVERIFY2(written.text.contains(reason), qPrintable(written.text));
        QVERIFY(!QFile::exists(f.folder.file(u"report.dcm"_s)));
    }

    void portOpensDespiteRefusedSettingsOrIsOnlyNoted()
    {
        PtyPair pty;
        QVERIFY2(pty.ready(), "socat made no pty pair");
        ExposureFixture f;
        QVERIFY(useUnit(f, UnitSophie, pty.workstationEnd()));
        Settings.Bit_Get = 0; // 4 data bits
        Settings.Bit_Put = 1; // 1.5 stop bits
        Settings.Flux = 3;    // RTS with XOn/XOff
        QCOMPARE(ExposureCapture::LineSettingsText(), u"4800,N,4,1.5"_s);
        // A half-received message and bytes waiting at the port are dropped.
        f.capture->setBuffer(u"Name: 2005"_s);
        QVERIFY(pty.send("stale bytes"));
        QVERIFY(WaitFor([&] { return waitingBytes(pty.workstationEnd()) == 11; }, 4000));
        f.capture->Initialise_cPort();
        QVERIFY(f.capture->port().isOpen());
        QVERIFY(f.capture->readTimer().isActive());
        QCOMPARE(f.errorLog().count(u"Initialise_cPort"_s), 3);
        QVERIFY(f.capture->buffer().isEmpty());
        QVERIFY(pty.send("fresh"));
        QVERIFY(WaitFor([&] { return f.capture->buffer().contains(u"fresh"_s); }, 4000));
        QCOMPARE(f.capture->buffer(), u"fresh"_s);

        // Defaults and debug mode: the port reports its line settings.
        LoadSettings();
        Settings.Debug = 1;
        Settings.ComDevice[0] = pty.workstationEnd();
        f.capture->Initialise_cPort();
        const QString debug = QString::fromLatin1(f.folder.read(u"Logs/Debug.log"_s));
        QVERIFY2(debug.contains(u"Initialize_cPort 4800,N,8,1"_s), qPrintable(debug));
        QVERIFY(debug.contains(u"Initialise_cPort Port Open True"_s));

        // A port that does not open is only noted; the polled unit's send tick logs.
        Settings.XrayComm = UnitGESeno;
        Settings.ComDevice[0] = f.folder.file(u"no-such-tty"_s);
        f.capture->Initialise_cPort();
        QVERIFY(!f.capture->port().isOpen());
        QVERIFY(f.capture->readTimer().isActive());
        QVERIFY(QString::fromLatin1(f.folder.read(u"Logs/Debug.log"_s)).contains(u"Port Open False"_s));
        Settings.Debug = 0;
        const int rows = f.journal().size();
        f.capture->sendTimer_Tick();
        f.capture->SerTimer_Tick();
        QCOMPARE(f.journal().size(), rows);
        QVERIFY(f.errorLog().contains(u"sendTimer"_s));
    }
};

QTEST_MAIN(ExposureCaptureTest)
#include "tst_exposure_capture.moc"
