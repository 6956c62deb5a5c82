#include "exposure/ExposureCapture.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "dose/DoseStore.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureJournal.h"
#include "store/DatabasePaths.h"

#include "ui/Prompts.h"

#include <QColor>
#include <QFile>

namespace {

const QString kFillSource = QStringLiteral("MainForm dbFill");
const QString kPortSource = QStringLiteral("Initialise_cPort");
const QString kTickSource = QStringLiteral("Ser_Timer");
const QString kSendSource = QStringLiteral("sendTimer");

constexpr char ENQ = 5;
constexpr char ACK = 6;

const char *const kSpeeds[] = {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "28800",
                               "38400", "56000", "128000", "256000"};
const char *const kParities[] = {"E", "M", "N", "O", "S"};
const char *const kDataBits[] = {"4", "5", "6", "7", "8"};
const char *const kStopBits[] = {"1", "1.5", "2"};

template <std::size_t N>
QString entry(const char *const (&list)[N], qint16 index)
{
    return index >= 0 && std::size_t(index) < N ? QString::fromLatin1(list[index]) : QString();
}

void logPort(QSerialPort &port, const QString &what)
{
    WriteErrorLog(qint32(port.error()), what + QStringLiteral(": ") + port.errorString(), kPortSource);
}

} // namespace

ExposureCapture::ExposureCapture(Session &session, DoseList &doseList, Prompter &prompter, QObject *parent)
    : QObject(parent), session_(session), doseList_(doseList), prompter_(prompter), clock_([] { return QDateTime::currentDateTime(); })
{
    serTimer_.setObjectName(QStringLiteral("SerTimer"));
    sendTimer_.setObjectName(QStringLiteral("sendTimer"));
    serTimer_.setInterval(100);
    sendTimer_.setInterval(1000);
    connect(&serTimer_, &QTimer::timeout, this, &ExposureCapture::SerTimer_Tick);
    connect(&sendTimer_, &QTimer::timeout, this, &ExposureCapture::sendTimer_Tick);
    pollPause_.setObjectName(QStringLiteral("pollPause"));
    pollPause_.setSingleShot(true);
    connect(&pollPause_, &QTimer::timeout, &sendTimer_, qOverload<>(&QTimer::start));
    // Another exposure or projection chosen: the decoders may use it again.
    connect(&session_, &Session::selectedExposureChanged, this, [this] { projectionUsed_ = false; });
    connect(&session_, &Session::worklistPatientChanged, this, &ExposureCapture::followWorklistPatient);
}

QString ExposureCapture::selectedProjection() const { return projectionUsed_ ? QString() : session_.selectedExposure().other; }

void ExposureCapture::setBuffer(const QString &text)
{
    // A growing buffer only gets its new tail drawn, not the whole text again.
    const bool grows = !buffer_.isEmpty() && text.size() > buffer_.size() && text.startsWith(buffer_);
    const QString tail = grows ? text.mid(buffer_.size()) : QString();
    buffer_ = text;
    if (grows)
        emit bufferGrew(tail);
    else
        emit bufferReplaced(text);
}

bool ExposureCapture::MessageComplete(qint16 unitType, const QString &b)
{
    switch (unitType) {
    case UnitSophie: return b.contains(QStringLiteral("mGy"));
    case UnitGiotto: return !b.isEmpty() && b.back() == QChar(3);
    case UnitLoradM4: return b.contains(QStringLiteral("cm"));
    case UnitGESeno:
        return b.contains(QStringLiteral("DIGITAL")) || b.contains(QStringLiteral("CR")) || b.contains(QStringLiteral("DIGI"));
    case UnitHFE: return b.contains(QLatin1Char('*'));
    default: return false;
    }
}

QString ExposureCapture::LineSettingsText()
{
    return QStringList{entry(kSpeeds, Settings.Speed), entry(kParities, Settings.Parity), entry(kDataBits, Settings.Bit_Get),
                       entry(kStopBits, Settings.Bit_Put)}
        .join(QLatin1Char(','));
}

