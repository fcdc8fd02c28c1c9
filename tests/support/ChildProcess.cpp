#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "UniqueFd.h"

extern char** environ;

namespace dorn::test {
namespace {

class Pipe {
  public:
    Pipe() {
        int ends[2];
        if (pipe(ends) != 0) return;
        m_read.reset(ends[0]);
        m_write.reset(ends[1]);
    }

    int Read() const { return m_read.get(); }
    int Write() const { return m_write.get(); }
    void CloseWrite() { m_write.reset(); }

  private:
    UniqueFd m_read;
    UniqueFd m_write;
};

// Drains both pipes together so that neither can fill up and stall the child.
void Drain(Pipe& out, Pipe& err, ProcessResult& result) {
    std::array<pollfd, 2> fds = {pollfd{out.Read(), POLLIN, 0}, pollfd{err.Read(), POLLIN, 0}};
    std::array<std::string*, 2> sinks = {&result.out, &result.err};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t count = read(fds[i].fd, buffer, sizeof(buffer));
            if (count > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments) {
    ProcessResult result;
    Pipe out;
    Pipe err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.Write(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.Write(), 2);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    out.CloseWrite();
    err.CloseWrite();
    if (spawned != 0) return result;

    Drain(out, err, result);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

}  // namespace dorn::test
