// The working block: the one allocation per image, carved into the dequantisation tables (the
// encoder's thresholds and divisors), the components' sample buffers, the colour tables and the
// output (the encoder's input) row; beside it, one block per coefficient plane.
//
// Carving, worked through for a 227x149 YCbCr 4:2:0 baseline image (H,V = 2x2, 1x1, 1x1; two
// quantisation tables; precise colour path 3, so components 0..2 hold 16-bit samples):
//   MCUs across = ceil(227 / 16) = 15, so row widths are 15 x H x 8 x 2 bytes: 480, 240, 240.
//      0     8  back-pointer to the context
//      8   256  multipliers of table 0        264  256  multipliers of table 1
//    520  7692  component 0: (7 x 2 + 2) rows of 480 + 11 = 7691, rounded up
//                (coefficient planes, in progressive frames only, are blocks of their own)
//   8212  2172  component 1: (7 x 1 + 2) rows of 240 + 11 = 2171, rounded up
//  10384  2172  component 2
//  12556 16384  colour tables: 2 x 2048 entries of 4 bytes
//  28940   700  output row: 227 x 3 + 11 + 9 = 701, rounded down to 700
//  29640        total
// Sizes are summed in 64 bits and refused before the host is asked when they pass 2 GB.
#include "codec/work_block.h"

#include <cstring>

#include "codec/codec_errors.h"
#include "codec/codec_io.h"

namespace kv::codec {

namespace {

constexpr uint64_t kBackPointerBytes = 8;
constexpr uint64_t kLargestWorkBlock = INT32_MAX - 16;

uint64_t RoundUp4(uint64_t bytes) { return (bytes + 3) & ~uint64_t{3}; }

bool IsCoarse(const QuantTable& table) {
    for (int k = 0; k < 64; ++k) {
        if (table.entries[k] < CoarseThresholdTable[k]) return false;
    }
    return true;
}

uint64_t SampleBufferBytes(const CodecContext* context, const ComponentInfo& component) {
    if (component.h == 0) return 0;
    const uint64_t rows = 7u * static_cast<uint64_t>(component.v) + static_cast<uint64_t>(context->vMax);
    return RoundUp4(rows * static_cast<uint64_t>(component.rowWidth) + 11);
}

// A plane of N coefficients keeps N cells plus one band-end cell per block, with a little slack.
uint64_t PlaneBytes(const CodecContext* context, const ComponentInfo& component) {
    const uint64_t n = static_cast<uint64_t>(component.planeWidth) * static_cast<uint64_t>(component.planeHeight);
    if (n == 0) return 0;
    const uint64_t cells = n + n / 64 + 14;
    return RoundUp4(context->quant[component.quantTable].coarse ? cells : 2 * cells);
}

}  // namespace

uint8_t* AllocateWorkBlock(CodecContext* context, int32_t bytesPerRow, int32_t colourTableBytes, int encoder) {
    ReleaseWorkBlock(context);
    for (int i = 0; i < context->componentCount; ++i) {
        if (context->components[i].quantTable >= context->quantTablesDefined) {
            CodecRaise(context, categoryBadData, messageBadSofQuantTable);
        }
    }
    for (int i = 0; i < context->quantTablesDefined; ++i) context->quant[i].coarse = IsCoarse(context->quant[i]);

    const uint64_t tableBytes = encoder ? 512 : 256;
    uint64_t total = kBackPointerBytes + tableBytes * static_cast<uint64_t>(context->quantTablesDefined);
    uint64_t planes = 0;
    for (int i = 0; i < context->componentCount; ++i) {
        total += SampleBufferBytes(context, context->components[i]);
        planes += PlaneBytes(context, context->components[i]);
    }
    const auto colourBytes = static_cast<uint64_t>(colourTableBytes);
    total += colourBytes;
    const uint64_t rowBytes = (static_cast<uint64_t>(bytesPerRow) + 11 + 3u * static_cast<uint64_t>(context->componentCount)) &
                              ~uint64_t{3};
    total += rowBytes;
    if (total + planes > kLargestWorkBlock) {
        const int32_t reported = total + planes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total + planes);
        CodecRaise(context, categoryNoMemory, messageNoMemory, reported);
    }

    // Clearing large blocks is work of its own: the cancel hook may stop it before it starts.
    NoteWork(context, kWorkPerClearedByte * static_cast<int64_t>(total + planes));
    // Zeroed: a sample buffer that no scan fills (a component coded in a later scan) must still hold
    // samples the colour tables can index. The decoder's colour tables (16 KiB on the precise path)
    // are filled whole before any row is converted, so their bytes are left as they come.
    auto* block = static_cast<uint8_t*>(MemoryAllocate(static_cast<std::size_t>(total)));
    if (block == nullptr) CodecRaise(context, categoryNoMemory, messageNoMemory, static_cast<int32_t>(total));
    const uint64_t colourOffset = total - rowBytes - colourBytes;
    if (encoder || colourBytes == 0) {
        std::memset(block, 0, static_cast<std::size_t>(total));
    } else {
        std::memset(block, 0, static_cast<std::size_t>(colourOffset));
        std::memset(block + colourOffset + colourBytes, 0, static_cast<std::size_t>(rowBytes));
    }
    std::memcpy(block, &context, sizeof context);
    uint64_t offset = kBackPointerBytes;
    for (int i = 0; i < context->quantTablesDefined; ++i) {
        auto* table = reinterpret_cast<uint32_t*>(block + offset);
        if (encoder) {
            // The encoder keeps thresholds and divisors where the decoder keeps its multipliers.
            context->thresholds[i] = table;
            context->divisors[i] = table + 64;
        } else {
            context->quant[i].multipliers = table;
        }
        offset += tableBytes;
    }
    for (int i = 0; i < context->componentCount; ++i) {
        ComponentInfo& component = context->components[i];
        component.samples = block + offset;
        offset += SampleBufferBytes(context, component);
        component.planeCellBytes = context->quant[component.quantTable].coarse ? 1 : 2;
    }
    uint8_t* colourTables = colourBytes == 0 ? nullptr : block + offset;
    if (offset != colourOffset) CodecBug();
    offset += colourBytes;
    // The row at the end is the decoder's output row or the encoder's input row.
    context->outputRow = block + offset;
    context->inputRow = encoder ? block + offset : nullptr;
    context->outputRowLength = static_cast<int32_t>(rowBytes);
    offset += rowBytes;
    if (offset != total) CodecBug();
    context->workBlock = block;
    context->workBlockSize = static_cast<int32_t>(total);
    // Each coefficient plane is a block of its own (released with the work block): smaller blocks
    // than one for the whole image, which a memory manager can hand out again without fresh pages.
    // The decoder's planes start at zero; the encoder writes every cell of a block into its planes
    // before any scan reads it, so its planes are left as they come.
    for (int i = 0; i < context->componentCount; ++i) {
        ComponentInfo& component = context->components[i];
        const uint64_t planeBytes = PlaneBytes(context, component);
        if (planeBytes == 0) continue;
        const auto bytes = static_cast<std::size_t>(planeBytes);
        component.plane = static_cast<uint8_t*>(encoder ? MemoryAllocate(bytes) : MemoryAllocateZeroed(1, bytes));
        if (component.plane == nullptr) {
            ReleaseWorkBlock(context);
            CodecRaise(context, categoryNoMemory, messageNoMemory, static_cast<int32_t>(planeBytes));
        }
    }
    return colourTables;
}

}  // namespace kv::codec
