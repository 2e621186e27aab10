// The decoder's marker reader and its two entry points: the header phase and the row-by-row
// output. Input: the bytes of a JPEG stream from the context's source; output: a context filled
// with the frame, tables and scan parameters, and image rows in the output row buffer.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

// Reader states.
enum ReaderState : int32_t {
    readerStart = 0,        // nothing read
    readerBetweenScans = 1, // SOI seen, no scan running
    readerFinished = 2,     // end of image reached, every scan delivered
    readerFinishedAlt = 3,  // treated like readerFinished
    readerDecodeRow = 4,    // inside a scan: the next MCU row must be decoded
    readerDeliverRows = 5,  // rows of the current MCU row remain to be delivered
};

// Header phase: 0 while more header remains to be read, 1 when the header is complete (for a
// sequential image at the first SOS, for a progressive one at EOI). The first call answering 1
// means the file cannot be read.
int ReadHeader(CodecContext* context);

// Puts the next image row in the output row buffer and answers 0, or answers 1 when there are no
// more rows.
int ReadRow(CodecContext* context);

// Reads and acts on markers until a scan has started or the end of the image is reached.
void ReadMarkers(CodecContext* context);

// Answers the next marker code, skipping anything in front of it; the bit buffer is discarded.
int NextMarker(CodecContext* context);

// Checks the frame's sampling and colour transform and derives the frame's geometry: sampling
// maxima, row lengths, colour path, four-line and precise-colour flags, component row widths and
// progressive plane sizes. The encoder calls it too, with its own error categories.
void SetupFrame(CodecContext* context, int encoder);

// The next byte of the source for the decoder: 0..255, or -1 when the source has ended or failed.
// Running out of data is the decoder's to judge, so a plain end of file leaves lastError clear;
// a failing read keeps its code there.
int DecoderFetchByte(CodecContext* context);

// Carves the one working block of the image: dequantisation tables, component sample buffers and
// coefficient planes, colour tables and the output row. Answers its size in bytes.
int32_t AllocateWorkBlock(CodecContext* context, int32_t bytesPerRow, int encoder);
