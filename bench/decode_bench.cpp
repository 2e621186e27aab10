// Decode speed: megapixels per second through the whole host path of JPEG.kvx (dlopen'd module,
// FilterMain read prepare, start, every continue, finish) next to the peer decoder libjpeg-turbo
// with matching settings (replicated upsampling, slow integer DCT, grey/RGB/CMYK rows), on the
// same files in the same run. Both read the file from disk (the page cache) on every decode. The two
// decode in turns, and each one's fastest decode in CPU time counts.
//
// Inputs: the readable test images of tests/data/images, large synthetic photos that the peer encoder makes
// at start-up in a temporary folder, and the real photos that scripts/bench-photos makes (build/photos/decode
// when it is there, or the folder given), summed up per class (base420-q75, base444-q90, prog420-q75,
// grey-q75: the end of each file's name).
//
// usage: decode_bench [--seconds S] [--quick] [--photos FOLDER | --no-photos] [FILE.jpg...]
//   --seconds S  time spent on both decoders per file (default 1.0)
//   --quick      smaller synthetic photos (1000x750) and 0.2 s per measurement
//   --photos F   the real photos' folder (default build/photos/decode of the source tree, when present)
//   FILE.jpg     benchmark these files instead of the default set
#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// jpeglib.h uses FILE without including its header.
#include <jpeglib.h>

#include "bench/bench_common.h"
#include "host/host_environment.h"
#include "host/read_session.h"
#include "tests/module/peer_jpeg.h"

namespace {

using bench::FileBytes;
using bench::Timing;

struct Input {
    std::string label;
    std::string path;
    int photoClass = -1;  // an index into kPhotoClasses for the real photos
};

struct PhotoClass {
    const char* suffix;  // the end of the file's name
    const char* label;
};

const PhotoClass kPhotoClasses[] = {
    {"-base420-q75.jpg", "decode baseline 4:2:0 q75"},
    {"-base444-q90.jpg", "decode baseline 4:4:4 q90"},
    {"-prog420-q75.jpg", "decode progressive 4:2:0 q75"},
    {"-grey-q75.jpg", "decode greyscale q75"},
};

std::vector<Input> RealPhotos(const std::string& folder) {
    std::vector<Input> inputs;
    for (const std::string& name : bench::FilesEndingIn(folder, ".jpg")) {
        Input input{name, folder + "/" + name};
        for (int index = 0; index < static_cast<int>(std::size(kPhotoClasses)); ++index) {
            const std::string suffix = kPhotoClasses[index].suffix;
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                input.photoClass = index;
            }
        }
        inputs.push_back(input);
    }
    return inputs;
}

// One whole read through FilterMain as the host does it; false when any selector fails. Like a host
// that reads one file after another, it keeps the plug-in's persistent data between reads (the
// record is reset, the last image's profile disposed, and everything released once at the end).
bool ReadThroughModule(host::PluginModule& module, const std::string& path, int* width, int* height) {
    host::HostEnvironment& environment = host::HostEnvironment::Instance();
    environment.ResetRecord();
    environment.ResetScripts();
    if (!environment.OpenForReading(path)) return false;
    environment.Record()->profilesEnabled = 1;
    host::ReadHandlers handlers;
    handlers.started = [&](HostFormatRecord* record) {
        *width = record->columns;
        *height = record->rows;
        return true;
    };
    const bool ok = host::ReadThroughModule(module, handlers).ok();
    environment.CloseFile();
    return ok;
}

struct PeerErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void PeerError(j_common_ptr info) { std::longjmp(reinterpret_cast<PeerErrors*>(info->err)->jump, 1); }
void PeerMessage(j_common_ptr) {}

