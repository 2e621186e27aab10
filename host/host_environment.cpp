// The host stand-in's state and the callbacks the plug-in reaches through the record: the record
// block, the counted handle pool, progress and cancel, the basic suite and the host's open file.
#include "host/host_environment.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <utility>

#include "host/platform.h"

namespace host {
namespace {

// A handle is the address of its cell's block pointer, so *handle is the block. Cells live in slabs
// that are never freed, and the pool finds the cell of a handle by the slab it lies in: a pointer
// that is no cell of a slab, or a cell never handed out, is a handle this host never made. A
// disposed cell waits at the end of a line of buried cells and is handed out again only once
// kGraveyardCells others wait behind it, so that a second dispose is recognised as such instead
// of hitting a newer handle at the same address.
enum class CellState : uint8_t { unused = 0, live, buried };

struct HandleCell {
    char* block;            // null once disposed
    int32_t size;
    int32_t locks;
    HandleCell* nextBuried; // the next cell in the line of buried cells
    CellState state;
};

struct CellSlab {
    HandleCell* cells;
    std::uintptr_t start;   // the address of cells[0] and one past the last cell, for look-ups
    std::uintptr_t end;
};

constexpr std::size_t kGraveyardCells = 4096;
constexpr std::size_t kFirstSlabCells = 256;
constexpr std::size_t kLargestSlabCells = 65536;

struct State {
    alignas(16) unsigned char recordBlock[kRecordBlockSize] = {};
    HandleSuite handleSuite = {};
    BasicSuite basicSuite = {};

    std::vector<CellSlab> slabs;       // the newest last
    std::size_t slabCellsUsed = 0;     // cells of the newest slab handed out so far
    HandleCell* buriedFirst = nullptr; // the line of buried cells, oldest first
    HandleCell* buriedLast = nullptr;
    std::size_t buriedCount = 0;
    HandleStats stats;
    int64_t failCountdown = 0;
    bool failAll = false;
    int64_t memoryLimit = 0;
    bool junkBlocks = true;

    std::vector<ProgressCall> progress;
    std::function<void(int32_t, int32_t)> progressObserver;
    int64_t cancelChecks = 0;
    int64_t cancelAt = 0;
    std::function<bool()> wantsToStop;

    std::map<std::pair<std::string, int32_t>, const void*> offeredSuites;
    std::map<std::pair<std::string, int32_t>, int64_t> heldSuites;
    bool refuseSuites = false;

