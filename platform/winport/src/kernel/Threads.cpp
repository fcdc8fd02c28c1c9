// CreateThread and the calls on thread handles.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "InjectedFailure.h"
#include "ThreadObject.h"
#include "Utf8.h"

namespace {

const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
constexpr size_t kSystemNameBytes = 15;  // the kernel's thread name holds 15 bytes and a NUL

thread_local NT_TIB t_informationBlock{};

// Runs `action`(id, native) for the thread a handle names, pseudo handle included. False with
// the last error set when the handle names no thread or the thread has ended.
template <typename Action>
bool OnThread(HANDLE handle, Action&& action) {
    if (handle == kCurrentThread) {
        action(static_cast<DWORD>(gettid()), pthread_self());
        return true;
    }
    std::shared_ptr<winport::ThreadObject> thread = winport::FindThread(handle);
    if (!thread) return false;
    if (!thread->WhileRunning(action)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool ToNiceValue(int priority, int& nice) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
            nice = 19;
            return true;
        case THREAD_PRIORITY_LOWEST:
            nice = 10;
            return true;
        case THREAD_PRIORITY_BELOW_NORMAL:
            nice = 5;
            return true;
        case THREAD_PRIORITY_NORMAL:
            nice = 0;
            return true;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            nice = -5;
            return true;
        case THREAD_PRIORITY_HIGHEST:
            nice = -10;
            return true;
        case THREAD_PRIORITY_TIME_CRITICAL:
            nice = -20;
            return true;
        default:
            return false;
    }
}

DWORD ErrnoToWindows(int error) {
    return error == EPERM || error == EACCES ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
}

// The first bytes of `utf8` that fit the kernel's name, never splitting a character.
std::string SystemThreadName(const std::string& utf8) {
    size_t length = std::min(utf8.size(), kSystemNameBytes);
    while (length > 0 && length < utf8.size() && (utf8[length] & 0xC0) == 0x80) --length;
    return utf8.substr(0, length);
}

}  // namespace

extern "C" {

WINPORT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                                       LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    if (winport::InjectedFailure("CreateThread")) return nullptr;
    if (start == nullptr || (creationFlags & ~static_cast<DWORD>(CREATE_SUSPENDED)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<winport::ThreadObject>(start, parameter,
                                                          (creationFlags & CREATE_SUSPENDED) != 0);
    DWORD error = ERROR_SUCCESS;
    if (!thread->Launch(error)) {
        SetLastError(error);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = thread->Id();
    return winport::InsertHandle(std::move(thread));
}

WINPORT_API DWORD WINAPI ResumeThread(HANDLE handle) {
    if (winport::InjectedFailure("ResumeThread")) return 0xFFFFFFFFu;
    if (handle == kCurrentThread) return 0;  // the caller runs, so it is not suspended
    std::shared_ptr<winport::ThreadObject> thread = winport::FindThread(handle);
    return thread ? thread->Resume() : 0xFFFFFFFFu;
}

WINPORT_API BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    if (winport::InjectedFailure("GetExitCodeThread")) return FALSE;
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (handle == kCurrentThread) {
        *exitCode = STILL_ACTIVE;
        return TRUE;
    }
    std::shared_ptr<winport::ThreadObject> thread = winport::FindThread(handle);
    if (!thread) return FALSE;
    *exitCode = thread->ExitCode();
    return TRUE;
}

WINPORT_API HANDLE WINAPI GetCurrentThread() {
    return kCurrentThread;
}

WINPORT_API DWORD WINAPI GetCurrentThreadId() {
    return static_cast<DWORD>(gettid());
}

WINPORT_API BOOL WINAPI SetThreadPriority(HANDLE handle, int priority) {
    if (winport::InjectedFailure("SetThreadPriority")) return FALSE;
    int nice = 0;
    if (!ToNiceValue(priority, nice)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int error = 0;
    if (!OnThread(handle, [&](DWORD id, pthread_t) {
            if (setpriority(PRIO_PROCESS, static_cast<id_t>(id), nice) != 0) error = errno;
        })) {
        return FALSE;
    }
    if (error != 0) {
        SetLastError(ErrnoToWindows(error));
        return FALSE;
    }
    return TRUE;
}

WINPORT_API DWORD_PTR WINAPI SetThreadAffinityMask(HANDLE handle, DWORD_PTR mask) {
    if (winport::InjectedFailure("SetThreadAffinityMask")) return 0;
    DWORD_PTR previous = 0;
    int error = 0;
    const bool found = OnThread(handle, [&](DWORD id, pthread_t) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(static_cast<pid_t>(id), sizeof set, &set) != 0) {
            error = errno;
            return;
        }
        for (unsigned cpu = 0; cpu < sizeof(DWORD_PTR) * 8; ++cpu) {
            if (CPU_ISSET(cpu, &set)) previous |= DWORD_PTR{1} << cpu;
        }
        CPU_ZERO(&set);
        for (unsigned cpu = 0; cpu < sizeof(DWORD_PTR) * 8; ++cpu) {
            if ((mask >> cpu) & 1) CPU_SET(cpu, &set);
        }
        if (sched_setaffinity(static_cast<pid_t>(id), sizeof set, &set) != 0) error = errno;
    });
    if (!found) return 0;
    if (error != 0 || mask == 0) {
        SetLastError(mask == 0 ? ERROR_INVALID_PARAMETER : ErrnoToWindows(error));
        return 0;
    }
    return previous;
}

WINPORT_API BOOL WINAPI SwitchToThread() {
    sched_yield();
    return TRUE;
}

WINPORT_API HRESULT WINAPI SetThreadDescription(HANDLE handle, PCWSTR description) {
    if (auto code = winport::TakeInjectedFailure("SetThreadDescription")) {
        return HRESULT_FROM_WIN32(*code);
    }
    if (description == nullptr) return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    std::string utf8;
    winport::utf8::Encode(description, utf8);
    const std::string name = SystemThreadName(utf8);
    int error = 0;
    if (!OnThread(handle, [&](DWORD, pthread_t native) {
            error = pthread_setname_np(native, name.c_str());
        })) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    return error == 0 ? S_OK : HRESULT_FROM_WIN32(ErrnoToWindows(error));
}

WINPORT_API struct _TEB* WINAPI NtCurrentTeb() {
    t_informationBlock.Self = &t_informationBlock;
    return reinterpret_cast<struct _TEB*>(&t_informationBlock);
}

}  // extern "C"
