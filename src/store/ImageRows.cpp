#include "store/ImageRows.h"

#include "store/DatabasePaths.h"

#include <QSqlRecord>

namespace {

// Runs one statement on the station's image database, opened for it.
DbResult run(const QString &sql, const QVariantList &values)
{
    DatabaseSession session(ImageDatabase);
    return Execute(ImageDatabase, sql, values);
}

template <class T, class F>
RowList<T> rowsOf(const DbResult &r, F &&convert)
{
    RowList<T> out;
    static_cast<Result &>(out) = r;
    if (r.ok())
        for (const QSqlRecord &row : r.rows)
            out.rows << convert(row);
    return out;
}

QString cell(const QSqlRecord &row, int column)
{
    const QVariant v = row.value(column);
    return v.isNull() ? QString() : v.toString();
}

RowList<QString> firstColumn(const DbResult &r)
{
    return rowsOf<QString>(r, [](const QSqlRecord &row) { return row.value(0).toString(); });
}

RowList<ImageListRow> imageList(const DbResult &r)
{
    return rowsOf<ImageListRow>(r, [](const QSqlRecord &row) {
        return ImageListRow{row.value(0).toLongLong(), cell(row, 1), cell(row, 2), cell(row, 3)};
    });
}

RowList<StoredObject> objects(const DbResult &r)
{
    return rowsOf<StoredObject>(r, [](const QSqlRecord &row) { return StoredObject{cell(row, 0), cell(row, 1), cell(row, 2)}; });
}

QVariant textOrNull(const QString &text) { return text.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(text); }

QVariant numberOrNull(const std::optional<int> &n) { return n ? QVariant(*n) : QVariant(QMetaType(QMetaType::Int)); }

// Finds the row with `key` in `keyColumn` and updates it, or inserts it; its id.
// Table and column names are constants of this file, never received text.
std::optional<qlonglong> upsert(Database &db, const QString &table, const QString &idColumn, const QString &keyColumn, const QVariant &key,
                                const QStringList &columns, const QVariantList &values, Result *error)
{
    const DbResult found = Execute(db, QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?").arg(idColumn, table, keyColumn), {key});
    if (!found.ok()) {
        *error = found;
        return std::nullopt;
    }
    if (!found.rows.isEmpty()) {
        const qlonglong id = found.rows.first().value(0).toLongLong();
        // A row that already holds these values is left alone: an unchanged
        // patient, study or series then adds no page to the commit.
        QStringList sets;
        QStringList same;
        for (const QString &c : columns) {
            sets << c + QStringLiteral(" = ?");
            same << c + QStringLiteral(" IS ?");
        }
        QVariantList bound = values;
        bound << id;
        bound += values;
        const DbResult r = Execute(db, QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ? AND NOT (%4)")
                                           .arg(table, sets.join(QStringLiteral(", ")), idColumn, same.join(QStringLiteral(" AND "))),
                                   bound);
        if (!r.ok()) {
            *error = r;
            return std::nullopt;
        }
        return id;
    }
    QStringList marks(columns.size() + 1, QStringLiteral("?"));
    QVariantList bound{key};
    bound += values;
    const DbResult r = Execute(db, QStringLiteral("INSERT INTO %1 (%2, %3) VALUES (%4)")
                                       .arg(table, keyColumn, columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", "))),
                               bound);
    if (!r.ok()) {
        *error = r;
        return std::nullopt;
    }
    return r.lastInsertId.toLongLong();
}

} // namespace

Result ForEachPatient(const std::function<void(const PatientRow &)> &row)
{
    DatabaseSession session(ImageDatabase);
    PatientRow p;
    return ForEachRow(ImageDatabase,
                      QStringLiteral("SELECT PatID, PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten"), {},
                      [&](const QString *c) {
                          p.key = c[0].toLongLong();
                          p.id = c[1];
                          p.familyName = c[2];
                          p.givenName = c[3];
                          p.secondName = c[4];
                          p.birthDate = c[5];
                          row(p);
                      });
}

RowList<StudyRow> StudiesOfPatient(const QString &patientId)
{
    return rowsOf<StudyRow>(run(QStringLiteral("SELECT StudyID, StudyUID, StudyDate, StudyTime, Modality, Bodypart FROM view_studies WHERE PatID1 = ?"),
                                {patientId}),
                            [](const QSqlRecord &row) {
                                return StudyRow{row.value(0).toLongLong(), cell(row, 1), cell(row, 2), cell(row, 3), cell(row, 4), cell(row, 5)};
                            });
}

RowList<SeriesRow> SeriesOfStudy(qlonglong studyKey)
{
    return rowsOf<SeriesRow>(run(QStringLiteral("SELECT SeriesID, SeriesUID, SeriesNr FROM tblSeries WHERE FKeyStudyID = ? ORDER BY SeriesNr, SeriesID"),
                                 {studyKey}),
                             [](const QSqlRecord &row) { return SeriesRow{row.value(0).toLongLong(), cell(row, 1), cell(row, 2)}; });
}

RowList<ImageListRow> ImageListOfStudy(const QString &studyUid)
{
    return imageList(run(QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID FROM View_Images WHERE StudyUID = ? ORDER BY ImageDate, ImageTime"),
                         {studyUid}));
}

