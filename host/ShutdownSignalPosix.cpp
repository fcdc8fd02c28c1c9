#include "ShutdownSignal.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

ShutdownSignal::ShutdownSignal() {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_signals, &m_previousMask);
    m_signalFd.reset(signalfd(-1, &m_signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!m_signalFd) m_setupError = errno;
    m_wakeFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wakeFd && m_setupError == 0) m_setupError = errno;
}

ShutdownSignal::~ShutdownSignal() {
    signalfd_siginfo info{};
    while (m_signalFd &&
           read(m_signalFd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    // Closed before the mask is restored, so no signal that came meanwhile is delivered.
    m_signalFd.reset();
    m_wakeFd.reset();
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

bool ShutdownSignal::Ready(std::string& error) const {
    if (m_setupError == 0) return true;
    error = std::string("cannot wait for signals: ") + std::strerror(m_setupError);
    return false;
}

int ShutdownSignal::Wait() {
    std::array<pollfd, 2> watched = {pollfd{m_signalFd.get(), POLLIN, 0},
                                     pollfd{m_wakeFd.get(), POLLIN, 0}};
    while (true) {
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        signalfd_siginfo info{};
        if ((watched[0].revents & POLLIN) != 0 &&
            read(m_signalFd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            return static_cast<int>(info.ssi_signo);
        }
        if ((watched[1].revents & POLLIN) != 0) return 0;
    }
}

void ShutdownSignal::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakeFd.get(), &one, sizeof one);
}
