#include "toolkit/Codecs.h"

#include "toolkit/Jpeg2000.h"

#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmjpls/djencode.h>

#include <dcmtk/oflog/oflog.h>

#include <mutex>

void RegisterToolkitCodecs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // DCMTK's notes on every C-STORE would cost several unbuffered writes
        // an image; failures reach the caller as Result texts anyway.
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        DJDecoderRegistration::registerCodecs();
        DJEncoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DJLSEncoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        DcmRLEEncoderRegistration::registerCodecs();
        RegisterJpeg2000Decoder();
    });
}
