// libpng's error and warning callbacks for kvhost's PNG reader and writer. The error pointer given
// to libpng is the std::string that keeps the reader's or writer's error: a failure is kept there
// and the call jumps back to the setjmp around the libpng call; warnings are dropped.
#pragma once

#include "host/kvhost/png_library.h"

#include <cstdlib>
#include <string>

namespace kvhost {

[[noreturn]] inline void KeepPngError(png_structp png, png_const_charp message) {
    *static_cast<std::string*>(Png().get_error_ptr(png)) = std::string("PNG: ") + message;
    Png().longjmp(png, 1);
    std::abort();  // png_longjmp does not come back; its pointer cannot say so
}

inline void IgnorePngWarning(png_structp, png_const_charp) {}

}  // namespace kvhost
