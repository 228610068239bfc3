// Checks that an action throws one of the framework's exception classes with
// the expected message and code.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace testsupport {

// Expects `action` to throw exception class E with this message and code.
template <class E>
void ExpectThrow(const std::function<void()> &action, const std::string &message, int rc)
{
    try {
        action();
        ADD_FAILURE() << "nothing thrown, expected: " << message;
    } catch (const E &e) {
        EXPECT_EQ(message, e.what());
        EXPECT_EQ(rc, e.rc());
    }
}

} // namespace testsupport
