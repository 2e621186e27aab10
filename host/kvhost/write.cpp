// kvhost write: saves an image file as JPEG through the module's write selectors, as the host does
// when the user saves a frame with the JPEG options chosen.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>

#include "host/kvhost/image_reader.h"
#include "host/kvhost/interrupt.h"
#include "host/kvhost/options_store.h"
#include "host/kvhost/progress_bar.h"
#include "host/kvhost/verbs.h"
#include "host/write_session.h"

namespace kvhost {
namespace {

struct WriteArguments {
    std::string input;
    std::string output;
    std::string iccPath;      // empty: no profile
    host::JpegWriteOptions options;
    bool scansGiven = false;
    bool optionsGiven = false;  // any of --quality, --format, --scans: else the stored options
    int32_t dpi = 0;          // 0: the input's own resolution, else 72
};

int UsageProblem(const std::string& message) {
    std::fprintf(stderr, "kvhost write: %s\n", message.c_str());
    return exitUsage;
}

// A whole decimal number in [low, high]; false for anything else.
bool ParseNumber(const std::string& text, int32_t low, int32_t high, int32_t* value) {
    if (text.empty() || text.size() > 9) return false;
    int32_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

// Parses the verb's arguments; answers exitOk, or the status to leave with after saying why.
int ParseArguments(const std::vector<std::string>& arguments, WriteArguments* parsed) {
    std::vector<std::string> files;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::string argument = arguments[index];
        std::string value;
        const std::size_t equals = argument.find('=');
        const bool option = argument.rfind("--", 0) == 0;
        if (option && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
        } else if (option) {
            if (index + 1 >= arguments.size()) return UsageProblem(argument + " needs a value");
            value = arguments[++index];
        }
        int32_t number = 0;
        if (argument == "--quality" || argument == "--format" || argument == "--scans") parsed->optionsGiven = true;
        if (!option) {
            files.push_back(argument);
        } else if (argument == "--quality") {
            if (!ParseNumber(value, 0, 10, &number)) return UsageProblem("--quality takes 0 to 10, not '" + value + "'");
            parsed->options.quality = static_cast<int16_t>(number);
        } else if (argument == "--format") {
            if (value == "baseline") {
                parsed->options.format = host::JpegFormat::baseline;
            } else if (value == "optimized" || value == "optimised") {
                parsed->options.format = host::JpegFormat::optimised;
            } else if (value == "progressive") {
                parsed->options.format = host::JpegFormat::progressive;
            } else {
                return UsageProblem("--format takes baseline, optimized or progressive, not '" + value + "'");
            }
        } else if (argument == "--scans") {
            if (!ParseNumber(value, 3, 5, &number)) return UsageProblem("--scans takes 3, 4 or 5, not '" + value + "'");
            parsed->options.scans = static_cast<int16_t>(number);
            parsed->scansGiven = true;
        } else if (argument == "--icc") {
            parsed->iccPath = value;
        } else if (argument == "--dpi") {
            if (!ParseNumber(value, 1, kLargestSide, &number)) {
                return UsageProblem("--dpi takes a whole number of pixels per inch from 1 to 32767, not '" + value + "'");
            }
            parsed->dpi = number;
        } else {
            return UsageProblem("unknown option '" + argument + "'");
        }
    }
    if (parsed->scansGiven && parsed->options.format != host::JpegFormat::progressive) {
        return UsageProblem("--scans applies to --format progressive only");
    }
    if (files.size() != 2) {
        return UsageProblem("wanted IN (.ppm, .pgm, .pam or .png) and OUT.jpg, got " + std::to_string(files.size()) +
                            " file names");
    }
    parsed->input = files[0];
    parsed->output = files[1];
    return exitOk;
}

// The whole file, or false with errno set; profiles the host cannot hold (2 GiB and more) are
// refused with EFBIG.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes->clear();
    uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (bytes->size() + got > static_cast<std::size_t>(INT32_MAX)) {
            std::fclose(file);
            errno = EFBIG;
            return false;
        }
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) errno = EIO;
    return !failed;
}

std::string FormatName(const host::JpegWriteOptions& options) {
    switch (options.format) {
        case host::JpegFormat::baseline: return "baseline";
        case host::JpegFormat::optimised: return "optimized";
        case host::JpegFormat::progressive: return "progressive (" + std::to_string(options.scans) + " scans)";
    }
    return "format " + std::to_string(static_cast<int>(options.format));
}

// Whether path names a regular file (or nothing yet): only those are removed after a failed write,
// never a device such as /dev/full or /dev/null.
bool IsRegularOrMissing(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return errno == ENOENT;
    return S_ISREG(info.st_mode);
}

}  // namespace

