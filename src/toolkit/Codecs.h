#pragma once

// Registers DCMTK's JPEG, JPEG-LS and RLE decoders and encoders, and the
// JPEG 2000 decoder over OpenJPEG, once per process.
void RegisterToolkitCodecs();
