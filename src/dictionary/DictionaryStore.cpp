#include "dictionary/DictionaryStore.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "store/Session.h"
#include "store/DatabasePaths.h"
#include "toolkit/AttributeDictionary.h"
#include "toolkit/Tags.h"

#include <QFile>
#include <QSet>
#include <QRegularExpression>
#include <QSqlRecord>
#include <functional>

namespace {

DbResult failure(qint32 number, const QString &text)
{
    DbResult r;
    r.number = number;
    r.text = text;
    return r;
}

// A filter column in a statement; callers have checked the name.
QString column(const QString &filter) { return QLatin1Char('"') + filter + QLatin1Char('"'); }

// The statements in one transaction: all of them or none.
DbResult inTransaction(Database &db, const std::function<DbResult()> &work)
{
    DbResult r = Execute(db, QStringLiteral("BEGIN IMMEDIATE"));
    if (!r.ok())
        return r;
    r = work();
    const DbResult end = Execute(db, r.ok() ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK"));
    if (r.ok() && !end.ok())
        return end;
    return r;
}

// One statement run once per set of values, in one transaction.
DbResult executeEach(Database &db, const QString &sql, const QList<QVariantList> &values)
{
    return inTransaction(db, [&] {
        DbResult r;
        for (const QVariantList &v : values)
            if (r = Execute(db, sql, v); !r.ok())
                break;
        return r;
    });
}

bool isKeyword(const QString &name)
{
    static const QSet<QString> keywords = [] {
        const char *const words[] = {
            "ABORT", "ACTION", "ADD", "AFTER", "ALL", "ALTER", "ALWAYS", "ANALYZE", "AND", "AS", "ASC", "ATTACH", "AUTOINCREMENT",
            "BEFORE", "BEGIN", "BETWEEN", "BY", "CASCADE", "CASE", "CAST", "CHECK", "COLLATE", "COLUMN", "COMMIT", "CONFLICT",
            "CONSTRAINT", "CREATE", "CROSS", "CURRENT", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "DATABASE", "DEFAULT",
            "DEFERRABLE", "DEFERRED", "DELETE", "DESC", "DETACH", "DISTINCT", "DO", "DROP", "EACH", "ELSE", "END", "ESCAPE", "EXCEPT",
            "EXCLUDE", "EXCLUSIVE", "EXISTS", "EXPLAIN", "FAIL", "FILTER", "FIRST", "FOLLOWING", "FOR", "FOREIGN", "FROM", "FULL",
            "GENERATED", "GLOB", "GROUP", "GROUPS", "HAVING", "IF", "IGNORE", "IMMEDIATE", "IN", "INDEX", "INDEXED", "INITIALLY",
            "INNER", "INSERT", "INSTEAD", "INTERSECT", "INTO", "IS", "ISNULL", "JOIN", "KEY", "LAST", "LEFT", "LIKE", "LIMIT", "MATCH",
            "MATERIALIZED", "NATURAL", "NO", "NOT", "NOTHING", "NOTNULL", "NULL", "NULLS", "OF", "OFFSET", "ON", "OR", "ORDER",
            "OTHERS", "OUTER", "OVER", "PARTITION", "PLAN", "PRAGMA", "PRECEDING", "PRIMARY", "QUERY", "RAISE", "RANGE", "RECURSIVE",
            "REFERENCES", "REGEXP", "REINDEX", "RELEASE", "RENAME", "REPLACE", "RESTRICT", "RETURNING", "RIGHT", "ROLLBACK", "ROW",
            "ROWS", "SAVEPOINT", "SELECT", "SET", "TABLE", "TEMP", "TEMPORARY", "THEN", "TIES", "TO", "TRANSACTION", "TRIGGER",
            "UNBOUNDED", "UNION", "UNIQUE", "UPDATE", "USING", "VACUUM", "VALUES", "VIEW", "VIRTUAL", "WHEN", "WHERE", "WINDOW",
            "WITH", "WITHOUT"};
        QSet<QString> set;
        for (const char *w : words)
            set.insert(QLatin1String(w));
        return set;
    }();
    return keywords.contains(name.toUpper());
}

} // namespace

QString FilterNameProblem(Database &db, const QString &name)
{
    if (!IsSafeSqlName(name))
        return QStringLiteral("A filter name is letters, digits and \"_\", starting with a letter.");
    if (isKeyword(name))
        return QStringLiteral("\"%1\" is a word of the database language.").arg(name);
    // The row id's names too: a column of that name would hide it.
    QStringList columns{QStringLiteral("ROWID"), QStringLiteral("OID"), QStringLiteral("_ROWID_")};
    const DbResult info = Execute(db, QStringLiteral("SELECT name FROM pragma_table_info('tblDictionary')"));
    if (!info.ok())
        return info.text;
    for (const QSqlRecord &row : info.rows)
        columns << row.value(0).toString();
    for (const QString &c : columns)
        if (c.compare(name, Qt::CaseInsensitive) == 0)
            return QStringLiteral("\"%1\" is a column of the dictionary already.").arg(name);
    return {};
}

DbResult AddModalityFilter(Database &db, const QString &name)
{
    const DbResult listed = Execute(db, QStringLiteral("SELECT COUNT(Modality) FROM tblModality WHERE Modality = ?"), {name});
    if (!listed.ok())
        return listed;
    if (listed.rows.value(0).value(0).toInt() > 0) {
        DbResult r;
        return r;
    }
    if (const QString problem = FilterNameProblem(db, name); !problem.isEmpty())
        return failure(1, problem);
    return inTransaction(db, [&] {
        DbResult r = Execute(db, QStringLiteral("INSERT INTO tblModality (Modality) VALUES (?)"), {name});
        // Without a default the new column would be NULL, which "= 0" never matches.
        return r.ok() ? Execute(db, QStringLiteral("ALTER TABLE tblDictionary ADD %1 BIT NOT NULL DEFAULT 0").arg(column(name))) : r;
    });
}

DbResult DeleteModalityFilter(Database &db, const QString &name)
{
    if (!IsSafeSqlName(name))
        return failure(1, QStringLiteral("'%1' is not a valid filter name.").arg(name));
    // DROP COLUMN came with SQLite 3.35.
    const QString version = Execute(db, QStringLiteral("SELECT sqlite_version()")).rows.value(0).value(0).toString();
    const QStringList v = version.split(QLatin1Char('.'));
    if (v.size() < 2 || v[0].toInt() * 1000 + v[1].toInt() < 3035)
        return failure(1, QStringLiteral("SQLite %1 cannot drop a column (3.35 or later can).").arg(version));
    return inTransaction(db, [&] {
        DbResult r = Execute(db, QStringLiteral("DELETE FROM tblModality WHERE Modality = ?"), {name});
        return r.ok() ? Execute(db, QStringLiteral("ALTER TABLE tblDictionary DROP COLUMN %1").arg(column(name))) : r;
    });
}

DbResult FilterAttributes(Database &db, const QString &filter)
{
    if (!IsSafeSqlName(filter))
        return failure(1, QStringLiteral("'%1' is not a valid filter name.").arg(filter));
    return Execute(db, QStringLiteral("SELECT \"Index\", Tag, Description FROM tblDictionary WHERE %1 = -1 ORDER BY Tag").arg(column(filter)));
}

DbResult AttributesForFilter(Database &db, const QString &filter)
{
    if (!IsSafeSqlName(filter))
        return failure(1, QStringLiteral("'%1' is not a valid filter name.").arg(filter));
    return Execute(db, QStringLiteral("SELECT \"Index\", Tag, Description FROM tblDictionary WHERE %1 = 0 AND Visible = -1 ORDER BY Tag")
                           .arg(column(filter)));
}

DbResult AddToFilter(Database &db, const QString &filter, const QStringList &tags)
{
    if (!IsSafeSqlName(filter))
        return failure(1, QStringLiteral("'%1' is not a valid filter name.").arg(filter));
    QList<QVariantList> values;
    for (const QString &tag : tags)
        values.append(QVariantList{tag});
    return executeEach(db, QStringLiteral("UPDATE tblDictionary SET %1 = -1 WHERE Tag = ?").arg(column(filter)), values);
}

DbResult RemoveFromFilter(Database &db, const QString &filter, const QList<qlonglong> &indexes)
{
    if (!IsSafeSqlName(filter))
        return failure(1, QStringLiteral("'%1' is not a valid filter name.").arg(filter));
    QList<QVariantList> values;
    for (qlonglong index : indexes)
        values.append(QVariantList{index});
    return executeEach(db, QStringLiteral("UPDATE tblDictionary SET %1 = 0 WHERE \"Index\" = ?").arg(column(filter)), values);
}

DbResult DictionaryTags(Database &db) { return Execute(db, QStringLiteral("SELECT Tag FROM tblDictionary")); }

DbResult DictionaryRows(Database &db)
{
    return Execute(db, QStringLiteral("SELECT \"Index\", Tag, Type, Description, Visible FROM tblDictionary ORDER BY Tag"));
}

QString PaddedTagPart(const QString &text)
{
    const QString t = text.trimmed().toUpper();
    return t.size() >= 4 ? t : QString(4 - t.size(), QLatin1Char('0')) + t;
}

NewTagOutcome AddDictionaryTag(Database &db, const QString &group, const QString &element, const QString &description,
                               const QString &vr, bool visible, DbResult *result)
{
    DbResult scratch;
    DbResult &r = result ? *result : scratch;
    const QString type = vr.trimmed().toUpper();
    if (type.size() != 2)
        return NewTagOutcome::NotAValidVr;
    // The header view and the tasks read each half as four hexadecimal digits.
    static const QRegularExpression hex4(QRegularExpression::anchoredPattern(QStringLiteral("[0-9A-F]{4}")));
    const QString g = PaddedTagPart(group), e = PaddedTagPart(element);
    if (!hex4.match(g).hasMatch() || !hex4.match(e).hasMatch())
        return NewTagOutcome::NotAValidTag;
    const QString tag = g + QLatin1Char(',') + e;
    r = Execute(db, QStringLiteral("SELECT COUNT(*) FROM tblDictionary WHERE Tag = ?"), {tag});
    if (!r.ok())
        return NewTagOutcome::Failed;
    if (r.rows.value(0).value(0).toInt() != 0)
        return NewTagOutcome::TagExists;
    r = Execute(db, QStringLiteral("INSERT INTO tblDictionary (Tag, Description, Type, Visible) VALUES (?, ?, ?, ?)"),
                {tag, description, type, visible ? -1 : 0});
    return r.ok() ? NewTagOutcome::Added : NewTagOutcome::Failed;
}

DbResult SetDictionaryVisible(Database &db, const QList<QPair<qlonglong, bool>> &changes)
{
    QList<QVariantList> values;
    for (const auto &[index, visible] : changes)
        values.append(QVariantList{visible ? -1 : 0, index});
    return executeEach(db, QStringLiteral("UPDATE tblDictionary SET Visible = ? WHERE \"Index\" = ?"), values);
}

DbResult DeleteDictionaryRow(Database &db, qlonglong index)
{
    return Execute(db, QStringLiteral("DELETE FROM tblDictionary WHERE \"Index\" = ?"), {index});
}

DbResult SeedDictionary(Database &db, const QString &tagListFile)
{
    DbResult r;
    QFile f(tagListFile);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        r.number = ErrorCode::FileNotFound;
        r.text = QStringLiteral("File not found: %1").arg(tagListFile);
        return r;
    }
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString tag = raw.trimmed().toUpper();
        if (tag.isEmpty() || tag.startsWith(QLatin1Char('#')))
            continue;
        bool okG = false, okE = false;
        const quint16 g = static_cast<quint16>(tag.left(4).toUInt(&okG, 16));
        const quint16 e = static_cast<quint16>(tag.mid(5).toUInt(&okE, 16));
        const AttributeInfo info = LookupAttribute(g, e);
        if (tag.size() != 9 || tag[4] != QLatin1Char(',') || !okG || !okE || !info.known) {
            r.number = ErrorCode::TypeMismatch;
            r.text = QStringLiteral("Unknown attribute %1").arg(tag);
            return r;
        }
        r = Execute(db, QStringLiteral("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES (?, ?, ?, -1)"),
                    {tag, info.vr, DescriptionFromKeyword(info.keyword)});
        if (!r.ok())
            return r;
    }
    return r;
}

