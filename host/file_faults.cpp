// The failing disk of the host stand-in: the file calls that reach the operating system for the
// file the host handed the plug-in (the descriptor in the record's fileHandle) are counted, and any
// one of them can be made to fail, once or from then on, as a disk or a network share would fail.
//
// The plug-in calls the operating system itself, so the host stands between them the way a system
// library does: this program defines read, write, lseek and fstat, exports them (file_calls.list),
// and the loaded module's calls bind to them. Every call on another descriptor, and every call while
// nothing is scripted, goes straight on to the system's own function.
#include "host/file_faults.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace host {
namespace {

struct CallScript {
    int64_t calls;       // calls on the plug-in's file so far
    int64_t failAt;      // the call that fails; 0: none
    bool fromThenOn;     // every call after failAt fails too
};

struct FaultState {
    const HostFormatRecord* record;
    CallScript scripts[kFileCallKinds];
    int64_t failed;
};

// Zero before any code runs: the system calls below may come before static constructors.
constinit FaultState faults{};

template <class Function>
Function Next(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) std::abort();
    return reinterpret_cast<Function>(found);
}

// Whether this call on fd fails: counts it when fd is the plug-in's file.
bool Fails(int fd, FileCall call) {
    const HostFormatRecord* record = faults.record;
    if (record == nullptr || fd < 0 || record->fileHandle != static_cast<uint64_t>(fd)) return false;
    CallScript& script = faults.scripts[static_cast<int>(call)];
    ++script.calls;
    if (script.failAt == 0 || script.calls < script.failAt) return false;
    if (script.calls > script.failAt && !script.fromThenOn) return false;
    ++faults.failed;
    errno = EIO;
    return true;
}

}  // namespace

void WatchPluginFile(const HostFormatRecord* record) { faults.record = record; }

void FailFileCallAt(FileCall call, int64_t nth, bool fromThenOn) {
    CallScript& script = faults.scripts[static_cast<int>(call)];
    script.failAt = nth > 0 ? script.calls + nth : 0;
    script.fromThenOn = fromThenOn;
}

int64_t FileCallCount(FileCall call) { return faults.scripts[static_cast<int>(call)].calls; }

int64_t FailedFileCallCount() { return faults.failed; }

void ResetFileFaults() {
    for (CallScript& script : faults.scripts) script = CallScript{};
    faults.failed = 0;
}

}  // namespace host

extern "C" {

__attribute__((visibility("default"))) ssize_t read(int fd, void* buffer, size_t count) {
    using Read = ssize_t (*)(int, void*, size_t);
    static Read next = host::Next<Read>("read");
    if (host::Fails(fd, host::FileCall::read)) return -1;
    return next(fd, buffer, count);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void* buffer, size_t count) {
    using Write = ssize_t (*)(int, const void*, size_t);
    static Write next = host::Next<Write>("write");
    if (host::Fails(fd, host::FileCall::write)) return -1;
    return next(fd, buffer, count);
}

__attribute__((visibility("default"))) off_t lseek(int fd, off_t offset, int whence) {
    using Seek = off_t (*)(int, off_t, int);
    static Seek next = host::Next<Seek>("lseek");
    if (host::Fails(fd, host::FileCall::seek)) return -1;
    return next(fd, offset, whence);
}

__attribute__((visibility("default"))) int fstat(int fd, struct stat* info) {
    using Stat = int (*)(int, struct stat*);
    static Stat next = host::Next<Stat>("fstat");
    if (host::Fails(fd, host::FileCall::size)) return -1;
    return next(fd, info);
}

}  // extern "C"
