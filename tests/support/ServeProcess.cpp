#include "ServeProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <regex>
#include <utility>

extern char** environ;

namespace dorn::test {
namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string& override : overrides) {
            replaced = replaced || override.substr(0, override.find('=')) == name;
        }
        if (!replaced) merged.push_back(text);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ServeProcess::ServeProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    if (pipe2(out.data(), O_CLOEXEC) != 0) return;
    // The reading ends go to the drain thread, which closes them at the end of the output.
    UniqueFd outRead(out[0]), outWrite(out[1]);
    if (pipe2(err.data(), O_CLOEXEC) != 0) return;
    UniqueFd errRead(err[0]), errWrite(err[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argumentTexts = {program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentTexts = MergedEnvironment(environment);
    std::vector<char*> argv = Pointers(argumentTexts);
    std::vector<char*> envp = Pointers(environmentTexts);
    if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    outWrite.reset();
    errWrite.reset();
    m_drain =
        std::thread([this, outRead = std::move(outRead), errRead = std::move(errRead)]() mutable {
            Drain(std::move(outRead), std::move(errRead));
        });
}

ServeProcess::~ServeProcess() {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_drain.joinable()) m_drain.join();
}

void ServeProcess::Drain(UniqueFd outFd, UniqueFd errFd) {
    std::array<UniqueFd*, 2> owned = {&outFd, &errFd};
    std::array<pollfd, 2> fds = {pollfd{outFd.get(), POLLIN, 0}, pollfd{errFd.get(), POLLIN, 0}};
    std::array<std::string*, 2> sinks = {&m_out, &m_err};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) {
                owned[i]->reset();
                fds[i].fd = -1;
                --open;
                continue;
            }
            const std::lock_guard<std::mutex> hold(m_lock);
            sinks[i]->append(buffer, static_cast<size_t>(count));
            m_output.notify_all();
        }
    }
    const std::lock_guard<std::mutex> hold(m_lock);
    m_ended = true;
    m_output.notify_all();
}

bool ServeProcess::WaitForConsole(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> hold(m_lock);
    const bool lineCame = m_output.wait_for(
        hold, timeout, [this] { return m_ended || m_out.find('\n') != std::string::npos; });
    if (!lineCame) return false;
    static const std::regex kConsoleLine(
        R"(console at https?://127\.0\.0\.1:([0-9]+)/login\?token=([0-9a-f]{64}))");
    std::smatch match;
    const std::string firstLine = m_out.substr(0, m_out.find('\n'));
    if (!std::regex_search(firstLine, match, kConsoleLine)) return false;
    m_port = std::stoi(match[1]);
    m_token = match[2];
    return true;
}

void ServeProcess::Signal(int signal) const {
    if (m_pid > 0 && !m_reaped) kill(m_pid, signal);
}

std::optional<int> ServeProcess::WaitForExit(std::chrono::seconds timeout) {
    if (m_pid <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_reaped) {
        const pid_t done = waitpid(m_pid, &m_status, WNOHANG);
        if (done == m_pid) {
            m_reaped = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (m_drain.joinable()) m_drain.join();
    if (!WIFEXITED(m_status)) return std::nullopt;
    return WEXITSTATUS(m_status);
}

std::string ServeProcess::Out() const {
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_out;
}

std::string ServeProcess::Err() const {
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_err;
}

}  // namespace dorn::test
