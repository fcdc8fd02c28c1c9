// The record of one thread started by CreateThread. The running thread holds one reference and
// each handle another, so the record goes when the last of them does.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "Waitable.h"

namespace winport {

class ThreadObject : public Waitable, public std::enable_shared_from_this<ThreadObject> {
  public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended);

    // Starts the POSIX thread (detached) and waits until it has its id. False with errno's
    // Windows code when the system refused.
    bool Launch(DWORD& error);

    DWORD Id() const { return m_id; }
    pthread_t Native() const { return m_native; }
    // Previous suspend count.
    DWORD Resume();
    // STILL_ACTIVE until the start routine has returned.
    DWORD ExitCode() const;
    bool WaitSignalled(std::optional<std::chrono::milliseconds> timeout) override;

    // Calls `action`(id, native thread) while the thread is certain not to end; false (and no
    // call) when it has already returned from its start routine.
    template <typename Action>
    bool WhileRunning(Action&& action) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_finished) return false;
        action(m_id, m_native);
        return true;
    }

  private:
    static void* Entry(void* self);
    void Run(std::shared_ptr<ThreadObject> self);

    LPTHREAD_START_ROUTINE m_start;
    LPVOID m_parameter;
    pthread_t m_native{};
    DWORD m_id = 0;  // written before Launch returns, read-only afterwards

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    DWORD m_suspendCount;
    bool m_started = false;
    bool m_finished = false;
    DWORD m_exitCode = STILL_ACTIVE;
};

// The thread named by a handle, or null with ERROR_INVALID_HANDLE (pseudo handles included).
std::shared_ptr<ThreadObject> FindThread(HANDLE handle);

}  // namespace winport
