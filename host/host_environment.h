// The host stand-in: everything the host application gives a format plug-in, kept as real
// software so that tests and kvhost drive the module exactly as a host would. It owns a format
// parameter block, real handles (pointer to pointer) counted as they live and die, the progress and
// cancel callbacks, the basic suite, the persistent data the host keeps between calls, and the
// files the module reads and writes.
//
// The callbacks the module calls are plain function pointers without a context argument, so the
// stand-in's state is one process-wide HostEnvironment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/file_faults.h"
#include "host/resources/property_list.h"
#include "shell/host_record.h"

namespace host {

// The record block the host hands out: larger than the plug-in's view of it, so that reads past
// the end land in host bytes.
inline constexpr std::size_t kRecordBlockSize = 2048;
// The pattern in every record byte the plug-in does not own, and in every fresh handle block.
inline constexpr uint8_t kJunkByte = 0xA5;
// fileHandle while the host has no file open: no descriptor, so the plug-in's calls on it fail.
inline constexpr uint64_t kNoFile = UINT64_MAX;
// acquireSuite's answer for a suite the host does not offer, or while it refuses suites.
inline constexpr int32_t kSuiteUnavailable = resultBadParameters;

// Handle bookkeeping shared by the record's own newHandle/disposeHandle and the handle suite.
struct HandleStats {
    int64_t liveHandles = 0;       // handles made and not yet disposed
    int64_t liveBytes = 0;         // bytes in live handles
    int64_t peakBytes = 0;         // largest liveBytes seen since the last ResetStats
    int64_t totalAllocations = 0;  // successful newHandle calls since the last ResetStats
    int64_t refusedAllocations = 0;
};

struct ProgressCall {
    int32_t done;
    int32_t total;
};

class HostEnvironment {
public:
    // The one environment of the process; its record is zeroed except for the host's bytes, which
    // hold a junk pattern the plug-in must never read.
    static HostEnvironment& Instance();

    // A fresh record: callbacks and suites installed, the open file closed (kNoFile), profileData
    // disposed, persistentData kept (the host keeps it between operations) unless dropPersistent
    // is true. The scripts below are left as they are.
    void ResetRecord(bool dropPersistent = false);
    // Record() is the start of a block of kRecordBlockSize bytes.
    HostFormatRecord* Record();
    // Whether every byte of the block the plug-in does not own still holds kJunkByte, and the
    // host bytes of the handle suite too.
    bool HostBytesIntact() const;
    // Clears the scripts and logs: allocation failures, the cancel script, question and count, the
    // progress log and observer, the offered suites, the held-suite counts and the refusal, the file call
    // failures and counts. The memory budget stays.
    void ResetScripts();

    // Handles. A handle the pool never made, an unbalanced unlock, or a second dispose of the same
    // handle is a plug-in bug: the pool prints what happened and aborts the process. Disposing null
    // does nothing. A block moves (to catch stale pointers) whenever setHandleSize grows it.
    const HandleStats& Stats() const;
    void ResetStats();               // peak and totals only; live counts stay true
    // Makes the nth newHandle call from now (1 = the next one) answer null; 0 turns it off.
    void FailAllocation(int64_t nth);
    // Makes every newHandle call answer null while on, and every setHandleSize that grows a block
    // answer -108. (The scripts apply to the plug-in's calls, not to the host's own NewHandle.)
    void FailAllAllocations(bool on);
    // The host's memory budget: a newHandle or setHandleSize of the plug-in's that would take the
    // bytes in live handles above it is refused as out of memory. 0 (the start) sets none.
    void LimitMemory(int64_t bytes);
    int64_t MemoryLimit() const;
    // Whether every new block, and a grown block's new bytes, hold kJunkByte (the start: on). A
    // real host does not spend that time; the benchmarks turn it off. ResetScripts leaves it.
    void FillNewBlocks(bool on);
    // Disposes persistentData and profileData if set, as the host would when it quits.
    void ReleaseHostHandles();

    // Handles for the host's own use (profiles, test records), counted like the plug-in's.
    Handle NewHandle(int32_t size);
    void DisposeHandle(Handle handle);
    int32_t HandleSize(Handle handle) const;
    // lockHandle calls not yet paired with unlockHandle.
    int32_t LockCount(Handle handle) const;

