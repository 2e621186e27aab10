// Creation and release of the codec context, its kept markers and its working block.
#include "codec/codec_context.h"

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
    return static_cast<CodecContext*>(MemoryAllocateZeroed(1, sizeof(CodecContext)));
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
