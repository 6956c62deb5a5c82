#pragma once

#include "qa/DoseStatistics.h"

#include <QDate>

class QPagedPaintDevice;
class QWidget;
class Prompter;

// The day's journal, every exposure with its AGD and the reference level it
// exceeds, paged onto a printer or a PDF writer.
Result PaintDayList(QPagedPaintDevice &device, const QDate &day, const QString &journalPath, const ReferenceLookup &levels);
Result WriteDayListPdf(const QString &path, const QDate &day, const QString &journalPath, const ReferenceLookup &levels);

// Asks for a printer or a PDF file and prints the day list there; failures
// are logged and shown through `prompter`.
void PrintDayList(QWidget *parent, const QDate &day, const QString &journalPath, const ReferenceLookup &levels, Prompter &prompter);
