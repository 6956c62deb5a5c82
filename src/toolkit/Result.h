#pragma once

#include <QString>
#include <QtGlobal>

// The error numbers written to the error log, by name. The small ones are the
// numbers operators and support have always read in Logs/Error.log; the
// toolkit's own start at 31001. A database failure carries the driver's number.
namespace ErrorCode {
inline constexpr qint32 None = 0;               // a note, no error
inline constexpr qint32 InvalidCall = 5;        // "Invalid procedure call or argument"
inline constexpr qint32 Overflow = 6;           // "Overflow"
inline constexpr qint32 OutOfMemory = 7;        // "Out of memory"
inline constexpr qint32 OutOfRange = 9;         // "Subscript out of range"
inline constexpr qint32 TypeMismatch = 13;      // "Type mismatch"
inline constexpr qint32 OutOfSpace = 28;        // "Out of stack space", written for low disk space
inline constexpr qint32 FileNotFound = 53;      // "File not found"
inline constexpr qint32 FileExists = 58;        // "File already exists"
inline constexpr qint32 PathAccess = 75;        // "Path/File access error"
inline constexpr qint32 PathNotFound = 76;      // "Path not found"
inline constexpr qint32 NoObject = 91;          // "Object variable or With block variable not set"
inline constexpr qint32 InvalidProperty = 380;  // "Invalid property value"
inline constexpr qint32 NoCaseFolding = 3251;   // the database cannot fold case
inline constexpr qint32 DbNotOpen = 3704;       // "Operation is not allowed when the object is closed."
inline constexpr qint32 DbOpenFailed = 3709;
inline constexpr qint32 InvalidPortNumber = 8002;
inline constexpr qint32 NotReadable = 31001;    // not DICOM, truncated, unreadable
inline constexpr qint32 NoPixels = 31002;       // no pixel data, or pixel data that cannot be decoded
inline constexpr qint32 WriteFailed = 31003;
inline constexpr qint32 BadAttribute = 31004;   // tag or value the data set refuses
inline constexpr qint32 NoImage = 31005;        // an empty image handle
inline constexpr qint32 NetworkError = 31101;
inline constexpr qint32 StoreRefused = 31102;
inline constexpr qint32 QueryRefused = 31103;
inline constexpr qint32 CharsetUnknown = 31104;
inline constexpr qint32 Cancelled = 31105;
inline constexpr qint32 TlsRefused = 31106;     // TLS set-up or handshake failed, the reason in the text
} // namespace ErrorCode

// The outcome of a toolkit call, a database statement or a job: success, or
// the number and text the error log gets. A failure always has a number.
struct Result {
    qint32 number = ErrorCode::None;
    QString text;

    bool ok() const { return number == ErrorCode::None; }
    explicit operator bool() const { return ok(); }

    static Result failure(qint32 number, QString text) { return {number, std::move(text)}; }
};
