#include "dictionary/DictionaryStore.h"

#include "toolkit/AttributeDictionary.h"

#include <QFile>

DbResult AddModalityFilter(Database &db, const QString &name)
{
    if (!IsSafeSqlName(name)) {
        DbResult r;
        r.errorNumber = 1;
        r.errorText = QStringLiteral("'%1' is not a valid filter name.").arg(name);
        return r;
    }
    DbResult r = Execute(db, QStringLiteral("INSERT INTO tblModality (Modality) VALUES (?)"), {name});
    if (!r.ok)
        return r;
    // Without a default the new column would be NULL, which "= 0" never matches.
    return Execute(db, QStringLiteral("ALTER TABLE tblDictionary ADD %1 BIT NOT NULL DEFAULT 0").arg(name));
}

DbResult SeedDictionary(Database &db, const QString &tagListFile)
{
    DbResult r;
    QFile f(tagListFile);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        r.errorNumber = 53;
        r.errorText = QStringLiteral("File not found: %1").arg(tagListFile);
        return r;
    }
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    r.ok = true;
    for (const QString &raw : lines) {
        const QString tag = raw.trimmed().toUpper();
        if (tag.isEmpty() || tag.startsWith(QLatin1Char('#')))
            continue;
        bool okG = false, okE = false;
        const quint16 g = static_cast<quint16>(tag.left(4).toUInt(&okG, 16));
        const quint16 e = static_cast<quint16>(tag.mid(5).toUInt(&okE, 16));
        const AttributeInfo info = LookupAttribute(g, e);
        if (tag.size() != 9 || tag[4] != QLatin1Char(',') || !okG || !okE || !info.known) {
            r.ok = false;
            r.errorNumber = 13;
            r.errorText = QStringLiteral("Unknown attribute %1").arg(tag);
            return r;
        }
        r = Execute(db, QStringLiteral("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES (?, ?, ?, -1)"),
                    {tag, info.vr, DescriptionFromKeyword(info.keyword)});
        if (!r.ok)
            return r;
    }
    return r;
}

QStringList MammographyFilterTags()
{
    return {QStringLiteral("0018,0060"), QStringLiteral("0018,1152"), QStringLiteral("0018,11A0"),
            QStringLiteral("0018,11A2"), QStringLiteral("0040,8302")};
}

DbResult SeedMammographyFilter(Database &db)
{
    DbResult r = AddModalityFilter(db, QStringLiteral("MG"));
    if (!r.ok)
        return r;
    for (const QString &tag : MammographyFilterTags()) {
        r = Execute(db, QStringLiteral("UPDATE tblDictionary SET MG = -1 WHERE Tag = ?"), {tag});
        if (!r.ok)
            return r;
        if (r.rowsAffected != 1) {
            r.ok = false;
            r.errorText = QStringLiteral("%1 is not in the dictionary").arg(tag);
            return r;
        }
    }
    return r;
}
