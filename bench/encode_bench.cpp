// Encode speed: megapixels per second through the whole host path of JPEG.kvx (dlopen'd module,
// options record, FilterMain write prepare, start, one continue per row, finish, the file written
// to a scratch folder) next to the peer encoder libjpeg-turbo on the same pixels in the same run.
//
// The two coders have no common quality scale, so for each of our files the peer's quality is the
// one (1 to 100, found by bisection) whose file of the same kind comes nearest in size: 4:2:0
// baseline with its standard tables next to our baseline, with optimised tables next to our
// optimised, its standard progressive script next to our progressive. Both hold the pixels in
// memory and write the whole file on every run. The two encode in turns, and each one's fastest run
// in CPU time counts.
//
// Inputs: the bundled sample, a synthetic 4000x3000 photo (1000x750 with --quick), and the real
// photos that scripts/bench-photos makes (the .ppm files of build/photos/encode when it is there, or
// of the folder given). The real photos are coded in fixed pairs of settings, summed up per class:
// baseline 4:2:0 (our quality 5 next to its 77), baseline 4:4:4 (our 8 next to its 92, 1x1),
// optimised 4:2:0 (5 and 77) and progressive 4:2:0 (our "5 scans" at 5, its standard script at 77).
//
// usage: encode_bench [--seconds S] [--quick] [--quality Q] [--photos FOLDER | --no-photos]
//   --seconds S  time spent on both encoders per case (default 1.0)
//   --quick      the smaller photo and 0.2 s per measurement
//   --quality Q  our quality for the sample and the synthetic photo, 0 to 10 (default 5; 0 to 5
//                subsample the chroma 4:2:0 as the peer does)
//   --photos F   the real photos' folder (default build/photos/encode of the source tree, when present)
//   --photos-only  the real photos alone
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "host/host_environment.h"
#include "host/kvhost/image_reader.h"
#include "host/write_session.h"
#include "tests/module/peer_jpeg.h"

