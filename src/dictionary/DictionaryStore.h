#pragma once

#include "store/Database.h"
#include "store/DatabasePaths.h"

#include <QStringList>

// tblDictionary and tblModality of the definitions database.

// Why a filter name cannot become a column of tblDictionary, or "" when it can:
// letters, digits and "_" from a letter on, no SQL keyword, no column there already.
QString FilterNameProblem(Database &db, const QString &name);

// Adds the filter name to tblModality and its yes/no column (false in every
// row) to tblDictionary, both or neither. A name already listed adds nothing
// (rowsAffected 0); a name FilterNameProblem refuses stores nothing.
DbResult AddModalityFilter(Database &db, const QString &name);
// Removes the filter's row and drops its column, both or neither.
DbResult DeleteModalityFilter(Database &db, const QString &name);

// The filter's attributes: Index, Tag, Description of the rows that belong to it.
DbResult FilterAttributes(Database &db, const QString &filter);
// Visible attributes not yet in the filter, the ones it can take.
DbResult AttributesForFilter(Database &db, const QString &filter);
DbResult AddToFilter(Database &db, const QString &filter, const QStringList &tags);
DbResult RemoveFromFilter(Database &db, const QString &filter, const QList<qlonglong> &indexes);

// The Tag of every row.
DbResult DictionaryTags(Database &db);
// Index, Tag, Type, Description, Visible of every row, by tag.
DbResult DictionaryRows(Database &db);
// A group or element as typed: trimmed, upper case, "0" in front up to four characters.
QString PaddedTagPart(const QString &text);
enum class NewTagOutcome { Added, NotAValidVr, NotAValidTag, TagExists, Failed };
// Adds an attribute: tag from group and element (padded, then four hexadecimal
// digits each), VR of exactly two characters.
NewTagOutcome AddDictionaryTag(Database &db, const QString &group, const QString &element, const QString &description,
                               const QString &vr, bool visible, DbResult *result = nullptr);
// Stores Visible for the rows given (Index → visible), in one transaction.
DbResult SetDictionaryVisible(Database &db, const QList<QPair<qlonglong, bool>> &changes);
DbResult DeleteDictionaryRow(Database &db, qlonglong index);

// Fills tblDictionary with one visible row per tag of the list file (comments
// start with "#"), VR and description from the DICOM data dictionary. Tags the
// dictionary does not know are an error.
DbResult SeedDictionary(Database &db, const QString &tagListFile);

// The "MG" filter: the exposure values a mammography header carries.
DbResult SeedMammographyFilter(Database &db);

// The tags of the mammography filter.
QStringList MammographyFilterTags();

// The filter names of tblModality, in order.
DbResult ModalityFilterNames(Database &db);

// Runs work on the definitions database, open while it runs.
template <typename Work> auto InDefinitions(Work &&work)
{
    DatabaseSession session(DefinitionsDatabase);
    return work(DefinitionsDatabase);
}

class Session;
// Sets the session's active filter tags from the filter Filter\Active names;
// with none active the tags stay as they are. Failures go to the error log.
void LoadModFilter(Session &session);
