#pragma once

// The main window's capture controls as real widgets, a fresh journal in a
// throw-away application folder, and the capture objects wired to them.
#include "core/Settings.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "store/DatabasePaths.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QTextEdit>
#include <QComboBox>
#include <QPushButton>
#include <QSqlRecord>
#include <QTimer>
#include <QtTest>
#include <QTreeWidget>
#include <memory>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Messages carry today's date and the list shows today's rows: in the last
// minute of a day wait for the next, so that no case straddles midnight.
inline bool WaitPastMidnightIfClose()
{
    const QDate day = QDate::currentDate();
    return QTime::currentTime() < QTime(23, 59) || WaitFor([day] { return QDate::currentDate() != day; }, 61000);
}

// Bytes waiting unread at a tty; -1 when it cannot be opened.
inline int waitingBytes(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    int n = -1;
    if (fd >= 0 && ::ioctl(fd, FIONREAD, &n) != 0)
        n = -1;
    if (fd >= 0)
        ::close(fd);
    return n;
}

struct ExposureFixture {
    TestFolder folder;
    QWidget window;
    ExposureControls c;
    QStringList messages; // message boxes answered so far
    int taskButtonRuns = 0;
    int reads = 0;
    int ticksSinceRead = 0;
    bool ready = false; // the journal exists
    std::unique_ptr<DoseList> doseList;
    std::unique_ptr<ExposureCapture> capture;

    ExposureFixture()
    {
        LoadSettings(); // defaults: nothing is stored in the new folder
        // The journal is a copy of the template the station makes its journal from.
        Settings.Database = QStringLiteral("Data/Journal.dat");
        SetDatabasePaths();
        ready = MakeStationDatabases(folder.path())
                && QFile::copy(folder.file(QStringLiteral("Data/LumoraDef.dat")), ResolveUserDatabasePath(Settings.Database));

        c.lvDosis = new QTreeWidget(&window);
        DoseList::PrepareColumns(c.lvDosis);
        c.cmbDosis = new QComboBox(&window);
        c.Popup_Dosis = new QMenu(&window);
        c.exposureDateBox = new QLineEdit(&window);
        c.exposureTimeBox = new QLineEdit(&window);
        for (auto &t : c.exposureBoxes)
            t = new QLineEdit(&window);
        c.txtID = new QLineEdit(&window);
        c.lblCount = new QLabel(QStringLiteral("0"), &window);
        c.decodeNowButton = new QPushButton(QStringLiteral("Command1"), &window);
        c.newExaminationButton = new QPushButton(QStringLiteral("New Examination"), &window);
        c.activateButton = new QPushButton(QStringLiteral("Activate"), &window);
        c.stopButton = new QPushButton(QStringLiteral("S T O P"), &window);
        c.txtcInput = new QTextEdit(&window);
        c.decoderTokenList = new QListWidget(&window);
        c.doseLineBox = new QLineEdit(&window);
        c.spareCaptureBox = new QLineEdit(&window);
        c.SerTimer = new QTimer(&window);
        c.sendTimer = new QTimer(&window);
        c.lvImages = new QTreeWidget(&window);
        c.runTaskButton0 = [this] { ++taskButtonRuns; };
        c.showMessage = [this](const QString &text) { messages.append(text); };
        doseList = std::make_unique<DoseList>(c);
        c.PopupDeleteDosis = c.Popup_Dosis->findChild<QAction *>(QStringLiteral("PopupDeleteDosis"));
        capture = std::make_unique<ExposureCapture>(c, *doseList);
        QObject::connect(&capture->port(), &QSerialPort::readyRead, [this] {
            ++reads;
            ticksSinceRead = 0;
        });
        QObject::connect(c.SerTimer, &QTimer::timeout, [this] { ++ticksSinceRead; });
    }

    // Sent bytes are handled once the port has read them and a tick has run since.
    bool sendAndWaitHandled(const PtyPair &pty, const QByteArray &bytes)
    {
        const int before = reads;
        return pty.send(bytes) && WaitFor([&] { return reads > before && ticksSinceRead > 0; }, 4000);
    }

    // One value of a journal row; row -1 is the last one.
    QString journalValue(int row, const QString &column)
    {
        const QList<QSqlRecord> rows = journal();
        return rows.value(row < 0 ? rows.size() - 1 : row).value(column).toString();
    }

    // Rows of the journal, in insertion order.
    QList<QSqlRecord> journal(const QString &where = QString(), const QVariantList &values = {})
    {
        if (!OpenUserDatabase())
            return {};
        const DbResult r = Execute(UserDatabase, QStringLiteral("SELECT * FROM tblDosis ") + where + QStringLiteral(" ORDER BY ID"), values);
        CloseUserDatabase();
        return r.rows;
    }

    qlonglong addRow(const QDate &day, const QString &name, const QString &status = QStringLiteral("0"),
                     const QString &kv = QStringLiteral("28"))
    {
        if (!OpenUserDatabase())
            return -1;
        const DbResult r = Execute(UserDatabase,
            QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit, Patname) "
                           "VALUES (?, '63', '10:00:00', '45', '1.2', '120', ?, 'L CC', ?, '450', ?)"),
            {kv, DbDate(day), status, name});
        CloseUserDatabase();
        return r.lastInsertId.toLongLong();
    }

    QStringList listedIds() const
    {
        QStringList ids;
        for (int i = 0; i < c.lvDosis->topLevelItemCount(); ++i)
            ids.append(c.lvDosis->topLevelItem(i)->text(0));
        return ids;
    }

    QString errorLog() const { return QString::fromLatin1(folder.read(QStringLiteral("Logs/Error.log"))); }
};
