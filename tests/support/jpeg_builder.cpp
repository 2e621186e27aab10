// Segment-by-segment construction of small JPEG streams for tests.
#include "tests/support/jpeg_builder.h"

#include <algorithm>

namespace testing_support {

JpegBuilder& JpegBuilder::Soi() { return Raw({0xFF, 0xD8}); }
JpegBuilder& JpegBuilder::Eoi() { return Raw({0xFF, 0xD9}); }

JpegBuilder& JpegBuilder::Segment(int code, const std::vector<uint8_t>& payload) {
    const std::size_t length = payload.size() + 2;
    Raw({0xFF, static_cast<uint8_t>(code), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    return Raw(payload);
}

JpegBuilder& JpegBuilder::App(int n, const std::string& payload) {
    return App(n, std::vector<uint8_t>(payload.begin(), payload.end()));
}

JpegBuilder& JpegBuilder::Dqt(int number, int value) {
    std::vector<uint8_t> payload(65, static_cast<uint8_t>(value));
    payload[0] = static_cast<uint8_t>(number);
    return Segment(0xDB, payload);
}

JpegBuilder& JpegBuilder::Sof(int code, int width, int height, const std::vector<FrameComponent>& components,
                              int precision) {
    std::vector<uint8_t> payload{static_cast<uint8_t>(precision),
                                 static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                                 static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width),
                                 static_cast<uint8_t>(components.size())};
    for (const FrameComponent& c : components) {
        payload.push_back(static_cast<uint8_t>(c.id));
        payload.push_back(static_cast<uint8_t>(c.h * 16 + c.v));
        payload.push_back(static_cast<uint8_t>(c.table));
    }
    return Segment(code, payload);
}

JpegBuilder& JpegBuilder::Dht(int tableClass, int number, const std::vector<uint8_t>& bits16,
                              const std::vector<uint8_t>& values) {
    std::vector<uint8_t> payload{static_cast<uint8_t>(tableClass * 16 + number)};
    payload.insert(payload.end(), bits16.begin(), bits16.end());
    payload.insert(payload.end(), values.begin(), values.end());
    return Segment(0xC4, payload);
}

JpegBuilder& JpegBuilder::FlatDht(int number) {
    std::vector<uint8_t> bits(16, 0);
    bits[0] = 1;
    Dht(0, number, bits, {0x00});
    return Dht(1, number, bits, {0x00});
}

JpegBuilder& JpegBuilder::Dri(int interval) {
    return Segment(0xDD, {static_cast<uint8_t>(interval >> 8), static_cast<uint8_t>(interval)});
}

JpegBuilder& JpegBuilder::Sos(const std::vector<ScanSelector>& components, int ss, int se, int ah, int al) {
    std::vector<uint8_t> payload{static_cast<uint8_t>(components.size())};
    for (const ScanSelector& c : components) {
        payload.push_back(static_cast<uint8_t>(c.id));
        payload.push_back(static_cast<uint8_t>(c.dcTable * 16 + c.acTable));
    }
    payload.push_back(static_cast<uint8_t>(ss));
    payload.push_back(static_cast<uint8_t>(se));
    payload.push_back(static_cast<uint8_t>(ah * 16 + al));
    return Segment(0xDA, payload);
}

JpegBuilder& JpegBuilder::FlatBlocks(int blocks) {
    // Two zero bits per block, the last byte padded with one bits.
    const int bits = 2 * blocks;
    std::vector<uint8_t> data(static_cast<std::size_t>(bits / 8), 0x00);
    if (bits % 8 != 0) data.push_back(static_cast<uint8_t>(0xFF >> (bits % 8)));
    return Raw(data);
}

JpegBuilder& JpegBuilder::Raw(const std::vector<uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

int InterleavedBlocks(int width, int height, const std::vector<FrameComponent>& components) {
    int hMax = 1;
    int vMax = 1;
    for (const FrameComponent& c : components) {
        hMax = std::max(hMax, c.h);
        vMax = std::max(vMax, c.v);
    }
    if (components.size() == 1) {
        return ((width + 7) / 8) * ((height + 7) / 8);
    }
    const int mcus = ((width + 8 * hMax - 1) / (8 * hMax)) * ((height + 8 * vMax - 1) / (8 * vMax));
    int perMcu = 0;
    for (const FrameComponent& c : components) perMcu += c.h * c.v;
    return mcus * perMcu;
}

std::vector<uint8_t> JpegBuilder::FlatImage(int width, int height, const std::vector<FrameComponent>& components) {
    JpegBuilder builder;
    builder.Soi().Dqt(0).Sof(0xC0, width, height, components).FlatDht(0).FlatDht(1);
    std::vector<uint8_t> payload{static_cast<uint8_t>(components.size())};
    for (const FrameComponent& c : components) {
        payload.push_back(static_cast<uint8_t>(c.id));
        payload.push_back(0x00);
    }
    payload.insert(payload.end(), {0, 63, 0});
    builder.Segment(0xDA, payload);
    builder.FlatBlocks(InterleavedBlocks(width, height, components));
    builder.Eoi();
    return builder.Bytes();
}

}  // namespace testing_support
