// kvhost read: opens a JPEG through the module's read selectors, as the host does when the user
// opens a file, and writes the rows it hands over to a PPM, PGM, PAM or PNG file.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "host/kvhost/image_writer.h"
#include "host/kvhost/interrupt.h"
#include "host/kvhost/progress_bar.h"
#include "host/kvhost/verbs.h"
#include "host/read_session.h"

namespace kvhost {
namespace {

struct ReadArguments {
    std::string input;
    std::string output;
    std::string iccPath;  // empty: the profile is not saved
};

bool ParseArguments(const std::vector<std::string>& arguments, ReadArguments* parsed) {
    std::vector<std::string> files;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--icc") {
            if (index + 1 >= arguments.size()) {
                std::fprintf(stderr, "kvhost read: --icc needs a file name\n");
                return false;
            }
            parsed->iccPath = arguments[++index];
        } else if (argument.rfind("--icc=", 0) == 0) {
            parsed->iccPath = argument.substr(std::strlen("--icc="));
        } else {
            files.push_back(argument);
        }
    }
    if (files.size() != 2) {
        std::fprintf(stderr, "kvhost read: wanted IN.jpg and OUT (.ppm, .pgm, .pam or .png), got %zu file names\n",
                     files.size());
        return false;
    }
    parsed->input = files[0];
    parsed->output = files[1];
    return true;
}

// A 16.16 resolution as people write it: whole numbers without a fraction.
std::string Density(int32_t fixed) {
    char text[32];
    if ((fixed & 0xFFFF) == 0) {
        std::snprintf(text, sizeof text, "%d", fixed >> 16);
    } else {
        std::snprintf(text, sizeof text, "%.2f", fixed / 65536.0);
    }
    return text;
}

// The result code and what it means for a read: -30501 from the read selectors says the data
// cannot be read (damaged, cut short, or a kind of JPEG the module does not take).
std::string ReadResultText(int16_t result) {
    if (result == resultCannotRead) return std::to_string(result) + " cannot read this JPEG";
    return host::DescribeResult(result);
}

int Refused(const ReadArguments& arguments, const char* step, int16_t result) {
    std::fprintf(stderr, "kvhost read: %s: the module refused the file at %s: %s\n", arguments.input.c_str(), step,
                 ReadResultText(result).c_str());
    return exitFailed;
}

