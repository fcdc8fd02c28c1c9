#include "CoreRunnable.h"

#include <cerrno>
#include <cstring>

#include "CoreLogger.h"
#include "NameCopy.h"
#include "ThreadNameMarker.h"
#include "quillmesh/corestring.h"

namespace CORE {
namespace {

constexpr unsigned kCreateSuspended = 4;  // CREATE_SUSPENDED
constexpr uint32_t kSpreadAffinity = 0xFFFFFFFF;
constexpr int kTraceLevel = 4;
constexpr int kFailureLevel = 1;

bool IsReferenceable(corethreadwrapper* wrapper) {
    return wrapper != nullptr && wrapper != threadwrapper_deconstructed;
}

corestring<wchar_t> WideName(const char* name, const wchar_t* fallback) {
    if (name == nullptr) return fallback;
    return corestring<char>(name)._wstr(65001);
}

unsigned RegistryCount() {
    corerunnable_allThreadsGroup* registry = AllThreadsRegistry();
    return registry ? static_cast<unsigned>(registry->threadCount()) : 0;
}

void ApplyAffinity() {
    const uint32_t affinity = corerunnable_threadAffinity.load();
    if (affinity == 0) return;
    if (affinity == kSpreadAffinity) {
        corerunnable_initThreadAffinity();
    } else {
        SetThreadAffinityMask(GetCurrentThread(), affinity);
    }
}

}  // namespace

corerunnable::corerunnable(const char* name, int32_t priority, corethreadgroup* group,
                           corethreadwrapper* wrapper)
    : m_name(CopyName(name)), m_priority(priority), m_wrapper(wrapper), m_group(group) {
    if (IsReferenceable(m_wrapper)) m_wrapper->AddRef();
    if (m_group != nullptr) m_group->AddRef();
}

corerunnable::~corerunnable() {
    if (m_group != nullptr) {
        m_group->Release();
    } else if (m_handle != nullptr) {
        CloseHandle(m_handle);
    }
    if (IsReferenceable(m_wrapper)) m_wrapper->Release();
    delete[] m_name;
}

bool corerunnable::start() {
    if (m_group == nullptr && m_running.fetch_add(1) + 1 >= 2) {
        m_running.fetch_sub(1);
        corelogger::instance().log(nullptr, kFailureLevel,
                                   L"corerunnable: ONLY ONE THREAD ALLOWED WHEN NO GROUP, name=%s",
                                   WideName(m_name, L"").c_str());
        return false;
    }
    AddRef();  // the thread's reference
    unsigned id = 0;
    const uintptr_t created = corerunnable_beginthreadex(nullptr, 0, &corerunnable::ThreadEntry,
                                                         this, kCreateSuspended, &id);
    if (created == 0) {
        const int error = errno;
        const int systemError = static_cast<int>(GetLastError());
        Release();
        if (m_group == nullptr) m_running.fetch_sub(1);
        corelogger::instance().log(
            nullptr, kFailureLevel,
            L"corerunnable: FAILED TO CREATE THREAD, name=%s with error %d, %d",
            WideName(m_name, L"").c_str(), error, systemError);
        return false;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(created);
    if (m_group != nullptr) {
        m_group->add(id, handle);
    } else {
        if (m_handle != nullptr) CloseHandle(m_handle);
        m_handle = handle;
    }
    m_threadId.store(id);
    if (corerunnable_allThreadsGroup* registry = AllThreadsRegistry()) {
        registry->add(id, handle);
        m_registered.store(true);
    }
    ResumeThread(handle);
    return true;
}

unsigned WINAPI corerunnable::ThreadEntry(void* argument) {
    auto* self = static_cast<corerunnable*>(argument);
    ApplyAffinity();
    self->EnterRegistry();
    if (self->m_name != nullptr) SetThreadNameMarker(self->m_name);
    if (corerunnable_traceThreads.load()) self->TraceBegin();
    if (self->m_priority != 0) SetThreadPriority(GetCurrentThread(), self->m_priority);

    if (self->m_wrapper != nullptr && self->m_wrapper != threadwrapper_deconstructed) {
        self->m_wrapper->runThread(&corerunnable::RunBody, self);
    } else {
        self->run();
    }

    if (self->m_name != nullptr) SetThreadNameMarker(nullptr);
    if (corerunnable_traceThreads.load()) self->TraceEnd();
    // Lets this thread finish its bookkeeping ahead of the threads it would otherwise wait on.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    Sleep(0);
    self->LeaveGroup();
    self->Release();  // may destroy the runner, closing its handle
    if (corerunnable_allThreadsGroup* registry = AllThreadsRegistry()) {
        registry->removeCurrentThread(false);
    }
    return 0;
}

void corerunnable::RunBody(void* runnable) {
    static_cast<corerunnable*>(runnable)->run();
}

void corerunnable::EnterRegistry() {
    if (m_registered.load()) return;
    corerunnable_allThreadsGroup* registry = AllThreadsRegistry();
    if (registry == nullptr) return;
    if (m_group == nullptr) {
        registry->add(GetCurrentThreadId(), m_handle);
        return;
    }
    // Group lock first, registry lock inside it: the only order in which both are held.
    m_group->forEach([registry](unsigned id, HANDLE handle) { registry->add(id, handle); });
}

void corerunnable::LeaveGroup() {
    if (m_group == nullptr) {
        // The id is cleared before the slot is given back, so a new start's id is never
        // overwritten by this ending thread.
        m_threadId.store(0);
        m_running.fetch_sub(1);
    } else {
        m_group->removeCurrentThread(true);
    }
}

void corerunnable::TraceBegin() {
    corelogger::instance().log(L"threads", kTraceLevel,
                               L"Begin '%s', count=%u, wrapper=0x%p, group=0x%p",
                               WideName(m_name, L"UNNAMED").c_str(), RegistryCount(),
                               static_cast<void*>(m_wrapper), static_cast<void*>(m_group));
}

void corerunnable::TraceEnd() {
    const unsigned groupCount =
        m_group != nullptr ? static_cast<unsigned>(m_group->threadCount()) - 1 : 0;
    const unsigned registryCount = RegistryCount() - 1;
    corelogger::instance().log(L"threads", kTraceLevel, L"End '%s', count=%u, group=%u",
                               WideName(m_name, L"UNNAMED").c_str(), registryCount, groupCount);
}

corerun::corerun(const char* name, int32_t priority, corethreadgroup* group,
                 corethreadwrapper* wrapper, Function function, void* argument)
    : corerunnable(name, priority, group, wrapper), m_argument(argument), m_function(function) {}

void corerun::run() {
    m_function(m_argument);
}

}  // namespace CORE
