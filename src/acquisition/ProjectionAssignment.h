#pragma once

#include "acquisition/Pairing.h"
#include "acquisition/Stamping.h"
#include "store/Session.h"

#include <QDate>
#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>

class Prompter;
class QWidget;

// The neighbours the merge commands work with; the window wires them.
struct AssignmentControls {
    QWidget *parent = nullptr;                           // of the questions and the side dialog
    std::function<QList<ChosenExposure>()> listedExposures; // the dose list's rows, in its order
    std::function<void(const QString &caption)> rewriteChosenProjection; // the chosen row's projection becomes the caption
    std::function<void()> redecode;                      // the exposure decoder again, when the serial link holds a message
    std::function<SendPartner()> defaultPartner;         // the default storage partner
    SideQuestion askSide;                                // the side dialog the window shows
    // The chosen exposure's values with its AGD for the patient's birth date
    // in the image header (invalid when it has none); unset: as chosen.
    std::function<ExposureValues(const ExposureValues &exposure, const QDate &birthDate)> doseForBirthDate;
};

// "Merge Image/s", "Manually" and the projection buttons.
class ProjectionAssignment : public QObject {
    Q_OBJECT

public:
    ProjectionAssignment(Session &session, const AssignmentControls &controls, Prompter &prompter, QObject *parent = nullptr);

    // "Merge Image/s" (F1): the loaded images paired with the listed
    // exposures by projection (PairImages), stamped, and sent.
    void cmdAll_Click();
    void cmdSelected_Click();
    // A merge runs (its side question and its send let window events run).
    bool merging() const { return merging_; }
    // A projection button with this caption: asked first, it rewrites the chosen exposure's projection.
    void cmdProjection_Click(const QString &caption);
    // Captions of the eight projection buttons from projection.ini, one a line
    // (unit types 2 to 5); a button without a line keeps its caption.
    static QStringList ProjectionCaptions();

signals:
    // The stamped images are to go to the partner (the session's send
    // partner) as the patient's, the one they were loaded for; closing the
    // send with OK assigns the exposures to her.
    void sendRequested(const BrowserSelection &patient, const SendPartner &partner, DoseAssignment assignment);

private:
    // The commands work on the images loaded and send them as their patient's:
    // true, after a message naming both, when the operator has selected
    // another patient since they were loaded.
    bool anotherPatientSelected();
    // Writes the pair's exposure values and the mammography attributes into its image.
    void stamp(const ImagePair &pair);
    void sendToDefault(bool blankAfterAet, DoseAssignment assignment);
    void emptyWorkFolder();
    QString askSide(const ToolkitImagePtr &image);
    // The exposure's values as the image's header values are written from it.
    ExposureValues exposureFor(const ToolkitImagePtr &image, const ExposureValues &exposure) const;

    // The side question and the send's progress dialog let window events
    // run, so a second F1 or click would start a merge over the running one's files.
    bool merging_ = false;
    Session &session_;
    AssignmentControls c_;
    Prompter &prompter_;
    QString rememberedSide_; // the side last found on an image, for one whose side cannot be found
};

