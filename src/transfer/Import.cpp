#include "transfer/Import.h"

#include "jobs/EditForm.h"
#include "transfer/ImportImages.h"

#include <QFileInfo>
#include <QProgressBar>

ImportFiles ImportFilesFrom(const QStringList &chosen)
{
    ImportFiles out;
    if (chosen.size() <= 1) {
        out.files = chosen;
        return out;
    }
    out.files << QFileInfo(chosen.first()).absolutePath();
    for (const QString &path : chosen)
        out.files << QFileInfo(path).fileName();
    out.multi = true;
    return out;
}

namespace {

void finish(EditForm &form, const QString &countLine, int skipped)
{
    form.append(QStringLiteral("OK\r\n") + countLine);
    if (skipped > 0)
        form.append(QStringLiteral("%1 file(s) skipped, see the error log.\r\n").arg(skipped));
    form.append(QStringLiteral("Tasks done."));
    form.enableOK();
}

} // namespace

void ImportTimer(EditForm &form, const ImportFiles &chosen)
{
    const QStringList &files = chosen.files;
    form.append(QStringLiteral("Importing image(s) ... "));
    int count = 0;
    int skipped = 0;
    if (!chosen.multi) {
        form.setProgressMaximum(1);
        if (files.isEmpty() || ImportImageFile(files.first(), false, QStringLiteral("EditForm ImportTimer ERROR_IMPORT_SINGLE")) == Imported::Skipped)
            ++skipped;
        else
            ++count;
        form.advance();
        finish(form, QStringLiteral("%1 image(s) successfully imported.\r\n").arg(count), skipped);
        return;
    }
    form.setProgressMaximum(int(files.size()) - 1);
    for (int i = 1; i < files.size(); ++i) {
        // A duplicate already there counts as imported: the image is in temp/.
        if (ImportImageFile(files.first() + QLatin1Char('/') + files.at(i), true, QStringLiteral("EditForm ImportTimer ERROR_IMPORT_MULTI"))
            == Imported::Skipped)
            ++skipped;
        else
            ++count;
        form.advance();
    }
    finish(form, QStringLiteral("%1 image(s) successfully imported.\r\n").arg(count), skipped);
}

void ImportDirTimer(EditForm &form, const QString &dicomdir)
{
    form.append(QStringLiteral("Importing DICOM-Dir ... "));
    const DirectoryImport done = ImportDirectory(dicomdir, QStringLiteral("EditForm ImportDirTimer"),
                                                 [&form](int images) { form.setProgressMaximum(images); }, [&form] { form.advance(); });
    if (!done.ok()) {
        form.append(QStringLiteral("failed\r\n") + done.text);
        form.enableOK();
        return;
    }
    finish(form, QStringLiteral("%1 image(s) imported\r\n").arg(done.imported), done.skipped);
}
