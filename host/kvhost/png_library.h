// libpng for kvhost's PNG reader and writer, loaded the first time a PNG is read or written, so
// that kvhost does not load it (and zlib behind it) for anything else. The calls keep libpng's
// names without the png_ prefix: Png().read_row(...) is png_read_row(...).
#pragma once

#include <png.h>

#include <csetjmp>
#include <string>

namespace kvhost {

#define KV_PNG_CALLS(X)                                                                                        \
    X(create_read_struct) X(create_write_struct) X(create_info_struct) X(destroy_read_struct)                 \
    X(destroy_write_struct) X(init_io) X(set_sig_bytes) X(read_info) X(get_IHDR) X(get_pHYs)                  \
    X(set_palette_to_rgb) X(set_expand_gray_1_2_4_to_8) X(set_scale_16) X(set_strip_alpha) X(set_gray_to_rgb) \
    X(set_interlace_handling) X(read_update_info) X(get_rowbytes) X(read_row) X(read_image) X(set_IHDR)       \
    X(set_pHYs) X(write_info) X(write_row) X(write_end) X(get_error_ptr) X(longjmp) X(set_longjmp_fn)

struct PngCalls {
#define KV_PNG_POINTER(name) decltype(&::png_##name) name = nullptr;
    KV_PNG_CALLS(KV_PNG_POINTER)
#undef KV_PNG_POINTER
};

// Loads libpng once; true when every call was found, else false with *why.
bool LoadPng(std::string* why);
// The calls; only after LoadPng answered true.
const PngCalls& Png();

// png_jmpbuf, through the loaded library.
#define KV_PNG_JMPBUF(png) (*::kvhost::Png().set_longjmp_fn((png), std::longjmp, sizeof(std::jmp_buf)))

}  // namespace kvhost
