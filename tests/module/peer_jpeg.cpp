// The peer codec's decode, encode and re-code calls, and the synthetic photograph.
//
// libjpeg reports failures through error_exit, which must not return: it jumps back to the call
// that armed the jump buffer (Guarded). Every object with a destructor in those calls is made
// before the jump buffer is armed and outside the frames the jump leaves, so the jump skips none.
#include "tests/module/peer_jpeg.h"


#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h uses FILE without including its header.
#include <jpeglib.h>

namespace peer {
namespace {

struct ErrorManager {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    char firstWarning[JMSG_LENGTH_MAX];
};

[[noreturn]] void OnError(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings (corrupt data the peer works around) are not printed; the library counts them in
// num_warnings, and the first one's text is kept for the tests that want none.
void OnMessage(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    if (errors->firstWarning[0] == '\0') (*info->err->format_message)(info, errors->firstWarning);
}

// Clears the libjpeg objects and points them at the error manager.
template <class... Objects>
void InstallErrors(ErrorManager* errors, Objects*... objects) {
    jpeg_std_error(&errors->manager);
    errors->manager.error_exit = OnError;
    errors->manager.output_message = OnMessage;
    errors->message[0] = '\0';
    errors->firstWarning[0] = '\0';
    ((std::memset(objects, 0, sizeof *objects), objects->err = &errors->manager), ...);
}

// After Guarded: on a failure, the error's text and the cleanup; answers whether the work completed.
template <class Cleanup>
bool Completed(bool completed, const ErrorManager& errors, std::string* error, const Cleanup& cleanup) {
    if (completed) return true;
    *error = errors.message;
    cleanup();
    return false;
}

// Runs `work` with the jump buffer armed; answers false when libjpeg jumped back with an error.
// The jump lands in this small frame, which changes nothing of its own between the arming and the
// jump, so every object the caller reads afterwards keeps a defined value (objects of the frame
// that arms a jump buffer and are changed before the jump would be indeterminate). Compilers do
// not inline a function that calls setjmp.
template <class Work>
bool Guarded(ErrorManager* errors, const Work& work) {
    if (setjmp(errors->jump)) return false;
    work();
    return true;
}

// Hands a buffer libjpeg allocated with malloc over to a vector.
void TakeBuffer(unsigned char* buffer, unsigned long size, std::vector<uint8_t>* out) {
    out->assign(buffer, buffer + size);
    std::free(buffer);
}

uint32_t Hash(uint32_t x, uint32_t y) {
    uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

bool Decode(const std::vector<uint8_t>& jpeg, Image* image, std::string* error) {
    jpeg_decompress_struct info;
    ErrorManager errors;
    InstallErrors(&errors, &info);
    image->pixels.clear();
    const bool completed = Guarded(&errors, [&] {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
        jpeg_read_header(&info, TRUE);
        info.do_fancy_upsampling = FALSE;
        info.dct_method = JDCT_ISLOW;
        switch (info.num_components) {
            case 1: info.out_color_space = JCS_GRAYSCALE; break;
            case 3: info.out_color_space = JCS_RGB; break;
            default: info.out_color_space = JCS_CMYK; break;
        }
        image->sawJfif = info.saw_JFIF_marker != 0;
        image->densityUnit = info.density_unit;
        image->xDensity = info.X_density;
        image->yDensity = info.Y_density;
        jpeg_start_decompress(&info);
        image->width = static_cast<int>(info.output_width);
        image->height = static_cast<int>(info.output_height);
        image->channels = info.output_components;
        const std::size_t stride = static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->channels);
        image->pixels.resize(stride * static_cast<std::size_t>(image->height));
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = image->pixels.data() + stride * info.output_scanline;
            jpeg_read_scanlines(&info, &row, 1);
        }
        JOCTET* profile = nullptr;
        unsigned int profileBytes = 0;
        if (jpeg_read_icc_profile(&info, &profile, &profileBytes)) {
            image->iccProfile.assign(profile, profile + profileBytes);
            std::free(profile);
        } else {
            image->iccProfile.clear();
        }
        jpeg_finish_decompress(&info);
        image->warnings = static_cast<int>(info.err->num_warnings);
        image->firstWarning = errors.firstWarning;
        jpeg_destroy_decompress(&info);
    });
    return Completed(completed, errors, error, [&] { jpeg_destroy_decompress(&info); });
}

bool ReadCoefficients(const std::vector<uint8_t>& jpeg, Coefficients* coefficients, std::string* error) {
    jpeg_decompress_struct info;
    ErrorManager errors;
    InstallErrors(&errors, &info);
    *coefficients = Coefficients{};
    const bool completed = Guarded(&errors, [&] {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&info, TRUE);
        jvirt_barray_ptr* planes = jpeg_read_coefficients(&info);
        coefficients->components = info.num_components;
        for (int c = 0; c < info.num_components; ++c) {
            const jpeg_component_info& component = info.comp_info[c];
            coefficients->sampling.push_back(component.h_samp_factor * 16 + component.v_samp_factor);
            coefficients->quantTable.push_back(component.quant_tbl_no);
            const JQUANT_TBL* table = component.quant_table;
            for (int k = 0; k < DCTSIZE2; ++k) coefficients->quantisers.push_back(table != nullptr ? table->quantval[k] : 0);
            for (JDIMENSION row = 0; row < component.height_in_blocks; ++row) {
                JBLOCKARRAY blocks = (*info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&info), planes[c], row,
                                                                     1, FALSE);
                for (JDIMENSION column = 0; column < component.width_in_blocks; ++column) {
                    const JCOEF* block = blocks[0][column];
                    coefficients->values.insert(coefficients->values.end(), block, block + DCTSIZE2);
                }
            }
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
    });
    return Completed(completed, errors, error, [&] { jpeg_destroy_decompress(&info); });
}

bool Encode(int width, int height, const EncodeSettings& settings, const RowSource& source,
            std::vector<uint8_t>* jpeg, std::string* error) {
    std::vector<uint8_t> row(static_cast<std::size_t>(width) * static_cast<std::size_t>(settings.channels));
    jpeg_compress_struct info;
    ErrorManager errors;
    InstallErrors(&errors, &info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const bool completed = Guarded(&errors, [&] {
        jpeg_create_compress(&info);
        jpeg_mem_dest(&info, &buffer, &size);
        info.image_width = static_cast<JDIMENSION>(width);
        info.image_height = static_cast<JDIMENSION>(height);
        info.input_components = settings.channels;
        info.in_color_space = settings.channels == 1 ? JCS_GRAYSCALE : settings.channels == 3 ? JCS_RGB : JCS_CMYK;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, settings.quality, TRUE);
        if (settings.flatQuantiser != 0) {
            unsigned int flat[64];
            for (unsigned int& entry : flat) entry = static_cast<unsigned int>(settings.flatQuantiser);
            for (int table = 0; table < 2; ++table) jpeg_add_quant_table(&info, table, flat, 100, TRUE);
        }
        if (settings.channels == 3) {
            info.comp_info[0].h_samp_factor = settings.lumaH;
            info.comp_info[0].v_samp_factor = settings.lumaV;
        }
        info.optimize_coding = settings.optimize ? TRUE : FALSE;
        info.restart_interval = static_cast<unsigned int>(settings.restartInterval);
        if (settings.progressive) jpeg_simple_progression(&info);
        jpeg_start_compress(&info, TRUE);
        while (info.next_scanline < info.image_height) {
            source(static_cast<int>(info.next_scanline), row.data());
            JSAMPROW rows[1] = {row.data()};
            jpeg_write_scanlines(&info, rows, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);
        TakeBuffer(buffer, size, jpeg);
    });
    return Completed(completed, errors, error, [&] {
        jpeg_destroy_compress(&info);
        std::free(buffer);
    });
}

bool Recode(const std::vector<uint8_t>& jpeg, const Recoding& recoding, std::vector<uint8_t>* out,
            std::string* error) {
    jpeg_decompress_struct input;
    jpeg_compress_struct output;
    ErrorManager errors;
    InstallErrors(&errors, &input, &output);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    bool refused = false;
    const bool completed = Guarded(&errors, [&] {
        jpeg_create_decompress(&input);
        jpeg_create_compress(&output);
        jpeg_mem_src(&input, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&input, TRUE);
        jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&input);
        jpeg_copy_critical_parameters(&input, &output);
        if (recoding.splitDcQuantiser) {
            JQUANT_TBL* table = output.quant_tbl_ptrs[0];
            if (table == nullptr || table->quantval[0] % 2 != 0) {
                *error = "table 0's DC quantiser is not even";
                jpeg_destroy_compress(&output);
                jpeg_destroy_decompress(&input);
                refused = true;
                return;
            }
            table->quantval[0] = static_cast<UINT16>(table->quantval[0] / 2);
            for (int c = 0; c < input.num_components; ++c) {
                const jpeg_component_info& component = input.comp_info[c];
                if (component.quant_tbl_no != 0) continue;
                // The arrays run to whole MCUs, past the image's own blocks.
                const auto roundUp = [](JDIMENSION blocks, int factor) {
                    const auto f = static_cast<JDIMENSION>(factor);
                    return (blocks + f - 1) / f * f;
                };
                const JDIMENSION rows = roundUp(component.height_in_blocks, component.v_samp_factor);
                const JDIMENSION columns = roundUp(component.width_in_blocks, component.h_samp_factor);
                for (JDIMENSION row = 0; row < rows; ++row) {
                    JBLOCKARRAY blocks = input.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&input),
                                                                       coefficients[c], row, 1, TRUE);
                    for (JDIMENSION column = 0; column < columns; ++column) {
                        blocks[0][column][0] = static_cast<JCOEF>(blocks[0][column][0] * 2);
                    }
                }
            }
        }
        output.optimize_coding = recoding.optimize ? TRUE : FALSE;
        output.restart_interval = static_cast<unsigned int>(recoding.restartInterval);
        if (recoding.progressive) jpeg_simple_progression(&output);
        jpeg_mem_dest(&output, &buffer, &size);
        jpeg_write_coefficients(&output, coefficients);
        jpeg_finish_compress(&output);
        jpeg_finish_decompress(&input);
        jpeg_destroy_compress(&output);
        jpeg_destroy_decompress(&input);
        TakeBuffer(buffer, size, out);
    });
    return Completed(completed, errors, error, [&] {
        jpeg_destroy_compress(&output);
        jpeg_destroy_decompress(&input);
        std::free(buffer);
    }) && !refused;
}

