// The host stand-in's calls on a POSIX system (see platform.h): descriptors, dlopen, /proc.
#include "host/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace host::platform {

// Opens without blocking (a FIFO with no writer would otherwise hang the host), then makes the
// descriptor blocking again for the plug-in's reads and writes where that matters: reads and writes
// of a regular file or a block device wait for the disk whatever the flag says, so those keep it
// and cost no more system calls than a plain open.
bool OpenHostFile(const std::string& path, bool forWriting, uint64_t* fileHandle, std::string* why) {
    const int flags = forWriting ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
    const int fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    int error = fd < 0 ? errno : 0;
    struct stat info;
    if (error == 0 && fstat(fd, &info) != 0) {
        error = errno;
    } else if (error == 0 && S_ISDIR(info.st_mode)) {
        error = EISDIR;
    }
    if (error == 0 && !S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        const int status = fcntl(fd, F_GETFL);
        if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) error = errno;
    }
    if (error != 0) {
        if (fd >= 0) close(fd);
        *why = std::strerror(error);
        errno = error;
        return false;
    }
    *fileHandle = static_cast<uint64_t>(fd);
    return true;
}

void CloseHostFile(uint64_t fileHandle) { close(static_cast<int>(fileHandle)); }

void* LoadModuleLibrary(const std::string& path, std::string* why) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        *why = reason != nullptr ? reason : path + ": cannot be loaded";
    }
    return library;
}

void* ModuleFunction(void* library, const std::string& name) { return dlsym(library, name.c_str()); }

void FreeModuleLibrary(void* library) { dlclose(library); }

std::string ProgramPath() {
    char program[4096];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    return length <= 0 ? std::string() : std::string(program, static_cast<std::size_t>(length));
}

bool IsSeparator(char c) { return c == '/'; }

int64_t PhysicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    return pages <= 0 || pageSize <= 0 ? 0 : static_cast<int64_t>(pages) * pageSize;
}

void PreferLargePages(void* block, std::size_t size) {
#if defined(MADV_HUGEPAGE)
    // Only the whole 2 MiB pages inside the block; a block smaller than a few of them is not worth it.
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    if (size < 4 * kLargePage) return;
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t start = (address + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t end = (address + size) & ~(kLargePage - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    static_cast<void>(block);
    static_cast<void>(size);
#endif
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void SetEnvironment(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }

std::string ConfigFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
    return std::string();
}

}  // namespace host::platform
