// kvhost: a command line host that loads the JPEG.kvx module and drives it through FilterMain the
// way the host application does. Parses the command line, loads the module and runs one verb.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "host/host_environment.h"
#include "host/kvhost/verbs.h"
#include "host/platform.h"

#ifndef KVHOST_VERSION
#error "KVHOST_VERSION must be defined by the build"
#endif

namespace kvhost {
namespace {

struct Verb {
    const char* name;
    const char* arguments;
    const char* summary;
    VerbProc run;
    // The verb's own options that take a value ("--icc"), handed to the verb with their values.
    std::initializer_list<const char*> valueOptions;
    // Set for a verb that reads the module file instead of loading the module.
    InspectProc inspect = nullptr;
    // The verb's own options without a value ("--raw").
    std::initializer_list<const char*> flagOptions = {};
};

const Verb kVerbs[] = {
    {"check", "FILE...", "tell for each file whether the module takes it for a JPEG", RunCheck, {}},
    {"read", "[--icc FILE] IN OUT",
     "read the JPEG IN as the host does and write its image to OUT:\n"
     ".ppm RGB, .pgm grey, .pam grey/RGB/CMYK ink, .png grey/RGB;\n"
     "--icc also saves the ICC profile to FILE",
     RunRead, {"--icc"}},
    {"write", "[OPTION...] IN OUT",
     "write the image IN (.ppm, .pgm, .pam, .png; grey is written as RGB,\n"
     "alpha is dropped) as the JPEG OUT, as the host saves a frame:\n"
     "--quality 0..10 (default 5), --format baseline|optimized|progressive,\n"
     "--scans 3|4|5 (progressive; default 3); without any of these three the\n"
     "options stored by 'kvhost options' are used; --icc FILE embeds a profile,\n"
     "--dpi N sets the resolution (default: IN's own, else 72); frames larger\n"
     "than the module's property list allows (mxsz) are refused",
     RunWrite, {"--quality", "--format", "--scans", "--icc", "--dpi"}},
    {"options", "[--script ACTIONS | --screenshot FILE.png]",
     "show the module's JPEG Options dialog on the stored options\n"
     "(in a window; --script runs a scripted user instead, e.g.\n"
     "\"choose format_options 2; choose scans 1; type quality 7.6;\n"
     "end quality; ok\"; --screenshot saves the window as it first\n"
     "appears); prints each control and the result, keeps OK's choice\n"
     "in $XDG_CONFIG_HOME/kvhost/jpeg-options for later writes (on Windows\n"
     "in %APPDATA%\\kvhost; kvhost.exe has no window, only --script);\n"
     "the window is kvhost-window.so beside kvhost (installed: PREFIX/lib/\n"
     "kvhost), or the file KVHOST_WINDOW_LIBRARY names",
     RunOptions, {"--script", "--screenshot"}},
    {"info", "[--raw] [MODULE]",
     "show what the module file tells the host before it is loaded:\n"
     "its property list decoded (--raw: as a hex dump) and its resources",
     nullptr, {}, RunInfo, {"--raw"}},
};

// Whether argument is one of the verb's own options; *takesValue tells whether the next argument
// is its value (false for the --name=value form).
bool IsVerbOption(const Verb* verb, const std::string& argument, bool* takesValue) {
    if (verb == nullptr) return false;
    for (const char* option : verb->flagOptions) {
        if (argument == option) {
            *takesValue = false;
            return true;
        }
    }
    for (const char* option : verb->valueOptions) {
        if (argument == option) {
            *takesValue = true;
            return true;
        }
        if (argument.rfind(std::string(option) + "=", 0) == 0) {
            *takesValue = false;
            return true;
        }
    }
    return false;
}

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kvhost [--module PATH] VERB [ARGUMENT...]\n"
                 "\n"
                 "Loads the JPEG.kvx plug-in module and drives it as the host application does:\n"
                 "reads the module's property list from the file, then loads the module and\n"
                 "calls the entry point the list names.\n"
                 "\n"
                 "verbs:\n");
    std::size_t width = 0;
    for (const Verb& verb : kVerbs) width = std::max(width, std::strlen(verb.name) + 1 + std::strlen(verb.arguments));
    for (const Verb& verb : kVerbs) {
        const std::string call = std::string(verb.name) + " " + verb.arguments;
        // The summary beside its verb; its further lines under the first.
        const std::string summary = verb.summary;
        std::size_t start = 0;
        bool first = true;
        for (;;) {
            const std::size_t end = summary.find('\n', start);
            const std::string line = summary.substr(start, end == std::string::npos ? std::string::npos : end - start);
            std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), first ? call.c_str() : "", line.c_str());
            if (end == std::string::npos) break;
            start = end + 1;
            first = false;
        }
    }
    std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), "batch FILE",
                 "run each line of FILE (- for standard input) as a kvhost command line,");
    std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), "",
                 "in one process; prints \"$ LINE\" and \"status N\" around each");
    std::fprintf(out,
                 "\n"
                 "options:\n"
                 "  --module PATH    load this module file instead of JPEG.kvx beside kvhost\n"
                 "                   (installed: PREFIX/lib/kvhost/JPEG.kvx); the KVX_MODULE\n"
                 "                   environment variable does the same\n"
                 "  --memory-limit SIZE\n"
                 "                   the host's memory budget for the module: bytes, or with K, M or\n"
                 "                   G (1024-based); 'none' for no budget; default a quarter of the\n"
                 "                   physical memory. The module's requests beyond it fail as\n"
                 "                   out of memory (-108)\n"
                 "  -h, --help       show this text\n"
                 "  --version        show the version\n"
                 "\n"
                 "Ctrl-C during a read or write asks the module to stop at its next cancel\n"
                 "check; a second Ctrl-C ends kvhost at once.\n"
                 "\n"
                 "exit status: 0 success; 1 a file failed, the module misbehaved or the window\n"
                 "could not be shown;\n"
                 "2 a wrong command line, or a module that cannot be loaded (among them a file\n"
                 "without a property list, with a damaged one, or for another kind of plug-in);\n"
                 "130 cancelled with Ctrl-C\n");
}