SyntheticPhoto::SyntheticPhoto(int width, int height, int channels)
    : width_(width), height_(height), channels_(channels) {
    // Each colour channel gets its own slow shading across and down the picture.
    constexpr double kPi = 3.14159265358979323846;
    for (int c = 0; c < 3; ++c) {
        columnShade_[c].resize(static_cast<std::size_t>(width));
        rowShade_[c].resize(static_cast<std::size_t>(height));
        for (int x = 0; x < width; ++x) {
            const double t = static_cast<double>(x) / std::max(width, 1);
            columnShade_[c][static_cast<std::size_t>(x)] = static_cast<int16_t>(
                50 * std::sin(2 * kPi * (1.3 + 0.4 * c) * t + c) + 12 * std::sin(2 * kPi * 9 * t + 2 * c));
        }
        for (int y = 0; y < height; ++y) {
            const double t = static_cast<double>(y) / std::max(height, 1);
            rowShade_[c][static_cast<std::size_t>(y)] =
                static_cast<int16_t>(40 * std::cos(2 * kPi * (0.8 + 0.3 * c) * t + 1.5 * c));
        }
    }
}

void SyntheticPhoto::Row(int y, uint8_t* pixels) const {
    // Discs in fractions of the picture: centre x, centre y, radius (of the shorter side), colour.
    struct Disc {
        double cx, cy, r;
        int colour[3];
    };
    static constexpr Disc kDiscs[] = {
        {0.20, 0.30, 0.18, {220, 60, 40}},  {0.55, 0.25, 0.10, {30, 160, 70}}, {0.80, 0.60, 0.22, {40, 70, 200}},
        {0.35, 0.75, 0.14, {240, 220, 90}}, {0.65, 0.85, 0.06, {20, 20, 20}},  {0.10, 0.90, 0.08, {250, 250, 245}},
    };
    constexpr int kDiscCount = sizeof kDiscs / sizeof kDiscs[0];
    // Where each disc crosses this row: columns [left, right), empty when it misses the row.
    int left[kDiscCount];
    int right[kDiscCount];
    const double side = std::min(width_, height_);
    for (int d = 0; d < kDiscCount; ++d) {
        const double dy = y - kDiscs[d].cy * height_;
        const double r = kDiscs[d].r * side;
        left[d] = right[d] = 0;
        if (dy * dy < r * r) {
            const double half = std::sqrt(r * r - dy * dy);
            left[d] = static_cast<int>(kDiscs[d].cx * width_ - half);
            right[d] = static_cast<int>(kDiscs[d].cx * width_ + half);
        }
    }
    const std::size_t ys = static_cast<std::size_t>(y);
    for (int x = 0; x < width_; ++x) {
        const std::size_t xs = static_cast<std::size_t>(x);
        const int noise = static_cast<int>(Hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y)) & 15) - 8;
        int rgb[3];
        for (int c = 0; c < 3; ++c) rgb[c] = 120 + columnShade_[c][xs] + rowShade_[c][ys] + noise;
        // Fine diagonal texture over the right third, like fabric or foliage.
        if (x > width_ * 2 / 3 && ((x * 3 + y * 5) & 15) < 7) {
            for (int& value : rgb) value += 22;
        }
        for (int d = 0; d < kDiscCount; ++d) {
            if (x >= left[d] && x < right[d]) {
                for (int c = 0; c < 3; ++c) rgb[c] = kDiscs[d].colour[c] + noise + (columnShade_[c][xs] >> 2);
            }
        }
        uint8_t* pixel = pixels + xs * static_cast<std::size_t>(channels_);
        const int r = Clamp(rgb[0]), g = Clamp(rgb[1]), b = Clamp(rgb[2]);
        if (channels_ == 1) {
            pixel[0] = static_cast<uint8_t>((r * 77 + g * 150 + b * 29) >> 8);
        } else if (channels_ == 3) {
            pixel[0] = static_cast<uint8_t>(r);
            pixel[1] = static_cast<uint8_t>(g);
            pixel[2] = static_cast<uint8_t>(b);
        } else {
            const int cyan = 255 - r, magenta = 255 - g, yellow = 255 - b;
            const int black = std::min({cyan, magenta, yellow}) / 2;
            pixel[0] = static_cast<uint8_t>(cyan - black);
            pixel[1] = static_cast<uint8_t>(magenta - black);
            pixel[2] = static_cast<uint8_t>(yellow - black);
            pixel[3] = static_cast<uint8_t>(black);
        }
    }
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes->clear();
    uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace peer
