#include <windows.h>

#include <mutex>

#include "ShutdownSignal.h"

namespace {

// The console's control handler and the service's control handler run on threads of their
// own; they reach the one waiter through this.
std::mutex g_lock;
HANDLE g_stopEvent = nullptr;  // of the ShutdownSignal that exists, if any
int g_requested = 0;           // the signal that asked for the stop, kept until it is taken

// Set once the waiter's ShutdownSignal is gone, that is once serve has stopped; made once, as
// the control handler may wait on it after that.
HANDLE StoppedEvent() {
    static const UniqueHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return stopped.get();
}

// Windows ends the process once the handler returns from a close, or after 5 s: the handler
// waits for the orderly stop, a little less than that.
constexpr DWORD kCloseWaitMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD control) {
    switch (control) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ShutdownSignal::RequestStop(SIGINT);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            ShutdownSignal::RequestStop(SIGINT);
            WaitForSingleObject(StoppedEvent(), kCloseWaitMs);
            return TRUE;
        case CTRL_LOGOFF_EVENT:  // a user's logoff does not stop the host
            return TRUE;
        default:  // shutdown: a service hears it through its own control
            return FALSE;
    }
}

}  // namespace

ShutdownSignal::ShutdownSignal()
    : m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_wakeEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!m_stopEvent || !m_wakeEvent) {
        m_setupError = GetLastError();
        return;
    }
    ResetEvent(StoppedEvent());
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_stopEvent = m_stopEvent.get();
        if (g_requested != 0) SetEvent(g_stopEvent);
    }
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) m_setupError = GetLastError();
}

ShutdownSignal::~ShutdownSignal() {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_stopEvent = nullptr;
        g_requested = 0;
    }
    SetEvent(StoppedEvent());
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

void ShutdownSignal::RequestStop(int signal) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_requested == 0) g_requested = signal;
    if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
}

bool ShutdownSignal::Ready(std::string& error) const {
    if (m_setupError == 0) return true;
    error = "cannot wait for a stop request (error " + std::to_string(m_setupError) + ")";
    return false;
}

int ShutdownSignal::Wait() {
    const HANDLE events[] = {m_stopEvent.get(), m_wakeEvent.get()};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0) return 0;
    std::lock_guard<std::mutex> hold(g_lock);
    return g_requested;
}

void ShutdownSignal::Wake() {
    SetEvent(m_wakeEvent.get());
}