// A quarter of the machine's physical memory, the budget a host would leave one plug-in; 0 when
// the system does not say.
int64_t DefaultMemoryLimit() { return host::platform::PhysicalMemory() / 4; }

// SIZE of --memory-limit: a whole number of bytes, or of K, M or G (1024-based), or "none" (0).
bool ParseMemoryLimit(const std::string& text, int64_t* bytes) {
    if (text == "none") {
        *bytes = 0;
        return true;
    }
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 12) return false;
    int64_t value = std::stoll(text.substr(0, digits));
    const std::string unit = text.substr(digits);
    int shift = 0;
    if (unit == "K" || unit == "k") {
        shift = 10;
    } else if (unit == "M" || unit == "m") {
        shift = 20;
    } else if (unit == "G" || unit == "g") {
        shift = 30;
    } else if (!unit.empty()) {
        return false;
    }
    if (value == 0 || value > (INT64_MAX >> shift)) return false;
    *bytes = value << shift;
    return true;
}

const Verb* FindVerb(const std::string& name) {
    for (const Verb& verb : kVerbs) {
        if (name == verb.name) return &verb;
    }
    return nullptr;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kvhost: %s\nTry 'kvhost --help'.\n", message.c_str());
    return exitUsage;
}

// Handles the plug-in left behind once the host has given back its own are a leak in the module.
int CheckHandlesReturned(int status) {
    host::HostEnvironment& environment = host::HostEnvironment::Instance();
    environment.ReleaseHostHandles();
    const host::HandleStats& stats = environment.Stats();
    if (stats.liveHandles == 0) return status;
    std::fprintf(stderr, "kvhost: the module left %lld handles (%lld bytes) undisposed\n",
                 static_cast<long long>(stats.liveHandles), static_cast<long long>(stats.liveBytes));
    return status == exitOk ? exitFailed : status;
}

