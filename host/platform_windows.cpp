// The host stand-in's calls on Windows (see platform.h): file HANDLEs opened with CreateFileW,
// LoadLibraryW, the process's own module file. Paths arrive in the process's ANSI code page, as
// the C runtime hands over the command line, and are widened for the wide calls.
#include "host/platform.h"

#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace host::platform {
namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Narrow(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), length, nullptr, nullptr);
    narrow.pop_back();  // the NUL
    return narrow;
}

// A system error as errno and text, in the words the POSIX build uses for the common cases.
std::string Describe(DWORD error) {
    int code = 0;
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME: code = ENOENT; break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: code = EACCES; break;
        default: break;
    }
    if (code != 0) {
        errno = code;
        return std::strerror(code);
    }
    errno = EIO;
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = length > 0 && message != nullptr ? Narrow(message) : std::string();
    LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    return text.empty() ? "system error " + std::to_string(error) : text;
}

}  // namespace

bool OpenHostFile(const std::string& path, bool forWriting, uint64_t* fileHandle, std::string* why) {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
        *why = std::strerror(EISDIR);
        return false;
    }
    const HANDLE file = CreateFileW(wide.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ,
                                    forWriting ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = Describe(GetLastError());
        return false;
    }
    *fileHandle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(file));
    return true;
}

void CloseHostFile(uint64_t fileHandle) { CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(fileHandle))); }

void* LoadModuleLibrary(const std::string& path, std::string* why) {
    // The module's own imports (the host's libraries) are looked for beside the module first.
    // That search wants the module's full path.
    const std::wstring given = Wide(path);
    wchar_t full[MAX_PATH * 4];
    const DWORD length = GetFullPathNameW(given.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
    const HMODULE library =
        length == 0 || length >= std::size(full)
            ? nullptr
            : LoadLibraryExW(full, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == nullptr) *why = path + ": cannot be loaded (" + Describe(GetLastError()) + ")";
    return reinterpret_cast<void*>(library);
}

void* ModuleFunction(void* library, const std::string& name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name.c_str()));
}

void FreeModuleLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string ProgramPath() {
    wchar_t program[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, program, static_cast<DWORD>(std::size(program)));
    if (length == 0 || length >= std::size(program)) return std::string();
    return Narrow(program);
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

int64_t PhysicalMemory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? static_cast<int64_t>(status.ullTotalPhys) : 0;
}

// Large pages on Windows need a privilege users do not have: blocks keep the ordinary pages.
void PreferLargePages(void*, std::size_t) {}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void SetEnvironment(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

std::string ConfigFolder() {
    for (const char* name : {"XDG_CONFIG_HOME", "APPDATA"}) {
        const char* folder = std::getenv(name);
        if (folder != nullptr && folder[0] != '\0') return folder;
    }
    return std::string();
}

}  // namespace host::platform
