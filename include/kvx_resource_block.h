// The resource block a .kvx module carries on systems without native module resources: one
// read-only ELF section, ".kvrsrc", that a host reads from the module file without loading it.
// On Windows the same resources are ordinary module resources and this block does not exist.
//
// All integers are little-endian; every offset counts from the first byte of the block.
//
//   0   4 bytes   signature "KVRS"
//   4   uint16    layout, kResourceBlockLayout
//   6   uint16    size of one directory entry, kResourceEntrySize
//   8   uint32    entry count n
//   12  uint32    end of the directory: kResourceHeaderSize + n * kResourceEntrySize
//   16  uint32    size of the whole block
//   20  uint32    zero
//   24  n directory entries, then the names (ASCII, each ending in NUL) and the resources' bytes
//
// A directory entry (kResourceEntrySize bytes):
//
//   0   uint32    offset of the type's name, or 0 when the type is a number
//   4   uint32    the type's number (0 when it has a name)
//   8   uint32    offset of the resource's name, or 0 when the resource is a number (an ID)
//   12  uint32    the resource's ID (0 when it has a name)
//   16  uint32    language (1033 is US English)
//   20  uint32    offset of the resource's bytes
//   24  uint32    size of the resource's bytes
//   28  uint32    zero
//
// Names are stored as written; hosts compare them without regard to case.
#pragma once

#include <cstdint>

namespace kvx {

inline constexpr char kResourceSectionName[] = ".kvrsrc";
inline constexpr char kResourceSignature[4] = {'K', 'V', 'R', 'S'};
inline constexpr uint16_t kResourceBlockLayout = 1;
inline constexpr uint32_t kResourceHeaderSize = 24;
inline constexpr uint32_t kResourceEntrySize = 32;

// Byte offsets of the header's fields and of an entry's fields.
enum ResourceHeaderField : uint32_t {
    headerLayout = 4,
    headerEntrySize = 6,
    headerCount = 8,
    headerDirectoryEnd = 12,
    headerBlockSize = 16,
};
enum ResourceEntryField : uint32_t {
    entryTypeName = 0,
    entryTypeId = 4,
    entryName = 8,
    entryId = 12,
    entryLanguage = 16,
    entryOffset = 20,
    entrySize = 24,
};

}  // namespace kvx
