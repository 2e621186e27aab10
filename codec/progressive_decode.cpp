// Progressive scans into coefficient planes. Input: one scan's entropy-coded data; output: quantised
// coefficients in zig-zag order in each block's 65 cells (cell 64 is the block's band end: the
// highest zig-zag position any AC scan has reached), signed bytes for components with a coarse
// quantisation table and 16-bit values otherwise. Values that do not fit a cell are truncated.
#include "codec/mcu_walk.h"
#include "codec/progressive_decode.h"

#include "codec/bit_reader.h"
#include "codec/codec_errors.h"
#include "codec/huffman_decode.h"

namespace kv::codec {

namespace {

constexpr int kBandEnd = 64;

template <class Cell>
Cell* BlockCells(const ComponentInfo* component, int blockRow, int blockColumn) {
    const std::size_t index = static_cast<std::size_t>(blockRow) * (component->planeWidth / 8) + blockColumn;
    return CellsOf<Cell>(component->plane) + index * 65;
}

template <class Cell>
inline void Store(Cell* cell, int32_t value) {
    *cell = static_cast<Cell>(value);
}

inline int32_t ShiftUp(int32_t value, int bits) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) << bits);
}

// An end-of-band run: 2^r plus r more bits, minus the band that ends here.
int32_t ReadEndOfBandRun(CodecContext* context, BitState& bits, int r) {
    return (1 << r) + static_cast<int32_t>(TakeFilled(context, bits, r)) - 1;
}

template <bool OneStep, class Cell>
void DecodeDcFirst(CodecContext* context, BitState& bits, ScanComponent* scan, Cell* cells) {
    int32_t difference;
    DecodeSymbol<false, OneStep>(context, bits, scan->dc, &difference);
    scan->dcPredictor = static_cast<int32_t>(static_cast<uint32_t>(scan->dcPredictor) + static_cast<uint32_t>(difference));
    Store(&cells[0], ShiftUp(scan->dcPredictor, context->al));
}

template <class Cell>
void DecodeDcRefine(CodecContext* context, BitState& bits, Cell* cells) {
    const auto bit = static_cast<int32_t>(TakeFilled(context, bits, 1));
    Store(&cells[0], cells[0] + ShiftUp(bit, context->al));
}

template <bool OneStep, class Cell>
void DecodeAcFirst(CodecContext* context, BitState& bits, const ScanComponent* scan, Cell* cells,
                   int32_t* endOfBandRun) {
    if (*endOfBandRun > 0) {
        --*endOfBandRun;
        return;
    }
    const int se = context->se;
    int k = context->ss - 1;
    for (;;) {
        int32_t value;
        const int symbol = DecodeSymbol<true, OneStep>(context, bits, scan->ac, &value);
        const int run = symbol >> 4;
        const int size = symbol & 15;
        if (size != 0) {
            k += run + 1;
            // A run past the end of the block lands nowhere.
            if (k < 64) Store(&cells[k], ShiftUp(value, context->al));
        } else if (run == 15) {
            k += 16;
        } else {
            *endOfBandRun = ReadEndOfBandRun(context, bits, run);
            break;
        }
        if (k >= se) break;
    }
    if (k > se) k = se;
    if (k > cells[kBandEnd]) Store(&cells[kBandEnd], k);
}

// Applies a correction bit to a nonzero cell: its magnitude grows by p.
template <class Cell>
inline void Correct(CodecContext* context, BitState& bits, Cell* cell, int32_t p) {
    if (TakeFilled(context, bits, 1) != 0) Store(cell, *cell > 0 ? *cell + p : *cell - p);
}

template <bool OneStep, class Cell>
void DecodeAcRefine(CodecContext* context, BitState& bits, const ScanComponent* scan, Cell* cells,
                    int32_t* endOfBandRun) {
    const int se = context->se;
    const int32_t p = 1 << context->al;
    int k = context->ss - 1;
    if (*endOfBandRun > 0) {
        --*endOfBandRun;
    } else {
        for (;;) {
            int32_t value;
            const int symbol = DecodeSymbol<true, OneStep>(context, bits, scan->ac, &value);
            int run = symbol >> 4;
            const int size = symbol & 15;
            if (size != 0) {
                value = static_cast<int32_t>(static_cast<uint32_t>(value) * static_cast<uint32_t>(p));
            } else if (run != 15) {
                *endOfBandRun = ReadEndOfBandRun(context, bits, run);
                break;
            }
            // Walk to the run-th zero cell, correcting the nonzero cells passed on the way.
            for (;;) {
                ++k;
                if (k > se) {
                    StoreBits(context, bits);
                    CodecRaise(context, categoryBadData, messageMissingEndOfBlockCode, context->mcuNumber);
                }
                if (cells[k] != 0) {
                    Correct(context, bits, &cells[k], p);
                } else if (run == 0) {
                    break;
                } else {
                    --run;
                }
            }
            Store(&cells[k], value);
            if (k >= se) break;
        }
    }
    // The rest of the band: beyond the block's band end every cell is zero and takes no bit.
    if (k <= cells[kBandEnd]) {
        for (int j = k + 1; j <= se; ++j) {
            if (cells[j] != 0) Correct(context, bits, &cells[j], p);
        }
    }
    if (k > cells[kBandEnd]) Store(&cells[kBandEnd], k);
}

// The four kinds of scan, chosen by Ss and Ah.
enum class ScanKind { dcFirst, dcRefine, acFirst, acRefine };

