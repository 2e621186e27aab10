// Builds small JPEG streams segment by segment, for tests that need a particular structure or a
// particular fault. The default tables make the smallest possible entropy-coded data: one DC code
// "0" (difference 0) and one AC code "0" (end of block), so every block is the two bits 00 and
// decodes to flat mid-grey.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct FrameComponent {
    int id;
    int h;
    int v;
    int table;
};

struct ScanSelector {
    int id;
    int dcTable;
    int acTable;
};

class JpegBuilder {
public:
    JpegBuilder& Soi();
    JpegBuilder& Eoi();
    // A marker segment with the given code and payload (the length is added).
    JpegBuilder& Segment(int code, const std::vector<uint8_t>& payload);
    JpegBuilder& App(int n, const std::vector<uint8_t>& payload) { return Segment(0xE0 + n, payload); }
    JpegBuilder& App(int n, const std::string& payload);
    // One 8-bit table of 64 equal entries.
    JpegBuilder& Dqt(int number, int value = 1);
    JpegBuilder& Sof(int code, int width, int height, const std::vector<FrameComponent>& components,
                     int precision = 8);
    // The one-code tables described above, for DC and AC slot `number`.
    JpegBuilder& FlatDht(int number);
    JpegBuilder& Dht(int tableClass, int number, const std::vector<uint8_t>& bits16,
                     const std::vector<uint8_t>& values);
    JpegBuilder& Dri(int interval);
    JpegBuilder& Sos(const std::vector<ScanSelector>& components, int ss = 0, int se = 63, int ah = 0, int al = 0);
    // Entropy-coded data of `blocks` flat blocks with the flat tables.
    JpegBuilder& FlatBlocks(int blocks);
    JpegBuilder& Raw(const std::vector<uint8_t>& bytes);

    // SOI, DQT 0, SOF0 of the given components, flat tables 0 and 1, one interleaved scan of every
    // component, its flat data and EOI.
    static std::vector<uint8_t> FlatImage(int width, int height, const std::vector<FrameComponent>& components);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// Number of blocks an interleaved scan codes for the given frame.
int InterleavedBlocks(int width, int height, const std::vector<FrameComponent>& components);

}  // namespace testing_support
