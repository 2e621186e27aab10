// Ctrl-C for kvhost's reads and writes on a POSIX system: SIGINT.
#include "host/kvhost/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "host/kvhost/verbs.h"

namespace kvhost {
namespace {

volatile std::sig_atomic_t presses = 0;
// The file to remove when a second press ends the program; a fixed buffer, as the handler may use
// nothing that allocates.
char partialOutput[4096];
struct sigaction previous;

void OnInterrupt(int) {
    if (presses == 0) {
        presses = 1;
        return;
    }
    if (partialOutput[0] != '\0') unlink(partialOutput);
    static const char message[] = "\nkvhost: interrupted\n";
    const ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(exitInterrupted);
}

}  // namespace

InterruptGuard::InterruptGuard() {
    presses = 0;
    partialOutput[0] = '\0';
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previous);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &previous, nullptr);
    partialOutput[0] = '\0';
}

void InterruptGuard::RemoveOnExit(const std::string& output) {
    if (output.size() >= sizeof partialOutput) return;
    // Copied with Ctrl-C held back, so that the handler never sees half a name.
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &before);
    std::memcpy(partialOutput, output.c_str(), output.size() + 1);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool InterruptGuard::Pressed() { return presses != 0; }

}  // namespace kvhost
