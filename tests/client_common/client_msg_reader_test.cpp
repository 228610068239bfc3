#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "support/lrpc2_wire.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

TEST(ClientMsgReader, ReadsBackEveryParameterItWrote)
{
    MsgPtr msg = NewMsg(100);
    ClientMsg *m = msg.get();
    const char *const list[] = {"x", "", nullptr};
    const MsgKeyValue pairs[] = {{(char *)"k", nullptr}, {nullptr, nullptr}};
    ASSERT_EQ(MsgAddBool(m, 1), 0);
    ASSERT_EQ(MsgAddInt32(m, INT32_MIN), 0);
    ASSERT_EQ(MsgAddUInt32(m, UINT32_MAX), 0);
    ASSERT_EQ(MsgAddString(m, "str"), 0);
    ASSERT_EQ(MsgAddString(m, nullptr), 0);
    ASSERT_EQ(MsgAddPassword(m, "secret"), 0);
    ASSERT_EQ(MsgAddBlob(m, "\0\1\2", 3), 0);
    ASSERT_EQ(MsgAddBlob(m, "", 0), 0);
    ASSERT_EQ(MsgAddBlob(m, nullptr, 0), 0);
    ASSERT_EQ(MsgAddStringArray(m, list), 0);
    ASSERT_EQ(MsgBeginStringArray(m), 0);
    ASSERT_EQ(MsgAddArrayString(m, "a"), 0);
    ASSERT_EQ(MsgAddArrayStringLen(m, nullptr, 0), 0);
    ASSERT_EQ(MsgAddKeyValueArray(m, pairs), 0);
    ASSERT_EQ(MsgComplete(m), 0);

    // Read the received copy, as the daemon side would.
    MsgPtr received = Receive(FrameOf(m));
    ASSERT_NE(received, nullptr);
    for (ClientMsg *r : {m, received.get()}) {
        int flag = -1;
        int32_t i32 = 0;
        uint32_t u32 = 0;
        char *s = nullptr;
        void *blob = nullptr;
        size_t blobLength = 99;
        char **strings = nullptr;
        MsgLengthString *withLengths = nullptr;
        MsgKeyValue *kv = nullptr;
        EXPECT_EQ(MsgPeekType(r, &flag), 0);
        EXPECT_EQ(flag, WIRE_BOOL);
        EXPECT_EQ(MsgReadBool(r, &flag), 0);
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(MsgReadInt32(r, &i32), 0);
        EXPECT_EQ(i32, INT32_MIN);
        EXPECT_EQ(MsgReadUInt32(r, &u32), 0);
        EXPECT_EQ(u32, UINT32_MAX);
        EXPECT_EQ(MsgReadString(r, &s), 0);
        EXPECT_STREQ(s, "str");
        MsgFreeString(s, 0);
        s = reinterpret_cast<char *>(1);
        EXPECT_EQ(MsgReadString(r, &s), 0);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(MsgReadPassword(r, &s), 0);
        EXPECT_STREQ(s, "secret");
        MsgFreeString(s, 1);
        EXPECT_EQ(MsgReadBlob(r, &blob, &blobLength), 0);
        ASSERT_EQ(blobLength, 3u);
        EXPECT_EQ(memcmp(blob, "\0\1\2", 3), 0);
        MsgFreeBlob(blob, blobLength, 1);
        EXPECT_EQ(MsgReadBlob(r, &blob, &blobLength), 0);
        EXPECT_NE(blob, nullptr);
        EXPECT_EQ(blobLength, 0u);
        MsgFreeBlob(blob, blobLength, 0);
        EXPECT_EQ(MsgReadBlob(r, &blob, &blobLength), 0);
        EXPECT_EQ(blob, nullptr);
        EXPECT_EQ(blobLength, 0u);
        ASSERT_EQ(MsgReadStringArray(r, &strings), 0);
        EXPECT_STREQ(strings[0], "x");
        EXPECT_STREQ(strings[1], "");
        EXPECT_EQ(strings[2], nullptr);
        MsgFreeStringArray(strings, 1);
        ASSERT_EQ(MsgReadStringArrayWithLengths(r, &withLengths), 0);
        EXPECT_EQ(withLengths[0].length, 1u);
        EXPECT_STREQ(withLengths[0].string, "a");
        EXPECT_EQ(withLengths[1].length, MSG_NULL_LENGTH);
        EXPECT_EQ(withLengths[1].string, nullptr);
        EXPECT_EQ(withLengths[2].length, 0u);
        EXPECT_EQ(withLengths[2].string, nullptr);
        MsgFreeLengthStringArray(withLengths, 0);
        ASSERT_EQ(MsgReadKeyValueArray(r, &kv), 0);
        EXPECT_STREQ(kv[0].key, "k");
        EXPECT_EQ(kv[0].value, nullptr);
        EXPECT_EQ(kv[1].key, nullptr);
        EXPECT_EQ(kv[1].value, nullptr);
        MsgFreeKeyValueArray(kv, 0);
        EXPECT_EQ(MsgPeekType(r, &flag), 0);
        EXPECT_EQ(flag, WIRE_END);
        EXPECT_EQ(MsgReadBool(r, &flag), MSG_ERR_AT_END);
    }
}

