// The image file readers of kvhost write: netpbm's binary PPM (P6), PGM (P5) and PAM (P7), and PNG.
#include "host/kvhost/image_reader.h"

#if defined(KV_WITH_PNG)
#include <png.h>

#include "host/kvhost/png_errors.h"
#endif

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kvhost {
namespace {

// Image files are read through a 64 KiB stdio buffer: with the C library's own 4 KiB one, a
// 12-megapixel image takes over 8,000 read calls more, and on a virtual machine each costs
// microseconds.
constexpr std::size_t kFileBufferBytes = std::size_t{1} << 16;

std::string Size(int64_t width, int64_t height) { return std::to_string(width) + " x " + std::to_string(height); }

// Refuses sizes the host cannot describe; *error says why.
bool SizeFits(int64_t width, int64_t height, std::string* error) {
    if (width <= 0 || height <= 0) {
        *error = "the image has no pixels (" + Size(width, height) + ")";
        return false;
    }
    if (width > kLargestSide || height > kLargestSide) {
        *error = "the image is " + Size(width, height) + ", larger than the host's largest frame (" +
                 Size(kLargestSide, kLargestSide) + ")";
        return false;
    }
    return true;
}

// Owns the open file.
class FileReader : public ImageReader {
public:
    explicit FileReader(std::FILE* file) : file_(file) {}
    ~FileReader() override { std::fclose(file_); }

    // Takes the buffer the file was given (freed only after the file is closed).
    void KeepBuffer(std::unique_ptr<char[]> buffer) { buffer_ = std::move(buffer); }

protected:
    bool CutShort() {
        error_ = std::ferror(file_) != 0 ? std::string("cannot read: ") + std::strerror(errno != 0 ? errno : EIO)
                                         : std::string("the file ends before its last row");
        return false;
    }

    std::FILE* file_;

private:
    std::unique_ptr<char[]> buffer_;
};

// Netpbm: a text header, then rows of samples, one byte each up to a maximum value of 255, two
// (most significant first) above.
class NetpbmReader final : public FileReader {
public:
    using FileReader::FileReader;

    // Reads the header after the two magic bytes; false with *error set.
    bool Begin(char magic, std::string* error) {
        if (magic == '7' ? !ReadPamHeader(error) : !ReadNetpbmHeader(magic, error)) return false;
        if (!SizeFits(info_.width, info_.height, error)) return false;
        if (maxValue_ < 1 || maxValue_ > 65535) {
            *error = "the maximum sample value " + std::to_string(maxValue_) + " is outside 1 to 65535";
            return false;
        }
        int32_t bits = 1;
        while ((int64_t{1} << bits) - 1 < maxValue_) ++bits;
        info_.bitsPerSample = bits;
        sampleBytes_ = maxValue_ > 255 ? 2 : 1;
        raw_.resize(static_cast<std::size_t>(info_.width) * static_cast<std::size_t>(depth_) * sampleBytes_);
        return true;
    }

    bool ReadRow(uint8_t* rgb) override {
        if (sampleBytes_ == 1 && maxValue_ == 255 && depth_ == 3 && !info_.grey) {
            // 8-bit RGB as stored: every byte is a sample in range, read straight into the row.
            if (std::fread(rgb, 1, raw_.size(), file_) != raw_.size()) return CutShort();
            return true;
        }
        if (std::fread(raw_.data(), 1, raw_.size(), file_) != raw_.size()) return CutShort();
        const int32_t colours = info_.grey ? 1 : 3;
        for (int32_t x = 0; x < info_.width; ++x) {
            uint8_t values[3];
            for (int32_t c = 0; c < colours; ++c) {
                const std::size_t at = (static_cast<std::size_t>(x) * depth_ + c) * sampleBytes_;
                const int32_t sample = sampleBytes_ == 1 ? raw_[at] : (raw_[at] << 8) | raw_[at + 1];
                if (sample > maxValue_) {
                    error_ = "a sample of " + std::to_string(sample) + " is above the maximum value " +
                             std::to_string(maxValue_);
                    return false;
                }
                values[c] = maxValue_ == 255 ? static_cast<uint8_t>(sample)
                                             : static_cast<uint8_t>((sample * 255 + maxValue_ / 2) / maxValue_);
            }
            uint8_t* pixel = rgb + static_cast<std::size_t>(x) * 3;
            pixel[0] = values[0];
            pixel[1] = values[info_.grey ? 0 : 1];
            pixel[2] = values[info_.grey ? 0 : 2];
        }
        return true;
    }

private:
    // Skips white space and comments (from '#' to the end of the line); false at the end of the file.
    bool SkipSpace() {
        for (;;) {
            const int c = std::getc(file_);
            if (c == EOF) return false;
            if (c == '#') {
                int d;
                while ((d = std::getc(file_)) != EOF && d != '\n') {
                }
                if (d == EOF) return false;
            } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') {
                std::ungetc(c, file_);
                return true;
            }
        }
    }

    // A decimal number of at most 9 digits.
    bool ReadNumber(int64_t* value) {
        if (!SkipSpace()) return false;
        int digits = 0;
        *value = 0;
        int c;
        while ((c = std::getc(file_)) != EOF && c >= '0' && c <= '9') {
            if (++digits > 9) return false;
            *value = *value * 10 + (c - '0');
        }
        if (c != EOF) std::ungetc(c, file_);
        return digits > 0;
    }

    bool ReadNetpbmHeader(char magic, std::string* error) {
        info_.kind = magic == '6' ? "PPM" : "PGM";
        info_.grey = magic == '5';
        depth_ = info_.grey ? 1 : 3;
        int64_t width = 0, height = 0, maxValue = 0;
        if (!ReadNumber(&width) || !ReadNumber(&height) || !ReadNumber(&maxValue)) {
            *error = std::string("the ") + info_.kind + " header is damaged or cut short";
            return false;
        }
        // Exactly one white-space byte separates the header from the samples.
        const int c = std::getc(file_);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            *error = std::string("the ") + info_.kind + " header is damaged or cut short";
            return false;
        }
        info_.width = static_cast<int32_t>(width);
        info_.height = static_cast<int32_t>(height);
        maxValue_ = static_cast<int32_t>(maxValue);
        return true;
    }

    // PAM: lines of "KEYWORD value" up to ENDHDR.
    bool ReadPamHeader(std::string* error) {
        info_.kind = "PAM";
        int64_t width = -1, height = -1, depth = -1, maxValue = -1;
        std::string tuple;
        const std::string damaged = "the PAM header is damaged or cut short";
        for (;;) {
            if (!SkipSpace()) {
                *error = damaged;
                return false;
            }
            std::string keyword;
            int c;
            while ((c = std::getc(file_)) != EOF && c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                if (keyword.size() > 16) break;
                keyword.push_back(static_cast<char>(c));
            }
            if (keyword == "ENDHDR") {
                if (c != '\n') {
                    *error = damaged;
                    return false;
                }
                break;
            }
            if (c == EOF) {
                *error = damaged;
                return false;
            }
            int64_t* number = keyword == "WIDTH"    ? &width
                              : keyword == "HEIGHT" ? &height
                              : keyword == "DEPTH"  ? &depth
                              : keyword == "MAXVAL" ? &maxValue
                                                    : nullptr;
            if (number != nullptr) {
                if (!ReadNumber(number)) {
                    *error = damaged;
                    return false;
                }
            } else if (keyword == "TUPLTYPE") {
                // The rest of the line, without surrounding blanks.
                tuple.clear();
                while ((c = std::getc(file_)) != EOF && c != '\n') {
                    if (tuple.size() < 64) tuple.push_back(static_cast<char>(c));
                }
                const std::size_t first = tuple.find_first_not_of(" \t\r");
                const std::size_t last = tuple.find_last_not_of(" \t\r");
                tuple = first == std::string::npos ? std::string() : tuple.substr(first, last - first + 1);
            } else {
                *error = "the PAM header has an unknown line '" + keyword + "'";
                return false;
            }
        }
        if (width < 0 || height < 0 || depth < 0 || maxValue < 0) {
            *error = "the PAM header lacks WIDTH, HEIGHT, DEPTH or MAXVAL";
            return false;
        }
        // The tuple type decides; without one the depth alone may.
        struct Tuple {
            const char* name;
            int64_t depth;
            bool grey;
            bool alpha;
        };
        static const Tuple kTuples[] = {
            {"GRAYSCALE", 1, true, false},        {"BLACKANDWHITE", 1, true, false},
            {"GRAYSCALE_ALPHA", 2, true, true},   {"BLACKANDWHITE_ALPHA", 2, true, true},
            {"RGB", 3, false, false},             {"RGB_ALPHA", 4, false, true},
        };
        const Tuple* found = nullptr;
        for (const Tuple& known : kTuples) {
            if (tuple.empty() ? known.depth == depth && (depth == 1 || depth == 3) : tuple == known.name) found = &known;
        }
        if (found == nullptr) {
            if (tuple == "CMYK") {
                *error = "a CMYK PAM cannot be written: the module writes RGB frames only";
            } else if (tuple.empty()) {
                *error = "a PAM of depth " + std::to_string(depth) + " without a TUPLTYPE is not one kvhost takes";
            } else {
                *error = "a PAM of TUPLTYPE " + tuple + " is not one kvhost takes (GRAYSCALE, RGB, with or without _ALPHA)";
            }
            return false;
        }
        if (found->depth != depth) {
            *error = "a PAM of TUPLTYPE " + tuple + " has depth " + std::to_string(found->depth) + ", not " +
                     std::to_string(depth);
            return false;
        }
        info_.grey = found->grey;
        info_.alphaDropped = found->alpha;
        depth_ = static_cast<int32_t>(depth);
        info_.width = static_cast<int32_t>(width);
        info_.height = static_cast<int32_t>(height);
        maxValue_ = static_cast<int32_t>(maxValue);
        return true;
    }

    int32_t depth_ = 0;       // samples per pixel in the file
    int32_t maxValue_ = 0;
    int32_t sampleBytes_ = 1;
    std::vector<uint8_t> raw_;
};

