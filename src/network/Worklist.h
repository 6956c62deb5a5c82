#pragma once

// Today's modality worklist: the query identifier, the C-FIND with the
// Worklist settings, and the mapping of one answer onto a row of lvWorklist.
// No window: the dialog only shows what these decide.
#include "toolkit/ToolkitNetwork.h"

#include <QDate>
#include <QLocale>
#include <QStringList>
#include <functional>

// Column headers of lvWorklist: "Time", then the ten sub-items.
QStringList WorklistHeaders();

// One answer as a row: the scheduled time (the locale's short time), the name's three "^"
// parts, birth date in the short date format, ID, sex, body part (the requested
// procedure's code value when it has one), accession number, referring
// physician and institution. An absent attribute leaves its column empty; the
// apostrophe in the names becomes "´", so they can go into SQL text later.
struct WorklistRow {
    QStringList columns; // 11
    QDate birthDate;     // sorts the birth date column; invalid when absent
    QString time;        // "hh:mm:ss", sorts the time column; empty when absent
};
WorklistRow WorklistRowOf(const ToolkitDataSet &answer, const QLocale &locale = QLocale());

// A TM value of any precision ("0930", "093000", "093000.123") as "hh:mm:ss";
// a text that is no time is kept as it came.
QString WorklistTime(const QString &tm);

// The identifier: every key empty except Pregnancy Status "0", and one
// scheduled procedure step for the station's AE title on `today`, all day.
// Institution Name and Body Part Examined are asked for too: providers
// return only the keys they are asked for, and the list shows both.
ToolkitDataSet WorklistIdentifier(const QString &stationAet, const QDate &today);

// One query as the operator asked for it: the Worklist settings and the
// identifier of that moment, so that a query on a worker thread reads no
// setting that another window may change meanwhile.
struct WorklistRequest {
    QString localAet, remoteAet, remoteIp, remotePort;
    ToolkitDataSet identifier;
    int timeoutSeconds = ToolkitAssociation::TimeoutSeconds;
    ToolkitSecurity security; // TLS when Worklist\TLS is 1
};

// The answers of one query; a failure says why there are none.
struct WorklistAnswers : Result {
    QList<ToolkitDataSet> answers;
    QList<Result> charsetProblems; // answers shown byte for byte
    WorklistRequest request;       // what was asked, and of whom
    QString provider;              // "AET at host:port", for the log
};

// Runs the C-FIND with Worklist\LocalAET (calling and station AE title),
// RemoteAET, RemoteIP and RemotePort, over TLS when Worklist\TLS says so. Writes no log, touches no setting: it
// runs on a worker thread. cancel may be set from another thread.
WorklistAnswers RunWorklistRequest(const WorklistRequest &request, const ToolkitCancel *cancel = nullptr);

// The failure and the answers whose character set could not be decoded, to
// the error log, and the query with the patients it disclosed to the audit
// trail (on the interface thread).
void LogWorklistAnswers(const WorklistAnswers &answers);

class WorklistQuery {
public:
    // The day the query asks for; tests set it.
    std::function<QDate()> today = [] { return QDate::currentDate(); };
    // Bound of each network wait, in seconds.
    int timeoutSeconds = ToolkitAssociation::TimeoutSeconds;

    // The request from the settings now.
    WorklistRequest request() const;
};