TEST(ClientMsgReader, NullStringArrayElementReadsAsEmptyInTheSimpleForm)
{
    MsgPtr msg = NewMsg(100);
    ASSERT_EQ(MsgBeginStringArray(msg.get()), 0);
    ASSERT_EQ(MsgAddArrayStringLen(msg.get(), nullptr, 0), 0);
    ASSERT_EQ(MsgAddArrayString(msg.get(), "after"), 0);
    ASSERT_EQ(MsgComplete(msg.get()), 0);
    char **strings = nullptr;
    ASSERT_EQ(MsgReadStringArray(msg.get(), &strings), 0);
    EXPECT_STREQ(strings[0], "");
    EXPECT_STREQ(strings[1], "after");
    EXPECT_EQ(strings[2], nullptr);
    MsgFreeStringArray(strings, 0);
}

TEST(ClientMsgReader, ReaderOfAnotherTypeLeavesThePositionUnchanged)
{
    MsgPtr msg = NewMsg(100);
    ASSERT_EQ(MsgAddString(msg.get(), "abc"), 0);
    ASSERT_EQ(MsgComplete(msg.get()), 0);
    ClientMsg *m = msg.get();
    int i = 0;
    int32_t i32;
    uint32_t u32;
    char *s = nullptr;
    void *blob = nullptr;
    size_t length;
    char **strings = nullptr;
    MsgLengthString *withLengths = nullptr;
    MsgKeyValue *kv = nullptr;
    int *values = nullptr;
    const std::vector<std::pair<const char *, std::function<int()>>> readers = {
        {"bool", [&] { return MsgReadBool(m, &i); }},
        {"int32", [&] { return MsgReadInt32(m, &i32); }},
        {"uint32", [&] { return MsgReadUInt32(m, &u32); }},
        {"password", [&] { return MsgReadPassword(m, &s); }},
        {"blob", [&] { return MsgReadBlob(m, &blob, &length); }},
        {"string array", [&] { return MsgReadStringArray(m, &strings); }},
        {"string array with lengths", [&] { return MsgReadStringArrayWithLengths(m, &withLengths); }},
        {"key/value array", [&] { return MsgReadKeyValueArray(m, &kv); }},
        {"int32s", [&] { return MsgReadInt32s(m, 1, &values); }},
        {"bools", [&] { return MsgReadBools(m, 1, &values); }},
    };
    for (const auto &reader : readers) {
        SCOPED_TRACE(reader.first);
        EXPECT_EQ(reader.second(), MSG_ERR_WRONG_TYPE);
        EXPECT_EQ(values, nullptr);
    }
    ASSERT_EQ(MsgReadString(m, &s), 0);
    EXPECT_STREQ(s, "abc");
    MsgFreeString(s, 0);
    // At the end marker every reader answers "At end of message".
    for (const auto &reader : readers) {
        SCOPED_TRACE(reader.first);
        EXPECT_EQ(reader.second(), MSG_ERR_AT_END);
    }
    EXPECT_EQ(MsgReadString(m, &s), MSG_ERR_AT_END);
    // Readers refuse messages that are not readable.
    MsgPtr building = NewMsg(100);
    m = building.get();
    for (const auto &reader : readers) {
        SCOPED_TRACE(reader.first);
        EXPECT_EQ(reader.second(), MSG_ERR_INVALID);
    }
    m = nullptr;
    for (const auto &reader : readers) {
        SCOPED_TRACE(reader.first);
        EXPECT_EQ(reader.second(), MSG_ERR_INVALID);
    }
}

