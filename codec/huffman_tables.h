// Tables shared by the decoder and the encoder: the zig-zag order and the construction of Huffman
// codes from a table's code counts.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Zig-zag position -> natural (row-major) index, extended by 16 entries that land in the discard
// slot 64 so that a run past position 63 never leaves the block.
extern const uint8_t ZigzagToNatural[80];

// Builds HUFFSIZE (terminated by 0) and HUFFCODE from BITS[1..16] by the JPEG generation procedure
// and answers the number of codes. Refuses an over-committed table (decoder: category 12, encoder:
// 16) and one with more codes than the class allows (decoder: 13, encoder: 17).
int BuildHuffmanCodes(CodecContext* context, const uint8_t* bits, uint8_t* sizes, uint16_t* codes, int isAc);

}  // namespace kv::codec
