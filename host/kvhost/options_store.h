// Where kvhost keeps the options record the module asks the host to hold between uses:
// $XDG_CONFIG_HOME/kvhost/jpeg-options (by default ~/.config/kvhost/jpeg-options), the record's
// bytes as the module left them.
#pragma once

#include <string>

#include "host/host_environment.h"

namespace kvhost {

struct StoredOptionsView {
    int quality = 5;
    int format = 0;  // 0 baseline, 1 optimized, 2 progressive
    int scans = 1;   // 1, 2, 3 for 3, 4, 5 scans
};

// The file's path; "" when neither XDG_CONFIG_HOME nor HOME is set.
std::string OptionsFilePath();

// Puts the stored record (if there is one) into persistentData, replacing what was there. False
// with *problem set when the file exists but cannot be read, or the host has no memory for it.
bool LoadStoredOptions(host::HostEnvironment& environment, std::string* problem);

// Saves the record behind persistentData, making the folder if needed; the file is replaced whole.
// Nothing is saved when persistentData is empty.
bool SaveStoredOptions(host::HostEnvironment& environment, std::string* problem);

// The options of a valid record behind persistentData (bytes 22 to 27, big-endian), or false.
bool ReadRecordOptions(host::HostEnvironment& environment, StoredOptionsView* options);

}  // namespace kvhost
