// The calls this module imports from the host's utility library Q. The host supplies the library
// beside the module; the module only declares what it calls.
#pragma once

#include <cstdint>
#include <exception>

#if defined(_WIN32) && defined(Q_LIBRARY_BUILD)
#define Q_IMPORT __declspec(dllexport)  // the library itself, defining them
#elif defined(_WIN32)
#define Q_IMPORT __declspec(dllimport)
#else
#define Q_IMPORT __attribute__((visibility("default")))
#endif

// 32-bit byte reversal.
Q_IMPORT uint32_t Q_LongSwap(uint32_t value);
// 16-bit byte reversal.
Q_IMPORT uint16_t Q_ShortSwap(uint16_t value);
// Shows a caught exception to the user; the answer carries nothing the module uses.
Q_IMPORT int32_t Q_TranslateAndReportException(const std::exception& error);
