// The verbs of kvhost: each runs one host operation on the loaded module and answers the exit
// status. main.cpp lists them in its verb table.
#pragma once

#include <string>
#include <vector>

#include "host/host_environment.h"

namespace kvhost {

enum ExitStatus : int {
    exitOk = 0,
    exitFailed = 1,  // a file failed, or the module misbehaved
    exitUsage = 2,   // a wrong command line, or no loadable module (no or a damaged property list)
    exitInterrupted = 130,  // the user pressed Ctrl-C (128 + SIGINT, as shells report it)
};

// What every verb is handed: the loaded module and the verb's own arguments.
using VerbProc = int (*)(host::PluginModule& module, const std::vector<std::string>& arguments);

// What a verb that only reads the module file is handed: the module's path when no MODULE is
// given, and the verb's own arguments.
using InspectProc = int (*)(const std::string& defaultModule, const std::vector<std::string>& arguments);

// Runs one kvhost command line (its options and verb, without the program's name).
using CommandProc = int (*)(const std::vector<std::string>& commandLine);

// batch FILE: runs every line of FILE ("-": standard input) as a kvhost command line with run,
// after the global options given to batch itself; "#" starts a comment line. Prints "$ LINE"
// before and "status N" after each. Answers 0 when every command answered 0, else 1; 2 when the
// file cannot be read or a line cannot be split.
int RunBatch(const std::string& path, const std::vector<std::string>& globalOptions, CommandProc run);

// info [--raw] [MODULE]: the property list decoded (or, with --raw, as a hex dump) and the table
// of resources, read from the module file without loading it.
int RunInfo(const std::string& defaultModule, const std::vector<std::string>& arguments);

// check FILE...: the file check on each file, one line per file.
int RunCheck(host::PluginModule& module, const std::vector<std::string>& arguments);

// read [--icc FILE] IN OUT: reads IN through the read selectors and writes the image to OUT as
// PPM, PGM, PAM or PNG (by OUT's extension); --icc saves the ICC profile the module handed over.
int RunRead(host::PluginModule& module, const std::vector<std::string>& arguments);

// write [--quality N] [--format F] [--scans N] [--icc FILE] [--dpi N] IN OUT: reads the PPM, PGM,
// PAM or PNG image IN and writes it through the write selectors as the JPEG file OUT.
int RunWrite(host::PluginModule& module, const std::vector<std::string>& arguments);

// options [--script ACTIONS | --screenshot FILE.png]: shows the module's options dialog on the
// stored options record (in a window, or to a scripted user), prints what its controls held when
// it closed and the result, and keeps the record the module left.
int RunOptions(host::PluginModule& module, const std::vector<std::string>& arguments);

}  // namespace kvhost
