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

CodecContext* CodecCreate() {
    auto* context = static_cast<CodecContext*>(MemoryAllocate(sizeof(CodecContext)));
    if (context == nullptr) return nullptr;
    // Zeroed, but for the decoder's one-step tables (most of the context's bytes): a table's is
    // filled whole before the first scan that decodes through it, and read by no other.
    auto* bytes = reinterpret_cast<uint8_t*>(context);
    std::size_t from = 0;
    const auto clearUpTo = [&](const HuffmanTable& table) {
        const auto fast = static_cast<std::size_t>(reinterpret_cast<const uint8_t*>(table.fast) - bytes);
        std::memset(bytes + from, 0, fast - from);
        from = fast + sizeof table.fast;
    };
    for (const HuffmanTable& table : context->dcTables) clearUpTo(table);
    for (const HuffmanTable& table : context->acTables) clearUpTo(table);
    std::memset(bytes + from, 0, sizeof(CodecContext) - from);
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
