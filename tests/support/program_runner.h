// Runs a program of the build tree as a real child process, with changes to
// the environment the test process passes on (the preloaded syslog shim and
// its capture file included), and collects its output and exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Environment changes: a name mapped to its new value; an empty optional-like
// marker (kUnset) removes the variable.
using EnvChanges = std::map<std::string, std::string>;
extern const char kUnset[];

struct ChildResult {
    int exitStatus = -1; // 128 + signal when killed, -1 when it did not end in time
    std::string output;  // standard output and standard error together
};

class ChildProgram {
public:
    // Starts argv[0] with argv; throws std::runtime_error when it cannot start.
    ChildProgram(const std::vector<std::string> &argv, const EnvChanges &env = {});
    ~ChildProgram();
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    pid_t pid() const { return m_pid; }
    // Waits for the end (killing the child after timeout) and returns the result.
    ChildResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    pid_t m_pid = -1;
    int m_output = -1;
    bool m_done = false;
    ChildResult m_result;
};

// Starts, waits, returns the result.
ChildResult RunProgram(const std::vector<std::string> &argv, const EnvChanges &env = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The command's test twin in the build tree.
std::string TwinPath();

} // namespace testsupport
