// Ctrl-C for kvhost's reads and writes on Windows: a console control handler, which the system
// runs on a thread of its own.
#include "host/kvhost/interrupt.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "host/kvhost/verbs.h"

namespace kvhost {
namespace {

std::atomic<int> presses{0};
// The file to remove when a second press ends the program, readable by the handler's thread once
// named is set.
char partialOutput[4096];
std::atomic<bool> named{false};

BOOL WINAPI OnInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (presses.fetch_add(1) == 0) return TRUE;
    if (named.load()) DeleteFileA(partialOutput);
    static const char message[] = "\nkvhost: interrupted\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, sizeof message - 1, &written, nullptr);
    ExitProcess(exitInterrupted);
}

}  // namespace

InterruptGuard::InterruptGuard() {
    presses = 0;
    named = false;
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

InterruptGuard::~InterruptGuard() {
    SetConsoleCtrlHandler(OnInterrupt, FALSE);
    named = false;
}

void InterruptGuard::RemoveOnExit(const std::string& output) {
    if (output.size() >= sizeof partialOutput) return;
    named = false;
    std::memcpy(partialOutput, output.c_str(), output.size() + 1);
    named = true;
}

bool InterruptGuard::Pressed() { return presses.load() != 0; }

}  // namespace kvhost
