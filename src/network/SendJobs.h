#pragma once

#include "network/StoragePartners.h"

#include <QString>
#include <functional>
#include <memory>

class EditForm;
class QWidget;
class ToolkitAssociation;

// The associations of the send command in progress: to the default partner,
// and to the second one for a curative examination.
extern std::unique_ptr<ToolkitAssociation> PartnerConnection;
extern std::unique_ptr<ToolkitAssociation> SecondConnection;

// Opens the associations; false (after the message and the log line) when a
// partner cannot be reached or refuses.
bool SCPOnline(QWidget *parent);
void ReleaseConnections();

// What a send job is asked to send.
struct SendSelection {
    qlonglong patientKey = 0;
    QString patientId;
    QString patientName;
    qlonglong studyKey = 0;
    QString studyUid;
    qlonglong seriesKey = 0;
};

// A send job's counters and the main window's list updates it triggers.
struct SendJob {
    SendSelection selection;
    int TotalCount = 0;
    int SentCount = 0;
    std::function<void()> studyRowRemoved;
    std::function<void()> patientRowRemoved;
};

// The three jobs, run inside the progress dialog. A study is sent image by
// image from its rows: the stamped copy in the work folder when there is one
// with the image's instance UID, otherwise the received file; nothing of
// another study goes with it.
void SerieSenden(EditForm &form, SendJob &job);
void StudieSenden(EditForm &form, SendJob &job);
void PatientSenden(EditForm &form, SendJob &job);

// The file a study image is sent from.
QString StudyImageFile(const QString &studyUid, const QString &imageUid);