TEST(ClientMsgReader, ReadsRunsOfIntsAndBoolsAtOnce)
{
    MsgPtr msg = NewMsg(100);
    ASSERT_EQ(MsgAddInt32(msg.get(), 5), 0);
    ASSERT_EQ(MsgAddInt32(msg.get(), -6), 0);
    ASSERT_EQ(MsgAddBool(msg.get(), 1), 0);
    ASSERT_EQ(MsgAddBool(msg.get(), 0), 0);
    ASSERT_EQ(MsgComplete(msg.get()), 0);
    int *values = reinterpret_cast<int *>(1);
    EXPECT_EQ(MsgReadInt32s(msg.get(), 0, &values), MSG_OK);
    EXPECT_EQ(values, nullptr);
    // Three int32 are not there: nothing is handed out and nothing is consumed.
    EXPECT_EQ(MsgReadInt32s(msg.get(), 3, &values), MSG_ERR_WRONG_TYPE);
    EXPECT_EQ(values, nullptr);
    ASSERT_EQ(MsgReadInt32s(msg.get(), 2, &values), MSG_OK);
    EXPECT_EQ(values[0], 5);
    EXPECT_EQ(values[1], -6);
    free(values);
    EXPECT_EQ(MsgReadBools(msg.get(), 3, &values), MSG_ERR_AT_END);
    ASSERT_EQ(MsgReadBools(msg.get(), 2, &values), MSG_OK);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[1], 0);
    free(values);
}

TEST(ClientMsgReader, AcceptsWellFormedFrames)
{
    const struct {
        const char *name;
        Bytes frame;
    } cases[] = {
        {"empty", Body(100, Wire().u8(0).bytes())},
        {"type missing from the table", Body(106, Wire().u8(3).u32(1).u8(0).bytes())},
        {"every wire type",
         Body(100, Wire().u8(1).u8(1).u8(2).u32(1).u8(3).u32(2).u8(4).item("s").u8(5).nullItem()
                       .u8(6).u32(0).u8(7).u32(2).item("a").nullItem().u8(8).u32(1).item("k")
                       .nullItem().u8(0).bytes())},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int status = -1;
        MsgPtr msg = Receive(c.frame, &status);
        EXPECT_EQ(status, MSG_OK);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(FrameOf(msg.get()), c.frame);
    }
}

TEST(ClientMsgReader, RejectsMalformedFrames)
{
    const struct {
        const char *name;
        Bytes frame;
    } cases[] = {
        {"nothing", Bytes()},
        {"shorter than its header", Bytes(5, 0)},
        {"header only", Wire().header().bytes()},
        {"one type byte", Wire().header().u8(100).bytes()},
        {"type without end marker", Body(100, Bytes())},
        {"no end marker", Body(100, Wire().u8(3).u32(1).bytes())},
        {"byte after the end marker", Body(100, Wire().u8(0).u8(0).bytes())},
        {"wire type 9", Body(100, Wire().u8(9).u8(0).bytes())},
        {"wire type 255", Body(100, Wire().u8(255).u8(0).bytes())},
        {"truncated bool", Body(100, Wire().u8(1).bytes())},
        {"truncated uint32", Body(100, Wire().u8(3).u8(1).u8(0).bytes())},
        {"truncated string length", Body(100, Wire().u8(4).u8(3).u8(0).bytes())},
        {"string longer than the frame", Body(100, Wire().u8(4).u32(3).text("ab").u8(0).bytes())},
        {"string running over the end marker", Body(100, Wire().u8(4).u32(3).text("ab").bytes())},
        {"huge blob", Body(100, Wire().u8(6).u32(0xFFFFFFFEu).u8(0).bytes())},
        {"array count beyond the frame", Body(100, Wire().u8(7).u32(3).item("a").u8(0).bytes())},
        {"huge array count", Body(100, Wire().u8(7).u32(0xFFFFFFFFu).u8(0).bytes())},
        {"key without value", Body(100, Wire().u8(8).u32(1).item("k").u8(0).bytes())},
        {"key/value count overflowing 32 bits",
         Body(100, Wire().u8(8).u32(0x80000000u).item("k").item("v").u8(0).bytes())},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int status = -1;
        EXPECT_EQ(Receive(c.frame, &status), nullptr);
        EXPECT_EQ(status, MSG_ERR_INVALID);
        // Without copying, a rejected frame stays the caller's.
        if (!c.frame.empty()) {
            unsigned char *bytes = static_cast<unsigned char *>(malloc(c.frame.size()));
            memcpy(bytes, c.frame.data(), c.frame.size());
            EXPECT_EQ(MsgFromFrame(bytes, c.frame.size(), 0, Table(), 8, &status), nullptr);
            EXPECT_EQ(status, MSG_ERR_INVALID);
            free(bytes);
        }
    }
}

