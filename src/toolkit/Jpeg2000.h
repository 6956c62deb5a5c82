#pragma once

// JPEG 2000 through OpenJPEG: the decoder DCMTK's free edition lacks, and an
// encoder for synthetic test images. DCMTK and OpenJPEG stay behind this header.

#include "toolkit/Result.h"

#include <QByteArray>
#include <QString>
#include <QSize>
#include <QStringList>

#include <vector>

class DcmItem;

// Adds the decoder to DCMTK's codec list (once; RegisterToolkitCodecs calls it).
// It turns both JPEG 2000 transfer syntaxes into uncompressed pixels and nothing else.
void RegisterJpeg2000Decoder();

// The first frame of a JPEG 2000 data set, decoded at the smallest resolution
// whose sides are still at least atLeast (each level left out halves them; an
// invalid size means full resolution): samples as the header stores them, bytes
// for 8 bits allocated, else 16-bit words; size gets their columns and rows.
// Lets a tile skip most of the decoding work.
bool DecodeJpeg2000Frame(DcmItem *dataSet, QSize atLeast, std::vector<quint8> *samples, QSize *size, Result *error = nullptr);

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
