#include "support/stub_daemon.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

int ExitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

bool IsSocket(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

std::string StubDaemon::programPath()
{
    return std::string(TRAILSEND_BUILD_DIR) + "/tools/dirsvcd-stub";
}

StubDaemon::StubDaemon(const std::vector<std::string> &options) : m_dir(new TempDir)
{
    m_socketPath = m_dir->file("daemon.sock");
    start(options);
}

StubDaemon::StubDaemon(const std::string &socketPath, const std::vector<std::string> &options)
    : m_dir(new TempDir), m_socketPath(socketPath)
{
    unlink(m_socketPath.c_str());
    start(options);
}

StubDaemon::~StubDaemon()
{
    stop();
}

void StubDaemon::start(const std::vector<std::string> &options)
{
    const std::string program = programPath();
    if (access(program.c_str(), X_OK) != 0)
        throw std::runtime_error(program + " is missing: build the dirsvcd-stub target");
    m_errorFile = m_dir->file("stub.stderr");

    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> arguments;
    arguments.push_back(program);
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(m_socketPath);
    std::vector<char *> argv;
    for (auto &argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    int errorFd = open(m_errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errorFd < 0) {
        close(output[0]);
        close(output[1]);
        throw std::runtime_error(std::string("cannot create ") + m_errorFile + ": " + strerror(errno));
    }

    m_pid = fork();
    if (m_pid == 0) {
        if (dup2(output[1], STDOUT_FILENO) < 0 || dup2(errorFd, STDERR_FILENO) < 0)
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    close(errorFd);
    if (m_pid < 0) {
        close(output[0]);
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    }
    m_reader = std::thread(&StubDaemon::readOutput, this, output[0]);

    // The stub renames its socket into place only once it listens.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!IsSocket(m_socketPath)) {
        if (waitForExit(std::chrono::milliseconds(0)) >= 0 || std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error("dirsvcd-stub did not come up on " + m_socketPath + ": " + errors());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void StubDaemon::readOutput(int fd)
{
    char chunk[4096];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_partial.append(chunk, static_cast<size_t>(got));
        size_t newline;
        while ((newline = m_partial.find('\n')) != std::string::npos) {
            m_lines.push_back(m_partial.substr(0, newline));
            m_partial.erase(0, newline + 1);
        }
        m_arrived.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_partial.empty())
        m_lines.push_back(m_partial);
    m_partial.clear();
    m_outputClosed = true;
    m_arrived.notify_all();
}

std::vector<std::string> StubDaemon::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::vector<std::string> StubDaemon::waitForLines(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived.wait_for(lock, timeout, [&] { return m_lines.size() >= count || m_outputClosed; });
    return m_lines;
}

std::string StubDaemon::errors() const
{
    return ReadFile(m_errorFile);
}

void StubDaemon::reap(int waitStatus)
{
    m_exitStatus = ExitStatusOf(waitStatus);
    m_pid = -1;
    // The pipe reaches end of file once the child is gone.
    if (m_reader.joinable())
        m_reader.join();
}

int StubDaemon::waitForExit(std::chrono::milliseconds timeout)
{
    if (m_pid < 0)
        return m_exitStatus;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int waitStatus = 0;
        pid_t done = waitpid(m_pid, &waitStatus, WNOHANG);
        if (done == m_pid) {
            reap(waitStatus);
            return m_exitStatus;
        }
        if (done < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int StubDaemon::stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int waitStatus = 0;
        while (waitpid(m_pid, &waitStatus, 0) < 0 && errno == EINTR) {
        }
        reap(waitStatus);
    }
    if (m_reader.joinable())
        m_reader.join();
    return m_exitStatus;
}

} // namespace testsupport