#if defined(KV_WITH_PNG)
// libpng reports failures by a long jump back into the call that armed it; the calls below keep
// only trivially destructible objects between the arm and libpng.
class PngReader final : public FileReader {
public:
    using FileReader::FileReader;
    ~PngReader() override {
        if (png_ != nullptr) Png().destroy_read_struct(&png_, &pngInfo_, nullptr);
    }

    // Reads the header (the 8 signature bytes are already read) and sets the transforms that give
    // 8-bit RGB rows; false with *error set.
    bool Begin(std::string* error) {
        info_.kind = "PNG";
        if (!LoadPng(error)) return false;
        png_ = Png().create_read_struct(PNG_LIBPNG_VER_STRING, &error_, KeepPngError, IgnorePngWarning);
        if (png_ != nullptr) pngInfo_ = Png().create_info_struct(png_);
        if (png_ == nullptr || pngInfo_ == nullptr) {
            *error = "cannot start the PNG reader";
            return false;
        }
        if (!ReadHeader()) {
            *error = error_;
            return false;
        }
        if (!SizeFits(width_, height_, error)) return false;
        info_.width = static_cast<int32_t>(width_);
        info_.height = static_cast<int32_t>(height_);
        if (interlaced_) {
            // Interlaced rows only come out in the last pass: the image is read whole.
            image_.resize(static_cast<std::size_t>(info_.width) * 3 * static_cast<std::size_t>(info_.height));
            if (!ReadWhole()) {
                *error = error_;
                return false;
            }
        }
        return true;
    }

