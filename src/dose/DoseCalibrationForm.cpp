#include "dose/DoseCalibrationForm.h"

#include "dose/DoseStore.h"
#include "dose/XrayUnit.h"
#include "store/DatabasePaths.h"
#include "ui/Prompts.h"
#include "ui/Widgets.h"

#include <QScrollArea>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

namespace {

const QString kSaveSource = QStringLiteral("DoseCalibrationForm Save");
const QString kFactorSource = QStringLiteral("DoseCalibrationForm LoadFactors");
const QString kSetSource = QStringLiteral("DoseCalibrationForm SaveReferenceSet");
const QString kLoadSource = QStringLiteral("DoseCalibrationForm Load");

QDoubleSpinBox *number(QWidget *parent, double low, double high, int decimals, const QString &suffix)
{
    auto *box = new QDoubleSpinBox(parent);
    box->setRange(low, high);
    box->setDecimals(decimals);
    box->setSuffix(suffix);
    return box;
}

QTableWidget *table(QWidget *parent, const QStringList &captions)
{
    auto *t = new QTableWidget(0, int(captions.size()), parent);
    t->setHorizontalHeaderLabels(captions);
    // Each column as wide as its caption and entries, the last taking the rest:
    // equal shares cut the longer captions.
    t->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    t->horizontalHeader()->setStretchLastSection(true);
    t->verticalHeader()->setVisible(false);
    return t;
}

// Buttons that add an empty row and remove the current one.
QWidget *rowButtons(QWidget *parent, QTableWidget *t)
{
    auto *w = new QWidget(parent);
    auto *l = new QHBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    auto *add = new QPushButton(QStringLiteral("Add row"), w);
    auto *remove = new QPushButton(QStringLiteral("Remove row"), w);
    l->addWidget(add);
    l->addWidget(remove);
    l->addStretch();
    QObject::connect(add, &QPushButton::clicked, t, [t] { t->insertRow(t->rowCount()); });
    QObject::connect(remove, &QPushButton::clicked, t, [t] {
        if (t->currentRow() >= 0)
            t->removeRow(t->currentRow());
    });
    return w;
}

QString cell(const QTableWidget *t, int row, int column)
{
    const QTableWidgetItem *item = t->item(row, column);
    return item ? item->text().trimmed() : QString();
}

// The caption of a table's column, for a message naming the cell.
QString caption(const QTableWidget *t, int column)
{
    const QTableWidgetItem *h = t->horizontalHeaderItem(column);
    return h ? h->text() : QString::number(column + 1);
}

// The physicist's number in the locale, or with a decimal point; none for
// anything else.
std::optional<double> localNumber(const QString &text)
{
    QLocale local;
    local.setNumberOptions(local.numberOptions() | QLocale::RejectGroupSeparator);
    QLocale c = QLocale::c();
    c.setNumberOptions(c.numberOptions() | QLocale::RejectGroupSeparator);
    bool ok = false;
    double v = local.toDouble(text, &ok);
    if (!ok)
        v = c.toDouble(text, &ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

// A cell's number in the physicist's locale (or with a decimal point). Text
// that is no finite number, or an empty cell that is required, is a problem
// naming the table, the row and the column; then there is no number.
std::optional<double> cellNumber(const QTableWidget *t, const QString &tableName, int row, int column, bool required,
                                 QStringList &problems)
{
    const QString text = cell(t, row, column);
    const QString where = QStringLiteral("%1, row %2, \"%3\"").arg(tableName).arg(row + 1).arg(caption(t, column));
    if (text.isEmpty()) {
        if (required)
            problems << QStringLiteral("%1 is empty.").arg(where);
        return std::nullopt;
    }
    // "28,5" in an English locale is no number, not 285.
    const std::optional<double> number = localNumber(text);
    if (!number) {
        problems << QStringLiteral("%1: \"%2\" is not a number.").arg(where, text);
        return std::nullopt;
    }
    const double v = *number;
    if (!std::isfinite(v)) {
        problems << QStringLiteral("%1: \"%2\" is not a finite number.").arg(where, text);
        return std::nullopt;
    }
    return v;
}

bool rowEmpty(const QTableWidget *t, int row)
{
    for (int c = 0; c < t->columnCount(); ++c)
        if (!cell(t, row, c).isEmpty())
            return false;
    return true;
}

const QString kRangesName = QStringLiteral("Target/filter by kV range");
const QString kBeamName = QStringLiteral("HVL and tube output per kV and target/filter");
const QString kLevelsName = QStringLiteral("Reference levels");
const QString kPaddleName = QStringLiteral("Paddle transmission factor (output without the paddle)");


void setRow(QTableWidget *t, int row, const QStringList &texts)
{
    for (int c = 0; c < texts.size(); ++c)
        t->setItem(row, c, new QTableWidgetItem(texts[c]));
}

QString text(double v) { return QLocale().toString(v, 'g', 10); }

} // namespace

DoseCalibrationForm::DoseCalibrationForm(qint16 unitType, Prompter &prompter, QWidget *parent)
    : QDialog(parent), prompter_(prompter)
{
    setObjectName(QStringLiteral("frmDoseCalibration"));
    setWindowTitle(QStringLiteral("Dose calibration"));
    auto *outer = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    outer->addWidget(tabs_);

    // The unit's calibration.
    auto *calibration = new QWidget(tabs_);
    auto *cl = new QVBoxLayout(calibration);
    auto *form = new QFormLayout;
    // Named as the options name it; the type number stays in the item's data.
    unit_ = new QComboBox(calibration);
    unit_->setObjectName(QStringLiteral("cboUnitType"));
    for (int type = 1; type <= 5; ++type)
        unit_->addItem(QStringLiteral("%1 (type %2)").arg(XrayUnitTypeName(type)).arg(type), type);
    reported_ = new QComboBox(calibration);
    reported_->addItems({QStringLiteral("IAK"), QStringLiteral("ESAK"), QStringLiteral("none")});
    backscatter_ = number(calibration, 0, 2, 3, QString());
    reportedAt_ = new QComboBox(calibration);
    reportedAt_->addItems({QStringLiteral("the breast's upper surface"), QStringLiteral("a distance from the focus")});
    reportedDistance_ = number(calibration, 0, 2000, 1, QStringLiteral(" mm"));
    focusSupport_ = number(calibration, 0, 2000, 1, QStringLiteral(" mm"));
    outputDistance_ = number(calibration, 0, 2000, 1, QStringLiteral(" mm"));
    paddle_ = new QCheckBox(QStringLiteral("Output and HVL measured with the compression paddle in the beam"), calibration);
    calibratedOn_ = new QDateEdit(QDate::currentDate(), calibration);
    calibratedOn_->setCalendarPopup(true);
    calibratedBy_ = new QLineEdit(calibration);
    calibratedBy_->setObjectName(QStringLiteral("txtCalibratedBy"));
    form->addRow(QStringLiteral("X-ray unit"), unit_);
    form->addRow(QStringLiteral("The unit's reported dose is"), reported_);
    form->addRow(QStringLiteral("Backscatter factor (ESAK)"), backscatter_);
    form->addRow(QStringLiteral("The reported dose refers to"), reportedAt_);
    form->addRow(QStringLiteral("… at this distance from the focus"), reportedDistance_);
    form->addRow(QStringLiteral("Focus to breast support"), focusSupport_);
    form->addRow(QStringLiteral("Output measured at"), outputDistance_);
    form->addRow(QString(), paddle_);
    paddleTransmission_ = new QLineEdit(calibration);
    paddleTransmission_->setObjectName(QStringLiteral("txtPaddleTransmission"));
    paddleTransmission_->setPlaceholderText(QStringLiteral("above 0, at most 1"));
    form->addRow(kPaddleName, paddleTransmission_);
    connect(paddle_, &QCheckBox::toggled, paddleTransmission_, [this](bool inBeam) { paddleTransmission_->setEnabled(!inBeam); });
    form->addRow(QStringLiteral("Calibration date"), calibratedOn_);
    form->addRow(QStringLiteral("Entered by"), calibratedBy_);
    cl->addLayout(form);
    cl->addWidget(makeXrayUnitBox(calibration));
    ranges_ = table(calibration, {QStringLiteral("Up to kV (empty: above)"), QStringLiteral("Target/filter")});
    ranges_->setObjectName(QStringLiteral("tblTargetFilter"));
    beam_ = table(calibration, {QStringLiteral("Target/filter"), QStringLiteral("kV"), QStringLiteral("HVL mm Al"), QStringLiteral("Output µGy/mAs")});
    beam_->setObjectName(QStringLiteral("tblBeam"));
    cl->addWidget(new QLabel(kRangesName, calibration));
    cl->addWidget(ranges_);
    cl->addWidget(rowButtons(calibration, ranges_));
    cl->addWidget(new QLabel(kBeamName, calibration));
    cl->addWidget(beam_);
    cl->addWidget(rowButtons(calibration, beam_));
    auto *save = new QPushButton(QStringLiteral("Save calibration"), calibration);
    save->setObjectName(QStringLiteral("cmdSaveCalibration"));
    cl->addWidget(save, 0, Qt::AlignRight);
    tabs_->addTab(Scrolling(calibration), QStringLiteral("Calibration"));
    connect(save, &QPushButton::clicked, this, &DoseCalibrationForm::saveCalibration);
    connect(unit_, &QComboBox::currentIndexChanged, this, [this] { loadUnit(qint16(unit_->currentData().toInt())); });

    // The factor tables.
    auto *factors = new QWidget(tabs_);
    auto *fl = new QVBoxLayout(factors);
    factorSource_ = new QLabel(factors);
    factorSource_->setObjectName(QStringLiteral("lblFactorSource"));
    factorSource_->setWordWrap(true);
    factorSource_->setTextInteractionFlags(Qt::TextSelectableByMouse); // the path, to copy
    auto *load = new QPushButton(QStringLiteral("Load factor tables (CSV) …"), factors);
    fl->addWidget(factorSource_);
    fl->addWidget(load, 0, Qt::AlignLeft);
    fl->addStretch();
    tabs_->addTab(Scrolling(factors), QStringLiteral("Factor tables"));
    connect(load, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Factor tables"), QString(), QStringLiteral("CSV (*.csv);;All files (*)"));
        if (!path.isEmpty())
            loadFactorFile(path);
    });

    // The reference levels.
    auto *reference = new QWidget(tabs_);
    auto *rl = new QVBoxLayout(reference);
    auto *rf = new QFormLayout;
    setName_ = new QLineEdit(reference);
    setName_->setObjectName(QStringLiteral("txtReferenceSet"));
    setSource_ = new QLineEdit(reference);
    setSource_->setObjectName(QStringLiteral("txtReferenceSource"));
    setSource_->setPlaceholderText(QStringLiteral("the publication with its reference, or \"local\""));
    setActive_ = new QCheckBox(QStringLiteral("Check exposures against this set"), reference);
    rf->addRow(QStringLiteral("Set"), setName_);
    rf->addRow(QStringLiteral("Source"), setSource_);
    rf->addRow(QString(), setActive_);
    rl->addLayout(rf);
    rl->addWidget(new QLabel(kLevelsName, reference));
    levels_ = table(reference, {QStringLiteral("View (CC, MLO, other)"), QStringLiteral("From mm"), QStringLiteral("To mm"),
                                QStringLiteral("Dose (AGD or entrance)"), QStringLiteral("Level mGy")});
    levels_->setObjectName(QStringLiteral("tblReferenceLevels"));
    rl->addWidget(levels_);
    rl->addWidget(rowButtons(reference, levels_));
    auto *saveSet = new QPushButton(QStringLiteral("Save set"), reference);
    saveSet->setObjectName(QStringLiteral("cmdSaveReferenceSet"));
    rl->addWidget(saveSet, 0, Qt::AlignRight);
    tabs_->addTab(Scrolling(reference), QStringLiteral("Reference levels"));
    connect(saveSet, &QPushButton::clicked, this, &DoseCalibrationForm::saveReferenceSet);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    outer->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Every row in view where the screen has the room; the pages scroll where it has not.
    int pages = 0;
    for (int i = 0; i < tabs_->count(); ++i)
        if (auto *area = qobject_cast<QScrollArea *>(tabs_->widget(i)))
            pages = std::max(pages, area->widget()->sizeHint().height());
    const int around = sizeHint().height() - tabs_->currentWidget()->sizeHint().height();
    ResizeWithinScreen(this, QSize(760, std::max(720, pages + around)));

    unit_->blockSignals(true);
    unit_->setCurrentIndex(std::max(unit_->findData(int(unitType)), 0));
    unit_->blockSignals(false);
    loadUnit(qint16(unit_->currentData().toInt()));
    showFactorSource();
    DatabaseSession db(DefinitionsDatabase);
    const ReferenceSetsRead sets = db.ok() ? ReadReferenceSets(DefinitionsDatabase) : ReferenceSetsRead{};
    if (!db.ok() || !sets.ok()) {
        LogFailure(db.ok() ? Result(sets) : db.error(), kLoadSource);
        return;
    }
    const auto active = std::find_if(sets.sets.begin(), sets.sets.end(), [](const ReferenceSet &s) { return s.active; });
    if (active != sets.sets.end())
        showReferenceSet(*active);
    else if (!sets.sets.isEmpty())
        showReferenceSet(sets.sets.first());
}

QWidget *DoseCalibrationForm::makeXrayUnitBox(QWidget *parent)
{
    auto *box = new QGroupBox(QStringLiteral("X-ray unit, named in the dose report (left empty: unknown)"), parent);
    auto *grid = new QGridLayout(box);
    auto field = [box](const char *name) {
        auto *edit = new QLineEdit(box);
        edit->setObjectName(QLatin1String(name));
        edit->setMaxLength(200); // longer than allowed, so that too long is refused by name rather than cut
        return edit;
    };
    unitManufacturer_ = field("txtUnitManufacturer");
    unitModel_ = field("txtUnitModel");
    unitSerial_ = field("txtUnitSerialNumber");
    unitUid_ = field("txtUnitDeviceUid");
    unitUid_->setReadOnly(true);
    unitUid_->setPlaceholderText(QStringLiteral("assigned when saved"));
    // Room for a whole "2.25." UID of 39 digits.
    unitUid_->setMinimumWidth(unitUid_->fontMetrics().horizontalAdvance(QStringLiteral("2.25.") + QString(40, u'8')));
    const QList<std::pair<QString, QLineEdit *>> rows{{QStringLiteral("Manufacturer"), unitManufacturer_},
                                                     {QStringLiteral("Model"), unitModel_},
                                                     {QStringLiteral("Serial number"), unitSerial_},
                                                     {QStringLiteral("Device UID"), unitUid_}};
    for (int i = 0; i < rows.size(); ++i) {
        grid->addWidget(new QLabel(rows[i].first, box), i / 2, (i % 2) * 2);
        grid->addWidget(rows[i].second, i / 2, (i % 2) * 2 + 1);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 2);
    return box;
}

bool DoseCalibrationForm::askAnotherUnit(DoseCalibration &c)
{
    const XrayUnitRead stored = ReadXrayUnit(DefinitionsDatabase, c.unit);
    if (refused(stored, kSaveSource))
        return false;
    const XrayUnitIdentity &before = stored.unit;
    if (!before.identified() || !c.xrayUnit.identified()
        || (before.manufacturer == c.xrayUnit.manufacturer && before.serialNumber == c.xrayUnit.serialNumber))
        return true;
    // A corrected entry is the same unit; a replaced unit is another device.
    c.xrayUnit.anotherUnit = prompter_.question(
        this,
        QStringLiteral("The X-ray unit was %1 %2, serial number %3; it is now %4 %5, serial number %6.\n\n"
                       "Is this another X-ray unit? Yes: it gets a device UID of its own, and exposures taken under the "
                       "earlier calibrations keep naming the earlier unit. No: the entries are corrected and the device "
                       "UID stays.")
            .arg(before.manufacturer, before.model, before.serialNumber, c.xrayUnit.manufacturer, c.xrayUnit.model,
                 c.xrayUnit.serialNumber),
        windowTitle());
    return true;
}

void DoseCalibrationForm::showXrayUnit(const XrayUnitIdentity &unit)
{
    unitManufacturer_->setText(unit.manufacturer);
    unitModel_->setText(unit.model);
    unitSerial_->setText(unit.serialNumber);
    unitUid_->setText(unit.deviceUid);
    unitUid_->setCursorPosition(0);
}

XrayUnitIdentity DoseCalibrationForm::shownXrayUnit() const
{
    return {unitManufacturer_->text().trimmed(), unitModel_->text().trimmed(), unitSerial_->text().trimmed(), unitUid_->text()};
}

void DoseCalibrationForm::loadUnit(qint16 unitType)
{
    DatabaseSession db(DefinitionsDatabase);
    if (!db.ok())
        return LogFailure(db.error(), kLoadSource);
    const CalibrationRead read = ReadCalibration(DefinitionsDatabase, unitType);
    if (!read.ok())
        return LogFailure(read, kLoadSource);
    DoseCalibration c = read.calibration.value_or(DoseCalibration{});
    c.unit = unitType;
    if (!read.calibration)
        c.calibratedOn = QDate::currentDate();
    showCalibration(c);
}

void DoseCalibrationForm::showCalibration(const DoseCalibration &c)
{
    unit_->blockSignals(true);
    unit_->setCurrentIndex(std::max(unit_->findData(int(c.unit)), 0));
    unit_->blockSignals(false);
    reported_->setCurrentText(ReportedDoseText(c.reported));
    backscatter_->setValue(c.backscatter);
    reportedAt_->setCurrentIndex(c.reportedAt == ReportedAt::Distance ? 1 : 0);
    reportedDistance_->setValue(c.reportedDistanceMm);
    focusSupport_->setValue(c.focusSupportMm);
    outputDistance_->setValue(c.outputDistanceMm);
    paddle_->setChecked(c.paddleInBeam);
    paddleTransmission_->setText(c.paddleTransmission ? text(*c.paddleTransmission) : QString());
    paddleTransmission_->setEnabled(!c.paddleInBeam);
    calibratedOn_->setDate(c.calibratedOn.isValid() ? c.calibratedOn : QDate::currentDate());
    calibratedBy_->setText(c.calibratedBy);
    showXrayUnit(c.xrayUnit);
    ranges_->setRowCount(int(c.targetFilters.size()));
    for (int i = 0; i < c.targetFilters.size(); ++i)
        setRow(ranges_, i, {c.targetFilters[i].upToKv ? text(*c.targetFilters[i].upToKv) : QString(), c.targetFilters[i].targetFilter});
    beam_->setRowCount(int(c.beam.size()));
    for (int i = 0; i < c.beam.size(); ++i)
        setRow(beam_, i, {c.beam[i].targetFilter, text(c.beam[i].kv), text(c.beam[i].hvl), text(c.beam[i].output)});
}

DoseCalibration DoseCalibrationForm::shownCalibration(QStringList *problems) const
{
    QStringList found;
    DoseCalibration c;
    c.unit = qint16(unit_->currentData().toInt());
    c.reported = ReportedDoseFromText(reported_->currentText()).value_or(ReportedDose::None);
    c.backscatter = backscatter_->value();
    c.reportedAt = reportedAt_->currentIndex() == 1 ? ReportedAt::Distance : ReportedAt::UpperSurface;
    c.reportedDistanceMm = reportedDistance_->value();
    c.focusSupportMm = focusSupport_->value();
    c.outputDistanceMm = outputDistance_->value();
    c.paddleInBeam = paddle_->isChecked();
    if (!c.paddleInBeam) {
        // Range and presence are the record's validation; here only what is no finite number.
        const QString typed = paddleTransmission_->text().trimmed();
        const std::optional<double> t = typed.isEmpty() ? std::nullopt : localNumber(typed);
        if (!typed.isEmpty() && !t)
            found << QStringLiteral("%1: \"%2\" is not a number.").arg(kPaddleName, typed);
        else if (t && !std::isfinite(*t))
            found << QStringLiteral("%1: \"%2\" is not a finite number.").arg(kPaddleName, typed);
        else
            c.paddleTransmission = t;
    }
    c.calibratedOn = calibratedOn_->date();
    c.calibratedBy = calibratedBy_->text().trimmed();
    c.xrayUnit = shownXrayUnit();
    for (int r = 0; r < ranges_->rowCount(); ++r) {
        if (rowEmpty(ranges_, r))
            continue; // a row added and left empty
        // An empty limit is the range open above.
        const std::optional<double> upTo = cellNumber(ranges_, kRangesName, r, 0, false, found);
        if (upTo || cell(ranges_, r, 0).isEmpty())
            c.targetFilters.append({upTo, cell(ranges_, r, 1)});
    }
    for (int r = 0; r < beam_->rowCount(); ++r) {
        if (rowEmpty(beam_, r))
            continue;
        const auto kv = cellNumber(beam_, kBeamName, r, 1, true, found);
        const auto hvl = cellNumber(beam_, kBeamName, r, 2, true, found);
        const auto output = cellNumber(beam_, kBeamName, r, 3, true, found);
        if (kv && hvl && output)
            c.beam.append({cell(beam_, r, 0), *kv, *hvl, *output});
    }
    if (problems)
        *problems = found;
    return c;
}

bool DoseCalibrationForm::refused(const Result &r, const QString &where)
{
    if (r.ok())
        return false;
    if (r.number != ErrorCode::InvalidProperty)
        LogFailure(r, where);
    prompter_.critical(this, r.text, windowTitle());
    return true;
}

bool DoseCalibrationForm::saveCalibration()
{
    QStringList problems;
    DoseCalibration c = shownCalibration(&problems);
    if (!problems.isEmpty())
        return !refused(Result::failure(ErrorCode::InvalidProperty, problems.join(QLatin1Char('\n'))), kSaveSource);
    DatabaseSession db(DefinitionsDatabase);
    if (refused(db.ok() ? Result{} : db.error(), kSaveSource))
        return false;
    if (const QStringList invalid = ValidateCalibration(c); !invalid.isEmpty())
        return !refused(Result::failure(ErrorCode::InvalidProperty, invalid.join(QLatin1Char('\n'))), kSaveSource);
    if (!askAnotherUnit(c))
        return false;
    if (refused(WriteCalibration(DefinitionsDatabase, c), kSaveSource))
        return false;
    showXrayUnit(c.xrayUnit); // with the device UID it was given
    prompter_.information(this, QStringLiteral("The calibration of the %1 (X-ray unit type %2) is saved.").arg(XrayUnitTypeName(c.unit)).arg(c.unit), windowTitle());
    return true;
}

void DoseCalibrationForm::showFactorSource()
{
    DatabaseSession db(DefinitionsDatabase);
    const FactorTablesRead read = db.ok() ? ReadFactorTables(DefinitionsDatabase) : FactorTablesRead{};
    if (!db.ok())
        LogFailure(db.error(), kLoadSource);
    else if (!read.ok())
        LogFailure(read, kLoadSource);
    if (read.tables.isEmpty()) {
        factorSource_->setText(QStringLiteral("No factor tables are loaded: no AGD is computed. Load the tables your site is licensed "
                                              "to use, in the format described in %1.")
                                   .arg(QString::fromLatin1(FactorTableFormatDocument)));
        return;
    }
    factorSource_->setText(QStringLiteral("Loaded from %1 on %2: g and c over %3 HVLs × %4 thicknesses (c50-64 and c40-49), s for %5.")
                               .arg(read.fileName, read.loadedAt)
                               .arg(read.tables.g.hvls.size())
                               .arg(read.tables.g.thicknesses.size())
                               .arg(QStringList(read.tables.s.keys()).join(QStringLiteral(", "))));
}

bool DoseCalibrationForm::loadFactorFile(const QString &path)
{
    DatabaseSession db(DefinitionsDatabase);
    if (refused(db.ok() ? Result{} : db.error(), kFactorSource))
        return false;
    const Result r = ImportFactorFile(DefinitionsDatabase, path, clock());
    if (!r.ok() && r.number != ErrorCode::InvalidProperty)
        LogFailure(r, kFactorSource);
    if (!r.ok()) {
        prompter_.critical(this, r.text, windowTitle());
        return false;
    }
    showFactorSource();
    return true;
}

void DoseCalibrationForm::showReferenceSet(const ReferenceSet &set)
{
    referenceSetId_ = set.id;
    setName_->setText(set.name);
    setSource_->setText(set.source);
    setActive_->setChecked(set.active);
    levels_->setRowCount(int(set.levels.size()));
    for (int i = 0; i < set.levels.size(); ++i) {
        const ReferenceLevel &l = set.levels[i];
        setRow(levels_, i, {l.view, text(l.fromMm), text(l.toMm), l.quantity, text(l.level)});
    }
}

ReferenceSet DoseCalibrationForm::shownReferenceSet(QStringList *problems) const
{
    QStringList found;
    ReferenceSet s{referenceSetId_, setName_->text().trimmed(), setSource_->text().trimmed(), setActive_->isChecked(), {}};
    for (int r = 0; r < levels_->rowCount(); ++r) {
        if (rowEmpty(levels_, r))
            continue;
        const auto from = cellNumber(levels_, kLevelsName, r, 1, true, found);
        const auto to = cellNumber(levels_, kLevelsName, r, 2, true, found);
        const auto level = cellNumber(levels_, kLevelsName, r, 4, true, found);
        if (from && to && level)
            s.levels.append({cell(levels_, r, 0), *from, *to, cell(levels_, r, 3), *level});
    }
    if (problems)
        *problems = found;
    return s;
}

bool DoseCalibrationForm::saveReferenceSet()
{
    QStringList problems;
    ReferenceSet s = shownReferenceSet(&problems);
    if (!problems.isEmpty())
        return !refused(Result::failure(ErrorCode::InvalidProperty, problems.join(QLatin1Char('\n'))), kSetSource);
    DatabaseSession db(DefinitionsDatabase);
    if (refused(db.ok() ? Result{} : db.error(), kSetSource) || refused(WriteReferenceSet(DefinitionsDatabase, s), kSetSource))
        return false;
    referenceSetId_ = s.id;
    prompter_.information(this, QStringLiteral("The reference set \"%1\" is saved.").arg(s.name), windowTitle());
    return true;
}
