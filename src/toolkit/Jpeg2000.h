#pragma once

// JPEG 2000 through OpenJPEG: the decoder DCMTK's free edition lacks, and an
// encoder for synthetic test images. DCMTK and OpenJPEG stay behind this header.

#include "toolkit/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Adds the decoder to DCMTK's codec list (once; RegisterToolkitCodecs calls it).
// It turns both JPEG 2000 transfer syntaxes into uncompressed pixels and nothing else.
void RegisterJpeg2000Decoder();

// The threads OpenJPEG uses for one image: one per core.
int Jpeg2000DecoderThreads();

// What the decoder noted on this thread since the last call: code streams read
// otherwise than they say, because the image's header says otherwise.
QStringList TakeJpeg2000Notes();

// A raw code stream of one greyscale frame: samples are bytes for up to 8 bits
// stored, else 16-bit words. Reversible (lossless) when ratio <= 0, else about
// ratio:1 with the irreversible wavelet. Empty with the reason on failure.
QByteArray EncodeJpeg2000(const void *samples, int rows, int columns, int bitsStored, bool isSigned, double ratio,
                          Result *error = nullptr);
