// A peer JPEG codec (libjpeg-turbo through the libjpeg API) as the tests' and the benchmark's
// oracle: reference decodes with replicated upsampling and the integer inverse DCT, encodes of
// synthetic pictures, and lossless re-codings of a file's coefficients. Nothing here links into
// the module.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace peer {

// Pixels row after row, channels interleaved; 4 channels are CMYK as the peer codec stores them.
struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<uint8_t> pixels;
    // The JFIF marker's fields when the file has one.
    bool sawJfif = false;
    int densityUnit = 0;
    int xDensity = 0;
    int yDensity = 0;
    // Warnings the peer gave while decoding (data it had to work around), and the first one's text.
    int warnings = 0;
    std::string firstWarning;
    // The ICC profile joined from the file's ICC_PROFILE chunks; empty when there is none.
    std::vector<uint8_t> iccProfile;
};

// Decodes as the module's reference: no fancy upsampling, the slow integer DCT, output grey, RGB
// or CMYK after the frame's component count. False with *error on a failure.
bool Decode(const std::vector<uint8_t>& jpeg, Image* image, std::string* error);

struct EncodeSettings {
    int quality = 90;
    int channels = 3;        // 1 grey, 3 RGB (coded YCbCr), 4 CMYK (coded as stored)
    int lumaH = 2;           // the first component's sampling factors; the others are 1x1
    int lumaV = 2;
    bool progressive = false;
    bool optimize = false;
    int restartInterval = 0; // in MCUs; 0 for none
    int flatQuantiser = 0;   // when nonzero, every quantiser of every table is this value
};

// Fills one row (width x channels bytes) of the picture being encoded.
using RowSource = std::function<void(int row, uint8_t* pixels)>;

// Encodes a picture row by row, so that tall pictures are never held whole.
bool Encode(int width, int height, const EncodeSettings& settings, const RowSource& source,
            std::vector<uint8_t>* jpeg, std::string* error);

struct Recoding {
    bool optimize = false;
    int restartInterval = 0;  // in MCUs
    bool progressive = false; // the peer's standard progressive script
    // Halves table 0's DC quantiser (which must be even) and doubles the DC coefficients coded with
    // it: another table, the same dequantised values.
    bool splitDcQuantiser = false;
};

// Writes the same quantised coefficients in another coding.
bool Recode(const std::vector<uint8_t>& jpeg, const Recoding& recoding, std::vector<uint8_t>* out,
            std::string* error);

// A deterministic stand-in for a photograph: smooth shading, hard-edged shapes, fine texture and
// sensor-like noise, cheap enough to make tens of megapixels. channels 1, 3 or 4 (CMYK derived
// from the RGB picture).
class SyntheticPhoto {
public:
    SyntheticPhoto(int width, int height, int channels);
    void Row(int row, uint8_t* pixels) const;
    RowSource Source() const {
        return [this](int row, uint8_t* pixels) { Row(row, pixels); };
    }

private:
    int width_;
    int height_;
    int channels_;
    std::vector<int16_t> columnShade_[3];
    std::vector<int16_t> rowShade_[3];
};

// The quantised DCT coefficients of a file as its frame holds them, whatever the coding: component
// after component, block row after block row, 64 values per block in natural order.
struct Coefficients {
    int components = 0;
    std::vector<int> sampling;           // H * 16 + V per component
    std::vector<int> quantTable;         // the table number per component
    std::vector<uint16_t> quantisers;    // 64 per component, natural order
    std::vector<int16_t> values;
};
bool ReadCoefficients(const std::vector<uint8_t>& jpeg, Coefficients* coefficients, std::string* error);

// Reads and writes whole files.
bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace peer
