// What the host stand-in asks of the operating system, behind one small interface: the host's
// files handed to the module, loading the module, and the few facts about the machine and the
// user that kvhost needs. platform_posix.cpp implements it on Linux, platform_windows.cpp on
// Windows; nothing else in host/ calls the system directly for these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host::platform {

// The host's file for the module, in the form the record's fileHandle carries: a file descriptor
// on POSIX systems, a HANDLE on Windows. Answers false when the file cannot be opened, with
// *why saying so ("No such file or directory"); a folder is refused ("Is a directory"). A file
// opened for writing is created or truncated.
bool OpenHostFile(const std::string& path, bool forWriting, uint64_t* fileHandle, std::string* why);
void CloseHostFile(uint64_t fileHandle);

// A loaded module: load it (null with *why on failure), find an exported function by name, free it.
void* LoadModuleLibrary(const std::string& path, std::string* why);
void* ModuleFunction(void* library, const std::string& name);
void FreeModuleLibrary(void* library);

// The running program's own file, or "" when the system does not say.
std::string ProgramPath();
// The folder separator of paths this system builds ('/' or '\\'); both are understood on Windows.
bool IsSeparator(char c);

// The machine's physical memory in bytes, 0 when the system does not say.
int64_t PhysicalMemory();

// Asks the system to back a new, still untouched block of memory with large pages where it can
// (Linux: transparent huge pages), so that a block of tens of megabytes is not first touched 4 KiB
// at a time. Only a hint: nothing changes where the system does not take it.
void PreferLargePages(void* block, std::size_t size);

// Whether standard error is a terminal (kvhost draws its progress bar only there).
bool StandardErrorIsTerminal();

// Sets an environment variable of this process.
void SetEnvironment(const std::string& name, const std::string& value);

// The folder for the user's settings of kvhost: $XDG_CONFIG_HOME, else ~/.config, on POSIX
// systems; on Windows %XDG_CONFIG_HOME% when set, else %APPDATA%. "" when there is none.
std::string ConfigFolder();

}  // namespace host::platform
