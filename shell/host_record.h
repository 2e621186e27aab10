// The host's plug-in interface as the module sees it: the format parameter block, the handle
// and basic suites, the callback types and the 16-bit result codes.
//
// Every layout here is fixed by the host's binary interface: fields sit at exact byte offsets in
// a block packed to 4 bytes, with pointers 8 bytes wide. Bytes the plug-in does not use are
// declared as opaque padding and are never read or written.
#pragma once

#include <cstddef>
#include <cstdint>

// A host handle: a pointer to the host's pointer to its memory block.
using Handle = char**;

// The 16-bit result word values.
enum ResultCode : int16_t {
    resultOk = 0,
    resultBadParameters = -30500,
    resultCannotRead = -30501,
    resultOutOfMemory = -108,
    resultCancelled = -128,
    resultIoError = -36,
    resultEndOfFile = -39,
    resultCodecFailure = -50,
};

extern "C" {
using CancelCheckProc = uint8_t (*)();
using ReportProgressProc = void (*)(int32_t done, int32_t total);
using NewHandleProc = Handle (*)(int32_t size);
using DisposeHandleProc = void (*)(Handle handle);
using GetHandleSizeProc = int32_t (*)(Handle handle);
using SetHandleSizeProc = int16_t (*)(Handle handle, int32_t newSize);
using LockHandleProc = char* (*)(Handle handle, uint8_t flag);
using UnlockHandleProc = void (*)(Handle handle);
using AcquireSuiteProc = int32_t (*)(const char* name, int32_t version, const void** suite);
using ReleaseSuiteProc = int32_t (*)(const char* name, int32_t version);
// The entries of the "KV ZEL Suite": each fills its out-pointer and answers 0, or an error.
using GetDrawSupplierProc = int32_t (*)(const void** supplier);
using GetParentNodeProc = int32_t (*)(void** parentNode);
}

#pragma pack(push, 4)

struct HandleSuite {
    uint8_t hostReserved0[8];
    NewHandleProc newHandle;              // 8
    DisposeHandleProc disposeHandle;      // 16
    GetHandleSizeProc getHandleSize;      // 24
    SetHandleSizeProc setHandleSize;      // 32
    LockHandleProc lockHandle;            // 40
    UnlockHandleProc unlockHandle;        // 48
};

struct BasicSuite {
    AcquireSuiteProc acquireSuite;        // 0
    ReleaseSuiteProc releaseSuite;        // 8
};

// The host's dialog suite "KV ZEL Suite", version 1: the draw supplier a dialog is shown on
// (a zelui::drawbot::SupplierInterface) and the zelui::ui::UI_Node that parents it.
struct ZelSuite {
    GetDrawSupplierProc getDrawSupplier;  // 0
    uint8_t hostReserved8[8];
    GetParentNodeProc getParentNode;      // 16
};

inline constexpr const char* kZelSuiteName = "KV ZEL Suite";
inline constexpr int32_t kZelSuiteVersion = 1;

// The host's format parameter block. The host's own block is at least kHostFormatRecordSize bytes.
struct HostFormatRecord {
    uint8_t hostReserved0[4];
    CancelCheckProc cancelCheck;          // 4
    ReportProgressProc reportProgress;    // 12
    int32_t bufferMemory;                 // 20
    int32_t minEstimate;                  // 24
    int32_t maxEstimate;                  // 28
    uint8_t hostReserved32[8];
    uint64_t fileHandle;                  // 40: a file descriptor on POSIX systems, a HANDLE on Windows
    uint8_t hostReserved48[16];
    int16_t imageMode;                    // 64: 1 grey, 3 RGB, 4 CMYK
    int16_t rows;                         // 66
    int16_t columns;                      // 68
    uint8_t hostReserved70[2];
    int16_t planes;                       // 72
    uint8_t hostReserved74[2];
    int32_t horizontalResolution;         // 76: 16.16 pixels per inch
    int32_t verticalResolution;           // 80: 16.16 pixels per inch
    uint8_t hostReserved84[852 - 84];
    void* rowData;                        // 852
    int16_t area[4];                      // 860: top, left, bottom (exclusive), right (exclusive)
    int16_t firstPlane;                   // 868
    int16_t lastPlane;                    // 870
    int16_t columnStep;                   // 872
    uint8_t hostReserved874[2];
    int32_t rowStep;                      // 876
    int32_t planeStep;                    // 880
    uint8_t hostReserved884[936 - 884];
    Handle persistentData;                // 936
    NewHandleProc newHandle;              // 944
    DisposeHandleProc disposeHandle;      // 952
    uint8_t hostReserved960[1052 - 960];
    HandleSuite* handleSuite;             // 1052
    uint8_t hostReserved1060[1124 - 1060];
    BasicSuite* basicSuite;               // 1124
    uint8_t hostReserved1132[1144 - 1132];
    Handle profileData;                   // 1144
    int32_t profileSize;                  // 1152
    int32_t profilesEnabled;              // 1156
};

