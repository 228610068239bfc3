#include "client_common/lrpc2_status.h"

#include <gtest/gtest.h>

namespace {

TEST(LRPC2StatusText, GivesAFixedTextForEachCodeFrom400To416)
{
    for (int code = 400; code <= 416; ++code)
        EXPECT_NE(LRPC2StatusText(code), nullptr) << code;
    EXPECT_STREQ(LRPC2StatusText(400), "Socket path does not exist");
    EXPECT_STREQ(LRPC2StatusText(404), "Socket closed");
    EXPECT_STREQ(LRPC2StatusText(408), "Timeout during operation");
    EXPECT_STREQ(LRPC2StatusText(413),
                 "Bad magic number in communication, potential network or byte order issue");
    EXPECT_STREQ(LRPC2StatusText(416), "File operation error");
}

TEST(LRPC2StatusText, GivesNoTextOutsideItsRange)
{
    for (int code : {0, 1, 205, 399, 417, -400})
        EXPECT_EQ(LRPC2StatusText(code), nullptr) << code;
}

}  // namespace
