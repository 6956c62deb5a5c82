#include "qa/DayList.h"

#include "core/Settings.h"
#include "qa/QaTables.h"
#include "store/Database.h"
#include "ui/Prompts.h"

#include <QFile>
#include <QPdfWriter>
#include <QPrintDialog>
#include <QPrinter>

Result PaintDayList(QPagedPaintDevice &device, const QDate &day, const QString &journalPath, const ReferenceLookup &levels)
{
    const JournalRead read = ReadJournalExposures(journalPath, day, day, Settings.XrayComm);
    if (!read.ok())
        return read;
    QaTable table = DayListTable(read.rows, levels);
    int marked = 0;
    for (bool m : table.marked)
        marked += m ? 1 : 0;
    table.title = QStringLiteral("%1 exposures, %2 above a reference level").arg(read.rows.size()).arg(marked);
    PaintReport(device, {QStringLiteral("Day list %1").arg(day.toString(Qt::ISODate))}, {table});
    return {};
}

Result WriteDayListPdf(const QString &path, const QDate &day, const QString &journalPath, const ReferenceLookup &levels)
{
    QFile::remove(path);
    Result painted;
    {
        QPdfWriter writer(path);
        writer.setResolution(300);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageOrientation(QPageLayout::Landscape);
        writer.setPageMargins(QMarginsF(12, 12, 12, 12), QPageLayout::Millimeter);
        writer.setTitle(QStringLiteral("Day list %1").arg(day.toString(Qt::ISODate)));
        painted = PaintDayList(writer, day, journalPath, levels);
    }
    if (!painted.ok())
        return painted;
    if (QFile(path).size() == 0)
        return {ErrorCode::WriteFailed, QStringLiteral("The PDF file \"%1\" could not be written").arg(path)};
    return {};
}

void PrintDayList(QWidget *parent, const QDate &day, const QString &journalPath, const ReferenceLookup &levels, Prompter &prompter)
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageOrientation(QPageLayout::Landscape);
    printer.setDocName(QStringLiteral("Day list %1").arg(day.toString(Qt::ISODate)));
    QPrintDialog dialog(&printer, parent);
    dialog.setWindowTitle(QStringLiteral("Print Day List"));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const Result r = PaintDayList(printer, day, journalPath, levels);
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("DayList PrintDayList"));
        prompter.critical(parent, QStringLiteral("The day list could not be printed: ") + r.text, QStringLiteral("Print Day List"));
    }
}