// Decodes the whole file into one row buffer, one row at a time, with the jump buffer armed here:
// this frame changes nothing of its own before a jump, so the caller's objects stay defined.
// Answers false on a peer error or a row wider than the buffer.
bool PeerRows(PeerErrors* errors, jpeg_decompress_struct* info, std::FILE* file, std::vector<uint8_t>* row,
              int* width, int* height) {
    if (setjmp(errors->jump)) return false;
    jpeg_create_decompress(info);
    jpeg_stdio_src(info, file);
    jpeg_read_header(info, TRUE);
    info->do_fancy_upsampling = FALSE;
    info->dct_method = JDCT_ISLOW;
    info->out_color_space = info->num_components == 1 ? JCS_GRAYSCALE : info->num_components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_start_decompress(info);
    *width = static_cast<int>(info->output_width);
    *height = static_cast<int>(info->output_height);
    const std::size_t stride = std::size_t{info->output_width} * static_cast<std::size_t>(info->output_components);
    if (row->size() < stride) return false;  // the caller sizes the row for the widest input
    JSAMPROW rows[1] = {row->data()};
    while (info->output_scanline < info->output_height) jpeg_read_scanlines(info, rows, 1);
    jpeg_finish_decompress(info);
    return true;
}

// One whole decode by the peer, one row at a time into one row buffer, as the module delivers.
bool ReadThroughPeer(const std::string& path, std::vector<uint8_t>* row, int* width, int* height) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    jpeg_decompress_struct info;
    std::memset(&info, 0, sizeof info);
    PeerErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = PeerError;
    errors.manager.output_message = PeerMessage;
    const bool decoded = PeerRows(&errors, &info, file, row, width, height);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return decoded;
}

std::vector<Input> SharedImages() {
    std::vector<Input> inputs;
    for (const std::string folder : {"", "gen"}) {
        const std::string path = std::string(KV_TESTIMAGES) + (folder.empty() ? "" : "/" + folder);
        for (const std::string& name : bench::FilesEndingIn(path, ".jpg")) {
            inputs.push_back({folder.empty() ? name : folder + "/" + name, path + "/" + name});
        }
    }
    return inputs;
}

struct SyntheticCase {
    const char* label;
    int channels;
    int lumaH, lumaV;
    bool progressive;
};

// The synthetic photos, written into folder; empty when the peer encoder fails.
std::vector<Input> SyntheticPhotos(const std::string& folder, int width, int height) {
    const SyntheticCase cases[] = {
        {"4:2:0 q90 baseline", 3, 2, 2, false},
        {"4:2:0 q90 progressive", 3, 2, 2, true},
        {"4:4:4 q90 baseline", 3, 1, 1, false},
        {"grey q90 baseline", 1, 1, 1, false},
        {"grey q90 progressive", 1, 1, 1, true},
    };
    std::vector<Input> inputs;
    peer::SyntheticPhoto colour(width, height, 3);
    peer::SyntheticPhoto grey(width, height, 1);
    for (const SyntheticCase& item : cases) {
        peer::EncodeSettings settings;
        settings.channels = item.channels;
        settings.lumaH = item.lumaH;
        settings.lumaV = item.lumaV;
        settings.progressive = item.progressive;
        std::vector<uint8_t> jpeg;
        std::string error;
        if (!peer::Encode(width, height, settings, (item.channels == 1 ? grey : colour).Source(), &jpeg, &error)) {
            std::fprintf(stderr, "decode_bench: cannot make the %s photo: %s\n", item.label, error.c_str());
            continue;
        }
        std::string name = item.label;
        std::replace(name.begin(), name.end(), ' ', '-');
        std::replace(name.begin(), name.end(), ':', '_');
        const std::string path = folder + "/" + name + ".jpg";
        if (!peer::WriteFile(path, jpeg)) {
            std::fprintf(stderr, "decode_bench: cannot write %s\n", path.c_str());
            continue;
        }
        inputs.push_back({std::to_string(width) + "x" + std::to_string(height) + " " + item.label, path});
    }
    return inputs;
}

