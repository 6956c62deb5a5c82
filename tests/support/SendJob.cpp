#include "support/SendJob.h"

#include "jobs/EditForm.h"
#include "store/Session.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

QString RunProgressJob(JobKind kind, const Job &job, const std::function<void(EditForm &)> &prepare, bool *entriesRemoved)
{
    Session session;
    EditForm form(session, kind, job);
    if (prepare)
        prepare(form);
    form.Form_Load();
    form.show();
    if (!QTest::qWaitFor([&] { return form.isDone(); }, 60000))
        return QStringLiteral("<job did not finish>");
    const QString text = form.progressText();
    if (entriesRemoved)
        *entriesRemoved = form.entriesRemoved();
    form.cmdOK_Click();
    return text;
}

QString RunSendJob(qint16 mode, SendJob &job, bool *entriesRemoved, const std::function<void(EditForm &)> &prepare)
{
    static JobOutcome (*const run[])(JobProgress &, SendJob &) = {SerieSenden, StudieSenden, PatientSenden};
    return RunProgressJob(JobKind(mode), [&job, mode](JobProgress &progress) { return run[mode](progress, job); },
                          [&job, &prepare](EditForm &form) {
                              form.onUnload = [&job] { job.connections.release(); };
                              if (prepare)
                                  prepare(form);
                          },
                          entriesRemoved);
}

ToolkitImagePtr ReadImage(const QString &path)
{
    ToolkitImageList list;
    Result e;
    if (!ReadFileIntoList(list, path, &e))
        qWarning() << e.text;
    return ListItem(list, 1);
}

QByteArray PixelData(const QByteArray &fileBytes)
{
    const qsizetype at = fileBytes.lastIndexOf(QByteArray("\xE0\x7F\x10\x00", 4));
    // Shorter than a few rows: a stray match, not the pixels.
    return at < 0 || fileBytes.size() - at <= 100 ? QByteArray() : fileBytes.mid(at);
}

QByteArray PixelDataOfFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? PixelData(f.readAll()) : QByteArray();
}

QString AddStoragePartner(const QString &alias, const PartnerAddress &address, bool makeDefault)
{
    if (const QString refused = CheckPartnerFields(alias, address.aet, address.ip, address.port); !refused.isEmpty())
        return refused;
    if (const Result saved = SavePartner(0, alias, address); !saved.ok())
        return saved.text;
    if (!makeDefault)
        return {};
    const PartnerList stored = ReadPartners();
    if (!stored.ok())
        return stored.text;
    for (const StoragePartner &p : stored.partners)
        if (p.alias == alias) {
            const Result made = MakeDefaultPartner(p.id);
            return made.ok() ? QString() : made.text;
        }
    return QStringLiteral("partner %1 not stored").arg(alias);
}