TEST(ClientMsgReader, ReceivedFrameIsTakenOverOrCopied)
{
    const Bytes frame = Body(702, Wire().u8(5).item("pw").u8(0).bytes());
    unsigned char *owned = static_cast<unsigned char *>(malloc(frame.size()));
    memcpy(owned, frame.data(), frame.size());
    int status = -1;
    MsgPtr taken(MsgFromFrame(owned, frame.size(), 0, Table(), 8, &status));
    ASSERT_EQ(status, MSG_OK);
    unsigned char *bytes;
    size_t length;
    ASSERT_EQ(MsgGetFrame(taken.get(), &bytes, &length), MSG_OK);
    EXPECT_EQ(bytes, owned);
    EXPECT_EQ(taken->sensitive, 1);

    MsgPtr copied = Receive(frame, &status);
    ASSERT_EQ(status, MSG_OK);
    ASSERT_EQ(MsgGetFrame(copied.get(), &bytes, &length), MSG_OK);
    EXPECT_NE(bytes, frame.data());
    uint16_t type = 0;
    EXPECT_EQ(MsgGetType(copied.get(), &type), MSG_OK);
    EXPECT_EQ(type, 702);
    char *password = nullptr;
    EXPECT_EQ(MsgReadPassword(copied.get(), &password), MSG_OK);
    EXPECT_STREQ(password, "pw");
    MsgFreeString(password, 1);
}

TEST(ClientMsgReader, UnknownReceivedTypeHasNeitherFlag)
{
    int status = -1;
    MsgPtr msg = Receive(Body(106, Wire().u8(0).bytes()), &status);
    ASSERT_EQ(status, MSG_OK);
    int oneWay = -1;
    EXPECT_EQ(MsgIsOneWay(msg.get(), &oneWay), MSG_OK);
    EXPECT_EQ(oneWay, 0);
    EXPECT_EQ(msg->sensitive, 0);
    msg = Receive(Body(1200, Wire().u8(0).bytes()), &status);
    EXPECT_EQ(MsgIsOneWay(msg.get(), &oneWay), MSG_OK);
    EXPECT_EQ(oneWay, 1);
}

TEST(ClientMsgReader, PairOfTwoNullsOnTheWireIsRefusedWholly)
{
    const Bytes frame = Body(100, Wire().u8(8).u32(2).item("k").item("v").nullItem().nullItem()
                                      .u8(3).u32(9).u8(0).bytes());
    MsgPtr msg = Receive(frame);
    ASSERT_NE(msg, nullptr);
    MsgKeyValue *pairs = nullptr;
    EXPECT_EQ(MsgReadKeyValueArray(msg.get(), &pairs), MSG_ERR_WRONG_TYPE);
    EXPECT_EQ(pairs, nullptr);
    int wireType = -1;
    EXPECT_EQ(MsgPeekType(msg.get(), &wireType), MSG_OK);
    EXPECT_EQ(wireType, WIRE_KEY_VALUE_ARRAY);
}


}  // namespace
