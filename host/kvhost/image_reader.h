// Image files kvhost writes through the module: binary PPM (P6), PGM (P5) and PAM (P7), and PNG
// through libpng. Whatever the file holds, rows come out as 8-bit RGB, the three interleaved
// channels the host hands the module: grey is repeated into all three, samples above 8 bits are
// scaled down, a PNG palette is expanded, and an alpha channel is dropped (a JPEG has none; the
// caller is told through SourceInfo::alphaDropped). Rows are read as they are asked for, so an image
// is held whole only for an interlaced PNG.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kvhost {

// The largest frame side the host can describe (its columns and rows fields are 16-bit).
inline constexpr int32_t kLargestSide = 32767;

struct SourceInfo {
    const char* kind = "";   // "PPM", "PGM", "PAM" or "PNG"
    int32_t width = 0;
    int32_t height = 0;
    bool grey = false;         // the file holds one colour channel
    bool alphaDropped = false; // the file has an alpha channel, which the rows leave out
    int32_t bitsPerSample = 8; // as stored: 1 to 16
    uint32_t xDensity = 0;     // whole pixels per inch, 16.16, as the file gives it; 0 when it gives none
    uint32_t yDensity = 0;
};

class ImageReader {
public:
    virtual ~ImageReader() = default;
    const SourceInfo& Info() const { return info_; }
    // The next row, top to bottom, as width x 3 bytes of RGB; false with Error() set when the file
    // is cut short or damaged.
    virtual bool ReadRow(uint8_t* rgb) = 0;
    const std::string& Error() const { return error_; }

protected:
    SourceInfo info_;
    std::string error_;
};

// Opens the image at path, telling its kind from its first bytes (not from its name) and reading
// its header. Null with *error set, in words for the user, when the file cannot be opened, is of
// no kind taken here, or holds an image the host could not hand over (no pixels, a side above
// kLargestSide, CMYK).
std::unique_ptr<ImageReader> OpenImageReader(const std::string& path, std::string* error);

}  // namespace kvhost