RowList<ImageListRow> ImageListOfSeries(qlonglong seriesKey)
{
    return imageList(run(QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID FROM View_Images WHERE FKeySeriesID = ? ORDER BY ImageDate, ImageTime"),
                         {seriesKey}));
}

RowList<QString> ImagesToShow(const QList<qlonglong> &seriesKeys, const QString &leftOut)
{
    if (seriesKeys.isEmpty())
        return {}; // a study without series has no images
    QVariantList values;
    QStringList marks;
    for (qlonglong key : seriesKeys) {
        values << key;
        marks << QStringLiteral("?");
    }
    values << leftOut;
    return firstColumn(run(QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID IN (%1) AND (SOPClassUID IS NULL OR SOPClassUID <> ?) "
                                          "ORDER BY FKeySeriesID, ImageNr")
                               .arg(marks.join(QStringLiteral(", "))),
                           values));
}

PlaceLookup PlaceOfImage(Database &db, const QString &imageUid)
{
    const DbResult r = Execute(db, QStringLiteral("SELECT i.FKeySeriesID, r.FKeyStudyID, s.FKeyPATID, s.StudyUID FROM tblImages i "
                                                  "JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID JOIN tblStudies s ON s.StudyID = r.FKeyStudyID "
                                                  "WHERE i.ImageUID = ?"),
                               {imageUid});
    PlaceLookup out;
    static_cast<Result &>(out) = r;
    if (r.ok() && !r.rows.isEmpty()) {
        const QSqlRecord &row = r.rows.first();
        out.place = ImagePlace{row.value(0).toLongLong(), row.value(1).toLongLong(), row.value(2).toLongLong(), row.value(3).toString()};
    }
    return out;
}

PlacesLookup PlacesOfImages(const QStringList &imageUids)
{
    // A statement per image cost a job on a 100-image study 10 ms; a few
    // hundred bound values a statement stay far below SQLite's limit.
    constexpr qsizetype kChunk = 500;
    PlacesLookup out;
    DatabaseSession session(ImageDatabase);
    for (qsizetype from = 0; from < imageUids.size(); from += kChunk) {
        const QStringList chunk = imageUids.mid(from, kChunk);
        const QVariantList values(chunk.cbegin(), chunk.cend());
        const DbResult r = Execute(ImageDatabase,
                                   QStringLiteral("SELECT i.ImageUID, i.FKeySeriesID, r.FKeyStudyID, s.FKeyPATID, s.StudyUID FROM tblImages i "
                                                  "JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID JOIN tblStudies s ON s.StudyID = r.FKeyStudyID "
                                                  "WHERE i.ImageUID IN (%1)")
                                       .arg(QStringList(chunk.size(), QStringLiteral("?")).join(QStringLiteral(", "))),
                                   values);
        if (!r.ok()) {
            static_cast<Result &>(out) = r;
            out.places.clear();
            return out;
        }
        for (const QSqlRecord &row : r.rows)
            out.places.insert(row.value(0).toString(),
                              ImagePlace{row.value(1).toLongLong(), row.value(2).toLongLong(), row.value(3).toLongLong(), row.value(4).toString()});
    }
    return out;
}

RowList<QString> ImageUidsOfStudy(qlonglong studyKey)
{
    return firstColumn(run(QStringLiteral("SELECT i.ImageUID FROM tblImages i JOIN tblSeries s ON i.FKeySeriesID = s.SeriesID "
                                          "WHERE s.FKeyStudyID = ? ORDER BY i.FKeySeriesID, i.ImageNr, i.ImageID"),
                           {studyKey}));
}

RowList<QString> ImageUidsOfStudyOfClass(const QString &studyUid, const QString &sopClass)
{
    return firstColumn(run(QStringLiteral("SELECT i.ImageUID FROM tblImages i JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID "
                                          "JOIN tblStudies s ON s.StudyID = r.FKeyStudyID WHERE s.StudyUID = ? AND i.SOPClassUID = ? "
                                          "ORDER BY r.SeriesNr, i.ImageNr, i.ImageID"),
                           {studyUid, sopClass}));
}

RowList<StudyKey> StudiesOfPatientKey(qlonglong patientKey, qlonglong except)
{
    return rowsOf<StudyKey>(run(QStringLiteral("SELECT StudyID, StudyUID FROM tblStudies WHERE FKeyPATID = ? AND StudyID <> ? ORDER BY StudyID"),
                                {patientKey, except}),
                            [](const QSqlRecord &row) { return StudyKey{row.value(0).toLongLong(), cell(row, 1)}; });
}

RowList<StoredObject> ObjectsOfStudy(qlonglong studyKey)
{
    return objects(run(QStringLiteral("SELECT i.ImageUID, i.SOPClassUID, r.SeriesUID FROM tblImages i JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID "
                                      "WHERE r.FKeyStudyID = ? ORDER BY r.SeriesNr, r.SeriesID, i.ImageNr, i.ImageID"),
                       {studyKey}));
}

