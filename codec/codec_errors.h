// The codec's error mechanism: categories, the message table, the raise that unwinds to the
// shell's jump point, and the fatal report for internal consistency failures.
#pragma once

#include <csetjmp>
#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Error categories: the value the raise hands to the jump point.
enum CodecCategory : int {
    categoryBadParameter = 1,      // invalid encoder parameter
    categoryConflict = 3,          // sampling sum over 10 in baseline; optimised option conflicts
    categoryMissingCode = 4,       // a needed code is not in a Huffman table
    categoryUnsupported = 5,       // lossless, arithmetic or differential process
    categoryNoMemory = 7,
    categorySourceFailed = 10,     // source ended or failed
    categoryDataReserved = 11,     // never raised; answered as the data failures are
    categoryBadData = 12,          // invalid or unsupported data
    categoryLimit = 13,            // a size limit exceeded
    categoryOutputFailed = 14,     // output stream failed or hit end of file
    categoryReposition = 15,       // output stream failed to reposition
    categoryBadHuffmanTable = 16,   // invalid Huffman table (encoder)
    categoryHuffmanLimit = 17,     // Huffman entry limit exceeded (encoder)
    categoryCancelled = 18,        // the context's cancel hook asked to stop (no message)
};

// Message numbers: the index of each text in CodecMessages.
enum CodecMessage : int {
    messageNoMemory = 0,
    messageBadSampling = 1,
    messageSamplingSumOverTen = 2,
    messageBadColourTransform = 3,
    messageOverCommittedHuffmanTable = 4,
    messageHuffmanTableTooLong = 5,
    messageMissingEndOfBlockCode = 6,
    messageMarkerWhereRestartExpected = 7,
    messageRestartWhereCodesExpected = 8,
    messageMarkerInCodedData = 9,
    messageSourceEndedInScan = 10,
    messageMissingMarkerBeforeScan = 11,
    messageCodeTooLong = 12,
    messageSourceEndedInMarker = 13,
    messageAcValueUnusable = 14,
    messageDcValueUnusable = 15,
    messagePrecisionAboveEight = 16,
    messageWidthZero = 17,
    messageHeightZero = 18,
    messageBadColourCount = 19,
    messageQuantPrecisionNotEight = 20,
    messageBadQuantTableNumber = 21,
    messageQuantiserZero = 22,
    messageMissingSoi = 23,
    messageBadAppeValue = 24,
    messageAppeDirectoryTooLong = 25,
    messageCaptionTooLong = 26,
    messageCaptionNoMemory = 27,
    messageBadAppeStructure = 28,
    messageBadDhtTableNumber = 29,
    messageDhtTableNotBaseline = 30,
    messageBadSosColourCount = 31,
    messageSosComponentUnknown = 32,
    messageBadSofQuantTable = 33,
    messageSeveralAcScanColours = 34,
    messageBadScanBand = 35,
    messageProgressiveRefused = 36,
    messageMarkerNoMemory = 37,
    messageDqtAfterFirstScan = 38,
    messageTablesMissingBeforeSos = 39,
    messageLosslessRefused = 40,
    messageMisplacedRestart = 41,
    messageArithmeticRefused = 42,
    messageDifferentialRefused = 43,
    messageUnknownMarker = 44,
    messageMarkerTooShort = 45,
    messageMarkerTooLong = 46,
    messageSecondSoiOrSof = 47,
    messageNotProgressiveOrSequential = 48,
    messageSourceTruncated = 49,
    messageCodeMissingFromTable = 50,
    messageUnusableAcValue = 51,
    messageUnusableDcValue = 52,
    messageCountOverflow = 53,
    messageOutputFailed = 54,
    messageOutputEnded = 55,
    messageRepositionFailed = 56,
    messageOptimisedConflictsWithBaseline = 57,
    messageRasterNotCoded = 58,
    messageMissingParameter = 59,
    messageTooManyBaselineTables = 60,
};

// The message number of a raise that carries no message.
inline constexpr int kNoMessage = -1;

inline constexpr int kCodecMessageCount = 61;
// The message texts by number. They stay inside the module; the host never sees them.
extern const char* const CodecMessages[kCodecMessageCount];

// The single process-wide jump point, armed by the shell before every call into the codec.
extern std::jmp_buf codecJumpPoint;

// Work units, each about a nanosecond of decoding, between two questions to the cancel hook.
inline constexpr int64_t kWorkBetweenCancelChecks = int64_t{1} << 20;
// What one unit of progress costs: a byte the marker reader reads or skips (64 KiB between
// questions), a block decoded into the coefficient planes (16384 blocks), a byte of working memory
// cleared (1 MiB).
inline constexpr int64_t kWorkPerMarkerByte = 16;
inline constexpr int64_t kWorkPerBlock = 64;
inline constexpr int64_t kWorkPerClearedByte = 1;

// Asks the context's cancel hook, when it has one; a nonzero answer raises categoryCancelled.
void AskToContinue(CodecContext* context);

// Counts work done; once enough has gathered since the last question, asks the cancel hook.
inline void NoteWork(CodecContext* context, int64_t units) {
    context->pendingWork += units;
    if (context->pendingWork >= kWorkBetweenCancelChecks) AskToContinue(context);
}

// Records the error in the context and unwinds to the jump point with the category as its value.
[[noreturn]] void CodecRaise(CodecContext* context, int category, int message, int32_t argument0 = 0,
                             int32_t argument1 = 0);

// Prints "BUG at FILE line LINE" to standard error and ends the process with status 1.
[[noreturn]] void CodecFatal(const char* file, int line);

// Reports an internal consistency failure (no file content can cause one) and ends the process.
[[noreturn]] void CodecBug();

}  // namespace kv::codec
