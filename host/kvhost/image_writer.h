// Image files kvhost writes what the module reads: binary PPM, PGM and PAM, and PNG through libpng.
// Rows are written as they arrive, so an image never has to be held whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kvhost {

enum class ImageFormat { ppm, pgm, pam, png };

// What a writer needs to know before the first row.
struct ImageShape {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;     // 1 grey, 3 RGB, 4 CMYK (ink amounts: 0 is no ink)
    uint32_t xDensity = 0;    // pixels per inch, 16.16; 0 when unknown
    uint32_t yDensity = 0;
};

class ImageWriter {
public:
    virtual ~ImageWriter() = default;
    // Writes the header; false with Error() set when the file cannot take this shape or fails.
    virtual bool Begin(const ImageShape& shape) = 0;
    // One row of width x channels interleaved bytes.
    virtual bool WriteRow(const uint8_t* row) = 0;
    // Completes and closes the file.
    virtual bool Finish() = 0;
    const std::string& Error() const { return error_; }

protected:
    std::string error_;
};

// The name of the colour model of 1 (grey), 3 (RGB) or 4 (CMYK) channels, which the host's image
// modes number alike; "unusual" for any other count.
const char* ColourName(int32_t channels);

// The format named by the file name's extension (.ppm, .pgm, .pam, .png; case ignored); false when
// the extension names none of them.
bool FormatForPath(const std::string& path, ImageFormat* format);

// Whether the format holds images of this many channels; if not, *why tells the user what to do.
bool FormatTakes(ImageFormat format, int32_t channels, std::string* why);

// A writer of the format into the file at path, which it creates on Begin. Null with *error set
// when the file cannot be created.
std::unique_ptr<ImageWriter> OpenImageWriter(ImageFormat format, const std::string& path, std::string* error);

}  // namespace kvhost