RowList<StoredObject> ObjectsOfSeries(qlonglong seriesKey)
{
    return objects(run(QStringLiteral("SELECT i.ImageUID, i.SOPClassUID, r.SeriesUID FROM tblImages i JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID "
                                      "WHERE i.FKeySeriesID = ? ORDER BY i.ImageNr"),
                       {seriesKey}));
}

OwnerLookup PatientOfStudy(Database &db, const QString &studyUid)
{
    const DbResult r = Execute(db, QStringLiteral("SELECT p.PatID1 FROM tblStudies s JOIN tblPatienten p ON p.PatID = s.FKeyPATID WHERE s.StudyUID = ?"),
                               {studyUid});
    OwnerLookup out;
    static_cast<Result &>(out) = r;
    if (r.ok() && !r.rows.isEmpty())
        out.patientId = r.rows.first().value(0).toString();
    return out;
}

Result FileObjectRows(Database &db, const ReceivedObject &o)
{
    Result error;
    const auto patient = upsert(db, QStringLiteral("tblPatienten"), QStringLiteral("PatID"), QStringLiteral("PatID1"), o.patientId,
                                {QStringLiteral("PatNachname"), QStringLiteral("PatVorname"), QStringLiteral("Pat2Vorname"),
                                 QStringLiteral("PatGebDatum"), QStringLiteral("PatSex")},
                                {o.familyName, textOrNull(o.givenName), textOrNull(o.middleName), textOrNull(o.birthDate), textOrNull(o.sex)},
                                &error);
    if (!patient)
        return error;
    const auto study = upsert(db, QStringLiteral("tblStudies"), QStringLiteral("StudyID"), QStringLiteral("StudyUID"), o.studyUid,
                              {QStringLiteral("FKeyPATID"), QStringLiteral("StudyDate"), QStringLiteral("StudyTime"), QStringLiteral("Modality"),
                               QStringLiteral("Bodypart"), QStringLiteral("AccessionNumber"), QStringLiteral("StudyDescription")},
                              {*patient, textOrNull(o.studyDate), textOrNull(o.studyTime), textOrNull(o.modality), textOrNull(o.bodyPart),
                               textOrNull(o.accessionNumber), textOrNull(o.studyDescription)},
                              &error);
    if (!study)
        return error;
    const auto series = upsert(db, QStringLiteral("tblSeries"), QStringLiteral("SeriesID"), QStringLiteral("SeriesUID"), o.seriesUid,
                               {QStringLiteral("SeriesNr"), QStringLiteral("FKeyStudyID"), QStringLiteral("Modality"), QStringLiteral("SeriesDescription")},
                               {numberOrNull(o.seriesNumber), *study, textOrNull(o.modality), textOrNull(o.seriesDescription)}, &error);
    if (!series)
        return error;
    const auto image = upsert(db, QStringLiteral("tblImages"), QStringLiteral("ImageID"), QStringLiteral("ImageUID"), o.sopUid,
                              {QStringLiteral("ImageNr"), QStringLiteral("FKeySeriesID"), QStringLiteral("ImageDate"), QStringLiteral("ImageTime"),
                               QStringLiteral("SOPClassUID"), QStringLiteral("ViewPosition"), QStringLiteral("ImageLaterality")},
                              {numberOrNull(o.instanceNumber), *series, textOrNull(o.imageDate), textOrNull(o.imageTime), textOrNull(o.sopClassUid),
                               textOrNull(o.viewPosition), textOrNull(o.laterality)},
                              &error);
    if (!image)
        return error;
    return {};
}

Result RemoveEmptiedPlace(Database &db, const ImagePlace &before)
{
    const QList<QPair<QString, qlonglong>> steps = {
        {QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ? AND NOT EXISTS (SELECT 1 FROM tblImages WHERE FKeySeriesID = ?)"), before.seriesKey},
        {QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ? AND NOT EXISTS (SELECT 1 FROM tblSeries WHERE FKeyStudyID = ?)"), before.studyKey},
        {QStringLiteral("DELETE FROM tblPatienten WHERE PatID = ? AND NOT EXISTS (SELECT 1 FROM tblStudies WHERE FKeyPATID = ?)"), before.patientKey},
    };
    for (const auto &[sql, id] : steps) {
        const DbResult r = Execute(db, sql, {id, id});
        if (!r.ok())
            return r;
    }
    return {};
}

Result AddReceipt(Database &db, const QString &patientId, const QString &imageUid, const QString &receivedAt)
{
    return Execute(db, QStringLiteral("INSERT INTO tblReceive (PatID, ImageUID, ReceivedAt) VALUES (?, ?, ?)"), {patientId, imageUid, receivedAt});
}

Result EmptyReceipts(bool *read)
{
    DatabaseSession session(ImageDatabase);
    const DbResult count = Execute(ImageDatabase, QStringLiteral("SELECT Count(PatID) AS ReceiveCount FROM tblReceive"));
    if (read)
        *read = count.ok();
    if (!count.ok())
        return count;
    if (count.first(QStringLiteral("ReceiveCount")).toLongLong() == 0)
        return {}; // an empty table needs no write
    return Execute(ImageDatabase, QStringLiteral("DELETE FROM tblReceive"));
}