bool SaveProfile(const std::string& path, std::span<const char> bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "kvhost read: %s: cannot create: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "kvhost read: %s: cannot write the profile\n", path.c_str());
        std::remove(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int RunRead(host::PluginModule& module, const std::vector<std::string>& argumentList) {
    ReadArguments arguments;
    if (!ParseArguments(argumentList, &arguments)) return exitUsage;
    ImageFormat format;
    if (!FormatForPath(arguments.output, &format)) {
        std::fprintf(stderr, "kvhost read: %s: write .ppm, .pgm, .pam or .png\n", arguments.output.c_str());
        return exitUsage;
    }

    host::HostEnvironment& environment = host::HostEnvironment::Instance();
    environment.ResetRecord();
    environment.ResetScripts();
    HostFormatRecord* record = environment.Record();
    if (!environment.OpenForReading(arguments.input)) {
        std::fprintf(stderr, "kvhost read: %s: cannot open: %s\n", arguments.input.c_str(), std::strerror(errno));
        return exitFailed;
    }
    record->profilesEnabled = 1;
    // Ctrl-C makes the cancel check answer yes: read start asks it now and then, continue every row.
    InterruptGuard interrupts;
    environment.OnCancelCheck([] { return InterruptGuard::Pressed(); });
    ProgressBar bar;

    const auto started = std::chrono::steady_clock::now();
    ImageShape shape;
    std::string problem;
    int status = exitOk;
    std::unique_ptr<ImageWriter> writer;
    host::ReadHandlers handlers;
    // Everything after a successful read start ends with read finish, as the host does.
    handlers.started = [&](HostFormatRecord* described) {
        shape.width = described->columns;
        shape.height = described->rows;
        shape.channels = described->planes;
        shape.xDensity = static_cast<uint32_t>(described->horizontalResolution);
        shape.yDensity = static_cast<uint32_t>(described->verticalResolution);
        if (shape.width <= 0 || shape.height <= 0 || described->rowStep != shape.width * shape.channels) {
            problem = "the module described an impossible image";
        } else if (!FormatTakes(format, shape.channels, &problem)) {
            status = exitUsage;
        } else if ((writer = OpenImageWriter(format, arguments.output, &problem)) == nullptr) {
            problem = arguments.output + ": " + problem;
        } else if (!writer->Begin(shape)) {
            problem = arguments.output + ": " + writer->Error();
        }
        if (writer != nullptr) interrupts.RemoveOnExit(arguments.output);
        if (!problem.empty()) return false;
        environment.OnProgress([&bar](int32_t done, int32_t total) { bar.Show(done, total); });
        return true;
    };
    handlers.row = [&](int32_t, std::span<const uint8_t> bytes) {
        if (writer->WriteRow(bytes.data())) return true;
        problem = arguments.output + ": " + writer->Error();
        return false;
    };
    const host::ReadReport report = host::ReadThroughModule(module, handlers);
    environment.OnProgress(nullptr);
    environment.CloseFile();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (report.prepare != resultOk) return Refused(arguments, "read prepare", report.prepare);
    if (report.start == resultCancelled && InterruptGuard::Pressed()) {
        bar.Cancelled();
        std::fprintf(stderr, "kvhost read: %s: cancelled at read start\n", arguments.input.c_str());
        return exitInterrupted;
    }
    if (report.start != resultOk) return Refused(arguments, "read start", report.start);

    if (problem.empty() && report.failure == resultCancelled && InterruptGuard::Pressed()) {
        bar.Cancelled();
        std::fprintf(stderr, "kvhost read: %s: cancelled at row %d of %d\n", arguments.input.c_str(), report.rows + 1,
                     shape.height);
        status = exitInterrupted;
    } else if (problem.empty() && report.failure != resultOk) {
        std::fprintf(stderr, "kvhost read: %s: the module failed at row %d of %d: %s\n", arguments.input.c_str(),
                     report.rows + 1, shape.height, ReadResultText(report.failure).c_str());
        status = exitFailed;
    } else if (problem.empty() && !report.problem.empty()) {
        problem = report.problem;
    } else if (problem.empty() && report.finish != resultOk) {
        problem = "read finish answered " + host::DescribeResult(report.finish);
    }
    if (problem.empty() && status == exitOk && !writer->Finish()) problem = arguments.output + ": " + writer->Error();
    if (!problem.empty()) {
        std::fprintf(stderr, "kvhost read: %s: %s\n", arguments.input.c_str(), problem.c_str());
        if (status == exitOk) status = exitFailed;
    }
    if (status != exitOk) {
        if (writer != nullptr) {
            writer.reset();
            std::remove(arguments.output.c_str());
        }
        return status;
    }

    const int32_t profileBytes = record->profileData != nullptr ? record->profileSize : 0;
    if (profileBytes < 0 || (profileBytes > 0 && environment.HandleSize(record->profileData) < profileBytes)) {
        std::fprintf(stderr, "kvhost read: %s: the module's profile size %d does not fit its handle\n",
                     arguments.input.c_str(), profileBytes);
        return exitFailed;
    }
    std::string resolution = "no resolution";
    if (shape.xDensity != 0 || shape.yDensity != 0) {
        resolution = Density(record->horizontalResolution) + " x " + Density(record->verticalResolution) + " ppi";
    }
    const std::string profile =
        profileBytes == 0 ? std::string("no ICC profile") : "ICC profile " + std::to_string(profileBytes) + " bytes";
    std::printf("%s: %d x %d %s, %s, %s -> %s (%.3f s)\n", arguments.input.c_str(), shape.width, shape.height,
                ColourName(record->imageMode), resolution.c_str(), profile.c_str(), arguments.output.c_str(), seconds);

    if (!arguments.iccPath.empty()) {
        if (profileBytes == 0) {
            std::fprintf(stderr, "kvhost read: %s has no ICC profile; %s not written\n", arguments.input.c_str(),
                         arguments.iccPath.c_str());
            return exitFailed;
        }
        if (!SaveProfile(arguments.iccPath, {*record->profileData, static_cast<std::size_t>(profileBytes)})) return exitFailed;
    }
    return exitOk;
}

}  // namespace kvhost