QStringList MammographyFilterTags()
{
    return {Tags::KVP.text(), Tags::Exposure.text(), Tags::BodyPartThickness.text(), Tags::CompressionForce.text(),
            Tags::EntranceDoseInmGy.text()};
}

DbResult SeedMammographyFilter(Database &db)
{
    DbResult r = AddModalityFilter(db, QStringLiteral("MG"));
    if (!r.ok())
        return r;
    for (const QString &tag : MammographyFilterTags()) {
        r = Execute(db, QStringLiteral("UPDATE tblDictionary SET MG = -1 WHERE Tag = ?"), {tag});
        if (!r.ok())
            return r;
        if (r.rowsAffected != 1) {
            r.number = ErrorCode::InvalidCall;
            r.text = QStringLiteral("%1 is not in the dictionary").arg(tag);
            return r;
        }
    }
    return r;
}

DbResult ModalityFilterNames(Database &db) { return Execute(db, QStringLiteral("SELECT Modality FROM tblModality ORDER BY Modality")); }

void LoadModFilter(Session &session)
{
    if (Settings.FilterActive.isEmpty())
        return;
    const DbResult r = InDefinitions([](Database &db) { return FilterAttributes(db, Settings.FilterActive); });
    if (!r.ok()) {
        WriteErrorLog(r.number, r.text, QStringLiteral("MainForm LoadModFilter"));
        return;
    }
    QMap<QString, QString> tags;
    for (const QSqlRecord &row : r.rows)
        tags.insert(row.value(1).toString(), row.value(2).toString());
    session.setActiveFilterTags(tags);
}
