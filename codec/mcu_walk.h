// The order of the blocks within one MCU of an interleaved scan, shared by every decoder and encoder
// pass: each scan component in scan order, its V rows of H blocks, left to right, top to bottom.
#pragma once

#include "codec/codec_context.h"

namespace kv::codec {

// Calls visit(scan component, block row, block column) for every block of MCU `mcu` of MCU row
// `mcuRow`, in coding order; block rows and columns count in the component's own blocks.
template <class Visit>
inline void ForEachBlockOfMcu(CodecContext* context, int mcuRow, int mcu, Visit&& visit) {
    for (int i = 0; i < context->scanComponentCount; ++i) {
        ScanComponent* scan = &context->scan[i];
        const ComponentInfo* component = scan->component;
        for (int row = 0; row < component->v; ++row) {
            for (int column = 0; column < component->h; ++column) {
                visit(scan, mcuRow * component->v + row, mcu * component->h + column);
            }
        }
    }
}

}  // namespace kv::codec
