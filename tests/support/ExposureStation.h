#pragma once

// A fresh journal in a throw-away application folder and the capture objects
// over it, with what the capture would show recorded.
#include "core/Settings.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "store/DatabasePaths.h"
#include "store/Session.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "support/UnitMessages.h"
#include "support/Widgets.h"

#include <QSqlRecord>
#include <memory>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The image read from the file is the session's one loaded image and its
// current one, as a load and a click on its tile make it; false when the file
// cannot be read.
inline bool LoadAsCurrentImage(Session &session, const QString &file)
{
    const ToolkitImagePtr image = ReadImage(file);
    session.clearLoadedImages();
    return image && session.addLoadedImage(ImageUid(image), image) && session.setCurrentImage(ImageUid(image));
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
    // The capture's clock and the dose list's day, so that no case straddles midnight.
    static inline const QDate Day{2026, 12, 7};
    TestFolder folder;
    Session session;
    RecordingPrompter prompter; // the message boxes answered so far
    QString shownBuffer;        // the receive buffer as the debug box shows it
    QStringList tokens;         // the decoder tokens last shown
    QMap<ExposureCapture::Button, QColor> colours;
    int projectionClears = 0;
    int reads = 0;
    int ticksSinceRead = 0;
    bool ready = false; // the journal exists
    std::unique_ptr<DoseList> doseList;
    std::unique_ptr<ExposureCapture> capture;

    ExposureFixture()
    {
        LoadSettings(); // defaults: nothing is stored in the new folder
        // The journal is a copy of the template the station makes its journal from.
        Settings.Database = u"Data/Journal.dat"_s;
        SetDatabasePaths();
        ready = MakeStationDatabases(folder.path())
                && QFile::copy(folder.file(u"Data/LumoraDef.dat"_s), ResolveUserDatabasePath(Settings.Database));

        doseList = std::make_unique<DoseList>(session, prompter);
        doseList->setToday([] { return Day; });
        capture = std::make_unique<ExposureCapture>(session, *doseList, prompter);
        ExposureCapture *cap = capture.get();
        QObject::connect(cap, &ExposureCapture::bufferReplaced, [this](const QString &text) { shownBuffer = text; });
        QObject::connect(cap, &ExposureCapture::bufferGrew, [this](const QString &tail) { shownBuffer += tail; });
        QObject::connect(cap, &ExposureCapture::decoderTokens, [this](const QStringList &t) { tokens = t; });
        QObject::connect(cap, &ExposureCapture::buttonColour,
                         [this](ExposureCapture::Button b, const QColor &colour) { colours[b] = colour; });
        QObject::connect(cap, &ExposureCapture::selectedProjectionCleared, [this] { ++projectionClears; });
        capture->setCurrentProjection(u"L CC"_s); // the projection button clicked last
        capture->setClock([] { return QDateTime(Day, QTime(14, 5, 9)); });
        QObject::connect(&capture->port(), &QSerialPort::readyRead, [this] {
            ++reads;
            ticksSinceRead = 0;
        });
        QObject::connect(&capture->readTimer(), &QTimer::timeout, [this] { ++ticksSinceRead; });
    }

    // Sent bytes are handled once the port has read them and a tick has run since.
    bool sendAndWaitHandled(const PtyPair &pty, const QByteArray &bytes)
    {
        const int before = reads;
        return pty.send(bytes) && WaitFor([&] { return reads > before && ticksSinceRead > 0; }, 4000);
    }

    // Columns ("KVP|Status") of a journal row joined by '|', NULL as "<null>"; row -1 is the last one.
    QString journalValue(int row, const QString &columns)
    {
        const QList<QSqlRecord> rows = journal();
        return cells(rows.value(row < 0 ? rows.size() - 1 : row), columns);
    }
    QString journalRowById(qlonglong id, const QString &columns) { return cells(journal(u"WHERE ID = ?"_s, {id}).value(0), columns); }
    static QString cells(const QSqlRecord &record, const QString &columns)
    {
        QStringList out;
        for (const QString &column : columns.split(u'|'))
            out << (record.value(column).isNull() ? u"<null>"_s : record.value(column).toString());
        return out.join(u'|');
    }

    // Rows of the journal, in insertion order.
    QList<QSqlRecord> journal(const QString &where = QString(), const QVariantList &values = {})
    {
        DatabaseSession db(UserDatabase);
        return db.ok() ? Execute(UserDatabase, u"SELECT * FROM tblDosis "_s + where + u" ORDER BY ID"_s, values).rows : QList<QSqlRecord>();
    }

    // An exposure as unit type 1 sends it (with its own day), decoded into the
    // journal while the name is the worklist's patient; the row's id, -1 when none was written.
    qlonglong expose(const QString &name, const SophieExposure &e = {})
    {
        capture->MarkPatientChosen(name);
        return DecodeUnitMessage(*capture, UnitSophie, SophieMessage(e));
    }

    // The dose list on the exposure's day, its row selected; false when it is not listed.
    bool selectListed(qlonglong id)
    {
        const QDate day = QDate::fromString(journalRowById(id, u"Datum"_s), Qt::ISODate);
        const QDate listDay = doseList->today();
        doseList->setToday([day] { return day; });
        doseList->lvDosis_Fill();
        doseList->setToday([listDay] { return listDay; });
        for (int row = 0; row < doseList->rowCount(); ++row)
            if (doseList->id(row) == id) {
                doseList->select(row);
                return true;
            }
        return false;
    }

    // The patient chosen in the browser, and the exposure assigned to her in the dose list.
    bool assign(qlonglong id, const QString &patientId, const QString &patientName)
    {
        if (!selectListed(id))
            return false;
        session.setSelection({.patientId = patientId, .patientName = patientName});
        doseList->RefreshDosisList(DoseAssignment::AssignSelected);
        return journalRowById(id, u"Status|FKeyPatID"_s) == u"1|"_s + patientId;
    }

    QStringList listedIds() const
    {
        QStringList ids;
        for (int row = 0; row < doseList->rowCount(); ++row)
            ids << doseList->text(row, DoseList::Id);
        return ids;
    }

    QString errorLog() const { return QString::fromLatin1(folder.read(u"Logs/Error.log"_s)); }
};
