// The codec's one record per image, shared by the decoder and the encoder, with the records it
// points to: frame and scan components, Huffman and quantisation table slots, kept markers, and the
// single working block. Units: samples are 8-bit (or 11-bit in 16-bit cells on the precise colour
// path), coefficients 32-bit, lengths in bytes unless a field says otherwise.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/codec_io.h"

namespace kv::codec {

inline constexpr int kMaxComponents = 4;
inline constexpr int kMaxQuantTables = 4;
inline constexpr int kMaxHuffmanTables = 4;
inline constexpr int kMaxDcValues = 12;
inline constexpr int kMaxAcValues = 162;
inline constexpr int kMaxAcValuesProgressive = 176;
inline constexpr int kMaxScanDirectory = 32;
// Bits of look-ahead the sequential decoder resolves in one step: a code, and the value bits after
// it when they fit too.
inline constexpr int kFastLookupBits = 10;

// The colour transform's value when no APPE marker gave one.
inline constexpr int32_t kTransformUnset = 16383;

// Quantisation table is coarse when every entry is at least this, position by position (zig-zag
// order): its progressive coefficients then fit in signed bytes.
extern const uint8_t CoarseThresholdTable[64];

struct CodecContext;

// The frame's coding process, as its SOF marker numbers it.
enum class FrameProcess : int32_t {
    baseline = 0,
    extended = 1,      // extended sequential
    progressive = 2,
};

// The decoder's reader states.
enum ReaderState : int32_t {
    readerStart = 0,        // nothing read
    readerBetweenScans = 1, // SOI seen, no scan running
    readerFinished = 2,     // end of image reached, every scan delivered
    readerDecodeRow = 4,    // inside a scan: the next MCU row must be decoded
    readerDeliverRows = 5,  // rows of the current MCU row remain to be delivered
};

// A kept APPn or COM marker, exactly as it stood in the file behind the record's two fields.
struct MarkerRecord {
    MarkerRecord* next;
    int32_t totalBytes;       // payload length + 4
    uint8_t bytes[1];         // 0xFF, code, big-endian segment length (payload + 2), payload
};
inline constexpr std::size_t kMarkerRecordHeader = offsetof(MarkerRecord, bytes);

// Offered every APPn and COM marker with its payload; a zero answer drops it again.
using KeptMarkerHook = int (*)(CodecContext* context, int code, std::span<const uint8_t> payload);

// Asked now and then during long stretches of decoding work; a nonzero answer stops the codec.
using CancelHook = int (*)(CodecContext* context);

struct ComponentInfo {
    uint8_t id;                   // from SOF
    uint8_t quantTable;           // 0..3
    int32_t h;                    // horizontal sampling factor 1..4
    int32_t v;                    // vertical sampling factor 1..4
    int32_t rowWidth;             // bytes per row of the sample buffer
    uint8_t* samples;             // sample buffer in the WorkBlock
    bool wideSamples;             // true: samples are 16-bit (precise colour path, components 0..2)
    int32_t planeWidth;           // progressive: coefficient plane width in samples
    int32_t planeHeight;          // progressive: coefficient plane height in samples
    uint8_t* plane;               // progressive: coefficient plane, a block of its own beside the WorkBlock
    int32_t planeCellBytes;       // progressive: 1 (coarse table: signed bytes) or 2 (int16 cells)
    bool fullSize;                // true: H and V equal Hmax and Vmax
    int32_t dcTable;              // encoder: the component's DC Huffman slot, 0..3
    int32_t acTable;              // encoder: the component's AC Huffman slot, 0..3
};

// One Huffman table slot: the table as read or chosen and the decoder's look-up data.
struct HuffmanTable {
    uint8_t bits[17];             // bits[1..16]: number of codes of each length
    uint8_t values[kMaxAcValuesProgressive];
    int32_t valueCount;
    int32_t maxCode[18];          // [1..16]: largest left-aligned 16-bit pattern of each length, -1 if
                                  // none; [17] is a sentinel above every look-ahead
    int32_t limit;                // look-aheads at or above this match no code
    int32_t valueOffset[17];      // [1..16]: HUFFVAL position of the length's first code minus that code
    uint16_t lookahead[128];      // AC only: next 7 bits -> symbol x 256 + length, or 16 + (L0 - 1)
    int32_t fast[1 << kFastLookupBits]; // next 10 bits -> value x 65536 + symbol x 256 + flags and
                                  // length (see FastEntry in huffman_decode.cpp); 0: search
    bool defined;                 // once a DHT (or the encoder) has filled the slot
    bool fastBuilt;               // decoder: `fast` is filled for the table as it stands
};

struct ScanComponent {
    ComponentInfo* component;
    int32_t dcTable;              // 0..3
    int32_t acTable;              // 0..3
    HuffmanTable* dc;
    HuffmanTable* ac;
    int32_t dcPredictor;
};

struct QuantTable {
    uint16_t entries[64];         // zig-zag order, as read (or computed by the encoder)
    uint32_t* multipliers;        // 64 dequantisation multipliers in the WorkBlock (zig-zag order)
    bool coarse;                  // true: every entry meets CoarseThresholdTable
};

// The encoder's right-edge geometry of one component.
struct EncoderEdge {
    int32_t paddedWidth;          // samples per row: MCUs per row x H x 8 (one component: width to 8)
    int32_t dataWidth;            // samples that hold image data
    int32_t validColumns;         // 0..7 valid columns of the last block holding data (0: whole)
    int32_t lastBlockStart;       // first sample of the last block holding data
};

// One Huffman table turned into codes for the encoder: per symbol index the code and the total
// length (code length plus the extra bits that follow it); a length of 0 marks a symbol without a
// code. DC tables use indices 0..11, AC tables 0..175 (size x 16 + run, EOBr at r, ZRL at 15).
struct HuffmanCodes {
    uint16_t code[kMaxAcValuesProgressive];
    uint8_t length[kMaxAcValuesProgressive];
};

// One scan of a progressive script: a band Ss..Se of `count` consecutive components from `first`,
// at bit position Ah/Al, with the AC slot of an AC scan and whether its end offset is recorded.
struct ScanScriptEntry {
    uint8_t ss, se, ah, al;
    uint8_t count, first;
    uint8_t directory;
    uint8_t acSlot;
};

struct CodecContext {
    // --- Image: set up once per image ---
    StreamBuffer* stream;         // ByteSource when decoding, ByteSink when encoding
    bool decoder;                 // true decoding, false encoding
    FrameProcess process;
    bool progressive;             // SOF2 only
    bool relaxedSampling;         // SOF1 and SOF2: sampling sums above 10 allowed
    int32_t colourTransform;      // 0 none, 1 YCbCr, 2 YCCK; kTransformUnset when no APPE gave one
    bool preciseColour;           // true: 11-bit intermediate samples on the colour path
    KeptMarkerHook markerHook;
    MarkerRecord* markers;        // kept markers in file order
    CancelHook cancelHook;        // null: never asked (see NoteWork)
    int64_t pendingWork;          // work units done since the hook was last asked

