// What the library Q stand-in offers its own host beyond the calls the module imports.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define Q_EXPORT __declspec(dllexport)
#else
#define Q_EXPORT __attribute__((visibility("default")))
#endif

// How many exceptions the plug-in has handed to Q_TranslateAndReportException in this process.
Q_EXPORT int32_t Q_ReportedExceptionCount();
