// The module's entry point: clears the result word and dispatches the selector to its handler;
// the only place where an exception may be caught.
#include <exception>

#include "shell/handlers.h"
#include "shell/host_library_q.h"
#include "shell/host_record.h"

#if defined(_WIN32)
#define KV_EXPORT __declspec(dllexport)
#else
#define KV_EXPORT __attribute__((visibility("default")))
#endif

namespace kv::shell {
namespace {

// Selectors that have nothing to do answer 0 and leave the block alone.
void DoNothing(HostFormatRecord*, intptr_t, int16_t*) {}

void Unsupported(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }

// The options dialog is the one handler that may throw: host toolkit errors and the int codes of
// failed host calls. None of them may reach the host.
void OptionsGuarded(HostFormatRecord* record, intptr_t data, int16_t* result) {
    try {
        OptionsStart(record, data, result);
    } catch (int) {
        // A failed host call: the user has already been told, the result stands.
    } catch (const std::exception& error) {
        Q_TranslateAndReportException(error);
    } catch (...) {
        // Nothing else is thrown by design; an unknown exception must still not cross into the host.
    }
}

constexpr int16_t kLastSelector = 25;

constexpr SelectorHandler kSelectorTable[kLastSelector + 1] = {
    DoNothing,        // 0
    PrepareTransfer,  // 1 read prepare
    ReadStart,        // 2
    ReadContinue,     // 3
    ReadFinish,       // 4
    DoNothing,        // 5 options prepare
    OptionsGuarded,   // 6 options start
    DoNothing,        // 7 options continue
    DoNothing,        // 8 options finish
    EstimatePrepare,  // 9
    EstimateStart,    // 10
    DoNothing,        // 11 estimate continue
    DoNothing,        // 12 estimate finish
    PrepareTransfer,  // 13 write prepare
    WriteStart,       // 14
    WriteContinue,    // 15
    WriteFinish,      // 16
    FileCheck,        // 17
    Unsupported,      // 18
    Unsupported,      // 19
    Unsupported,      // 20
    Unsupported,      // 21
    Unsupported,      // 22
    Unsupported,      // 23
    DoNothing,        // 24
    DoNothing,        // 25
};

}  // namespace
}  // namespace kv::shell

extern "C" KV_EXPORT int32_t FilterMain(int16_t selector, HostFormatRecord* record, intptr_t data,
                                        int16_t* result) {
    *result = resultOk;
    if (selector < 0 || selector > kv::shell::kLastSelector) {
        *result = resultBadParameters;
        return 0;
    }
    kv::shell::kSelectorTable[selector](record, data, result);
    return 0;
}