    bool ReadRow(uint8_t* rgb) override {
        const std::size_t rowBytes = static_cast<std::size_t>(info_.width) * 3;
        if (interlaced_) {
            if (row_ >= info_.height) return false;
            std::memcpy(rgb, image_.data() + rowBytes * static_cast<std::size_t>(row_++), rowBytes);
            return true;
        }
        if (setjmp(KV_PNG_JMPBUF(png_))) return false;
        Png().read_row(png_, rgb, nullptr);
        ++row_;
        return true;
    }

private:
    bool ReadHeader() {
        if (setjmp(KV_PNG_JMPBUF(png_))) return false;
        Png().init_io(png_, file_);
        Png().set_sig_bytes(png_, 8);
        Png().read_info(png_, pngInfo_);
        int depth = 0, colour = 0, interlace = 0;
        Png().get_IHDR(png_, pngInfo_, &width_, &height_, &depth, &colour, &interlace, nullptr, nullptr);
        info_.bitsPerSample = depth;
        info_.grey = (colour & PNG_COLOR_MASK_COLOR) == 0;
        info_.alphaDropped = (colour & PNG_COLOR_MASK_ALPHA) != 0;
        png_uint_32 xPerUnit = 0, yPerUnit = 0;
        int unit = 0;
        if (Png().get_pHYs(png_, pngInfo_, &xPerUnit, &yPerUnit, &unit) != 0 && unit == PNG_RESOLUTION_METER) {
            // PNG counts whole pixels per metre, which no whole number of pixels per inch fits
            // exactly (300 ppi is stored as 11811): the nearest whole ppi is meant.
            const auto perInch = [](png_uint_32 perMetre) {
                const int64_t rounded = std::llround(perMetre * 0.0254);
                return rounded > 0 && rounded <= kLargestSide ? static_cast<uint32_t>(rounded) << 16 : 0u;
            };
            info_.xDensity = perInch(xPerUnit);
            info_.yDensity = perInch(yPerUnit);
        }
        if (colour == PNG_COLOR_TYPE_PALETTE) Png().set_palette_to_rgb(png_);
        if (info_.grey && depth < 8) Png().set_expand_gray_1_2_4_to_8(png_);
        if (depth == 16) Png().set_scale_16(png_);
        if (info_.alphaDropped) Png().set_strip_alpha(png_);
        if (info_.grey) Png().set_gray_to_rgb(png_);
        interlaced_ = interlace != PNG_INTERLACE_NONE;
        if (interlaced_) Png().set_interlace_handling(png_);
        Png().read_update_info(png_, pngInfo_);
        if (Png().get_rowbytes(png_, pngInfo_) != static_cast<std::size_t>(width_) * 3) {
            error_ = "the PNG does not come out as RGB rows";
            return false;
        }
        return true;
    }

