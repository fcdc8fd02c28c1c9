#include "quillmesh/corethread.h"

#include <cerrno>
#include <exception>
#include <thread>

#include "quillmesh/SysMessage.h"

#if defined(_WIN32)
#include <process.h>
#endif

namespace CORE {
namespace {

void LogFrameworkError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    __SysMessage(SysMessageError, L"quillmesh", format, args, nullptr, nullptr);
    va_end(args);
}

class DefaultThreadWrapper : public corethreadwrapper {
  public:
    void runThread(Body body, void* context) override {
        try {
            body(context);
        } catch (const std::exception& error) {
            LogFrameworkError(L"thread body ended by an exception: %S", error.what());
        } catch (...) {
            LogFrameworkError(L"thread body ended by an unknown exception");
        }
    }
};

// Owns the framework's reference to the default wrapper; runners hold their own, so the
// wrapper outlives the framework's statics while a runner still uses it.
struct DefaultWrapperHolder {
    DefaultWrapperHolder() { corerunnable_defaultThreadWrapper.store(new DefaultThreadWrapper); }
    ~DefaultWrapperHolder() {
        corethreadwrapper* wrapper =
            corerunnable_defaultThreadWrapper.exchange(threadwrapper_deconstructed);
        if (wrapper != nullptr && wrapper != threadwrapper_deconstructed) wrapper->Release();
    }
};

uint32_t ProcessorCount() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : (count > 32 ? 32 : count);
}

std::atomic<uint32_t> nextProcessor{0};

}  // namespace

std::atomic<corethreadwrapper*> corerunnable_defaultThreadWrapper{nullptr};
corethreadwrapper* const threadwrapper_deconstructed =
    reinterpret_cast<corethreadwrapper*>(static_cast<uintptr_t>(1));
std::atomic<uint32_t> corerunnable_threadAffinity{0};
std::atomic<bool> corerunnable_traceThreads{false};

namespace {
DefaultWrapperHolder defaultWrapperHolder;
}

void corerunnable_initThreadAffinity() {
    const uint32_t processor = nextProcessor.fetch_add(1) % ProcessorCount();
    SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << processor);
}

uintptr_t corerunnable_beginthreadex(void* security, unsigned stackSize, corethreadproc start,
                                     void* argument, unsigned creationFlags, unsigned* threadId) {
#if defined(_WIN32)
    return _beginthreadex(security, stackSize, start, argument, creationFlags, threadId);
#else
    if (start == nullptr) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD id = 0;
    HANDLE thread = CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security), stackSize, start,
                                 argument, creationFlags, &id);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        errno = error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ? EAGAIN : EINVAL;
        return 0;
    }
    if (threadId != nullptr) *threadId = id;
    return reinterpret_cast<uintptr_t>(thread);
#endif
}

}  // namespace CORE