#pragma pack(pop)

enum AreaIndex { areaTop = 0, areaLeft = 1, areaBottom = 2, areaRight = 3 };

inline constexpr std::size_t kHostFormatRecordSize = 1160;

static_assert(sizeof(void*) == 8, "the host interface is defined for 64-bit processes");
static_assert(sizeof(HostFormatRecord) == kHostFormatRecordSize);
static_assert(offsetof(HostFormatRecord, cancelCheck) == 4);
static_assert(offsetof(HostFormatRecord, reportProgress) == 12);
static_assert(offsetof(HostFormatRecord, bufferMemory) == 20);
static_assert(offsetof(HostFormatRecord, minEstimate) == 24);
static_assert(offsetof(HostFormatRecord, maxEstimate) == 28);
static_assert(offsetof(HostFormatRecord, fileHandle) == 40);
static_assert(offsetof(HostFormatRecord, imageMode) == 64);
static_assert(offsetof(HostFormatRecord, rows) == 66);
static_assert(offsetof(HostFormatRecord, columns) == 68);
static_assert(offsetof(HostFormatRecord, planes) == 72);
static_assert(offsetof(HostFormatRecord, horizontalResolution) == 76);
static_assert(offsetof(HostFormatRecord, verticalResolution) == 80);
static_assert(offsetof(HostFormatRecord, rowData) == 852);
static_assert(offsetof(HostFormatRecord, area) == 860);
static_assert(offsetof(HostFormatRecord, firstPlane) == 868);
static_assert(offsetof(HostFormatRecord, lastPlane) == 870);
static_assert(offsetof(HostFormatRecord, columnStep) == 872);
static_assert(offsetof(HostFormatRecord, rowStep) == 876);
static_assert(offsetof(HostFormatRecord, planeStep) == 880);
static_assert(offsetof(HostFormatRecord, persistentData) == 936);
static_assert(offsetof(HostFormatRecord, newHandle) == 944);
static_assert(offsetof(HostFormatRecord, disposeHandle) == 952);
static_assert(offsetof(HostFormatRecord, handleSuite) == 1052);
static_assert(offsetof(HostFormatRecord, basicSuite) == 1124);
static_assert(offsetof(HostFormatRecord, profileData) == 1144);
static_assert(offsetof(HostFormatRecord, profileSize) == 1152);
static_assert(offsetof(HostFormatRecord, profilesEnabled) == 1156);

static_assert(offsetof(HandleSuite, newHandle) == 8);
static_assert(offsetof(HandleSuite, disposeHandle) == 16);
static_assert(offsetof(HandleSuite, getHandleSize) == 24);
static_assert(offsetof(HandleSuite, setHandleSize) == 32);
static_assert(offsetof(HandleSuite, lockHandle) == 40);
static_assert(offsetof(HandleSuite, unlockHandle) == 48);
static_assert(offsetof(BasicSuite, acquireSuite) == 0);
static_assert(offsetof(BasicSuite, releaseSuite) == 8);
static_assert(offsetof(ZelSuite, getDrawSupplier) == 0);
static_assert(offsetof(ZelSuite, getParentNode) == 16);

// The entry point's signature, as the host calls it.
extern "C" {
using FilterMainProc = int32_t (*)(int16_t selector, HostFormatRecord* record, intptr_t data,
                                   int16_t* result);
}

// Selector numbers the host passes to FilterMain.
enum Selector : int16_t {
    selectorReadPrepare = 1,
    selectorReadStart = 2,
    selectorReadContinue = 3,
    selectorReadFinish = 4,
    selectorOptionsPrepare = 5,
    selectorOptionsStart = 6,
    selectorOptionsContinue = 7,
    selectorOptionsFinish = 8,
    selectorEstimatePrepare = 9,
    selectorEstimateStart = 10,
    selectorEstimateContinue = 11,
    selectorEstimateFinish = 12,
    selectorWritePrepare = 13,
    selectorWriteStart = 14,
    selectorWriteContinue = 15,
    selectorWriteFinish = 16,
    selectorFileCheck = 17,
};
