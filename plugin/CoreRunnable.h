// Thread runners: a corerunnable starts a thread that runs its `run`, registered in the
// process-wide thread registry and, optionally, in a thread group. Without a group one runner
// runs at most one thread at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "CoreThreadGroup.h"
#include "quillmesh/corethread.h"

namespace CORE {

class corerunnable : public coreref {
  public:
    // `name` (UTF-8, may be null) is copied; `priority` 0 leaves the thread's priority alone;
    // `group` is referenced by the runner; `wrapper` runs the body (null: `run` is called
    // directly).
    corerunnable(const char* name, int32_t priority, corethreadgroup* group,
                 corethreadwrapper* wrapper = corerunnable_defaultThreadWrapper.load());
    ~corerunnable() override;

    virtual void run() = 0;

    // Starts a thread running `run`; false when it cannot (logged through the corelogger).
    bool start();

    const char* name() const { return m_name; }
    unsigned threadId() const { return m_threadId.load(); }

  private:
    static unsigned WINAPI ThreadEntry(void* runnable);
    static void RunBody(void* runnable);
    void EnterRegistry();
    void LeaveGroup();
    void TraceBegin();
    void TraceEnd();

    char* m_name;
    std::atomic<unsigned> m_threadId{0};
    HANDLE m_handle = nullptr;
    int32_t m_priority;
    corethreadwrapper* m_wrapper;
    corethreadgroup* m_group;
    std::atomic<bool> m_registered{false};
    std::atomic<int32_t> m_running{0};
};

// Runs `function`(`argument`) on its thread.
class corerun : public corerunnable {
  public:
    using Function = void (*)(void* argument);

    corerun(const char* name, int32_t priority, corethreadgroup* group, corethreadwrapper* wrapper,
            Function function, void* argument);

    void run() override;

  private:
    void* m_argument;
    Function m_function;
};

}  // namespace CORE
