// Encode speed: megapixels per second through the whole host path of JPEG.kvx (dlopen'd module,
// options record, FilterMain write prepare, start, one continue per row, finish, the file written
// to a scratch folder) next to the peer encoder libjpeg-turbo on the same pixels in the same run.
//
// The two coders have no common quality scale, so for each of our files the peer's quality is the
// one (1 to 100, found by bisection) whose file of the same kind comes nearest in size: 4:2:0
// baseline with its standard tables next to our baseline, with optimised tables next to our
// optimised, its standard progressive script next to our progressive. Both hold the pixels in
// memory and write the whole file on every run; the best run counts.
//
// Inputs: the bundled sample, and a synthetic 4000x3000 photo (1000x750 with --quick).
//
// usage: encode_bench [--seconds S] [--quick] [--quality Q]
//   --seconds S  time spent on each encoder per case (default 1.0)
//   --quick      the smaller photo and 0.2 s per measurement
//   --quality Q  our quality, 0 to 10 (default 5; 0 to 5 subsample the chroma 4:2:0 as the peer does)
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
using bench::Measure;
using bench::Timing;

struct Pixels {
    std::string label;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

bool LoadSample(Pixels* pixels) {
    std::string error;
    const std::unique_ptr<kvhost::ImageReader> reader = kvhost::OpenImageReader(KV_SAMPLE_PPM, &error);
    if (reader == nullptr) {
        std::fprintf(stderr, "encode_bench: %s: %s\n", KV_SAMPLE_PPM, error.c_str());
        return false;
    }
    pixels->label = "sample.ppm";
    pixels->width = reader->Info().width;
    pixels->height = reader->Info().height;
    const std::size_t rowBytes = static_cast<std::size_t>(pixels->width) * 3;
    pixels->rgb.resize(rowBytes * static_cast<std::size_t>(pixels->height));
    for (int y = 0; y < pixels->height; ++y) {
        if (!reader->ReadRow(pixels->rgb.data() + rowBytes * static_cast<std::size_t>(y))) {
            std::fprintf(stderr, "encode_bench: %s: %s\n", KV_SAMPLE_PPM, reader->Error().c_str());
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

peer::EncodeSettings PeerSettings(const FormatCase& format, int quality) {
    peer::EncodeSettings settings;
    settings.quality = quality;
    settings.channels = 3;
    settings.lumaH = 2;
    settings.lumaV = 2;
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

int Usage() {
    std::fprintf(stderr, "usage: encode_bench [--seconds S] [--quick] [--quality Q]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1.0;
    bool quick = false;
    int quality = 5;
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
        } else {
            return Usage();
        }
    }

    host::PluginModule module;
    if (!module.Load(host::DefaultModulePath())) {
        std::fprintf(stderr, "encode_bench: cannot load the module: %s\n", module.Error().c_str());
        return 1;
    }
    const bench::ScratchFolder folder("encode-bench");
    if (!folder.ok()) {
        std::perror("encode_bench: mkdtemp");
        return 1;
    }
    std::vector<Pixels> inputs(1);
    if (!LoadSample(&inputs[0])) return 1;
    inputs.push_back(quick ? Synthetic(1000, 750) : Synthetic(4000, 3000));

    std::printf("encode speed at our quality %d, best of at least 3 encodes in %.1f s each; MP/s = megapixels per second\n",
                quality, seconds);
    std::printf("libjpeg-turbo at the quality giving the nearest file size, same kind of file, 4:2:0\n\n");
    std::printf("%-15s %9s %-13s %9s %9s %5s %9s %10s %6s\n", "input", "size", "format", "bytes", "ours MP/s", "q",
                "bytes", "turbo MP/s", "ratio");
    const std::string ourPath = folder.Path() + "/ours.jpg";
    const std::string peerPath = folder.Path() + "/turbo.jpg";
    double oursTotal = 0, peerTotal = 0;
    int status = 0;
    for (const Pixels& pixels : inputs) {
        const double megapixels = static_cast<double>(pixels.width) * pixels.height / 1e6;
        const std::string size = std::to_string(pixels.width) + "x" + std::to_string(pixels.height);
        for (const FormatCase& format : kFormats) {
            const Timing ours = Measure(seconds, [&](int*, int*) {
                return WriteThroughModule(module, pixels, format, static_cast<int16_t>(quality), ourPath);
            });
            if (!ours.ok) {
                std::printf("%-15s %9s %-13s (the module failed)\n", pixels.label.c_str(), size.c_str(), format.label);
                status = 1;
                continue;
            }
            const int64_t ourBytes = FileBytes(ourPath);
            int64_t peerBytes = 0;
            const int peerQuality = MatchingPeerQuality(pixels, format, ourBytes, &peerBytes);
            const peer::EncodeSettings settings = PeerSettings(format, peerQuality);
            std::vector<uint8_t> jpeg;
            const Timing turbo = Measure(seconds, [&](int*, int*) {
                return peerQuality != 0 && EncodeThroughPeer(pixels, settings, &jpeg) && peer::WriteFile(peerPath, jpeg);
            });
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
    return status;
}
