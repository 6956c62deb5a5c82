// libFuzzer entry: arbitrary bytes as an object arriving at the receiver,
// read by the very function that reads a received or dropped file's header.
#include "companions/receiver/DicomObject.h"

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A file in memory: the reader opens it by name, as it opens a staged file.
    static const int fd = ::memfd_create("object", MFD_CLOEXEC);
    static const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();
    ReceivedObject object;
    const Result read = ReadObjectHeader(path, &object);
    // Filing needs both UIDs; a refusal is always NotReadable with its reason.
    if (read.ok() && (object.sopUid.isEmpty() || object.studyUid.isEmpty()))
        __builtin_trap();
    if (!read.ok() && (read.number != ErrorCode::NotReadable || read.text.isEmpty()))
        __builtin_trap();
    return 0;
}
