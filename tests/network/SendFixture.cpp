#include "network/SendFixture.h"

#include "core/Settings.h"
#include "jobs/EditForm.h"
#include "store/DatabasePaths.h"
#include "support/TestFolder.h"
#include "support/Widgets.h"

#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

FiledStudy FileStudy(const TestFolder &folder, const QString &patientId, int seriesCount, int imagesPerSeries, qlonglong patientKey,
                     SyntheticImageSpec::Encoding encoding)
{
    FiledStudy s;
    s.uid = NewSyntheticUid();
    OpenImageDatabase();
    if (patientKey == 0) {
        Execute(ImageDatabase, QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname) VALUES (?, 'Doe')"), {patientId});
        patientKey = Execute(ImageDatabase, QStringLiteral("SELECT PatID FROM tblPatienten WHERE PatID1 = ?"), {patientId})
                         .first(QStringLiteral("PatID"))
                         .toLongLong();
    }
    s.patient = patientKey;
    s.study = Execute(ImageDatabase, QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES (?, ?)"), {s.uid, patientKey})
                  .lastInsertId.toLongLong();
    for (int r = 0; r < seriesCount; ++r) {
        const QString seriesUid = NewSyntheticUid();
        const qlonglong series = Execute(ImageDatabase, QStringLiteral("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID) VALUES (?, ?, ?)"),
                                         {seriesUid, r + 1, s.study})
                                     .lastInsertId.toLongLong();
        s.series << series;
        for (int i = 0; i < imagesPerSeries; ++i) {
            SyntheticImageSpec image;
            image.rows = 48;
            image.columns = 32;
            image.patientId = patientId;
            image.studyUid = s.uid;
            image.seriesUid = seriesUid;
            image.sopUid = NewSyntheticUid();
            image.seriesNumber = r + 1;
            image.instanceNumber = i + 1;
            image.encoding = encoding;
            QDir().mkpath(folder.file(QStringLiteral("images/") + s.uid));
            WriteSyntheticImage(image, folder.file(QStringLiteral("images/%1/%2.dcm").arg(s.uid, image.sopUid)));
            Execute(ImageDatabase, QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID) VALUES (?, ?, ?)"),
                    {image.sopUid, i + 1, series});
            s.images << image.sopUid;
        }
    }
    CloseImageDatabase();
    return s;
}

bool PrepareSendStation(const TestFolder &folder)
{
    if (!MakeStationDatabases(folder.path()) || !QDir().mkpath(folder.file(QStringLiteral("bin"))))
        return false;
    Settings = SettingsRecord();
    LoadSettings();
    SetDatabasePaths();
    return true;
}

int CountRows(const QString &table)
{
    OpenImageDatabase();
    const int n = Execute(ImageDatabase, QStringLiteral("SELECT COUNT(*) AS n FROM ") + table).first(QStringLiteral("n")).toInt();
    CloseImageDatabase();
    return n;
}

QString RunSendJob(qint16 mode, SendJob &job)
{
    JobMode = mode;
    EditForm::RegisterJob(mode, [&job, mode](EditForm &form) {
        if (mode == 0)
            SerieSenden(form, job);
        else if (mode == 1)
            StudieSenden(form, job);
        else
            PatientSenden(form, job);
    });
    EditForm form;
    form.onUnload = [] { ReleaseConnections(); };
    form.Form_Load();
    form.show();
    if (!QTest::qWaitFor([&] { return form.cmdOK->isEnabled(); }, 60000))
        return QStringLiteral("<job did not finish>");
    const QString text = form.txtProgress->toPlainText();
    form.cmdOK_Click();
    return text;
}
