// The host stand-in's failing disk (see file_faults.cpp); HostEnvironment offers it to tests.
#pragma once

#include <cstdint>

#include "shell/host_record.h"

namespace host {

// The four calls the plug-in makes on its file: read, write, seek and size query.
enum class FileCall : int { read = 0, write = 1, seek = 2, size = 3 };
inline constexpr int kFileCallKinds = 4;

// Calls on the descriptor in this record's fileHandle are the ones counted and scripted.
void WatchPluginFile(const HostFormatRecord* record);
// The nth call of this kind from now (1 = the next) fails, and with fromThenOn every later one too;
// 0 turns it off.
void FailFileCallAt(FileCall call, int64_t nth, bool fromThenOn);
int64_t FileCallCount(FileCall call);
int64_t FailedFileCallCount();
void ResetFileFaults();

}  // namespace host
