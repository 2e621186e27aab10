// The image file writers of kvhost: netpbm's binary PPM (P6), PGM (P5) and PAM (P7), and PNG.
#include "host/kvhost/image_writer.h"

#if defined(KV_WITH_PNG)
#include <png.h>

#include "host/kvhost/png_errors.h"
#endif

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace kvhost {
namespace {

// Image files are written through a 64 KiB stdio buffer: with the C library's own 4 KiB one, a
// 12-megapixel image takes over 8,000 write calls more, and on a virtual machine each costs
// microseconds.
constexpr std::size_t kFileBufferBytes = std::size_t{1} << 16;

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Owns the output stream; the writers share its opening and error reporting.
class FileWriter : public ImageWriter {
public:
    explicit FileWriter(std::FILE* file) : file_(file), buffer_(std::make_unique_for_overwrite<char[]>(kFileBufferBytes)) {
        std::setvbuf(file_, buffer_.get(), _IOFBF, kFileBufferBytes);
    }
    ~FileWriter() override {
        if (file_ != nullptr) std::fclose(file_);
    }

protected:
    bool Fail(const char* what) {
        error_ = std::string(what) + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    bool Close() {
        std::FILE* file = file_;
        file_ = nullptr;
        errno = 0;
        if (std::fflush(file) != 0 || std::ferror(file) != 0) {
            std::fclose(file);
            return Fail("cannot write the image");
        }
        if (std::fclose(file) != 0) return Fail("cannot close the image");
        return true;
    }

    std::FILE* file_;
    ImageShape shape_;

private:
    std::unique_ptr<char[]> buffer_;  // file_'s buffer, freed only after it is closed
};

// P5, P6 and P7 with a maximum value of 255: a text header, then the rows' bytes as they are.
class NetpbmWriter final : public FileWriter {
public:
    NetpbmWriter(std::FILE* file, ImageFormat format) : FileWriter(file), format_(format) {}

    bool Begin(const ImageShape& shape) override {
        shape_ = shape;
        errno = 0;
        int written = 0;
        if (format_ == ImageFormat::pam) {
            const char* tuple = shape.channels == 1 ? "GRAYSCALE" : shape.channels == 3 ? "RGB" : "CMYK";
            written = std::fprintf(file_, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n",
                                   shape.width, shape.height, shape.channels, tuple);
        } else {
            written = std::fprintf(file_, "%s\n%d %d\n255\n", format_ == ImageFormat::pgm ? "P5" : "P6", shape.width,
                                   shape.height);
        }
        return written > 0 ? true : Fail("cannot write the image header");
    }

    bool WriteRow(const uint8_t* row) override {
        const std::size_t bytes = static_cast<std::size_t>(shape_.width) * static_cast<std::size_t>(shape_.channels);
        errno = 0;
        return std::fwrite(row, 1, bytes, file_) == bytes ? true : Fail("cannot write the image");
    }

    bool Finish() override { return Close(); }

private:
    ImageFormat format_;
};

#if defined(KV_WITH_PNG)
// libpng reports failures by a long jump back into the call that armed it; the calls below keep
// only trivially destructible objects between the arm and libpng.
class PngWriter final : public FileWriter {
public:
    explicit PngWriter(std::FILE* file) : FileWriter(file) {}
    ~PngWriter() override {
        if (png_ != nullptr) Png().destroy_write_struct(&png_, &info_);
    }

    bool Begin(const ImageShape& shape) override {
        shape_ = shape;
        if (std::string why; !LoadPng(&why)) {
            error_ = why;
            return false;
        }
        png_ = Png().create_write_struct(PNG_LIBPNG_VER_STRING, &error_, KeepPngError, IgnorePngWarning);
        if (png_ == nullptr) return Fail("cannot start the PNG");
        info_ = Png().create_info_struct(png_);
        if (info_ == nullptr) return Fail("cannot start the PNG");
        if (setjmp(KV_PNG_JMPBUF(png_))) return false;
        Png().init_io(png_, file_);
        Png().set_IHDR(png_, info_, static_cast<png_uint_32>(shape.width), static_cast<png_uint_32>(shape.height), 8,
                     shape.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (shape.xDensity != 0 && shape.yDensity != 0) {
            // PNG counts pixels per metre.
            const auto perMetre = [](uint32_t density) {
                return static_cast<png_uint_32>(std::lround(density / 65536.0 / 0.0254));
            };
            Png().set_pHYs(png_, info_, perMetre(shape.xDensity), perMetre(shape.yDensity), PNG_RESOLUTION_METER);
        }
        Png().write_info(png_, info_);
        return true;
    }

    bool WriteRow(const uint8_t* row) override {
        if (setjmp(KV_PNG_JMPBUF(png_))) return false;
        Png().write_row(png_, row);
        return true;
    }

    bool Finish() override {
        if (setjmp(KV_PNG_JMPBUF(png_))) return false;
        Png().write_end(png_, nullptr);
        Png().destroy_write_struct(&png_, &info_);
        return Close();
    }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};
#endif

}  // namespace

const char* ColourName(int32_t channels) {
    switch (channels) {
        case 1: return "grey";
        case 3: return "RGB";
        case 4: return "CMYK";
        default: return "unusual";
    }
}

bool FormatForPath(const std::string& path, ImageFormat* format) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    const std::string extension = LowerCase(path.substr(dot + 1));
    if (extension == "ppm") {
        *format = ImageFormat::ppm;
    } else if (extension == "pgm") {
        *format = ImageFormat::pgm;
    } else if (extension == "pam") {
        *format = ImageFormat::pam;
    } else if (extension == "png") {
        *format = ImageFormat::png;
    } else {
        return false;
    }
    return true;
}

bool FormatTakes(ImageFormat format, int32_t channels, std::string* why) {
    const std::string image = std::string("a ") + ColourName(channels) + " image";
    switch (format) {
        case ImageFormat::ppm:
            if (channels == 3) return true;
            *why = "a PPM holds RGB only, and this is " + image + (channels == 1 ? ": write .pgm, .pam or .png"
                                                                                 : ": write .pam");
            return false;
        case ImageFormat::pgm:
            if (channels == 1) return true;
            *why = "a PGM holds grey only, and this is " + image + (channels == 3 ? ": write .ppm, .pam or .png"
                                                                                  : ": write .pam");
            return false;
        case ImageFormat::pam:
            if (channels == 1 || channels == 3 || channels == 4) return true;
            *why = "a PAM written here holds grey, RGB or CMYK, and this is " + image;
            return false;
        case ImageFormat::png:
            if (channels == 1 || channels == 3) return true;
            *why = "a PNG holds grey or RGB, and this is " + image + ": write .pam";
            return false;
    }
    return false;
}

std::unique_ptr<ImageWriter> OpenImageWriter(ImageFormat format, const std::string& path, std::string* error) {
#if !defined(KV_WITH_PNG)
    if (format == ImageFormat::png) {
        *error = "this kvhost is built without PNG: write .ppm, .pgm or .pam";
        return nullptr;
    }
#endif
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = std::string("cannot create: ") + std::strerror(errno);
        return nullptr;
    }
#if defined(KV_WITH_PNG)
    if (format == ImageFormat::png) return std::make_unique<PngWriter>(file);
#endif
    return std::make_unique<NetpbmWriter>(file, format);
}

}  // namespace kvhost