int RunWrite(host::PluginModule& module, const std::vector<std::string>& argumentList) {
    WriteArguments arguments;
    if (const int status = ParseArguments(argumentList, &arguments); status != exitOk) return status;

    // Opening OUT truncates it: it must not be the image being read.
    std::error_code notFound;
    if (std::filesystem::equivalent(arguments.input, arguments.output, notFound)) {
        std::fprintf(stderr, "kvhost write: %s: OUT is the input image itself\n", arguments.output.c_str());
        return exitUsage;
    }
    std::string error;
    std::unique_ptr<ImageReader> reader = OpenImageReader(arguments.input, &error);
    if (reader == nullptr) {
        std::fprintf(stderr, "kvhost write: %s: %s\n", arguments.input.c_str(), error.c_str());
        return exitFailed;
    }
    const SourceInfo& info = reader->Info();
    // The module's property list declares the largest frame it takes; the host does not hand it more.
    if (const host::Property* largest = module.Properties().Find(host::FourCharCode("mxsz"));
        largest != nullptr && largest->data.size() == 4) {
        const uint16_t rows = largest->Half(0);
        const uint16_t columns = largest->Half(2);
        if (info.width > columns || info.height > rows) {
            std::fprintf(stderr,
                         "kvhost write: %s: %d x %d pixels is larger than the module takes: at most %u x %u "
                         "(its \"mxsz\" property)\n",
                         arguments.input.c_str(), info.width, info.height, columns, rows);
            return exitFailed;
        }
    }
    std::vector<uint8_t> profile;
    if (!arguments.iccPath.empty()) {
        if (!ReadWholeFile(arguments.iccPath, &profile)) {
            std::fprintf(stderr, "kvhost write: %s: cannot read the profile: %s\n", arguments.iccPath.c_str(),
                         std::strerror(errno));
            return exitFailed;
        }
        if (profile.empty()) {
            std::fprintf(stderr, "kvhost write: %s: the profile is empty\n", arguments.iccPath.c_str());
            return exitFailed;
        }
    }
    if (info.alphaDropped) {
        std::fprintf(stderr, "kvhost write: %s: note: the alpha channel is dropped (a JPEG has none)\n",
                     arguments.input.c_str());
    }

    host::WriteJob job;
    job.outputPath = arguments.output;
    job.width = info.width;
    job.height = info.height;
    // The resolution the user asked for, else the file's (PNG's pHYs), else the host's usual 72 ppi.
    const uint32_t ownDensity = info.xDensity != 0 ? info.xDensity : info.yDensity;
    job.resolution = arguments.dpi != 0 ? arguments.dpi << 16 : ownDensity != 0 ? static_cast<int32_t>(ownDensity) : 72 << 16;
    job.profile = profile.empty() ? nullptr : &profile;
    job.options = arguments.options;
    // Without options on the command line, the write takes those the user chose last.
    if (!arguments.optionsGiven) {
        std::string problem;
        if (!LoadStoredOptions(host::HostEnvironment::Instance(), &problem)) {
            std::fprintf(stderr, "kvhost write: %s\n", problem.c_str());
            return exitFailed;
        }
        job.storedOptions = true;
    }
    job.fill = [&reader](int32_t, std::span<uint8_t> rgb) { return reader->ReadRow(rgb.data()); };
    ProgressBar bar;
    job.progress = [&bar](int32_t done, int32_t total) { bar.Show(done, total); };
    const bool removable = IsRegularOrMissing(arguments.output);
    InterruptGuard interrupts;
    if (removable) interrupts.RemoveOnExit(arguments.output);
    job.wantsToStop = [] { return InterruptGuard::Pressed(); };

    const auto started = std::chrono::steady_clock::now();
    const host::WriteReport report = host::WriteThroughModule(module, job);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!report.ok() && report.FailedAnswer() == resultCancelled && InterruptGuard::Pressed()) {
        bar.Cancelled();
        std::fprintf(stderr, "kvhost write: %s: cancelled at row %d of %d\n", arguments.output.c_str(),
                     report.failedRow + 1, info.height);
        if (removable) std::remove(arguments.output.c_str());
        return exitInterrupted;
    }
    bar.Clear();

    if (!report.ok()) {
        const std::string step = report.FailedStep();
        if (step == "open") {
            std::fprintf(stderr, "kvhost write: %s: %s\n", arguments.output.c_str(), report.problem.c_str());
            return exitFailed;
        }
        if (step == "options") {
            std::fprintf(stderr, "kvhost write: the host has no memory for the options or the profile\n");
        } else if (step == "row") {
            std::fprintf(stderr, "kvhost write: %s: row %d of %d: %s\n", arguments.input.c_str(), report.failedRow + 1,
                         info.height, reader->Error().c_str());
        } else if (!report.problem.empty()) {
            std::fprintf(stderr, "kvhost write: %s: %s\n", arguments.output.c_str(), report.problem.c_str());
        } else if (step == "write continue") {
            std::fprintf(stderr, "kvhost write: %s: the module failed at row %d of %d: %s\n", arguments.output.c_str(),
                         report.failedRow + 1, info.height, host::DescribeResult(report.failure).c_str());
        } else {
            std::fprintf(stderr, "kvhost write: %s: the module refused the frame at %s: %s\n",
                         arguments.output.c_str(), step.c_str(), host::DescribeResult(report.FailedAnswer()).c_str());
        }
        if (removable) std::remove(arguments.output.c_str());
        return exitFailed;
    }

    host::JpegWriteOptions used = arguments.options;
    StoredOptionsView stored;
    if (job.storedOptions && ReadRecordOptions(host::HostEnvironment::Instance(), &stored)) {
        used.quality = static_cast<int16_t>(stored.quality);
        used.format = static_cast<host::JpegFormat>(stored.format);
        used.scans = static_cast<int16_t>(stored.scans + 2);
        std::string problem;
        if (!SaveStoredOptions(host::HostEnvironment::Instance(), &problem)) {
            std::fprintf(stderr, "kvhost write: %s\n", problem.c_str());
        }
    }

    struct stat written;
    const int64_t bytes = stat(arguments.output.c_str(), &written) == 0 ? static_cast<int64_t>(written.st_size) : 0;
    const double pixels = static_cast<double>(info.width) * info.height;
    const std::string extra = profile.empty() ? std::string() : ", ICC profile " + std::to_string(profile.size()) + " bytes";
    std::printf("%s: %d x %d %s -> %s: %s, quality %d%s, %lld bytes, %.2f bits per pixel (%.3f s)\n",
                arguments.input.c_str(), info.width, info.height, info.kind, arguments.output.c_str(),
                FormatName(used).c_str(), used.quality, extra.c_str(),
                static_cast<long long>(bytes), static_cast<double>(bytes) * 8 / pixels, seconds);
    return exitOk;
}

}  // namespace kvhost
