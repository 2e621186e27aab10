// The memory service over the host's handles. Every block is one host handle of the requested size
// plus 8 bytes; the first 8 bytes hold the handle and the caller gets the address behind them. The
// host's blocks do not move while the module uses them, so no block is ever locked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec_io.h"

namespace kv::shell {

// Shell form: the block or null, with 0, -108 or -30500 reported through *error instead of lastError.
void* ShellAllocate(std::size_t size, int16_t* error);
// Gives the block in *address back and clears the variable; a null variable, or no current record,
// does nothing.
void ShellFreeBlock(void** address);

template <class T>
void ShellFree(T*& address) {
    void* block = address;
    ShellFreeBlock(&block);
    address = static_cast<T*>(block);
}

}  // namespace kv::shell