    // APPE marker.
    int32_t appeVersion;          // 16-bit
    uint32_t appeFlags;           // first flag word in the high half
    char* caption;                // NUL-terminated, from the memory service
    int32_t captionLength;        // 0..32767
    int32_t scanDirectoryCount;   // 0..32
    uint8_t scanDirectoryScans[kMaxScanDirectory];
    uint32_t scanDirectoryOffsets[kMaxScanDirectory];

    // --- Frame: from SOF ---
    int32_t width;                // 1..65535 samples per line
    int32_t height;               // 1..65535 lines
    int32_t componentCount;       // 1..4
    ComponentInfo components[kMaxComponents];
    int32_t hMax;                 // 1..4
    int32_t vMax;                 // 1..4
    int32_t bytesPerRow;          // width x components
    int32_t paddedRowLength;      // ceil(width / Hmax) x components x Hmax
    int32_t componentsTimesHmax;
    int32_t colourPath;           // 0..5
    bool fourLine;                // true: the four-line shortcut applies
    int32_t restartInterval;      // MCUs between restart markers, 0 = none

    // --- Tables ---
    int32_t quantTablesDefined;   // one more than the highest table number seen, 0..4
    QuantTable quant[kMaxQuantTables];
    HuffmanTable dcTables[kMaxHuffmanTables];
    HuffmanTable acTables[kMaxHuffmanTables];
    int32_t dqtSeen;              // length of the last DQT segment's body; 0 = none seen
    int32_t dhtSeen;              // length of the last DHT segment's body; 0 = none seen

    // --- Scan ---
    int32_t scanComponentCount;   // 1..4
    ScanComponent scan[kMaxComponents];
    int32_t ss, se, ah, al;       // spectral selection 0..63, successive approximation 0..13
    int32_t mcusPerRow;
    int32_t mcuRows;
    int32_t mcuNumber;            // blocks (MCUs) since the scan start
    int32_t scansCompleted;
    int32_t scansDelivered;
    bool endOfImage;              // once EOI was seen
    int32_t restartsLeft;         // MCUs before the next restart marker
    int32_t nextRestart;          // 0..7
    bool oneStepTables;           // the scan decodes through its tables' one-step tables (built)

    // --- Entropy decoder position ---
    int32_t lookahead;            // next unread byte 0..255; -1 or 256+ when the source ended
    uint64_t bitBuffer;           // the top bitCount bits are valid, the rest 0
    int32_t bitCount;             // 0..64
    ReaderState readerState;

    // --- Output ---
    uint8_t* outputRow;           // in the WorkBlock
    int32_t outputRowLength;
    int32_t blockLine;            // 0..7 within the MCU row
    int32_t subRow;               // 0..Vmax-1
    int32_t rowsDelivered;
    int32_t* chromaTableA;        // colour-transform tables in the WorkBlock
    int32_t* chromaTableB;

    // --- Working memory ---
    uint8_t* workBlock;           // first 8 bytes point back to this context
    int32_t workBlockSize;