    // Progress and cancel.
    const std::vector<ProgressCall>& ProgressCalls() const;
    int64_t CancelChecks() const;
    // cancelCheck answers nonzero from its nth call on (1 = the first); 0 never cancels.
    void CancelAtCheck(int64_t nth);
    // Called on every reportProgress, after it is recorded (kvhost draws its bar here).
    void OnProgress(std::function<void(int32_t, int32_t)> observer);
    // Asked on every cancelCheck the script does not answer: true stops the plug-in (kvhost asks
    // whether the user pressed Ctrl-C).
    void OnCancelCheck(std::function<bool()> wantsToStop);

    // The failing disk: the plug-in's calls on the file in fileHandle (reads, writes, seeks and
    // size queries), counted since ResetScripts. The nth call of a kind from now (1 = the next)
    // fails as a failing disk fails (EIO), and with fromThenOn every later one too; 0 turns it off.
    void FailFileCall(FileCall call, int64_t nth, bool fromThenOn = false);
    int64_t FileCalls(FileCall call) const;
    int64_t FailedFileCalls() const;

    // Basic suite: suites the host offers by name and version (a null suite withdraws the offer);
    // refused ones answer an error.
    // Releasing a suite that is not held is a plug-in bug and aborts, as for handles.
    void OfferSuite(const std::string& name, int32_t version, const void* suite);
    void RefuseSuites(bool refuse);
    int64_t AcquiredSuites() const;  // acquired and not yet released

    // Files: opened by the host and closed by it; the module works from the current position.
    // Answers false (with errno set) when the file cannot be opened; a folder is refused with
    // EISDIR. Opening a file closes the one open before.
    bool OpenForReading(const std::string& path);
    bool OpenForWriting(const std::string& path);
    void CloseFile();
};

// The plug-in module file, loaded with dlopen, with its entry point resolved.
class PluginModule {
public:
    PluginModule() = default;
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    // Loads the module as the host does: reads its property list from the file first (see
    // ReadModuleProperties), then loads it and resolves the entry point the list names. False
    // with Error() telling why.
    bool Load(const std::string& path);
    const std::string& Error() const;
    // The property list of the loaded module.
    const PropertyList& Properties() const { return properties_; }
    // Calls FilterMain with the environment's record; answers the result word.
    int16_t Call(int16_t selector, intptr_t data = 0);
    // Whether the loaded module exports a symbol of this name (see LibraryExports).
    bool Exports(const std::string& symbol) const;
    // Leaves the module loaded when this object goes, for a process that ends right after: the
    // system unmaps it at exit for less than unloading it costs.
    void LeaveLoaded() { leaveLoaded_ = true; }

private:
    std::string path_;
    void* library_ = nullptr;
    bool leaveLoaded_ = false;
    FilterMainProc entry_ = nullptr;
    std::string error_;
    PropertyList properties_;
};

// What the host knows of a file-format plug-in it can use: kind "K7QF", an interface version
// 1.x, and an "8664" entry point.
inline constexpr uint32_t kFileFormatKind = FourCharCode("K7QF");
inline constexpr uint16_t kInterfaceMajor = 1;

// Reads the property list of the module file at path without loading the module: the "PIPL"
// resource 16000 (US English, or else any language), parsed and checked to describe a
// file-format plug-in of an interface this host knows, with an entry point. False with *error
// naming the path and what is wrong. *entryPoint receives the entry point's name.
bool ReadModuleProperties(const std::string& path, PropertyList* list, std::string* entryPoint, std::string* error);

// Whether the shared object file at path defines, in its dynamic symbol table, a symbol of this
// name: a plain name, or a C++ function whose demangled name (without its parameter list) is the
// given name. Symbols it only imports do not count; a file that is no shared object exports none.
bool LibraryExports(const std::string& path, const std::string& symbol);
// The names (as stored, mangled) of every symbol the shared object at path defines and exports
// in its dynamic symbol table; none for a file that is no shared object.
std::vector<std::string> LibraryExportedSymbols(const std::string& path);

// Where JPEG.kvx is: the KVX_MODULE environment variable when set, else the file beside the
// running program (the build folder), else ../lib/kvhost/JPEG.kvx from the program (installed).
std::string DefaultModulePath();

// The text kvhost and tests print for a result code, e.g. "-30501 not a JPEG".
std::string DescribeResult(int16_t result);

}  // namespace host