// Each setting the driver refuses is logged on its own; the port stays open
// with the driver's value for it.
void ExposureCapture::applyLineSettings()
{
    const QString speed = entry(kSpeeds, Settings.Speed);
    if (speed.isEmpty())
        WriteErrorLog(ErrorCode::OutOfRange, QStringLiteral("Subscript out of range (ComPort\\Speed %1)").arg(Settings.Speed), kPortSource);
    else if (!port_.setBaudRate(speed.toInt()))
        logPort(port_, QStringLiteral("speed ") + speed);

    static const QSerialPort::Parity parities[] = {QSerialPort::EvenParity, QSerialPort::MarkParity, QSerialPort::NoParity,
                                                   QSerialPort::OddParity, QSerialPort::SpaceParity};
    if (Settings.Parity < 0 || Settings.Parity > 4)
        WriteErrorLog(ErrorCode::OutOfRange, QStringLiteral("Subscript out of range (ComPort\\Parity %1)").arg(Settings.Parity), kPortSource);
    else if (!port_.setParity(parities[Settings.Parity]))
        logPort(port_, QStringLiteral("parity ") + entry(kParities, Settings.Parity));

    if (Settings.Bit_Get < 0 || Settings.Bit_Get > 4)
        WriteErrorLog(ErrorCode::OutOfRange, QStringLiteral("Subscript out of range (ComPort\\Bit_Get %1)").arg(Settings.Bit_Get), kPortSource);
    else if (Settings.Bit_Get == 0)
        WriteErrorLog(ErrorCode::InvalidProperty, QStringLiteral("Invalid property value (4 data bits are not supported)"), kPortSource);
    else if (!port_.setDataBits(QSerialPort::DataBits(4 + Settings.Bit_Get)))
        logPort(port_, QStringLiteral("data bits ") + entry(kDataBits, Settings.Bit_Get));

    if (Settings.Bit_Put < 0 || Settings.Bit_Put > 2)
        WriteErrorLog(ErrorCode::OutOfRange, QStringLiteral("Subscript out of range (ComPort\\Bit_Put %1)").arg(Settings.Bit_Put), kPortSource);
    else if (Settings.Bit_Put == 1)
        WriteErrorLog(ErrorCode::InvalidProperty, QStringLiteral("Invalid property value (1.5 stop bits are not supported)"), kPortSource);
    else if (!port_.setStopBits(Settings.Bit_Put == 0 ? QSerialPort::OneStop : QSerialPort::TwoStop))
        logPort(port_, QStringLiteral("stop bits ") + entry(kStopBits, Settings.Bit_Put));

    switch (Settings.Flux) {
    case 0:
    case 1:
    case 2:
        if (!port_.setFlowControl(Settings.Flux == 0   ? QSerialPort::NoFlowControl
                                  : Settings.Flux == 1 ? QSerialPort::SoftwareControl
                                                       : QSerialPort::HardwareControl))
            logPort(port_, QStringLiteral("handshake %1").arg(Settings.Flux));
        break;
    case 3:
        WriteErrorLog(ErrorCode::InvalidProperty, QStringLiteral("Invalid property value (RTS together with XOn/XOff is not supported)"), kPortSource);
        break;
    default:
        WriteErrorLog(ErrorCode::InvalidProperty, QStringLiteral("Invalid property value (ComPort\\Flux %1)").arg(Settings.Flux), kPortSource);
        break;
    }
}

void ExposureCapture::Initialise_cPort()
{
    setBuffer(QString());
    if (port_.isOpen())
        port_.close();
    const QString device = ComPortDevice(Settings.Port);
    if (device.isEmpty())
        WriteErrorLog(ErrorCode::InvalidPortNumber, QStringLiteral("Invalid port number %1").arg(Settings.Port), kPortSource);
    port_.setPortName(device);
    if (!port_.isOpen() && !device.isEmpty() && !port_.open(QIODevice::ReadWrite))
        logPort(port_, QStringLiteral("open ") + device);
    if (port_.isOpen())
        applyLineSettings();
    if (!port_.isOpen()) {
        WriteDebugLog(QStringLiteral("Initialise_cPort"), QStringLiteral("Port Open False"));
    } else if (Settings.Debug == 1) {
        WriteDebugLog(QStringLiteral("Initialise_cPort Port Open True"), QString());
        const QString reported = QStringLiteral("%1,%2,%3,%4")
                                     .arg(port_.baudRate())
                                     .arg(QString::fromLatin1("NEOMS").at(
                                         port_.parity() == QSerialPort::NoParity      ? 0
                                         : port_.parity() == QSerialPort::EvenParity  ? 1
                                         : port_.parity() == QSerialPort::OddParity   ? 2
                                         : port_.parity() == QSerialPort::MarkParity  ? 3
                                                                                      : 4))
                                     .arg(int(port_.dataBits()))
                                     .arg(port_.stopBits() == QSerialPort::TwoStop ? QStringLiteral("2") : QStringLiteral("1"));
        WriteDebugLog(QStringLiteral("Initialize_cPort ") + reported, QString());
    }
    if (port_.isOpen() && port_.bytesAvailable() > 0)
        port_.readAll();
    // Bytes already in the driver's queue are not yet "waiting" to Qt until read.
    if (port_.isOpen() && port_.waitForReadyRead(0))
        port_.readAll();
    serTimer_.start();
}