    bool fileOpen = false;
};

// Never destroyed: a module's own teardown may still call back into the host at exit, and the
// blocks and cells it holds stay reachable.
State& S() {
    static State* state = new State;
    return *state;
}

HostFormatRecord* RecordOf(State& state) { return reinterpret_cast<HostFormatRecord*>(state.recordBlock); }

[[noreturn]] void PluginBug(const char* what, const void* handle = nullptr) {
    if (handle != nullptr) {
        std::fprintf(stderr, "host: plug-in bug: %s (handle %p)\n", what, handle);
    } else {
        std::fprintf(stderr, "host: plug-in bug: %s\n", what);
    }
    std::fflush(stderr);
    std::abort();
}

// The cell of a handle, or null when the pool never made it.
HandleCell* CellOf(const State& state, Handle handle) {
    const auto address = reinterpret_cast<std::uintptr_t>(handle);
    for (auto slab = state.slabs.rbegin(); slab != state.slabs.rend(); ++slab) {
        if (address < slab->start || address >= slab->end) continue;
        const std::uintptr_t offset = address - slab->start;
        if (offset % sizeof(HandleCell) != 0) return nullptr;
        HandleCell* cell = slab->cells + offset / sizeof(HandleCell);
        return cell->state == CellState::unused ? nullptr : cell;
    }
    return nullptr;
}

HandleCell& EntryOf(Handle handle, const char* operation) {
    HandleCell* cell = CellOf(S(), handle);
    if (cell != nullptr && cell->state == CellState::live) return *cell;
    static char message[128];
    std::snprintf(message, sizeof message, "%s on a handle %s", operation,
                  cell != nullptr ? "already disposed" : "this host never made");
    PluginBug(message, handle);
}

void NoteLiveBytes(State& state, int64_t change) {
    state.stats.liveBytes += change;
    if (state.stats.liveBytes > state.stats.peakBytes) state.stats.peakBytes = state.stats.liveBytes;
}

Handle Refuse(State& state) {
    ++state.stats.refusedAllocations;
    return nullptr;
}

// A block of size bytes (at least one byte is reserved so that size 0 still has an address),
// filled with the junk pattern unless the benchmarks turned that off. A large block (a progressive
// image's coefficients) asks for large pages before anything touches it.
char* NewBlock(int32_t size) {
    char* block = static_cast<char*>(std::malloc(size > 0 ? static_cast<std::size_t>(size) : 1));
    if (block != nullptr) platform::PreferLargePages(block, static_cast<std::size_t>(size > 0 ? size : 1));
    if (block != nullptr && size > 0 && S().junkBlocks) std::memset(block, kJunkByte, static_cast<std::size_t>(size));
    return block;
}

// A cell to hand out: the oldest buried one once enough wait behind it, else a fresh one (a new
// slab, twice as large as the last, when the newest is full). Null when there is no memory.
HandleCell* TakeCell(State& state) {
    if (state.buriedCount > kGraveyardCells) {
        HandleCell* cell = state.buriedFirst;
        state.buriedFirst = cell->nextBuried;
        --state.buriedCount;
        return cell;
    }
    const std::size_t slabCells =
        state.slabs.empty() ? 0 : static_cast<std::size_t>(state.slabs.back().end - state.slabs.back().start) / sizeof(HandleCell);
    if (state.slabCellsUsed == slabCells) {
        const std::size_t cells = slabCells == 0 ? kFirstSlabCells : std::min(2 * slabCells, kLargestSlabCells);
        auto* made = new (std::nothrow) HandleCell[cells]();
        if (made == nullptr) return nullptr;
        const auto start = reinterpret_cast<std::uintptr_t>(made);
        try {
            state.slabs.push_back(CellSlab{made, start, start + cells * sizeof(HandleCell)});
        } catch (...) {
            delete[] made;
            return nullptr;
        }
        state.slabCellsUsed = 0;
    }
    return state.slabs.back().cells + state.slabCellsUsed++;
}

Handle PoolNew(int32_t size, bool scripted) noexcept {
    State& state = S();
    if (scripted) {
        if (state.failAll) return Refuse(state);
        if (state.failCountdown > 0 && --state.failCountdown == 0) return Refuse(state);
        if (state.memoryLimit > 0 && state.stats.liveBytes + size > state.memoryLimit) return Refuse(state);
    }
    if (size < 0) return Refuse(state);
    char* block = NewBlock(size);
    HandleCell* cell = block == nullptr ? nullptr : TakeCell(state);
    if (cell == nullptr) {
        std::free(block);
        return Refuse(state);
    }
    *cell = HandleCell{block, size, 0, nullptr, CellState::live};
    ++state.stats.liveHandles;
    ++state.stats.totalAllocations;
    NoteLiveBytes(state, size);
    return &cell->block;
}

void PoolDispose(Handle handle) noexcept {
    if (handle == nullptr) return;
    State& state = S();
    HandleCell& cell = EntryOf(handle, "disposeHandle");
    std::free(cell.block);
    --state.stats.liveHandles;
    NoteLiveBytes(state, -int64_t{cell.size});
    cell = HandleCell{nullptr, 0, 0, nullptr, CellState::buried};
    if (state.buriedLast != nullptr && state.buriedCount > 0) {
        state.buriedLast->nextBuried = &cell;
    } else {
        state.buriedFirst = &cell;
    }
    state.buriedLast = &cell;
    ++state.buriedCount;
}

// The callbacks the plug-in calls. None lets an exception out.

uint8_t HostCancelCheck() noexcept {
    State& state = S();
    ++state.cancelChecks;
    if (state.cancelAt > 0 && state.cancelChecks >= state.cancelAt) return 1;
    try {
        return state.wantsToStop && state.wantsToStop() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void HostReportProgress(int32_t done, int32_t total) noexcept {
    State& state = S();
    try {
        state.progress.push_back(ProgressCall{done, total});
        if (state.progressObserver) state.progressObserver(done, total);
    } catch (...) {
        // Progress is a courtesy to the user; a failure to record or draw it changes nothing.
    }
}

Handle HostNewHandle(int32_t size) noexcept { return PoolNew(size, true); }

void HostDisposeHandle(Handle handle) noexcept { PoolDispose(handle); }

int32_t HostGetHandleSize(Handle handle) noexcept { return EntryOf(handle, "getHandleSize").size; }

int16_t HostSetHandleSize(Handle handle, int32_t newSize) noexcept {
    State& state = S();
    HandleCell& entry = EntryOf(handle, "setHandleSize");
    if (newSize < 0) return resultBadParameters;
    if (newSize > entry.size) {
        // Growing always moves the block, so a pointer kept from before shows up at once.
        if (state.failAll) return resultOutOfMemory;
        if (state.memoryLimit > 0 && state.stats.liveBytes + (newSize - entry.size) > state.memoryLimit) {
            return resultOutOfMemory;
        }
        char* grown = NewBlock(newSize);
        if (grown == nullptr) return resultOutOfMemory;
        std::memcpy(grown, *handle, static_cast<std::size_t>(entry.size));
        std::free(*handle);
        *handle = grown;
    }
    NoteLiveBytes(state, int64_t{newSize} - entry.size);
    entry.size = newSize;
    return resultOk;
}

char* HostLockHandle(Handle handle, uint8_t) noexcept {
    ++EntryOf(handle, "lockHandle").locks;
    return *handle;
}

void HostUnlockHandle(Handle handle) noexcept {
    HandleCell& entry = EntryOf(handle, "unlockHandle");
    if (entry.locks == 0) PluginBug("unlockHandle on a handle that is not locked", handle);
    --entry.locks;
}

int32_t HostAcquireSuite(const char* name, int32_t version, const void** suite) noexcept {
    State& state = S();
    if (name == nullptr || suite == nullptr) return kSuiteUnavailable;
    *suite = nullptr;
    if (state.refuseSuites) return kSuiteUnavailable;
    try {
        const std::pair<std::string, int32_t> key{name, version};
        auto offered = state.offeredSuites.find(key);
        if (offered == state.offeredSuites.end()) return kSuiteUnavailable;
        ++state.heldSuites[key];
        *suite = offered->second;
        return 0;
    } catch (...) {
        return kSuiteUnavailable;
    }
}

int32_t HostReleaseSuite(const char* name, int32_t version) noexcept {
    State& state = S();
    if (name == nullptr) PluginBug("releaseSuite without a suite name");
    auto held = state.heldSuites.end();
    try {
        held = state.heldSuites.find({name, version});
    } catch (...) {
        return kSuiteUnavailable;
    }
    if (held == state.heldSuites.end() || held->second == 0) {
        static char message[256];
        std::snprintf(message, sizeof message, "releaseSuite(\"%.160s\", %d) of a suite it does not hold", name,
                      static_cast<int>(version));
        PluginBug(message);
    }
    --held->second;
    return 0;
}

// The byte ranges of the record the plug-in owns; every other byte of the block is the host's.
struct FieldRange {
    std::size_t offset;
    std::size_t size;
};

#define KV_FIELD(name) FieldRange{offsetof(HostFormatRecord, name), sizeof(HostFormatRecord::name)}
constexpr FieldRange kPluginFields[] = {
    KV_FIELD(cancelCheck),     KV_FIELD(reportProgress),  KV_FIELD(bufferMemory),
    KV_FIELD(minEstimate),     KV_FIELD(maxEstimate),     KV_FIELD(fileHandle),
    KV_FIELD(imageMode),       KV_FIELD(rows),            KV_FIELD(columns),
    KV_FIELD(planes),          KV_FIELD(horizontalResolution), KV_FIELD(verticalResolution),
    KV_FIELD(rowData),         KV_FIELD(area),            KV_FIELD(firstPlane),
    KV_FIELD(lastPlane),       KV_FIELD(columnStep),      KV_FIELD(rowStep),
    KV_FIELD(planeStep),       KV_FIELD(persistentData),  KV_FIELD(newHandle),
    KV_FIELD(disposeHandle),   KV_FIELD(handleSuite),     KV_FIELD(basicSuite),
    KV_FIELD(profileData),     KV_FIELD(profileSize),     KV_FIELD(profilesEnabled),
};
#undef KV_FIELD

bool PluginOwns(std::size_t offset) {
    for (const FieldRange& field : kPluginFields) {
        if (offset >= field.offset && offset < field.offset + field.size) return true;
    }
    return false;
}

}  // namespace

HostEnvironment& HostEnvironment::Instance() {
    static HostEnvironment* environment = [] {
        auto* made = new HostEnvironment;
        made->ResetRecord(true);
        WatchPluginFile(RecordOf(S()));
        return made;
    }();
    return *environment;
}

void HostEnvironment::ResetRecord(bool dropPersistent) {
    State& state = S();
    HostFormatRecord* record = RecordOf(state);
    CloseFile();
    if (dropPersistent) PoolDispose(record->persistentData);
    const Handle kept = dropPersistent ? nullptr : record->persistentData;
    PoolDispose(record->profileData);

    // The host's junk everywhere but in the plug-in's fields, which start at zero: made once, then
    // copied whole.
    static const auto fresh = [] {
        auto* block = new std::array<unsigned char, kRecordBlockSize>;
        block->fill(kJunkByte);
        for (const FieldRange& field : kPluginFields) std::memset(block->data() + field.offset, 0, field.size);
        return block;
    }();
    std::memcpy(state.recordBlock, fresh->data(), sizeof state.recordBlock);
    record->cancelCheck = HostCancelCheck;
    record->reportProgress = HostReportProgress;
    record->fileHandle = kNoFile;
    record->persistentData = kept;
    record->newHandle = HostNewHandle;
    record->disposeHandle = HostDisposeHandle;

    std::memset(&state.handleSuite, kJunkByte, sizeof state.handleSuite);
    state.handleSuite.newHandle = HostNewHandle;
    state.handleSuite.disposeHandle = HostDisposeHandle;
    state.handleSuite.getHandleSize = HostGetHandleSize;
    state.handleSuite.setHandleSize = HostSetHandleSize;
    state.handleSuite.lockHandle = HostLockHandle;
    state.handleSuite.unlockHandle = HostUnlockHandle;
    record->handleSuite = &state.handleSuite;
    state.basicSuite.acquireSuite = HostAcquireSuite;
    state.basicSuite.releaseSuite = HostReleaseSuite;
    record->basicSuite = &state.basicSuite;
}

HostFormatRecord* HostEnvironment::Record() { return RecordOf(S()); }

bool HostEnvironment::HostBytesIntact() const {
    const State& state = S();
    for (std::size_t offset = 0; offset < sizeof state.recordBlock; ++offset) {
        if (!PluginOwns(offset) && state.recordBlock[offset] != kJunkByte) return false;
    }
    for (uint8_t byte : state.handleSuite.hostReserved0) {
        if (byte != kJunkByte) return false;
    }
    return true;
}

void HostEnvironment::ResetScripts() {
    State& state = S();
    state.failCountdown = 0;
    state.failAll = false;
    state.progress.clear();
    state.progressObserver = nullptr;
    state.cancelChecks = 0;
    state.cancelAt = 0;
    state.wantsToStop = nullptr;
    state.offeredSuites.clear();
    state.heldSuites.clear();
    state.refuseSuites = false;
    ResetFileFaults();
}

const HandleStats& HostEnvironment::Stats() const { return S().stats; }

void HostEnvironment::ResetStats() {
    HandleStats& stats = S().stats;
    stats.peakBytes = stats.liveBytes;
    stats.totalAllocations = 0;
    stats.refusedAllocations = 0;
}

void HostEnvironment::FailAllocation(int64_t nth) { S().failCountdown = nth > 0 ? nth : 0; }

void HostEnvironment::FailAllAllocations(bool on) { S().failAll = on; }

void HostEnvironment::LimitMemory(int64_t bytes) { S().memoryLimit = bytes > 0 ? bytes : 0; }

int64_t HostEnvironment::MemoryLimit() const { return S().memoryLimit; }

void HostEnvironment::FillNewBlocks(bool on) { S().junkBlocks = on; }

void HostEnvironment::FailFileCall(FileCall call, int64_t nth, bool fromThenOn) { FailFileCallAt(call, nth, fromThenOn); }

int64_t HostEnvironment::FileCalls(FileCall call) const { return FileCallCount(call); }

int64_t HostEnvironment::FailedFileCalls() const { return FailedFileCallCount(); }

void HostEnvironment::ReleaseHostHandles() {
    HostFormatRecord* record = Record();
    PoolDispose(record->persistentData);
    record->persistentData = nullptr;
    PoolDispose(record->profileData);
    record->profileData = nullptr;
    record->profileSize = 0;
}

Handle HostEnvironment::NewHandle(int32_t size) { return PoolNew(size, false); }

void HostEnvironment::DisposeHandle(Handle handle) { PoolDispose(handle); }

int32_t HostEnvironment::HandleSize(Handle handle) const { return EntryOf(handle, "HandleSize").size; }

int32_t HostEnvironment::LockCount(Handle handle) const { return EntryOf(handle, "LockCount").locks; }

const std::vector<ProgressCall>& HostEnvironment::ProgressCalls() const { return S().progress; }

int64_t HostEnvironment::CancelChecks() const { return S().cancelChecks; }

void HostEnvironment::CancelAtCheck(int64_t nth) { S().cancelAt = nth > 0 ? nth : 0; }

void HostEnvironment::OnProgress(std::function<void(int32_t, int32_t)> observer) {
    S().progressObserver = std::move(observer);
}

void HostEnvironment::OnCancelCheck(std::function<bool()> wantsToStop) { S().wantsToStop = std::move(wantsToStop); }

void HostEnvironment::OfferSuite(const std::string& name, int32_t version, const void* suite) {
    if (suite == nullptr) {
        S().offeredSuites.erase({name, version});
        return;
    }
    S().offeredSuites[{name, version}] = suite;
}

void HostEnvironment::RefuseSuites(bool refuse) { S().refuseSuites = refuse; }

int64_t HostEnvironment::AcquiredSuites() const {
    int64_t held = 0;
    for (const auto& [key, count] : S().heldSuites) held += count;
    return held;
}

namespace {

bool Open(const std::string& path, bool forWriting) {
    uint64_t fileHandle = kNoFile;
    std::string why;
    if (!platform::OpenHostFile(path, forWriting, &fileHandle, &why)) return false;
    S().fileOpen = true;
    RecordOf(S())->fileHandle = fileHandle;
    return true;
}

}  // namespace

bool HostEnvironment::OpenForReading(const std::string& path) {
    CloseFile();
    return Open(path, false);
}

bool HostEnvironment::OpenForWriting(const std::string& path) {
    CloseFile();
    return Open(path, true);
}

void HostEnvironment::CloseFile() {
    State& state = S();
    if (state.fileOpen) platform::CloseHostFile(RecordOf(state)->fileHandle);
    state.fileOpen = false;
    RecordOf(state)->fileHandle = kNoFile;
}

}  // namespace host
