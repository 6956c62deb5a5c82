#include "toolkit/ImageStoreFixture.h"

#include "store/Database.h"

#include <QDir>
#include <QProcess>

namespace {

bool run(Database &db, const QString &sql, const QVariantList &values, QString *error, QVariant *id = nullptr)
{
    const DbResult r = Execute(db, sql, values);
    if (!r.ok) {
        if (error)
            *error = sql + QStringLiteral(": ") + r.errorText;
        return false;
    }
    if (id)
        *id = r.lastInsertId;
    return true;
}

QString env(const char *name) { return QString::fromLocal8Bit(qgetenv(name)); }

} // namespace

QList<SyntheticImageSpec> FourViews(int rows, int columns, int bits, bool monochrome1)
{
    QList<SyntheticImageSpec> out;
    const char *views[][2] = {{"R", "CC"}, {"L", "CC"}, {"R", "MLO"}, {"L", "MLO"}};
    for (int i = 0; i < 4; ++i) {
        SyntheticImageSpec s;
        s.laterality = QLatin1String(views[i][0]);
        s.viewPosition = QLatin1String(views[i][1]);
        s.instanceNumber = i + 1;
        s.rows = rows;
        s.columns = columns;
        s.bitsStored = bits;
        s.monochrome1 = monochrome1;
        out << s;
    }
    return out;
}

bool MakeImageStore(const QString &appFolder, QString *error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(env("LUMORA_TOOLS_DIR") + QStringLiteral("/lumora-mkdb"),
            {env("LUMORA_SOURCE_DIR") + QStringLiteral("/src/store/schema"),
             env("LUMORA_SOURCE_DIR") + QStringLiteral("/src/dictionary/dictionary-tags.txt"),
             appFolder + QStringLiteral("/Data")});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("lumora-mkdb: ") + QString::fromLocal8Bit(p.readAll());
        return false;
    }
    return true;
}

bool AddStudy(const QString &appFolder, FixtureStudy &study, QString *error, bool receipt)
{
    if (study.studyUid.isEmpty())
        study.studyUid = NewSyntheticUid();
    Database db(QStringLiteral("fixture"), QStringLiteral("fixture"));
    db.setPath(appFolder + QStringLiteral("/Data/LumoraData.dat"));
    if (!db.open()) {
        if (error)
            *error = db.error().text;
        return false;
    }
    QVariant id;
    const DbResult known = Execute(db, QStringLiteral("SELECT PatID FROM tblPatienten WHERE PatID1 = ?"), {study.patientId});
    if (!known.rows.isEmpty()) {
        study.patientKey = known.first(QStringLiteral("PatID")).toLongLong();
    } else {
        if (!run(db, QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname, PatGebDatum, PatSex) VALUES (?, ?, ?, ?, 'F')"),
                 {study.patientId, study.family, study.given, study.birthDate}, error, &id))
            return false;
        study.patientKey = id.toLongLong();
    }
    if (!run(db, QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID, StudyDate, StudyTime, Modality, Bodypart) VALUES (?, ?, ?, '091500', 'MG', 'BREAST')"),
             {study.studyUid, study.patientKey, study.studyDate}, error, &id))
        return false;
    study.studyKey = id.toLongLong();
    const QString folder = appFolder + QStringLiteral("/images/") + study.studyUid;
    QDir().mkpath(folder);
    for (FixtureSeries &series : study.series) {
        series.seriesUid = NewSyntheticUid();
        if (!run(db, QStringLiteral("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID, Modality) VALUES (?, ?, ?, 'MG')"),
                 {series.seriesUid, series.seriesNr, study.studyKey}, error, &id))
            return false;
        series.seriesKey = id.toLongLong();
        for (SyntheticImageSpec &image : series.images) {
            image.patientId = study.patientId;
            image.patientName = study.family + QLatin1Char('^') + study.given.toString();
            image.studyUid = study.studyUid;
            image.seriesUid = series.seriesUid;
            image.seriesNumber = series.seriesNr;
            if (image.sopUid.isEmpty())
                image.sopUid = NewSyntheticUid();
            if (!WriteSyntheticImage(image, folder + QLatin1Char('/') + image.sopUid + QStringLiteral(".dcm"), error))
                return false;
            if (!run(db, QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime, SOPClassUID, ViewPosition, ImageLaterality) "
                                        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
                     {image.sopUid, image.instanceNumber, series.seriesKey, study.studyDate,
                      QStringLiteral("0915%1").arg(image.instanceNumber, 2, 10, QLatin1Char('0')), image.sopClassUid,
                      image.viewPosition, image.laterality},
                     error))
                return false;
            if (receipt && !run(db, QStringLiteral("INSERT INTO tblReceive (PatID, ImageUID, ReceivedAt) VALUES (?, ?, '2026-12-06 09:15')"),
                                {study.patientId, image.sopUid}, error))
                return false;
        }
    }
    db.close();
    return true;
}
