// The zig-zag order and Huffman code construction, shared by the decoder and the encoder.
#include "codec/huffman_tables.h"

#include "codec/codec_errors.h"

namespace kv::codec {

// Zig-zag position -> natural index; positions 64..79 (reached only by runs past the end of a
// block in corrupt data) all map to the discard slot 64.
const uint8_t ZigzagToNatural[80] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
    64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64,
};

int BuildHuffmanCodes(CodecContext* context, const uint8_t* bits, uint8_t* sizes, uint16_t* codes, int isAc) {
    const bool progressive = context->process == FrameProcess::progressive;
    const int limit = !isAc ? kMaxDcValues : (progressive ? kMaxAcValuesProgressive : kMaxAcValues);
    // Every length must leave at least one code free, so the all-ones code never occurs.
    int32_t free = 2;
    for (int length = 1; length <= 16; ++length) {
        free -= bits[length];
        if (free < 1) {
            CodecRaise(context, context->decoder ? categoryBadData : categoryBadHuffmanTable,
                       messageOverCommittedHuffmanTable);
        }
        free *= 2;
    }
    // Codes of one length are consecutive; moving to the next length doubles the code.
    int count = 0;
    uint32_t code = 0;
    for (int length = 1; length <= 16; ++length) {
        const int n = bits[length];
        if (count + n > limit) {
            CodecRaise(context, context->decoder ? categoryLimit : categoryHuffmanLimit, messageHuffmanTableTooLong,
                       limit);
        }
        for (int i = 0; i < n; ++i) {
            sizes[count + i] = static_cast<uint8_t>(length);
            codes[count + i] = static_cast<uint16_t>(code + static_cast<uint32_t>(i));
        }
        count += n;
        code = (code + static_cast<uint32_t>(n)) << 1;
    }
    sizes[count] = 0;
    return count;
}

}  // namespace kv::codec
