// Creation and release of the codec context, its kept markers and its working block.
#include "codec/codec_context.h"

#include <cstring>

#include "codec/codec_io.h"

namespace kv::codec {

// Zig-zag order. A table whose every entry is at least this is "coarse".
const uint8_t CoarseThresholdTable[64] = {
    9, 8, 8, 8, 7, 8, 8, 7, 7, 8, 9, 7, 7, 7, 9, 8,
    8, 7, 7, 8, 8, 8, 7, 8, 7, 8, 7, 8, 8, 7, 7, 8,
    8, 7, 7, 8, 7, 7, 7, 9, 7, 7, 7, 7, 7, 8, 8, 7,
    7, 7, 8, 7, 8, 7, 8, 7, 7, 8, 7, 7, 7, 7, 7, 7,
};

// CodecCreate clears by ranges: the table slots lie between the frame and dqtSeen, the encoder's
// fields between qualityScale and errorCategory.
static_assert(offsetof(CodecContext, acTables) == offsetof(CodecContext, dcTables) + sizeof(CodecContext::dcTables) &&
              offsetof(CodecContext, dqtSeen) == offsetof(CodecContext, acTables) + sizeof(CodecContext::acTables));
static_assert(offsetof(CodecContext, qualityScale) < offsetof(CodecContext, errorCategory));

CodecContext* CodecCreate(bool decoding) {
    auto* context = static_cast<CodecContext*>(MemoryAllocate(sizeof(CodecContext)));
    if (context == nullptr) return nullptr;
    // Zeroed, but for the decoder's one-step tables (most of the context's bytes): a table's is
    // filled whole before the first scan that decodes through it, and read by no other. A decoding
    // context also leaves the rest of each Huffman table slot (a DHT fills every field the decoder
    // reads before it marks the slot defined) and the encoder's fields, which no decoder reads.
    auto* bytes = reinterpret_cast<uint8_t*>(context);
    const auto clear = [&](std::size_t from, std::size_t to) { std::memset(bytes + from, 0, to - from); };
    const auto offsetOf = [&](const void* field) {
        return static_cast<std::size_t>(static_cast<const uint8_t*>(field) - bytes);
    };
    clear(0, offsetof(CodecContext, dcTables));
    for (HuffmanTable* tables : {context->dcTables, context->acTables}) {
        for (int i = 0; i < kMaxHuffmanTables; ++i) {
            HuffmanTable& table = tables[i];
            if (decoding) {
                table.defined = false;
                table.fastBuilt = false;
            } else {
                clear(offsetOf(&table), offsetOf(table.fast));
                clear(offsetOf(table.fast) + sizeof table.fast, offsetOf(&table) + sizeof table);
            }
        }
    }
    clear(offsetof(CodecContext, dqtSeen), decoding ? offsetof(CodecContext, qualityScale) : offsetof(CodecContext, errorCategory));
    clear(offsetof(CodecContext, errorCategory), sizeof(CodecContext));
    return context;
}

void ReleaseWorkBlock(CodecContext* context) {
    if (context->workBlock == nullptr) return;
    for (ComponentInfo& component : context->components) MemoryFree(component.plane);
    MemoryFree(context->workBlock);
    context->workBlock = nullptr;
    context->workBlockSize = 0;
    context->outputRow = nullptr;
    context->chromaTableA = nullptr;
    context->chromaTableB = nullptr;
    context->inputRow = nullptr;
    for (QuantTable& table : context->quant) table.multipliers = nullptr;
    for (int t = 0; t < 2; ++t) {
        context->thresholds[t] = nullptr;
        context->divisors[t] = nullptr;
    }
    for (int i = 0; i < 3; ++i) {
        context->lumaTables[i] = nullptr;
        context->chromaTables[i] = nullptr;
    }
    for (ComponentInfo& component : context->components) {
        component.samples = nullptr;
        component.plane = nullptr;
    }
}

void ReleaseMarkers(CodecContext* context) {
    MarkerRecord* marker = context->markers;
    context->markers = nullptr;
    while (marker != nullptr) {
        MarkerRecord* next = marker->next;
        MemoryFree(marker);
        marker = next;
    }
    MemoryFree(context->caption);
    context->caption = nullptr;
    context->captionLength = 0;
}

void CodecDestroy(CodecContext*& context) {
    MemoryFree(context);
    context = nullptr;
}

}  // namespace kv::codec
