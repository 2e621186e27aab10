// Ctrl-C in kvhost, as a host application's Cancel button: the first press makes the host's cancel
// check answer yes, so the module stops at its next check (it asks once per row, and during a
// long read start now and then) and kvhost ends with status 130; a second press ends kvhost at
// once, for a module stuck where it does not ask (a pipe that delivers nothing), removing the
// partial output first.
#pragma once

#include <string>

namespace kvhost {

// Catches SIGINT until the guard goes.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // The partial output to remove if a second press ends the program (once kvhost has made it).
    void RemoveOnExit(const std::string& output);
    // Whether Ctrl-C was pressed since the guard was made.
    static bool Pressed();
};

}  // namespace kvhost