int Usage() {
    std::fprintf(stderr, "usage: decode_bench [--seconds S] [--quick] [--photos FOLDER | --no-photos] [FILE.jpg...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1.0;
    bool quick = false;
    std::string photos = KV_PHOTOS;
    bool photosGiven = false;
    std::vector<Input> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
            if (seconds <= 0) return Usage();
        } else if (argument == "--quick") {
            quick = true;
            seconds = 0.2;
        } else if (argument == "--photos" && i + 1 < argc) {
            photos = argv[++i];
            photosGiven = true;
        } else if (argument == "--no-photos") {
            photos.clear();
        } else if (!argument.empty() && argument[0] == '-') {
            return Usage();
        } else {
            inputs.push_back({argument, argument});
        }
    }

    host::PluginModule module;
    if (!module.Load(host::DefaultModulePath())) {
        std::fprintf(stderr, "decode_bench: cannot load the module: %s\n", module.Error().c_str());
        return 1;
    }
    // New blocks as a real host gives them: not filled with the stand-in's junk pattern.
    host::HostEnvironment::Instance().FillNewBlocks(false);

    const bench::ScratchFolder folder("decode-bench");
    if (inputs.empty()) {
        if (!folder.ok()) {
            std::perror("decode_bench: mkdtemp");
            return 1;
        }
        inputs = SharedImages();
        const std::vector<Input> synthetic =
            quick ? SyntheticPhotos(folder.Path(), 1000, 750) : SyntheticPhotos(folder.Path(), 4000, 3000);
        inputs.insert(inputs.end(), synthetic.begin(), synthetic.end());
        if (!photos.empty()) {
            const std::vector<Input> real = RealPhotos(photos);
            if (real.empty() && photosGiven) {
                std::fprintf(stderr, "decode_bench: no .jpg in %s (scripts/bench-photos makes them)\n", photos.c_str());
                return 1;
            }
            inputs.insert(inputs.end(), real.begin(), real.end());
        }
    }

    std::printf("decode speed: the two decoders in turns for %.1f s per file (at least 3 decodes each), the fastest\n"
                "decode in CPU time; MP/s = megapixels per CPU second, us = CPU microseconds per decode\n\n",
                seconds);
    std::printf("%-34s %11s %10s %10s %12s %10s %10s %7s\n", "file", "size", "bytes", "ours MP/s", "turbo MP/s",
                "ours us", "turbo us", "ratio");
    std::vector<bench::RatioRange> classes;
    for (const PhotoClass& photoClass : kPhotoClasses) classes.push_back({photoClass.label});
    std::vector<uint8_t> row(4 * 65536);
    double oursTotal = 0;
    double peerTotal = 0;
    int status = 0;
    for (const Input& input : inputs) {
        const bench::PairTiming pair = bench::MeasurePair(
            seconds, [&](int* width, int* height) { return ReadThroughModule(module, input.path, width, height); },
            [&](int* width, int* height) { return ReadThroughPeer(input.path, &row, width, height); });
        const Timing& ours = pair.ours;
        const Timing& turbo = pair.peer;
        if (!ours.ok) {
            std::printf("%-34s %s\n", input.label.c_str(), "(the module does not read it)");
            continue;
        }
        const double megapixels = static_cast<double>(ours.width) * ours.height / 1e6;
        const std::string size = std::to_string(ours.width) + "x" + std::to_string(ours.height);
        if (!turbo.ok || turbo.width != ours.width || turbo.height != ours.height) {
            std::printf("%-34s %11s %10lld %10.1f %12s\n", input.label.c_str(), size.c_str(),
                        static_cast<long long>(FileBytes(input.path)), megapixels / ours.best, "(failed)");
            status = 1;
            continue;
        }
        std::printf("%-34s %11s %10lld %10.1f %12.1f %10.1f %10.1f %7.2f\n", input.label.c_str(), size.c_str(),
                    static_cast<long long>(FileBytes(input.path)), megapixels / ours.best, megapixels / turbo.best,
                    ours.best * 1e6, turbo.best * 1e6, turbo.best / ours.best);
        std::fflush(stdout);
        if (input.photoClass >= 0) classes[static_cast<std::size_t>(input.photoClass)].Add(turbo.best / ours.best);
        oursTotal += ours.best;
        peerTotal += turbo.best;
    }
    host::HostEnvironment::Instance().ReleaseHostHandles();
    if (peerTotal > 0) {
        std::printf("\nratio = ours / libjpeg-turbo speed; all files together: %.2f\n", peerTotal / oursTotal);
    }
    bench::PrintRatioRanges("work", classes);
    return status;
}
