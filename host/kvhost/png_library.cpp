#include "host/kvhost/png_library.h"

#include <dlfcn.h>

namespace kvhost {
namespace {

#define KV_TEXT(x) #x
#define KV_NUMBER_TEXT(x) KV_TEXT(x)
// The library the headers belong to: libpng16.so.16 for libpng 1.6.
constexpr char kPngLibrary[] = "libpng" KV_NUMBER_TEXT(PNG_LIBPNG_VER_DLLNUM) ".so." KV_NUMBER_TEXT(PNG_LIBPNG_VER_SONUM);

struct Loaded {
    PngCalls calls;
    std::string problem;
};

const Loaded& Library() {
    static const Loaded loaded = [] {
        Loaded result;
        // Never closed: the process keeps it to the end.
        void* library = dlopen(kPngLibrary, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* why = dlerror();
            result.problem = std::string("cannot load libpng: ") + (why != nullptr ? why : kPngLibrary);
            return result;
        }
#define KV_PNG_FIND(name)                                                                       \
    result.calls.name = reinterpret_cast<decltype(result.calls.name)>(dlsym(library, "png_" #name)); \
    if (result.calls.name == nullptr && result.problem.empty()) {                              \
        result.problem = std::string(kPngLibrary) + " has no png_" #name;                      \
    }
        KV_PNG_CALLS(KV_PNG_FIND)
#undef KV_PNG_FIND
        return result;
    }();
    return loaded;
}

}  // namespace

bool LoadPng(std::string* why) {
    const Loaded& loaded = Library();
    if (!loaded.problem.empty()) *why = loaded.problem;
    return loaded.problem.empty();
}

const PngCalls& Png() { return Library().calls; }

}  // namespace kvhost
