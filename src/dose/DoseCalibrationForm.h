#pragma once

// "Dose calibration …": the physicist's entry of one X-ray unit type's
// calibration, the loading of the factor tables, and the reference-level sets.
#include "dose/DoseCalibration.h"
#include "dose/ReferenceLevels.h"

#include <QDialog>
#include <QDateTime>
#include <functional>

class Prompter;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTabWidget;
class QTableWidget;

class DoseCalibrationForm : public QDialog {
    Q_OBJECT
public:
    // Opens on the unit type's stored calibration and the active (or first) reference set.
    DoseCalibrationForm(qint16 unitType, Prompter &prompter, QWidget *parent = nullptr);

    // What the calibration page shows, as a record; and the page filled from
    // one. A cell that is no finite number is left out and named in problems.
    DoseCalibration shownCalibration(QStringList *problems = nullptr) const;
    void showCalibration(const DoseCalibration &c);
    ReferenceSet shownReferenceSet(QStringList *problems = nullptr) const;
    void showReferenceSet(const ReferenceSet &set);

    // Validates and stores; a refusal names every problem, a stored record is
    // confirmed. True when stored.
    bool saveCalibration();
    bool saveReferenceSet();
    // Loads the factor file at path (the button asks for it).
    bool loadFactorFile(const QString &path);

    // Now of the factor load; the workstation's clock unless a test fixes it.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

private:
    // The X-ray unit's entries, beside the calibration's figures.
    QWidget *makeXrayUnitBox(QWidget *parent);
    void showXrayUnit(const XrayUnitIdentity &unit);
    XrayUnitIdentity shownXrayUnit() const;
    // Asks, when the manufacturer or serial number changes, whether the unit
    // was replaced and marks the record so; false when the entries cannot be read.
    bool askAnotherUnit(DoseCalibration &c);
    void loadUnit(qint16 unitType);
    void showFactorSource();
    bool refused(const Result &r, const QString &where);

    Prompter &prompter_;
    qlonglong referenceSetId_ = 0;
    QTabWidget *tabs_ = nullptr;
    QComboBox *unit_ = nullptr;
    QComboBox *reported_ = nullptr;
    QDoubleSpinBox *backscatter_ = nullptr;
    QComboBox *reportedAt_ = nullptr;
    QDoubleSpinBox *reportedDistance_ = nullptr;
    QDoubleSpinBox *focusSupport_ = nullptr;
    QDoubleSpinBox *outputDistance_ = nullptr;
    QCheckBox *paddle_ = nullptr;
    QLineEdit *paddleTransmission_ = nullptr; // asked when the output was measured without the paddle
    QDateEdit *calibratedOn_ = nullptr;
    QLineEdit *calibratedBy_ = nullptr;
    QLineEdit *unitManufacturer_ = nullptr;
    QLineEdit *unitModel_ = nullptr;
    QLineEdit *unitSerial_ = nullptr;
    QLineEdit *unitUid_ = nullptr;
    QTableWidget *ranges_ = nullptr;
    QTableWidget *beam_ = nullptr;
    QLabel *factorSource_ = nullptr;
    QLineEdit *setName_ = nullptr;
    QLineEdit *setSource_ = nullptr;
    QCheckBox *setActive_ = nullptr;
    QTableWidget *levels_ = nullptr;
};