    // --- Encoder parameters, set by the caller before EncoderStart (from here to the last raised
    // error, a decoding context's bytes are left as they come). The encoder also uses the
    // fields above: width, height, componentCount (the colour count), components[].h and .v,
    // colourTransform, preciseColour (the 16-bit sample mode), process (the frame mode),
    // restartInterval, appeVersion, appeFlags, caption and markers (the APPn list after SOI).
    float qualityScale;           // multiplier of the base quantisation tables
    int32_t quantiserCap;         // largest encoding quantiser, 1..255
    float reductionFactor;        // scales the stored (DQT) quantiser, 0.75 from the write pipeline
    int32_t tableSelection;       // bits 1-3: luma base table, bits 4-5: chroma base table
    int32_t scanScript;           // 1..4, progressive only
    bool bufferWholeImage;        // true: quantised blocks kept in the coefficient buffer
    bool optimise;                // optimal tables, shared as the fixed ones are
    bool statisticsPass;          // while code writes only count
    bool averaging;               // true: subsampling averages the merged samples

    // --- Encoder state ---
    int32_t encoderState;         // 0 before the first row, 1 scan starting, 2 taking rows, 3 done
    uint8_t* inputRow;            // in the WorkBlock: width x colour count bytes plus 3 pixels
    int32_t inputRowLength;       // width x colour count
    int32_t rowInGroup;           // 0..Vmax-1: input row within the row group
    int32_t rowGroup;             // 0..7: row group within the MCU row
    int32_t rowsTaken;            // input rows received, 0..height
    int32_t repeatedRows;         // rows converted again at the bottom edge, 0..Vmax-1
    int32_t mcuRowsCoded;         // MCU rows coded in the current pass
    int32_t quantTableCount;      // 1..2
    int32_t dcTableCount;         // 1..4
    int32_t acTableCount;         // 1..4
    uint8_t encodingQuant[2][64]; // zig-zag order: threshold-deciding quantisers
    uint32_t* thresholds[2];      // per table, natural order, in the WorkBlock (PrepareDivisors)
    uint32_t* divisors[2];
    uint32_t reciprocals[2][64];      // per table, zig-zag order: the divisors' reciprocals (PrepareReciprocals)
    uint8_t reciprocalShifts[2][64];
    EncoderEdge edges[kMaxComponents];
    int32_t* lumaTables[3];       // forward colour tables per input channel, in the WorkBlock
    int32_t* chromaTables[3];     // packed Cb (high 16 bits) and Cr (low 16 bits) per input channel
    int32_t chromaTableEntries;   // 511 with pair sums, else 256
    HuffmanCodes dcCodes[kMaxHuffmanTables];
    HuffmanCodes acCodes[kMaxHuffmanTables];
    bool optimalInstalled;        // once optimal tables replaced the defaults
    uint64_t outputBits;          // entropy-coded bits not yet written: the low outputBitCount bits
    int32_t outputBitCount;       // 0..31
    uint32_t bytesWritten;        // every byte written since SOI, stuffing included
    int32_t restartCountdown;
    int32_t restartMarker;        // 0..7

    // --- Encoder: buffered passes (optimised and progressive output) ---
    uint32_t dcCounts[kMaxHuffmanTables][13];   // size categories 0..11; entry 12 reserved
    uint32_t acCounts[kMaxHuffmanTables][177];  // the 176 AC indices; entry 176 reserved
    const ScanScriptEntry* script;              // progressive: the chosen scan script
    int32_t scriptLength;                       // 3..18
    int32_t scanNumber;                         // 0..scriptLength-1
    int32_t eobRun;                             // pending end-of-band run, 0..32767 blocks
    uint32_t eobBits[8];                        // correction bits buffered for the run, MSB first
    int32_t eobBitCount;                        // 0..256
    int32_t directoryPosition;                  // output position of the directory placeholders; 0: none

    // --- Last raised error, kept for diagnosis only ---
    int32_t errorCategory;
    int32_t errorMessage;
    int32_t errorArguments[2];
    int32_t failureResult;        // the host result the shell answered for the raise; 0 before one
};

// Sample buffers (uint8_t or uint16_t samples) and coefficient planes (int8_t or int16_t cells) are
// carved from the work block as bytes: the one view of such bytes as cells of their type.
template <class Cell>
inline Cell* CellsOf(uint8_t* bytes) {
    static_assert(sizeof(Cell) <= 2, "planes hold byte or 16-bit cells");
    return reinterpret_cast<Cell*>(bytes);
}
template <class Cell>
inline const Cell* CellsOf(const uint8_t* bytes) {
    static_assert(sizeof(Cell) <= 2, "planes hold byte or 16-bit cells");
    return reinterpret_cast<const Cell*>(bytes);
}

// Creates a zeroed context from the memory service (for decoding: with only what a decoder reads
// before it writes zeroed, see CodecCreate); null when there is no memory.
CodecContext* CodecCreate(bool decoding = false);
// Frees the working block if there is one; safe to call twice.
void ReleaseWorkBlock(CodecContext* context);
// Frees every kept marker and the caption; safe to call twice.
void ReleaseMarkers(CodecContext* context);
// Frees the context itself (the shell calls this after releasing the rest).
void CodecDestroy(CodecContext*& context);

}  // namespace kv::codec
