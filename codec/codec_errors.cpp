// The message table, the raise and the fatal report.
#include "codec/codec_errors.h"

#include <cstdio>
#include <cstdlib>

#include "codec/codec_context.h"

namespace kv::codec {

std::jmp_buf codecJumpPoint;

const char* const CodecMessages[kCodecMessageCount] = {
    "Cannot allocate %d bytes",                                      // 0
    "Invalid sampling parameter",                                    // 1
    "Sum(HSamples * VSamples) > 10 limit",                           // 2
    "Unusable ColorTransform=%d",                                    // 3
    "Over-committed Huffman specification",                          // 4
    "HuffTable exceeds %d entry limit",                              // 5
    "Missing EOB Huffcode for 8x8 block %d",                         // 6
    "Another JPEG marker occurred where RST%X was expected",         // 7
    "JPEG RST%d marker where Huffman codes were expected",           // 8
    "JPEG marker 0x%2X disallowed in Huffcoded region",              // 9
    "Source error or end in scan %d 8x8 block %d",                   // 10
    "Missing marker before scan %d 8x8 block %d",                    // 11
    "Huffcode too big in scan %d 8x8 block %d",                      // 12
    "Source error or end in marker before scan %d 8x8 block %d",     // 13
    "AC HuffTable value 0x%X is unusable",                           // 14
    "DC HuffTable value >= 0x%X is unusable",                        // 15
    "Precision > 8 bits/color disallowed",                           // 16
    "Image width is zero",                                           // 17
    "Image length is zero (JPEG DNL markers unsupported)",           // 18
    "Number of colors is not [1..4]",                                // 19
    "QTable precision is not 8 bits",                                // 20
    "QTable number is not [0..3]",                                   // 21
    "Quantizer is 0",                                                // 22
    "Input did not begin with a JPEG SOI marker",                    // 23
    "Invalid value in JPEG APPE marker",                             // 24
    "JPEG APPE marker scan directory length > 32",                   // 25
    "Caption > 32767 bytes",                                         // 26
    "Caption allocate failed",                                       // 27
    "Invalid structure in JPEG APPE marker",                         // 28
    "Invalid table number in JPEG DHT marker",                       // 29
    "Non-Baseline table number in JPEG DHT marker",                  // 30
    "Invalid number of colors in JPEG SOS marker",                   // 31
    "JPEG SOS marker component ID matches no frame ID",              // 32
    "Invalid QTable number in JPEG SOF marker",                      // 33
    "More than 1 AC scan color is invalid",                          // 34
    "Invalid Ss Se Ah or Al field in JPEG SOS marker",               // 35
    "Progressive JPEG disallowed",                                   // 36
    "Allocate for APPn JPEG marker failed",                          // 37
    "JPEG DQT marker is invalid after first scan",                   // 38
    "JPEG SOFn DQT or DHT marker missing before SOS marker",         // 39
    "Spatial/lossless JPEG disallowed",                              // 40
    "Invalid JPEG RST%x marker position",                            // 41
    "Arithmetic-coded JPEG disallowed",                              // 42
    "Differential JPEG disallowed",                                  // 43
    "Unknown or invalid JPEG marker = 0x%X",                         // 44
    "JPEG 0x%X marker too short",                                    // 45
    "JPEG 0x%X marker too long",                                     // 46
    "Second SOI or SOFn JPEG marker is disallowed",                  // 47
    "Source is not Progressive or Sequential JPEG",                  // 48
    "Source image is truncated",                                     // 49
    "Needed code is not in HuffTable",                               // 50
    "Unusable value 0x%X in AC HuffTable",                           // 51
    "Unusable value 0x%X in DC HuffTable",                           // 52
    "HuffCounts counter >= 2^31 overflow",                           // 53
    "Stream receiving JPEG output has an error",                     // 54
    "JPEG filter output hits end-of-file",                           // 55
    "Reposition of compressed output stream failed",                 // 56
    "Optimized parameter conflicts with Baseline JPEG",              // 57
    "Part of image raster was not coded",                            // 58
    "Required dictionary parameter is missing",                      // 59
    "Number of DC or AC HuffTables > 2 JPEG Baseline limit",         // 60
};

void CodecRaise(CodecContext* context, int category, int message, int32_t argument0, int32_t argument1) {
    if (context != nullptr) {
        context->errorCategory = category;
        context->errorMessage = message;
        context->errorArguments[0] = argument0;
        context->errorArguments[1] = argument1;
    }
    std::longjmp(codecJumpPoint, category);
}

void AskToContinue(CodecContext* context) {
    context->pendingWork = 0;
    if (context->cancelHook != nullptr && context->cancelHook(context) != 0) {
        CodecRaise(context, categoryCancelled, kNoMessage);
    }
}

void CodecFatal(const char* file, int line) {
    std::fprintf(stderr, "BUG at %s line %d\n", file != nullptr ? file : "", line);
    std::exit(1);
}

void CodecBug() {
    CodecFatal(nullptr, 0);
}

}  // namespace kv::codec
