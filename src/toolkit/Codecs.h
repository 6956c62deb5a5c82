#pragma once

// Registers DCMTK's JPEG, JPEG-LS and RLE decoders and encoders once per process.
void RegisterToolkitCodecs();
