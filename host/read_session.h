// Reading a JPEG through the module as the host does when the user opens one: read prepare, read
// start, read continue until the module hands over no row, and read finish after every successful
// read start. The caller opens the file and sets the record's fields first; the session checks the
// module's handling of the row protocol on the way. Used by kvhost read, the read tests and the
// decode benchmark.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "host/host_environment.h"

namespace host {

struct ReadHandlers {
    bool checkFirst = false;       // the file check (selector 17) before read prepare, as the host does
    // After read start answered 0, with the image described in the record; false skips the rows
    // (read finish still follows). May be empty.
    std::function<bool(HostFormatRecord* record)> started;
    // Each row as the module hands it over (rowStep bytes); false stops the reading. May be empty.
    std::function<bool(int32_t row, std::span<const uint8_t> bytes)> row;
};

// How a read went.
struct ReadReport {
    int16_t check = 0;             // the file check's answer, when it was asked for
    int16_t prepare = 0;           // the answers of read prepare and read start
    int16_t start = 0;
    int16_t failure = 0;           // the first nonzero read continue answer
    int32_t failedRow = -1;        // the row that continue was asked for
    bool failureLeftRowData = false;  // the failing continue left rowData as the host had set it
    int32_t rows = 0;              // rows handed over, in order
    bool ended = false;            // the module handed over no row: the image is complete
    int16_t finish = 0;
    bool finished = false;         // read finish was called
    std::string problem;           // what the module did against the protocol, in words
    bool ok() const {
        return check == 0 && prepare == 0 && start == 0 && failure == 0 && finish == 0 && ended && problem.empty();
    }
};

ReadReport ReadThroughModule(PluginModule& module, const ReadHandlers& handlers);

}  // namespace host
