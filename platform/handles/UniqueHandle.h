// The owners of Windows handles, one alias per kind: each closes its handle with the call that
// kind needs, on every path.
#pragma once

#include <windows.h>
#include <pdh.h>
#include <wtsapi32.h>

#include "UniqueAny.h"

// Process, thread, token and event handles. Some calls fail with null, others (CreateFile and
// the like) with INVALID_HANDLE_VALUE: neither is anything to close.
struct KernelHandleTraits : EmptyWhen<HANDLE> {
    static bool IsEmpty(HANDLE handle) {
        return handle == nullptr || handle == INVALID_HANDLE_VALUE;
    }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};

struct RegKeyTraits : EmptyWhen<HKEY> {
    static void Close(HKEY key) { RegCloseKey(key); }
};

struct ServiceHandleTraits : EmptyWhen<SC_HANDLE> {
    static void Close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};

struct PdhQueryTraits : EmptyWhen<PDH_HQUERY> {
    static void Close(PDH_HQUERY query) { PdhCloseQuery(query); }
};

// Memory a terminal-services call allocated for its result.
template <typename T>
struct WtsMemoryTraits : EmptyWhen<T*> {
    static void Close(T* memory) { WTSFreeMemory(memory); }
};

struct ModuleTraits : EmptyWhen<HMODULE> {
    static void Close(HMODULE module) { FreeLibrary(module); }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueRegKey = UniqueAny<RegKeyTraits>;
using UniqueServiceHandle = UniqueAny<ServiceHandleTraits>;
using UniquePdhQuery = UniqueAny<PdhQueryTraits>;
template <typename T>
using UniqueWtsMemory = UniqueAny<WtsMemoryTraits<T>>;
using UniqueModule = UniqueAny<ModuleTraits>;
