#pragma once

#include "toolkit/TlsFiles.h"
#include "toolkit/Toolkit.h"
#include "toolkit/ToolkitCancel.h"

#include <memory>

// An association to a storage partner: opened once per send command, one
// C-STORE per image, released at the end. Network waits are bounded (30 s).
class ToolkitAssociation {
public:
    ToolkitAssociation();
    ~ToolkitAssociation();
    ToolkitAssociation(const ToolkitAssociation &) = delete;
    ToolkitAssociation &operator=(const ToolkitAssociation &) = delete;

    // Proposes the storage SOP classes with explicit and implicit little endian,
    // and the lossless and baseline JPEG, JPEG-LS, RLE and both JPEG 2000
    // encodings for the mammography, digital X-ray and CR classes (128
    // presentation contexts at most). False with the reason when the
    // partner cannot be reached or refuses.
    bool OpenAssociation(const QString &host, int port, const QString &callingAe, const QString &calledAe,
                         Result *error = nullptr);
    bool isOpen() const;

    // Stores the image as it is held in memory. A compressed image the partner
    // did not accept compressed travels decompressed (losslessly). False with
    // the reason when the partner did not answer success.
    bool SendImage(const ToolkitImagePtr &image, Result *error = nullptr);

    // Stores the object of a file that holds no image (a dose report) as it is
    // encoded uncompressed. False with the reason as SendImage.
    bool SendFile(const QString &path, Result *error = nullptr);

    // Releases the association (aborts it when the release fails).
    void CloseAssociation();

    static constexpr int TimeoutSeconds = 30;
    // How long one network wait may last; takes effect at the next open.
    void setTimeoutSeconds(int seconds) { timeoutSeconds_ = seconds; }
    // TLS or plain TCP; takes effect at the next open. Over TLS a partner
    // whose certificate the trusted certificates do not vouch for is refused
    // (ErrorCode::TlsRefused, OpenSSL's reason in the text).
    void setSecurity(const ToolkitSecurity &security) { security_ = security; }

private:
    int timeoutSeconds_ = TimeoutSeconds;
    ToolkitSecurity security_;
    struct Impl;
    std::unique_ptr<Impl> d;
};

// A DICOM verification (C-ECHO); false with the reason when it did not
// succeed. Safe on a worker thread; cancel may be set from another one.
// Over TLS when security says so, refused as ToolkitAssociation's.
bool VerifyPartner(const QString &host, int port, const QString &callingAe, const QString &calledAe,
                   Result *error = nullptr, const ToolkitCancel *cancel = nullptr, const ToolkitSecurity &security = {});

// The answers of a worklist query.
struct ToolkitQueryAnswers {
    // Every answer with its texts decoded from its Specific Character Set.
    QList<ToolkitDataSet> answers;
    // One per answer whose character set could not be decoded: its texts are
    // then read byte for byte as Latin-1, so the name shows as it came.
    QList<Result> charsetProblems;
};

// A modality-worklist C-FIND (root "WORKLIST"; no other root is known) over one
// association: the pending answers (status FF00, FF01) are collected until the
// provider's final status. Each network wait is bounded by timeoutSeconds, and
// no answer is waited for once the answers have run for twice that, so a
// provider that never ends them cannot hold the caller. False with the reason, and no answers, when the
// provider cannot be reached, refuses the association, does not answer in
// time, ends the query with anything but success, or when cancelled. Safe on
// a worker thread (the identifier is only read); cancel may be set from another.
bool RunWorklistQuery(const QString &callingAe, const QString &calledAe, const QString &host, int port, const QString &root,
                      const ToolkitDataSet &identifier, ToolkitQueryAnswers &result, Result *error = nullptr,
                      int timeoutSeconds = ToolkitAssociation::TimeoutSeconds, const ToolkitCancel *cancel = nullptr,
                      const ToolkitSecurity &security = {});
