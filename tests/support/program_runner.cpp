#include "support/program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace testsupport {

const char kUnset[] = "\x01unset";

namespace {

int StatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

} // namespace

ChildProgram::ChildProgram(const std::vector<std::string> &argv, const EnvChanges &env)
{
    // Everything the child needs is prepared before fork.
    std::vector<std::string> arguments(argv);
    std::vector<char *> args;
    for (auto &argument : arguments)
        args.push_back(&argument[0]);
    args.push_back(nullptr);

    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        if (env.count(name) == 0)
            environment.push_back(text);
    }
    for (const auto &change : env)
        if (change.second != kUnset)
            environment.push_back(change.first + "=" + change.second);
    std::vector<char *> envp;
    for (auto &entry : environment)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    m_pid = fork();
    if (m_pid == 0) {
        if (dup2(output[1], STDOUT_FILENO) < 0 || dup2(output[1], STDERR_FILENO) < 0)
            _exit(127);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(output[1]);
    if (m_pid < 0) {
        close(output[0]);
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    }
    m_output = output[0];
}

ChildProgram::~ChildProgram()
{
    if (!m_done)
        wait(std::chrono::milliseconds(0));
}

ChildResult ChildProgram::wait(std::chrono::milliseconds timeout)
{
    if (m_done)
        return m_result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool killed = false;
    // Reads the output until the child closes it (it ends, or hands the pipe
    // to nobody), killing it once the time is up.
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd poller{m_output, POLLIN, 0};
        const int ready = poll(&poller, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) {
            char chunk[4096];
            const ssize_t got = read(m_output, chunk, sizeof chunk);
            if (got > 0) {
                m_result.output.append(chunk, static_cast<size_t>(got));
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            break;
        }
        if (ready < 0 && errno == EINTR)
            continue;
        kill(m_pid, SIGKILL);
        killed = true;
        break;
    }
    close(m_output);
    int waitStatus = 0;
    while (waitpid(m_pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    m_result.exitStatus = killed ? -1 : StatusOf(waitStatus);
    m_done = true;
    return m_result;
}

ChildResult RunProgram(const std::vector<std::string> &argv, const EnvChanges &env,
                       std::chrono::milliseconds timeout)
{
    ChildProgram child(argv, env);
    return child.wait(timeout);
}

std::string TwinPath()
{
    return std::string(TRAILSEND_BUILD_DIR) + "/twin/trailsend";
}

} // namespace testsupport
