#include "ThreadObject.h"

#include <unistd.h>

#include <cerrno>

namespace winport {
namespace {

// Hands the thread its own reference to the record across pthread_create.
struct StartPacket {
    std::shared_ptr<ThreadObject> self;
};

DWORD WindowsCodeOf(int error) {
    return error == EAGAIN || error == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER;
}

}  // namespace

ThreadObject::ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended)
    : m_start(start), m_parameter(parameter), m_suspendCount(suspended ? 1 : 0) {}

bool ThreadObject::Launch(DWORD& error) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // Detached: the record, not a join, tells waiters when the thread is done; nothing of the
    // thread remains once it returns.
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto* packet = new StartPacket{shared_from_this()};
    const int result = pthread_create(&m_native, &attributes, &ThreadObject::Entry, packet);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete packet;
        error = WindowsCodeOf(result);
        return false;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_started; });
    return true;
}

void* ThreadObject::Entry(void* packet) {
    std::shared_ptr<ThreadObject> self = std::move(static_cast<StartPacket*>(packet)->self);
    delete static_cast<StartPacket*>(packet);
    ThreadObject* record = self.get();
    record->Run(std::move(self));
    return nullptr;
}

void ThreadObject::Run(std::shared_ptr<ThreadObject> self) {
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_id = static_cast<DWORD>(gettid());
        m_started = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_suspendCount == 0; });
    }
    const DWORD exitCode = m_start(m_parameter);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_exitCode = exitCode;
        m_finished = true;
        m_changed.notify_all();
    }
    self.reset();  // the last reference when every handle is closed
}

DWORD ThreadObject::Resume() {
    std::lock_guard<std::mutex> lock(m_lock);
    const DWORD previous = m_suspendCount;
    if (m_suspendCount > 0 && --m_suspendCount == 0) m_changed.notify_all();
    return previous;
}

DWORD ThreadObject::ExitCode() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_finished ? m_exitCode : static_cast<DWORD>(STILL_ACTIVE);
}

bool ThreadObject::WaitSignalled(std::optional<std::chrono::milliseconds> timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!timeout) {
        m_changed.wait(lock, [this] { return m_finished; });
        return true;
    }
    return m_changed.wait_for(lock, *timeout, [this] { return m_finished; });
}

std::shared_ptr<ThreadObject> FindThread(HANDLE handle) {
    return FindHandleOf<ThreadObject>(handle);
}

}  // namespace winport
