// The memory service: codec and shell allocations carried by host handles through the current
// record's handle suite.
#include "shell/host_memory.h"

#include <cstring>

#include "shell/shell_state.h"

namespace kv::shell {

namespace {

constexpr std::size_t kHeaderBytes = 8;
static_assert(sizeof(Handle) <= kHeaderBytes);
// The host takes sizes as int32; the header must fit beside the request.
constexpr std::size_t kLargestRequest = INT32_MAX - kHeaderBytes;

HandleSuite* CurrentHandleSuite() {
    return currentRecord == nullptr ? nullptr : currentRecord->handleSuite;
}

void* AllocateBlock(std::size_t size, int16_t* error) {
    HandleSuite* suite = CurrentHandleSuite();
    if (size == 0 || suite == nullptr) {
        *error = resultBadParameters;
        return nullptr;
    }
    if (size > kLargestRequest) {
        *error = resultOutOfMemory;
        return nullptr;
    }
    Handle handle = suite->newHandle(static_cast<int32_t>(size + kHeaderBytes));
    if (handle == nullptr || *handle == nullptr) {
        if (handle != nullptr) suite->disposeHandle(handle);
        *error = resultOutOfMemory;
        return nullptr;
    }
    char* block = *handle;
    std::memcpy(block, &handle, sizeof handle);
    *error = resultOk;
    return block + kHeaderBytes;
}

void FreeBlock(void* address) {
    HandleSuite* suite = CurrentHandleSuite();
    if (address == nullptr || suite == nullptr) return;
    Handle handle;
    std::memcpy(&handle, static_cast<char*>(address) - kHeaderBytes, sizeof handle);
    suite->disposeHandle(handle);
}

}  // namespace

void* ShellAllocate(std::size_t size, int16_t* error) { return AllocateBlock(size, error); }

void ShellFreeBlock(void** address) {
    if (address == nullptr || *address == nullptr || CurrentHandleSuite() == nullptr) return;
    void* block = *address;
    *address = nullptr;
    FreeBlock(block);
}

}  // namespace kv::shell

// The codec's memory service.
namespace kv::codec {

void* MemoryAllocate(std::size_t size) { return shell::AllocateBlock(size, &lastError); }

void* MemoryAllocateZeroed(std::size_t number, std::size_t size) {
    if (number != 0 && size > shell::kLargestRequest / number) {
        lastError = resultOutOfMemory;
        return nullptr;
    }
    void* block = shell::AllocateBlock(number * size, &lastError);
    if (block != nullptr) std::memset(block, 0, number * size);
    return block;
}

void MemoryFree(void* address) { shell::FreeBlock(address); }

}  // namespace kv::codec
