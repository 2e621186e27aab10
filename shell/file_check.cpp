// The file check: a file is taken for a JPEG when its first two bytes are the SOI marker. The file
// position is put back at the start afterwards.
#include "shell/file_layer.h"
#include "shell/handlers.h"

namespace kv::shell {

void FileCheck(HostFormatRecord* record, intptr_t, int16_t* result) {
    uint8_t start[2] = {0, 0};
    int32_t count = 2;
    int16_t code = ReadFileBytes(record->fileHandle, &count, start);
    if (code == resultOk) code = SeekFile(record->fileHandle, seekFromStart, 0);
    if (code == resultOk && (start[0] != 0xFF || start[1] != 0xD8)) code = resultCannotRead;
    *result = code;
}

}  // namespace kv::shell