ScanKind KindOf(const CodecContext* context) {
    if (context->ss == 0) return context->ah == 0 ? ScanKind::dcFirst : ScanKind::dcRefine;
    return context->ah == 0 ? ScanKind::acFirst : ScanKind::acRefine;
}

// Decodes `count` blocks of one block row from blockColumn on (no restart point among them), one after
// another with the bit reader and the end-of-band run in registers. In an AC first scan the blocks
// inside an end-of-band run stay unchanged and are passed over together. OneStep: the scan's tables
// have their one-step tables (see PrepareScanTables).
template <class Cell, ScanKind Kind, bool OneStep>
void DecodeBlockRun(CodecContext* context, ScanComponent* scan, int blockRow, int blockColumn, int count,
                    int32_t* endOfBandRun) {
    Cell* cells = BlockCells<Cell>(scan->component, blockRow, blockColumn);
    BitState bits = LoadBits(context);
    int32_t run = *endOfBandRun;
    for (int i = 0; i < count; ++i, cells += 65) {
        if constexpr (Kind == ScanKind::dcFirst) {
            DecodeDcFirst<OneStep>(context, bits, scan, cells);
        } else if constexpr (Kind == ScanKind::dcRefine) {
            DecodeDcRefine(context, bits, cells);
        } else if constexpr (Kind == ScanKind::acFirst) {
            if (run > 0) {
                const int passed = run < count - i ? run : count - i;
                run -= passed;
                context->mcuNumber += passed;
                i += passed - 1;
                cells += 65 * (passed - 1);
                continue;
            }
            DecodeAcFirst<OneStep>(context, bits, scan, cells, &run);
        } else {
            DecodeAcRefine<OneStep>(context, bits, scan, cells, &run);
        }
        ++context->mcuNumber;
    }
    StoreBits(context, bits);
    *endOfBandRun = run;
}

template <ScanKind Kind, bool OneStep>
void DecodeBlocksOfCells(CodecContext* context, ScanComponent* scan, int blockRow, int blockColumn, int count,
                         int32_t* endOfBandRun) {
    if (scan->component->planeCellBytes == 1) {
        DecodeBlockRun<int8_t, Kind, OneStep>(context, scan, blockRow, blockColumn, count, endOfBandRun);
    } else {
        DecodeBlockRun<int16_t, Kind, OneStep>(context, scan, blockRow, blockColumn, count, endOfBandRun);
    }
}

template <ScanKind Kind>
void DecodeBlocksOfKind(CodecContext* context, ScanComponent* scan, int blockRow, int blockColumn, int count,
                        int32_t* endOfBandRun) {
    if constexpr (Kind == ScanKind::dcRefine) {
        // No symbols to decode.
        DecodeBlocksOfCells<Kind, false>(context, scan, blockRow, blockColumn, count, endOfBandRun);
    } else if (context->oneStepTables) {
        DecodeBlocksOfCells<Kind, true>(context, scan, blockRow, blockColumn, count, endOfBandRun);
    } else {
        DecodeBlocksOfCells<Kind, false>(context, scan, blockRow, blockColumn, count, endOfBandRun);
    }
}

void DecodeBlocksOfComponent(CodecContext* context, ScanComponent* scan, int blockRow, int blockColumn, int count,
                             int32_t* endOfBandRun) {
    switch (KindOf(context)) {
        case ScanKind::dcFirst:
            return DecodeBlocksOfKind<ScanKind::dcFirst>(context, scan, blockRow, blockColumn, count, endOfBandRun);
        case ScanKind::dcRefine:
            return DecodeBlocksOfKind<ScanKind::dcRefine>(context, scan, blockRow, blockColumn, count, endOfBandRun);
        case ScanKind::acFirst:
            return DecodeBlocksOfKind<ScanKind::acFirst>(context, scan, blockRow, blockColumn, count, endOfBandRun);
        case ScanKind::acRefine:
            return DecodeBlocksOfKind<ScanKind::acRefine>(context, scan, blockRow, blockColumn, count, endOfBandRun);
    }
}

}  // namespace

void DecodeScanProgressive(CodecContext* context) {
    context->mcuNumber = 0;
    int32_t endOfBandRun = 0;
    if (context->scanComponentCount > 1) {
        int64_t blocksPerMcu = 0;
        for (int i = 0; i < context->scanComponentCount; ++i) {
            blocksPerMcu += context->scan[i].component->h * context->scan[i].component->v;
        }
        for (int mcuRow = 0; mcuRow < context->mcuRows; ++mcuRow) {
            NoteWork(context, kWorkPerBlock * blocksPerMcu * context->mcusPerRow);
            for (int mcu = 0; mcu < context->mcusPerRow; ++mcu) {
                CountRestart(context);
                ForEachBlockOfMcu(context, mcuRow, mcu, [&](ScanComponent* scan, int row, int column) {
                    DecodeBlocksOfComponent(context, scan, row, column, 1, &endOfBandRun);
                });
            }
        }
        return;
    }
    ScanComponent* scan = &context->scan[0];
    for (int row = 0; row < context->mcuRows; ++row) {
        NoteWork(context, kWorkPerBlock * context->mcusPerRow);
        if (context->restartInterval == 0) {
            // No restart point anywhere: the whole block row in one run.
            DecodeBlocksOfComponent(context, scan, row, 0, context->mcusPerRow, &endOfBandRun);
            continue;
        }
        for (int column = 0; column < context->mcusPerRow; ++column) {
            CountRestart(context);
            DecodeBlocksOfComponent(context, scan, row, column, 1, &endOfBandRun);
        }
    }
}

}  // namespace kv::codec
