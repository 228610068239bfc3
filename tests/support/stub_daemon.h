// Runs the stand-in daemon tools/dirsvcd-stub as a real child process for a
// test: on a socket in a fresh temporary folder (or at a given path), with the
// stub's command-line options. The constructor returns once the socket
// accepts connections; the stub's output lines (one a received message) are
// collected as they arrive; the destructor stops it.
//
//   testsupport::StubDaemon daemon({"--json"});
//   ... connect to daemon.socketPath() ...
//   auto lines = daemon.waitForLines(1);
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class TempDir;

class StubDaemon {
public:
    // Starts the stub on "daemon.sock" in a fresh temporary folder. Throws
    // std::runtime_error (with the stub's error output) when it does not
    // come up.
    explicit StubDaemon(const std::vector<std::string> &options = {});
    // Starts the stub on socketPath (any file already there is removed first).
    StubDaemon(const std::string &socketPath, const std::vector<std::string> &options);
    ~StubDaemon();
    StubDaemon(const StubDaemon &) = delete;
    StubDaemon &operator=(const StubDaemon &) = delete;

    // Where the stub program is expected in the build tree.
    static std::string programPath();

    const std::string &socketPath() const { return m_socketPath; }
    pid_t pid() const { return m_pid; }

    // The output lines received so far, without their newlines.
    std::vector<std::string> lines() const;
    // Waits until at least count lines have arrived (or the stub has ended,
    // or the time is up) and returns all lines so far.
    std::vector<std::string> waitForLines(size_t count,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // What the stub wrote to standard error so far.
    std::string errors() const;

    // Waits for the stub to end by itself (--count, --timeout, a malformed
    // frame). Returns its exit status (128 + signal when killed), or -1 when
    // it still runs after timeout.
    int waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends SIGTERM (if it still runs), waits for the end and returns the
    // exit status as waitForExit does. Further calls return the same status.
    int stop();

private:
    void start(const std::vector<std::string> &options);
    void readOutput(int fd);
    void reap(int waitStatus);

    std::unique_ptr<TempDir> m_dir;
    std::string m_socketPath;
    std::string m_errorFile;
    pid_t m_pid = -1;
    int m_exitStatus = -1;
    std::thread m_reader;

    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<std::string> m_lines;
    std::string m_partial;
    bool m_outputClosed = false;
};

} // namespace testsupport