// One kvhost command line; processEnds when nothing runs after it in this process (not in a batch).
int Run(const std::vector<std::string>& commandLine, bool processEnds) {
    std::string modulePath;
    std::vector<std::string> globalOptions;  // for the commands of a batch
    int64_t memoryLimit = DefaultMemoryLimit();
    std::vector<std::string> operands;
    const Verb* verb = nullptr;  // known once its name has been seen
    bool optionsEnded = false;
    bool takesValue = false;
    const auto argc = static_cast<int>(commandLine.size());
    for (int index = 0; index < argc; ++index) {
        const std::string& argument = commandLine[static_cast<std::size_t>(index)];
        auto next = [&] { return commandLine[static_cast<std::size_t>(++index)]; };
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            operands.push_back(argument);
            if (operands.size() == 1) verb = FindVerb(argument);
        } else if (IsVerbOption(verb, argument, &takesValue)) {
            if (takesValue && index + 1 >= argc) return UsageError(argument + " needs a value");
            operands.push_back(argument);
            if (takesValue) operands.push_back(next());
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            PrintUsage(stdout);
            return exitOk;
        } else if (argument == "--version") {
            std::printf("kvhost %s\n", KVHOST_VERSION);
            return exitOk;
        } else if (argument == "--module") {
            if (index + 1 >= argc) return UsageError("--module needs a path");
            modulePath = next();
            globalOptions.insert(globalOptions.end(), {"--module", modulePath});
        } else if (argument.rfind("--module=", 0) == 0) {
            modulePath = argument.substr(std::strlen("--module="));
            globalOptions.insert(globalOptions.end(), {"--module", modulePath});
        } else if (argument == "--memory-limit" || argument.rfind("--memory-limit=", 0) == 0) {
            std::string size;
            if (argument == "--memory-limit") {
                if (index + 1 >= argc) return UsageError("--memory-limit needs a size");
                size = next();
            } else {
                size = argument.substr(std::strlen("--memory-limit="));
            }
            if (!ParseMemoryLimit(size, &memoryLimit)) {
                return UsageError("--memory-limit takes bytes, or a number with K, M or G, or 'none', not '" + size + "'");
            }
            globalOptions.insert(globalOptions.end(), {"--memory-limit", size});
        } else {
            return UsageError("unknown option '" + argument + "'");
        }
    }
    if (operands.empty()) {
        PrintUsage(stderr);
        return exitUsage;
    }
    if (operands.front() == "batch") {
        if (operands.size() != 2) return UsageError("batch takes one FILE (or - for standard input)");
        return RunBatch(operands[1], globalOptions, [](const std::vector<std::string>& command) {
            return Run(command, false);
        });
    }
    if (verb == nullptr) return UsageError("unknown verb '" + operands.front() + "'");
    if (modulePath.empty()) modulePath = host::DefaultModulePath();
    const std::vector<std::string> arguments(operands.begin() + 1, operands.end());
    if (verb->inspect != nullptr) return verb->inspect(modulePath, arguments);

    // Like the host, kvhost reads the module's property list before it loads the module.
    host::PluginModule module;
    if (!module.Load(modulePath)) {
        std::fprintf(stderr, "kvhost: cannot load the module: %s\n", module.Error().c_str());
        return exitUsage;
    }
    host::HostEnvironment::Instance().LimitMemory(memoryLimit);
    if (processEnds) module.LeaveLoaded();
    return CheckHandlesReturned(verb->run(module, arguments));
}

}  // namespace
}  // namespace kvhost

int main(int argc, char** argv) { return kvhost::Run(std::vector<std::string>(argv + 1, argv + argc), true); }
