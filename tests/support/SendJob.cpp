#include "support/SendJob.h"

#include "jobs/EditForm.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

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
