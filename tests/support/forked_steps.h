// Runs steps of a test in a forked copy of the test process (no new
// program: program_runner.h starts those), for steps that must run in a
// process of their own: they change limits, signal dispositions or the user
// identity, which would leak into later tests.
#pragma once

#include <functional>

namespace testsupport {

// Exit status of a child that did not exit normally (killed by a signal).
const int kChildCrashed = 200;

// Runs `steps` in a forked child and returns the child's exit status: what
// `steps` returned (0 = passed), or kChildCrashed.
int RunInChild(const std::function<int()> &steps);

// As RunInChild, with the identity of "nobody", where permissions are
// enforced even when the tests run as root; 100 when the child cannot take
// that identity.
int RunAsNobody(const std::function<int()> &check);

} // namespace testsupport
