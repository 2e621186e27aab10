// The codec's error mechanism: categories, the message table, the raise that unwinds to the
// shell's jump point, and the fatal report for internal consistency failures.
#pragma once

#include <csetjmp>
#include <cstdint>

struct CodecContext;

// Error categories: the value the raise hands to the jump point.
enum CodecCategory : int {
    categoryBadParameter = 1,      // invalid encoder parameter
    categoryConflict = 3,          // sampling sum over 10 in baseline; optimised option conflicts
    categoryMissingCode = 4,       // a needed code is not in a Huffman table
    categoryUnsupported = 5,       // lossless, arithmetic or differential process
    categoryNoMemory = 7,
    categorySourceFailed = 10,     // source ended or failed
    categoryBadData = 12,          // invalid or unsupported data
    categoryLimit = 13,            // a size limit exceeded
    categoryOutputFailed = 14,     // output stream failed or hit end of file
    categoryReposition = 15,       // output stream failed to reposition
    categoryBadHuffmanSpec = 16,   // invalid Huffman specification (encoder)
    categoryHuffmanLimit = 17,     // Huffman entry limit exceeded (encoder)
};

inline constexpr int kCodecMessageCount = 61;
// The message texts by number. They stay inside the module; the host never sees them.
extern const char* const CodecMessages[kCodecMessageCount];

// The single process-wide jump point, armed by the shell before every call into the codec.
extern std::jmp_buf codecJumpPoint;

// Records the error in the context and unwinds to the jump point with the category as its value.
[[noreturn]] void CodecRaise(CodecContext* context, int category, int message, int32_t argument0 = 0,
                             int32_t argument1 = 0);

// Prints "BUG at FILE line LINE" to standard error and ends the process with status 1.
[[noreturn]] void CodecFatal(const char* file, int line);

using FatalReportProc = void (*)(const char* file, int line);
// The process's fatal-report routine, installed by CodecCreate.
extern FatalReportProc codecFatalReport;

// Reports an internal consistency failure (no file content can cause one) and ends the process.
[[noreturn]] void CodecBug();