void ExposureCapture::SerTimer_Tick()
{
    const qint16 unit = Settings.XrayComm;
    if (port_.isOpen()) {
        port_.waitForReadyRead(0); // take what the driver holds without waiting
        if (port_.bytesAvailable() > 0) {
            QByteArray bytes = port_.readAll();
            if (port_.error() != QSerialPort::NoError && port_.error() != QSerialPort::TimeoutError) {
                WriteErrorLog(qint32(port_.error()), port_.errorString(), kTickSource);
                port_.clearError();
                return;
            }
            QString next;
            if (unit == UnitGESeno) {
                const QByteArray joined = buffer_.toLatin1() + bytes;
                if (joined != QByteArray(1, ACK)) {
                    QByteArray cleared = joined;
                    for (char &ch : cleared)
                        ch = char(uchar(ch) & 127);
                    next = QString::fromLatin1(cleared);
                } else {
                    next = buffer_;
                }
            } else {
                next = buffer_ + QString::fromLatin1(bytes);
            }
            setBuffer(next);
            if (Settings.Debug == 1)
                WriteDebugLog(QString::number(port_.baudRate()) + QStringLiteral(", "), buffer_);
        }
    }
    // A line that never ends a message (wrong unit type, noise) must not grow without bound.
    if (buffer_.size() > MaxBufferLength) {
        WriteErrorLog(ErrorCode::OutOfMemory, QStringLiteral("Out of memory (%1 characters received without an end of message; discarded)")
                             .arg(buffer_.size()),
                      kTickSource);
        setBuffer(QString());
        return;
    }
    if (!MessageComplete(unit, buffer_))
        return;
    QFile input(AppPath(QString::fromLatin1(AppFiles::SerialInput)));
    if (!input.open(QIODevice::WriteOnly | QIODevice::Append) || input.write(buffer_.toLatin1() + "\r\n") < 0)
        WriteErrorLog(qint32(input.error()), input.errorString(), kTickSource);
    input.close();
    serTimer_.stop();
    if (unit == UnitGESeno) {
        sendTimer_.stop();
        if (port_.isOpen())
            port_.close();
    }
    dbFill();
    // The unit needs its pause before the next poll; the poll tick starts when it ends.
    if (unit == UnitGESeno)
        pollPause_.start(pollPauseMs_);
}

void ExposureCapture::sendTimer_Tick()
{
    if (Settings.XrayComm != UnitGESeno)
        return;
    if (!port_.isOpen()) {
        port_.setPortName(ComPortDevice(Settings.Port));
        if (!port_.open(QIODevice::ReadWrite)) {
            WriteErrorLog(qint32(port_.error()), port_.errorString(), kSendSource);
            return;
        }
        applyLineSettings();
    }
    if (port_.write(QByteArray(1, ENQ)) != 1)
        WriteErrorLog(qint32(port_.error()), port_.errorString(), kSendSource);
    port_.flush();
}

void ExposureCapture::dbFill()
{
    const QString inputPath = AppPath(QString::fromLatin1(AppFiles::SerialInput));
    const QString donePath = AppPath(QString::fromLatin1(AppFiles::DoneFile));
    if (QFile::exists(inputPath)) {
        QFile f(inputPath);
        if (f.open(QIODevice::ReadOnly))
            setBuffer(QString::fromLatin1(f.readAll()));
        else
            WriteErrorLog(qint32(f.error()), f.errorString(), kFillSource);
        f.close();
        if (QFile::exists(donePath) && !QFile::remove(donePath))
            WriteErrorLog(ErrorCode::PathAccess, QStringLiteral("Path/File access error (") + donePath + QLatin1Char(')'), kFillSource);
        if (!QFile::rename(inputPath, donePath))
            WriteErrorLog(ErrorCode::FileExists, QStringLiteral("File already exists (") + donePath + QLatin1Char(')'), kFillSource);
    }

    DecoderInput in;
    in.unitType = Settings.XrayComm;
    in.buffer = buffer_;
    in.patientName = patientName_;
    in.currentProjection = currentProjection_;
    in.projectionCounter = projectionCounter_;
    in.currentExposureTime = session_.selectedExposureTime();
    in.projectionBox = selectedProjection();
    in.doseLine = doseLine_;
    in.debug = Settings.Debug == 1;
    in.now = clock_();
    const DecoderOutput out = DecodeExposure(in);

    emit decoderTokens(out.tokens);
    doseLine_ = out.doseLine;
    setBuffer(out.buffer);
    projectionCounter_ = out.projectionCounter;
    session_.setChosenExposureTime(out.currentExposureTime);
    for (const Result &e : out.errors)
        LogFailure(e, kFillSource);
    for (const QString &text : out.messageBoxes)
        prompter_.information(nullptr, text, DefaultPromptTitle);
    if (out.deleteSerialInput && QFile::exists(inputPath) && !QFile::remove(inputPath))
        WriteErrorLog(ErrorCode::PathAccess, QStringLiteral("Path/File access error (") + inputPath + QLatin1Char(')'), kFillSource);

    if (out.record) {
        std::optional<ExposureDose> dose = estimateDose(*out.record, in.patientName, in.now.date());
        DatabaseSession db(UserDatabase);
        if (!db.ok()) {
            LogFailure(db.error(), kFillSource);
        } else {
            const JournalInsert ins = InsertExposure(UserDatabase, *out.record, QLocale(), dose);
            for (const Result &p : ins.problems)
                LogFailure(p, kFillSource);
            if (!ins.ok())
                LogFailure(ins, kFillSource);
            else if (dose && dose->estimate.calibrationId && !dose->estimate.agd)
                WriteErrorLog(ErrorCode::None, QStringLiteral("No AGD for exposure %1: %2").arg(ins.id).arg(dose->estimate.why), kFillSource);
            if (ins.ok() && dose) {
                const QString note = KermaCrossCheckNote(dose->estimate);
                if (!note.isEmpty())
                    WriteErrorLog(ErrorCode::None, QStringLiteral("Exposure %1: %2").arg(ins.id).arg(note),
                                  QStringLiteral("MainForm dbFill output cross-check"));
            }
            if (ins.ok())
                checkReferenceLevel(ins.id, *out.record, dose ? dose->estimate.agd : std::nullopt, dose ? dose->estimate.kerma : std::nullopt);
        }
    }
    if (out.clearProjectionBox) {
        // Used up for the next exposure; the chosen exposure and its row keep it.
        projectionUsed_ = true;
        emit selectedProjectionCleared();
    }
    if (out.closingSteps) {
        serTimer_.start();
        doseList_.showDecoded();
    } else if (out.enableSerTimer) {
        serTimer_.start();
    }
}

