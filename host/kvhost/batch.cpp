// kvhost batch: many kvhost command lines in one process, so that a host whose start is slow (a
// Windows program under Wine) runs a whole series of reads and writes at the price of one start.
#include <cstdio>
#include <string>
#include <vector>

#include "host/kvhost/verbs.h"

namespace kvhost {
namespace {

// The words of a line: blanks separate them, double quotes keep blanks inside one (and are
// dropped). False when a quote is not closed.
bool SplitWords(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words->push_back(word);
    return !quoted;
}

// The next line of in without its end of line; false at the end of the file.
bool ReadLine(std::FILE* in, std::string* line) {
    line->clear();
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
    return c != EOF || !line->empty();
}

}  // namespace

int RunBatch(const std::string& path, const std::vector<std::string>& globalOptions, CommandProc run) {
    // stdio rather than streams: kvhost does not pay for the streams' start-up.
    std::FILE* in = stdin;
    if (path != "-") {
        in = std::fopen(path.c_str(), "r");
        if (in == nullptr) {
            std::fprintf(stderr, "kvhost batch: %s: cannot be read\n", path.c_str());
            return exitUsage;
        }
    }
    struct Closer {
        std::FILE* file;
        ~Closer() {
            if (file != stdin) std::fclose(file);
        }
    } closer{in};
    // Unbuffered, so that what each command prints and its messages keep their order in one
    // transcript on every system.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int status = exitOk;
    std::string line;
    std::vector<std::string> words;
    for (int number = 1; ReadLine(in, &line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!SplitWords(line, &words)) {
            std::fprintf(stderr, "kvhost batch: %s:%d: a quote is not closed\n", path.c_str(), number);
            return exitUsage;
        }
        if (words.empty() || words[0][0] == '#') continue;
        std::printf("$ %s\n", line.c_str());
        if (words[0] == "batch") {
            std::fprintf(stderr, "kvhost batch: %s:%d: a batch does not run batches\n", path.c_str(), number);
            return exitUsage;
        }
        std::vector<std::string> command = globalOptions;
        command.insert(command.end(), words.begin(), words.end());
        const int commandStatus = run(command);
        std::fflush(stderr);
        std::printf("status %d\n", commandStatus);
        if (commandStatus != exitOk && status == exitOk) status = exitFailed;
        if (commandStatus == exitInterrupted) return exitInterrupted;
    }
    return status;
}

}  // namespace kvhost