    bool ReadWhole() {
        std::vector<png_bytep> rows(static_cast<std::size_t>(height_));
        for (std::size_t y = 0; y < rows.size(); ++y) rows[y] = image_.data() + y * static_cast<std::size_t>(width_) * 3;
        return ReadRows(rows.data());
    }

    bool ReadRows(png_bytepp rows) {
        if (setjmp(KV_PNG_JMPBUF(png_))) return false;
        Png().read_image(png_, rows);
        return true;
    }

    png_structp png_ = nullptr;
    png_infop pngInfo_ = nullptr;
    png_uint_32 width_ = 0;
    png_uint_32 height_ = 0;
    bool interlaced_ = false;
    int32_t row_ = 0;
    std::vector<uint8_t> image_;  // the whole image of an interlaced PNG
};
#endif

}  // namespace

std::unique_ptr<ImageReader> OpenImageReader(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return nullptr;
    }
    // Freed when this returns, after any fclose below, unless the reader takes it first (it frees it
    // after closing the file).
    auto buffer = std::make_unique_for_overwrite<char[]>(kFileBufferBytes);
    std::setvbuf(file, buffer.get(), _IOFBF, kFileBufferBytes);
    uint8_t magic[8] = {};
    const std::size_t got = std::fread(magic, 1, 2, file);
    if (got == 2 && magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6' || magic[1] == '7')) {
        auto reader = std::make_unique<NetpbmReader>(file);
        reader->KeepBuffer(std::move(buffer));
        if (!reader->Begin(static_cast<char>(magic[1]), error)) return nullptr;
        return reader;
    }
    static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got == 2 && std::fread(magic + 2, 1, 6, file) == 6 && std::memcmp(magic, kPngSignature, 8) == 0) {
#if defined(KV_WITH_PNG)
        auto reader = std::make_unique<PngReader>(file);
        reader->KeepBuffer(std::move(buffer));
        if (!reader->Begin(error)) return nullptr;
        return reader;
#else
        std::fclose(file);
        *error = "this kvhost is built without PNG: give a binary PPM, PGM or PAM";
        return nullptr;
#endif
    }
    std::fclose(file);
    if (got == 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '4') {
        *error = "a plain (text) or bitmap netpbm file (P" + std::string(1, static_cast<char>(magic[1])) +
                 ") is not taken: give a binary PPM (P6), PGM (P5) or PAM (P7)";
    } else {
        *error = "not an image kvhost reads: give a binary PPM, PGM or PAM, or a PNG";
    }
    return nullptr;
}

}  // namespace kvhost
