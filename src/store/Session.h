#pragma once

#include "core/ExposureUnits.h"
#include "toolkit/ImageList.h"

#include <QDate>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

// The patient, study and series selected in the browser.
struct BrowserSelection {
    qlonglong patientKey = 0; // tblPatienten.PatID
    QString patientId;        // PatID1
    QString patientName;
    qlonglong studyKey = 0; // tblStudies.StudyID
    QString studyUid;
    qlonglong seriesKey = 0;   // tblSeries.SeriesID
    QString patientSecondName; // the patient row's "2nd Name"
};

// A journal exposure as the operator chose it, by its key (values.journalId;
// 0: none chosen): the values stamping writes, the unit's exposure time, and
// the date and time the dose list shows for it, and the patient its journal
// row names (the worklist's name it was taken under, or the ID of the images
// it was assigned to before it was set free; each empty when none).
struct ChosenExposure {
    ExposureValues values;
    QString exposureTime;
    QString date, time;
    QString patientName, patientId;
    qlonglong key() const { return values.journalId; }
};

// The patient the worklist dialog confirmed: new exposures carry her name, and
// her birth date (invalid when the worklist gave none) chooses the
// glandularity table while her name is on the label.
struct WorklistPatient {
    QString name;
    QDate birthDate;
    bool operator==(const WorklistPatient &) const = default;
};

// The storage partner the operator chose for a send (AE title, address, port).
struct SendPartner {
    QString aet, ip, port;
    bool operator==(const SendPartner &) const = default;
};

// Where the viewer's images came from.
enum class LoadedLevel { None, Study, Series };

// The operator's session: what is loaded, what is selected, the exposure
// chosen, the active filter and whether a job runs. The application owns the
// one instance and hands it to the subsystems; they read it and are told of
// changes through its signals. One user-interface thread; no locks.
class Session : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The images read from disk for the viewer, in load order, each known by
    // its SOP instance UID (and its file, ToolkitImage::path). The viewer and
    // the lists show these; none of them keeps a list of its own.
    const ToolkitImageList &loadedImages() const { return loaded_; }
    // The loaded image with this whole UID; null when none has it.
    ToolkitImagePtr loadedImage(const QString &uid) const;
    // 1-based position of the image with this UID among the loaded ones; 0 for none.
    int loadedPosition(const QString &uid) const;
    // Appends an image read from its file, under the SOP instance UID the file
    // holds. Refused (false) without a UID or when that UID is loaded already.
    bool addLoadedImage(const QString &uid, const ToolkitImagePtr &image);
    // The image with this UID leaves (and with it the current image, when it was that one).
    bool removeLoadedImage(const QString &uid);
    // Every loaded image leaves, with the current image and the patient they were loaded for.
    void clearLoadedImages();
    LoadedLevel loadedLevel() const { return loadedLevel_; }
    void setLoadedLevel(LoadedLevel level) { loadedLevel_ = level; }
    // The selection as it was when the loaded images were read: the patient
    // they are of. Empty while nothing is loaded.
    const BrowserSelection &loadedFor() const { return loadedFor_; }
    void setLoadedFor(const BrowserSelection &selection) { loadedFor_ = selection; }

    // The loaded image the operator selected, by UID; empty and null for none.
    const QString &currentImageUid() const { return currentUid_; }
    ToolkitImagePtr currentImage() const { return loadedImage(currentUid_); }
    // Its 1-based position among the loaded images, 0 for none.
    int currentImageIndex() const { return loadedPosition(currentUid_); }
    // The loaded image with this UID becomes the current one. False, and the
    // current image stays, when none is loaded with it.
    bool setCurrentImage(const QString &uid);
    void clearCurrentImage();

    const BrowserSelection &selection() const { return selection_; }
    void setSelection(const BrowserSelection &selection);

    // The exposure chosen in the dose list, the one owner of it: the list's
    // selection, the exposure boxes and stamping follow it.
    const ChosenExposure &chosenExposure() const { return exposure_; }
    const ExposureValues &selectedExposure() const { return exposure_.values; }
    const QString &selectedExposureTime() const { return exposure_.exposureTime; }
    void setChosenExposure(const ChosenExposure &exposure);
    void clearChosenExposure() { setChosenExposure({}); }
    // The operator's edits of the chosen exposure: a projection button's
    // caption (or the decoder using it up), the unit's exposure time.
    void setChosenProjection(const QString &projection);
    void setChosenExposureTime(const QString &exposureTime);

    const WorklistPatient &worklistPatient() const { return worklistPatient_; }
    void setWorklistPatient(const WorklistPatient &patient);

    // The partner chosen for the send being given; the send takes it as input.
    // Nothing shows it, so no signal.
    const SendPartner &sendPartner() const { return sendPartner_; }
    void setSendPartner(const SendPartner &partner);

    // The active modality filter's attributes, Tag → Description.
    const QMap<QString, QString> &activeFilterTags() const { return filterTags_; }
    void setActiveFilterTags(const QMap<QString, QString> &tags);

    // A job runs: list refreshes and new jobs wait.
    bool batchActive() const { return batchActive_; }
    void setBatchActive(bool active);
    bool imageLoadActive() const { return imageLoadActive_; }
    void setImageLoadActive(bool active) { imageLoadActive_ = active; }

    // 1 = "Curative", 2 = "Screening", 0 until the operator picks one.
    qint16 examinationType() const { return examinationType_; }
    void setExaminationType(qint16 type) { examinationType_ = type; }

signals:
    void selectionChanged();
    // The loaded images: one appended, one gone, all gone.
    void imageLoaded(const ToolkitImagePtr &image);
    void imageRemoved(const QString &uid);
    void loadedImagesCleared();
    void currentImageChanged();
    void selectedExposureChanged();
    void worklistPatientChanged();
    void activeFilterChanged();
    void batchActiveChanged(bool active);
    // Storage partners were added, changed or removed.
    void partnersChanged();
    // Attributes joined the active filter.
    void visibleTagsChanged();

private:
    ToolkitImageList loaded_;
    QStringList loadedUids_; // loaded_'s UIDs, in its order
    LoadedLevel loadedLevel_ = LoadedLevel::None;
    BrowserSelection loadedFor_;
    QString currentUid_;
    BrowserSelection selection_;
    ChosenExposure exposure_;
    WorklistPatient worklistPatient_;
    SendPartner sendPartner_;
    QMap<QString, QString> filterTags_;
    bool batchActive_ = false;
    bool imageLoadActive_ = false;
    qint16 examinationType_ = 0;
};
