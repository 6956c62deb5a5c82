#pragma once

#include "jobs/EditForm.h"
#include "network/SendJobs.h"
#include "network/StoragePartners.h"
#include "toolkit/Toolkit.h"

#include <QString>

// Runs a job in the progress dialog, shown as its launcher shows it (prepare
// sets the dialog up first), waits for OK, presses it and returns the running
// log; entriesRemoved gets what the job said it removed.
QString RunProgressJob(JobKind kind, const Job &job, const std::function<void(EditForm &)> &prepare = {},
                       bool *entriesRemoved = nullptr);
// Runs the send job of the mode (0 series, 1 study, 2 patient) in the progress
// dialog as the launchers do, presses its OK and returns its text.
QString RunSendJob(qint16 mode, SendJob &job, bool *entriesRemoved = nullptr, const std::function<void(EditForm &)> &prepare = {});

// A storage partner stored as the options dialog's editor stores it, made the
// default with "Set as default" when asked; "" or why not.
QString AddStoragePartner(const QString &alias, const PartnerAddress &address, bool makeDefault);

// The image of a file, read as the station reads it; null with a warning.
ToolkitImagePtr ReadImage(const QString &path);

// The attribute "gggg,eeee" of an image or item.
template <typename Source> ToolkitAttribute Attribute(const Source &source, const QString &tag)
{
    return GetAttribute(source, quint16(tag.left(4).toUShort(nullptr, 16)), quint16(tag.mid(5, 4).toUShort(nullptr, 16)));
}
// "gggg,eeee=value" for the tag of each entry ("gggg,eeee=..."); an absent attribute as "<absent>".
template <typename Source> QStringList TagValues(const Source &source, const QStringList &entries)
{
    QStringList out;
    for (const QString &entry : entries) {
        const ToolkitAttribute a = Attribute(source, entry.left(9));
        out << entry.left(9) + u'=' + (a.exists ? a.value : QStringLiteral("<absent>"));
    }
    return out;
}

// The pixel data element of the file's bytes, from its tag to the end; empty
// when absent or too short to be pixels.
QByteArray PixelData(const QByteArray &fileBytes);
QByteArray PixelDataOfFile(const QString &path);