void ExposureCapture::decodeNowButton_Click() { dbFill(); }

void ExposureCapture::newExaminationButton_Click()
{
    projectionCounter_ = 0;
    emit buttonColour(Button::NewExamination, QColor(0, 255, 0));
    emit buttonColour(Button::Stop, QColor(255, 0, 0));
    startPolling();
    doseList_.clear();
}

void ExposureCapture::activateButton_Click()
{
    // During the unit's pause the poll tick starts when the pause ends.
    if (!pollPause_.isActive())
        sendTimer_.start();
}

void ExposureCapture::stopButton_Click()
{
    projectionCounter_ = 0;
    emit buttonColour(Button::NewExamination, QColor(255, 0, 0));
    emit buttonColour(Button::Stop, QColor(0, 255, 0));
    pollPause_.stop();
    sendTimer_.stop();
    serTimer_.stop();
}

void ExposureCapture::startPolling()
{
    if (!sendTimer_.isActive() && !pollPause_.isActive())
        sendTimer_.start();
    if (!serTimer_.isActive())
        serTimer_.start();
}

void ExposureCapture::MarkPatientChosen(const QString &name, const QDate &birthDate)
{
    session_.setWorklistPatient({name, birthDate});
}

void ExposureCapture::followWorklistPatient()
{
    const QString &name = session_.worklistPatient().name;
    patientName_ = name;
    emit patientChosen(name);
    emit buttonColour(Button::NewExamination, QColor(255, 0, 0));
}

void ExposureCapture::checkReferenceLevel(qlonglong id, const ExposureRecord &record, std::optional<double> agd, std::optional<double> kerma)
{
    const std::optional<ReferenceSet> set = ReadActiveReferenceSet(kFillSource);
    if (!set)
        return;
    // A line in the log and the row's mark in the list; nothing stops the examination.
    if (const auto over = ExceedsReference(*set, Settings.XrayComm, record.Dicke.value_or(QString()), record.mGy.value_or(QString()),
                                           record.Sonstiges.value_or(QString()), agd, kerma))
        WriteErrorLog(ErrorCode::None, QStringLiteral("Exposure %1 over the reference level: %2").arg(id).arg(over->text()),
                      QStringLiteral("MainForm dbFill reference level"));
}


std::optional<ExposureDose> ExposureCapture::estimateDose(const ExposureRecord &record, const QString &patientName, const QDate &day)
{
    const qint16 unit = Settings.XrayComm;
    ExposureDoseInput in = DoseInputOf(unit, record);
    // Another name on the label is another woman: her age is not known.
    const WorklistPatient &chosen = session_.worklistPatient();
    const bool known = !patientName.isEmpty() && patientName == chosen.name;
    in.ageTable = AgeTableFor(known ? chosen.birthDate : QDate(), day);
    DatabaseSession defs(DefinitionsDatabase);
    if (!defs.ok()) {
        LogFailure(defs.error(), kFillSource);
        return ExposureDose{unit, EstimateDose(nullptr, nullptr, in)};
    }
    const StoredDoseEstimate d = EstimateWithStored(DefinitionsDatabase, unit, in);
    if (!d.ok())
        LogFailure(d, kFillSource);
    return ExposureDose{unit, d.estimate};
}
