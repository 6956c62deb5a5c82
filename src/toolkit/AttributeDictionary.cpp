#include "toolkit/AttributeDictionary.h"

#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dctagkey.h>

#include <utility>

AttributeInfo LookupAttribute(quint16 group, quint16 element)
{
    AttributeInfo info;
    const DcmDataDictionary &dict = dcmDataDict.rdlock();
    const DcmDictEntry *entry = dict.findEntry(DcmTagKey(group, element), nullptr);
    if (entry) {
        info.known = true;
        info.vr = QString::fromLatin1(entry->getVR().getValidVRName());
        info.keyword = QString::fromLatin1(entry->getTagName());
    }
    dcmDataDict.rdunlock();
    return info;
}

QString DescriptionFromKeyword(const QString &keyword)
{
    // A word starts at an upper-case letter after a lower-case one, or at the
    // last capital of a run that a lower-case letter follows ("SOPInstance").
    QString out;
    for (int i = 0; i < keyword.size(); ++i) {
        const QChar c = keyword[i];
        if (i > 0 && c.isUpper()) {
            const QChar prev = keyword[i - 1];
            const bool nextLower = i + 1 < keyword.size() && keyword[i + 1].isLower();
            if (prev.isLower() || prev.isDigit() || (prev.isUpper() && nextLower))
                out += QLatin1Char(' ');
        } else if (i > 0 && c.isDigit() && keyword[i - 1].isLetter()) {
            out += QLatin1Char(' ');
        }
        out += c;
    }
    // Short words and units read as the standard writes them.
    static const std::pair<const char *, const char *> fixes[] = {
        {" Inm Gy", " in mGy"}, {" Of ", " of "}, {" In ", " in "},
        {" And ", " and "}, {" To ", " to "}, {" For ", " for "}, {" Or ", " or "}, {" With ", " with "}};
    for (const auto &[from, to] : fixes)
        out.replace(QLatin1String(from), QLatin1String(to));
    return out;
}
