#include "support/forked_steps.h"

#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

int RunInChild(const std::function<int()> &steps)
{
    pid_t child = fork();
    if (child == 0)
        _exit(steps());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kChildCrashed;
}

int RunAsNobody(const std::function<int()> &check)
{
    return RunInChild([&check] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 100;
        return check();
    });
}

} // namespace testsupport