namespace {

using bench::FileBytes;
using bench::Timing;

struct Pixels {
    std::string label;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

bool LoadPicture(const std::string& path, const std::string& label, Pixels* pixels) {
    std::string error;
    const std::unique_ptr<kvhost::ImageReader> reader = kvhost::OpenImageReader(path, &error);
    if (reader == nullptr) {
        std::fprintf(stderr, "encode_bench: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    pixels->label = label;
    pixels->width = reader->Info().width;
    pixels->height = reader->Info().height;
    const std::size_t rowBytes = static_cast<std::size_t>(pixels->width) * 3;
    pixels->rgb.resize(rowBytes * static_cast<std::size_t>(pixels->height));
    for (int y = 0; y < pixels->height; ++y) {
        if (!reader->ReadRow(pixels->rgb.data() + rowBytes * static_cast<std::size_t>(y))) {
            std::fprintf(stderr, "encode_bench: %s: %s\n", path.c_str(), reader->Error().c_str());
            return false;
        }
    }
    return true;
}

Pixels Synthetic(int width, int height) {
    Pixels pixels;
    pixels.label = "synthetic photo";
    pixels.width = width;
    pixels.height = height;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    pixels.rgb.resize(rowBytes * static_cast<std::size_t>(height));
    const peer::SyntheticPhoto photo(width, height, 3);
    for (int y = 0; y < height; ++y) photo.Row(y, pixels.rgb.data() + rowBytes * static_cast<std::size_t>(y));
    return pixels;
}

struct FormatCase {
    const char* label;
    host::JpegFormat format;
    int16_t scans;
    bool peerOptimise;
    bool peerProgressive;
};

const FormatCase kFormats[] = {
    {"baseline", host::JpegFormat::baseline, 3, false, false},
    {"optimised", host::JpegFormat::optimised, 3, true, false},
    {"progressive 3", host::JpegFormat::progressive, 3, true, true},
    {"progressive 5", host::JpegFormat::progressive, 5, true, true},
};

// One write of the pixels through the module into path.
bool WriteThroughModule(host::PluginModule& module, const Pixels& pixels, const FormatCase& format, int16_t quality,
                        const std::string& path) {
    host::WriteJob job;
    job.outputPath = path;
    job.width = pixels.width;
    job.height = pixels.height;
    job.options.quality = quality;
    job.options.format = format.format;
    job.options.scans = format.scans;
    const std::size_t rowBytes = static_cast<std::size_t>(pixels.width) * 3;
    job.fill = [&](int32_t row, std::span<uint8_t> rgb) {
        std::memcpy(rgb.data(), pixels.rgb.data() + rowBytes * static_cast<std::size_t>(row), rowBytes);
        return true;
    };
    const host::WriteReport report = host::WriteThroughModule(module, job);
    host::HostEnvironment::Instance().ReleaseHostHandles();
    return report.ok();
}

// The real photos' classes: our settings next to the peer's, fixed.
struct PhotoCase {
    const char* label;
    FormatCase format;
    int16_t ourQuality;
    int peerQuality;
    int peerSampling;  // the peer's luma factors, both ways: 2 for 4:2:0, 1 for 4:4:4
};

const PhotoCase kPhotoCases[] = {
    {"encode baseline 4:2:0", kFormats[0], 5, 77, 2},
    {"encode baseline 4:4:4", kFormats[0], 8, 92, 1},
    {"encode optimised 4:2:0", kFormats[1], 5, 77, 2},
    {"encode progressive 4:2:0", kFormats[3], 5, 77, 2},
};

peer::EncodeSettings PeerSettings(const FormatCase& format, int quality, int sampling = 2) {
    peer::EncodeSettings settings;
    settings.quality = quality;
    settings.channels = 3;
    settings.lumaH = sampling;
    settings.lumaV = sampling;
    settings.optimize = format.peerOptimise;
    settings.progressive = format.peerProgressive;
    return settings;
}

bool EncodeThroughPeer(const Pixels& pixels, const peer::EncodeSettings& settings, std::vector<uint8_t>* jpeg) {
    const std::size_t rowBytes = static_cast<std::size_t>(pixels.width) * 3;
    std::string error;
    return peer::Encode(
        pixels.width, pixels.height, settings,
        [&](int row, uint8_t* rgb) { std::memcpy(rgb, pixels.rgb.data() + rowBytes * static_cast<std::size_t>(row), rowBytes); },
        jpeg, &error);
}

// The peer quality whose file comes nearest to target bytes; 0 when the peer fails.
int MatchingPeerQuality(const Pixels& pixels, const FormatCase& format, int64_t target, int64_t* bytes) {
    int low = 1, high = 100;
    std::vector<uint8_t> jpeg;
    // Sizes grow with quality: the largest quality not above the target, then the nearer of it and the next.
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (!EncodeThroughPeer(pixels, PeerSettings(format, middle), &jpeg)) return 0;
        if (static_cast<int64_t>(jpeg.size()) <= target) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    int best = 0;
    for (int quality = low; quality <= std::min(low + 1, 100); ++quality) {
        if (!EncodeThroughPeer(pixels, PeerSettings(format, quality), &jpeg)) return 0;
        const int64_t size = static_cast<int64_t>(jpeg.size());
        if (best == 0 || std::llabs(size - target) < std::llabs(*bytes - target)) {
            best = quality;
            *bytes = size;
        }
    }
    return best;
}

// The real photos in the fixed pairs of settings, one line per photo and class, then the classes'
// ranges. Answers 1 when anything failed.
int EncodePhotos(host::PluginModule& module, const std::string& folder, const std::vector<std::string>& names,
                 double seconds, const std::string& scratch) {
    std::printf("\nreal photos, fixed settings (ours / its quality)\n\n");
    std::printf("%-20s %9s %-26s %9s %9s %9s %10s %6s\n", "photo", "size", "work", "bytes", "ours MP/s", "bytes",
                "turbo MP/s", "ratio");
    std::vector<bench::RatioRange> classes;
    for (const PhotoCase& item : kPhotoCases) classes.push_back({item.label});
    const std::string ourPath = scratch + "/ours.jpg";
    const std::string peerPath = scratch + "/turbo.jpg";
    int status = 0;
    for (const std::string& name : names) {
        Pixels pixels;
        if (!LoadPicture(folder + "/" + name, name, &pixels)) {
            status = 1;
            continue;
        }
        const double megapixels = static_cast<double>(pixels.width) * pixels.height / 1e6;
        const std::string size = std::to_string(pixels.width) + "x" + std::to_string(pixels.height);
        for (std::size_t index = 0; index < std::size(kPhotoCases); ++index) {
            const PhotoCase& item = kPhotoCases[index];
            const peer::EncodeSettings settings = PeerSettings(item.format, item.peerQuality, item.peerSampling);
            std::vector<uint8_t> jpeg;
            const bench::PairTiming pair = bench::MeasurePair(
                seconds, [&](int*, int*) { return WriteThroughModule(module, pixels, item.format, item.ourQuality, ourPath); },
                [&](int*, int*) { return EncodeThroughPeer(pixels, settings, &jpeg) && peer::WriteFile(peerPath, jpeg); });
            if (!pair.ours.ok || !pair.peer.ok) {
                std::printf("%-20s %9s %-26s (%s failed)\n", name.c_str(), size.c_str(), item.label,
                            pair.ours.ok ? "the peer" : "the module");
                status = 1;
                continue;
            }
            const double ratio = pair.peer.best / pair.ours.best;
            std::printf("%-20s %9s %-26s %9lld %9.1f %9lld %10.1f %6.2f\n", name.c_str(), size.c_str(), item.label,
                        static_cast<long long>(FileBytes(ourPath)), megapixels / pair.ours.best,
                        static_cast<long long>(FileBytes(peerPath)), megapixels / pair.peer.best, ratio);
            std::fflush(stdout);
            classes[index].Add(ratio);
        }
    }
    bench::PrintRatioRanges("work", classes);
    return status;
}

int Usage() {
    std::fprintf(stderr, "usage: encode_bench [--seconds S] [--quick] [--quality Q] [--photos FOLDER | --no-photos] [--photos-only]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1.0;
    bool quick = false;
    int quality = 5;
    std::string photos = KV_PHOTOS;
    bool photosGiven = false;
    bool photosOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
            if (seconds <= 0) return Usage();
        } else if (argument == "--quick") {
            quick = true;
            seconds = 0.2;
        } else if (argument == "--quality" && i + 1 < argc) {
            quality = std::atoi(argv[++i]);
            if (quality < 0 || quality > 10) return Usage();
        } else if (argument == "--photos" && i + 1 < argc) {
            photos = argv[++i];
            photosGiven = true;
        } else if (argument == "--no-photos") {
            photos.clear();
        } else if (argument == "--photos-only") {
            photosOnly = true;
        } else {
            return Usage();
        }
    }

    host::PluginModule module;
    if (!module.Load(host::DefaultModulePath())) {
        std::fprintf(stderr, "encode_bench: cannot load the module: %s\n", module.Error().c_str());
        return 1;
    }
    // New blocks as a real host gives them: not filled with the stand-in's junk pattern.
    host::HostEnvironment::Instance().FillNewBlocks(false);
    const bench::ScratchFolder folder("encode-bench");
    if (!folder.ok()) {
        std::perror("encode_bench: mkdtemp");
        return 1;
    }
    std::vector<Pixels> inputs;
    if (!photosOnly) {
        inputs.resize(1);
        if (!LoadPicture(KV_SAMPLE_PPM, "sample.ppm", &inputs[0])) return 1;
        inputs.push_back(quick ? Synthetic(1000, 750) : Synthetic(4000, 3000));
    }
    const std::vector<std::string> photoNames = photos.empty() ? std::vector<std::string>{} : bench::FilesEndingIn(photos, ".ppm");
    if (photoNames.empty() && photosGiven) {
        std::fprintf(stderr, "encode_bench: no .ppm in %s (scripts/bench-photos makes them)\n", photos.c_str());
        return 1;
    }

    std::printf("encode speed at our quality %d: the two encoders in turns for %.1f s per case (at least 3 encodes\n"
                "each), the fastest encode in CPU time; MP/s = megapixels per CPU second\n",
                quality, seconds);
    if (!inputs.empty()) {
        std::printf("libjpeg-turbo at the quality giving the nearest file size, same kind of file, 4:2:0\n\n");
        std::printf("%-15s %9s %-13s %9s %9s %5s %9s %10s %6s\n", "input", "size", "format", "bytes", "ours MP/s", "q",
                    "bytes", "turbo MP/s", "ratio");
    }
    const std::string ourPath = folder.Path() + "/ours.jpg";
    const std::string peerPath = folder.Path() + "/turbo.jpg";
    double oursTotal = 0, peerTotal = 0;
    int status = 0;
    for (const Pixels& pixels : inputs) {
        const double megapixels = static_cast<double>(pixels.width) * pixels.height / 1e6;
        const std::string size = std::to_string(pixels.width) + "x" + std::to_string(pixels.height);
        for (const FormatCase& format : kFormats) {
            if (!WriteThroughModule(module, pixels, format, static_cast<int16_t>(quality), ourPath)) {
                std::printf("%-15s %9s %-13s (the module failed)\n", pixels.label.c_str(), size.c_str(), format.label);
                status = 1;
                continue;
            }
            const int64_t ourBytes = FileBytes(ourPath);
            int64_t peerBytes = 0;
            const int peerQuality = MatchingPeerQuality(pixels, format, ourBytes, &peerBytes);
            const peer::EncodeSettings settings = PeerSettings(format, peerQuality);
            std::vector<uint8_t> jpeg;
            const bench::PairTiming pair = bench::MeasurePair(
                seconds,
                [&](int*, int*) {
                    return WriteThroughModule(module, pixels, format, static_cast<int16_t>(quality), ourPath);
                },
                [&](int*, int*) {
                    return peerQuality != 0 && EncodeThroughPeer(pixels, settings, &jpeg) &&
                           peer::WriteFile(peerPath, jpeg);
                });
            const Timing& ours = pair.ours;
            const Timing& turbo = pair.peer;
            if (!ours.ok) {
                std::printf("%-15s %9s %-13s (the module failed)\n", pixels.label.c_str(), size.c_str(), format.label);
                status = 1;
                continue;
            }
            if (!turbo.ok) {
                std::printf("%-15s %9s %-13s %9lld %9.1f (the peer failed)\n", pixels.label.c_str(), size.c_str(),
                            format.label, static_cast<long long>(ourBytes), megapixels / ours.best);
                status = 1;
                continue;
            }
            std::printf("%-15s %9s %-13s %9lld %9.1f %5d %9lld %10.1f %6.2f\n", pixels.label.c_str(), size.c_str(),
                        format.label, static_cast<long long>(ourBytes), megapixels / ours.best, peerQuality,
                        static_cast<long long>(peerBytes), megapixels / turbo.best, turbo.best / ours.best);
            std::fflush(stdout);
            oursTotal += ours.best;
            peerTotal += turbo.best;
        }
    }
    if (peerTotal > 0) {
        std::printf("\nratio = ours / libjpeg-turbo speed; all cases together: %.2f\n", peerTotal / oursTotal);
    }
    if (!photoNames.empty()) status = std::max(status, EncodePhotos(module, photos, photoNames, seconds, folder.Path()));
    return status;
}
