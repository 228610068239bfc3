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

TEST(ClientMsg, EmptyMessageIsHeaderTypeAndEndMarker)
{
    MsgPtr msg = NewMsg(100);
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    EXPECT_EQ(FrameOf(msg.get()), Wire().header().u16(100).u8(0).bytes());
    EXPECT_EQ(FrameOf(msg.get()).size(), 11u);
}

TEST(ClientMsg, RefusesTypesMissingFromTheTable)
{
    for (uint32_t type : {106u, 713u, 1201u, 0x10000u + 100u}) {
        int status = -1;
        EXPECT_EQ(NewClientMsg(type, Table(), 8, &status), nullptr) << type;
        EXPECT_EQ(status, MSG_ERR_INVALID) << type;
    }
    int status = -1;
    EXPECT_EQ(NewClientMsg(100, nullptr, 8, &status), nullptr);
    EXPECT_EQ(status, MSG_ERR_INVALID);
}

TEST(ClientMsg, EncodesEveryParameterByteForByte)
{
    const struct {
        const char *name;
        std::function<void(ClientMsg *)> build;
        Bytes body;  // after the type, WIRE_END included
    } cases[] = {
        {"bool true", [](ClientMsg *m) { EXPECT_EQ(MsgAddBool(m, 42), 0); },
         Wire().u8(1).u8(1).u8(0).bytes()},
        {"bool false", [](ClientMsg *m) { EXPECT_EQ(MsgAddBool(m, 0), 0); },
         Wire().u8(1).u8(0).u8(0).bytes()},
        {"int32", [](ClientMsg *m) { EXPECT_EQ(MsgAddInt32(m, -2), 0); },
         Wire().u8(2).u32(0xFFFFFFFEu).u8(0).bytes()},
        {"uint32", [](ClientMsg *m) { EXPECT_EQ(MsgAddUInt32(m, 7), 0); },
         Wire().u8(3).u32(7).u8(0).bytes()},
        {"string", [](ClientMsg *m) { EXPECT_EQ(MsgAddString(m, "abc"), 0); },
         Wire().u8(4).item("abc").u8(0).bytes()},
        {"null string", [](ClientMsg *m) { EXPECT_EQ(MsgAddString(m, nullptr), 0); },
         Wire().u8(4).nullItem().u8(0).bytes()},
        {"empty string", [](ClientMsg *m) { EXPECT_EQ(MsgAddString(m, ""), 0); },
         Wire().u8(4).u32(0).u8(0).bytes()},
        {"password", [](ClientMsg *m) { EXPECT_EQ(MsgAddPassword(m, "pw"), 0); },
         Wire().u8(5).item("pw").u8(0).bytes()},
        {"null password", [](ClientMsg *m) { EXPECT_EQ(MsgAddPassword(m, nullptr), 0); },
         Wire().u8(5).nullItem().u8(0).bytes()},
        {"blob", [](ClientMsg *m) { EXPECT_EQ(MsgAddBlob(m, "\x01\xab\xff", 3), 0); },
         Wire().u8(6).u32(3).u8(0x01).u8(0xab).u8(0xff).u8(0).bytes()},
        {"empty blob", [](ClientMsg *m) { EXPECT_EQ(MsgAddBlob(m, "x", 0), 0); },
         Wire().u8(6).u32(0).u8(0).bytes()},
        {"null blob", [](ClientMsg *m) { EXPECT_EQ(MsgAddBlob(m, nullptr, 5), 0); },
         Wire().u8(6).nullItem().u8(0).bytes()},
        {"string array closed by the next parameter",
         [](ClientMsg *m) {
             EXPECT_EQ(MsgBeginStringArray(m), 0);
             EXPECT_EQ(MsgAddArrayString(m, "a"), 0);
             EXPECT_EQ(MsgAddArrayString(m, nullptr), 0);
             EXPECT_EQ(MsgAddUInt32(m, 7), 0);
         },
         Wire().u8(7).u32(2).item("a").u32(0).u8(3).u32(7).u8(0).bytes()},
        {"string array closed by completion",
         [](ClientMsg *m) {
             EXPECT_EQ(MsgBeginStringArray(m), 0);
             EXPECT_EQ(MsgAddArrayStringLen(m, "xyz", 2), 0);
             EXPECT_EQ(MsgAddArrayStringLen(m, "xyz", 0), 0);
             EXPECT_EQ(MsgAddArrayStringLen(m, nullptr, 3), 0);
         },
         Wire().u8(7).u32(3).item("xy").nullItem().nullItem().u8(0).bytes()},
        {"empty string array",
         [](ClientMsg *m) {
             EXPECT_EQ(MsgBeginStringArray(m), 0);
             EXPECT_EQ(MsgBeginStringArray(m), 0);
         },
         Wire().u8(7).u32(0).u8(7).u32(0).u8(0).bytes()},
        {"key/value array",
         [](ClientMsg *m) {
             EXPECT_EQ(MsgBeginKeyValueArray(m), 0);
             EXPECT_EQ(MsgAddKeyValue(m, "k", "v"), 0);
             EXPECT_EQ(MsgAddKeyValue(m, nullptr, "x"), 0);
             EXPECT_EQ(MsgAddKeyValue(m, "y", nullptr), 0);
         },
         Wire().u8(8).u32(3).item("k").item("v").nullItem().item("x").item("y").nullItem().u8(0).bytes()},
        {"whole string array",
         [](ClientMsg *m) {
             const char *const list[] = {"one", "", "three", nullptr};
             EXPECT_EQ(MsgAddStringArray(m, list), 0);
         },
         Wire().u8(7).u32(3).item("one").item("").item("three").u8(0).bytes()},
        {"whole key/value array",
         [](ClientMsg *m) {
             const MsgKeyValue pairs[] = {{(char *)"a", (char *)"1"}, {nullptr, (char *)"2"}, {nullptr, nullptr}};
             EXPECT_EQ(MsgAddKeyValueArray(m, pairs), 0);
         },
         Wire().u8(8).u32(2).item("a").item("1").nullItem().item("2").u8(0).bytes()},
        {"whole array closes an open one",
         [](ClientMsg *m) {
             EXPECT_EQ(MsgBeginKeyValueArray(m), 0);
             EXPECT_EQ(MsgAddKeyValue(m, "k", "v"), 0);
             const char *const list[] = {nullptr};
             EXPECT_EQ(MsgAddStringArray(m, list), 0);
         },
         Wire().u8(8).u32(1).item("k").item("v").u8(7).u32(0).u8(0).bytes()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MsgPtr msg = NewMsg(100);
        c.build(msg.get());
        ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
        Bytes expected = Wire().header().u16(100).bytes();
        expected.insert(expected.end(), c.body.begin(), c.body.end());
        EXPECT_EQ(FrameOf(msg.get()), expected);
    }
}

// The command's own request, in the byte layout the daemon expects.
TEST(ClientMsg, AuditTrailEventMatchesTheDaemonsLayout)
{
    MsgPtr msg = NewMsg(MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT);
    ClientMsg *m = msg.get();
    const uint64_t processId = 0x1234;
    const uint32_t text = 8, end = 0;
    EXPECT_EQ(MsgAddString(m, "Norvalex Suite"), 0);
    EXPECT_EQ(MsgAddString(m, "Norvalex Commands"), 0);
    EXPECT_EQ(MsgAddUInt32(m, 200), 0);
    EXPECT_EQ(MsgAddBlob(m, nullptr, 0), 0);
    EXPECT_EQ(MsgAddString(m, nullptr), 0);
    EXPECT_EQ(MsgAddString(m, "ann"), 0);
    EXPECT_EQ(MsgAddBlob(m, nullptr, 0), 0);
    EXPECT_EQ(MsgAddString(m, nullptr), 0);
    EXPECT_EQ(MsgAddBlob(m, &processId, sizeof processId), 0);
    EXPECT_EQ(MsgAddUInt32(m, text), 0);
    EXPECT_EQ(MsgAddUInt32(m, 2), 0);
    EXPECT_EQ(MsgAddBlob(m, "x", 2), 0);
    EXPECT_EQ(MsgAddUInt32(m, text), 0);
    EXPECT_EQ(MsgAddUInt32(m, 5), 0);
    EXPECT_EQ(MsgAddBlob(m, "none", 5), 0);
    EXPECT_EQ(MsgAddUInt32(m, end), 0);
    ASSERT_EQ(MsgComplete(m), MSG_OK);

    const Bytes expected = Wire()
                               .header()
                               .u8(0xB0).u8(0x04)
                               .u8(4).item("Norvalex Suite")
                               .u8(4).item("Norvalex Commands")
                               .u8(3).u32(200)
                               .u8(6).nullItem()
                               .u8(4).nullItem()
                               .u8(4).item("ann")
                               .u8(6).nullItem()
                               .u8(4).nullItem()
                               .u8(6).u32(8).u8(0x34).u8(0x12).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0)
                               .u8(3).u32(8).u8(3).u32(2).u8(6).u32(2).u8('x').u8(0)
                               .u8(3).u32(8).u8(3).u32(5).u8(6).u32(5).text("none").u8(0)
                               .u8(3).u32(0)
                               .u8(0)
                               .bytes();
    EXPECT_EQ(FrameOf(m), expected);
    int oneWay = -1;
    EXPECT_EQ(MsgIsOneWay(m, &oneWay), MSG_OK);
    EXPECT_EQ(oneWay, 1);
}

TEST(ClientMsg, LogEntriesCarryEightParametersAndAClosingEntry)
{
    MsgPtr msg = NewMsg(MSG_TYPE_CONTROL_LOG2);
    EXPECT_EQ(AddLogEntry(msg.get(), 1700000000u, "trailsend", 4242, 3, "at_proxy_lrpc2", 120,
                          "Send", "hello"),
              MSG_OK);
    EXPECT_EQ(AddLogEntry(msg.get(), 0, nullptr, 0, 0, nullptr, 0, nullptr, nullptr), MSG_OK);
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    const Bytes expected = Wire()
                               .header()
                               .u16(107)
                               .u8(3).u32(1700000000u).u8(4).item("trailsend").u8(2).u32(4242)
                               .u8(2).u32(3).u8(4).item("at_proxy_lrpc2").u8(2).u32(120)
                               .u8(4).item("Send").u8(4).item("hello")
                               .u8(3).u32(0).u8(4).nullItem().u8(2).u32(0).u8(2).u32(0)
                               .u8(4).nullItem().u8(2).u32(0).u8(4).nullItem().u8(4).nullItem()
                               .u8(0)
                               .bytes();
    EXPECT_EQ(FrameOf(msg.get()), expected);
}

TEST(ClientMsg, LogEntryStopsAtTheFirstFailingAppend)
{
    MsgPtr msg = NewMsg(MSG_TYPE_CONTROL_LOG2);
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    EXPECT_EQ(AddLogEntry(msg.get(), 1, "p", 2, 3, "s", 4, "o", "t"), MSG_ERR_AT_END);
    EXPECT_EQ(AddLogEntry(nullptr, 1, "p", 2, 3, "s", 4, "o", "t"), MSG_ERR_INVALID);
}

TEST(ClientMsg, MisplacedArrayElementBreaksTheMessage)
{
    const struct {
        const char *name;
        std::function<int(ClientMsg *)> misuse;
        int status;
    } cases[] = {
        {"array string with no array open", [](ClientMsg *m) { return MsgAddArrayString(m, "a"); },
         MSG_ERR_UNEXPECTED_DATA},
        {"array string into a key/value array",
         [](ClientMsg *m) {
             MsgBeginKeyValueArray(m);
             return MsgAddArrayStringLen(m, "a", 1);
         },
         MSG_ERR_UNEXPECTED_DATA},
        {"pair with no array open", [](ClientMsg *m) { return MsgAddKeyValue(m, "k", "v"); },
         MSG_ERR_UNEXPECTED_DATA},
        {"pair into a string array",
         [](ClientMsg *m) {
             MsgBeginStringArray(m);
             return MsgAddKeyValue(m, "k", "v");
         },
         MSG_ERR_UNEXPECTED_DATA},
        {"array closed by the next parameter",
         [](ClientMsg *m) {
             MsgBeginStringArray(m);
             MsgAddBool(m, 1);
             return MsgAddArrayString(m, "late");
         },
         MSG_ERR_UNEXPECTED_DATA},
        {"pair of two nulls",
         [](ClientMsg *m) {
             MsgBeginKeyValueArray(m);
             return MsgAddKeyValue(m, nullptr, nullptr);
         },
         MSG_ERR_WRONG_TYPE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MsgPtr msg = NewMsg(100);
        EXPECT_EQ(c.misuse(msg.get()), c.status);
        EXPECT_EQ(msg->state, MSG_STATE_BROKEN);
        EXPECT_EQ(MsgAddUInt32(msg.get(), 1), MSG_ERR_INVALID);
        EXPECT_EQ(MsgAddArrayString(msg.get(), "a"), MSG_ERR_INVALID);
        EXPECT_EQ(MsgComplete(msg.get()), MSG_ERR_INVALID);
        unsigned char *frame;
        size_t length;
        EXPECT_EQ(MsgGetFrame(msg.get(), &frame, &length), MSG_ERR_INVALID);
        uint16_t type;
        EXPECT_EQ(MsgGetType(msg.get(), &type), MSG_ERR_INVALID);
    }
}

TEST(ClientMsg, WholeArrayWithoutAListLeavesTheMessageIntact)
{
    MsgPtr msg = NewMsg(100);
    EXPECT_EQ(MsgBeginStringArray(msg.get()), MSG_OK);
    EXPECT_EQ(MsgAddArrayString(msg.get(), "a"), MSG_OK);
    EXPECT_EQ(MsgAddStringArray(msg.get(), nullptr), MSG_ERR_UNEXPECTED_DATA);
    EXPECT_EQ(MsgAddKeyValueArray(msg.get(), nullptr), MSG_ERR_UNEXPECTED_DATA);
    // The open array is still open: the refused adds did not close it.
    EXPECT_EQ(MsgAddArrayString(msg.get(), "b"), MSG_OK);
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    EXPECT_EQ(FrameOf(msg.get()),
              Wire().header().u16(100).u8(7).u32(2).item("a").item("b").u8(0).bytes());
}

TEST(ClientMsg, OperationsAnswerForTheStateTheMessageIsIn)
{
    MsgPtr msg = NewMsg(702);
    unsigned char *frame;
    size_t length;
    uint16_t type;
    int flag;
    EXPECT_EQ(MsgGetFrame(msg.get(), &frame, &length), MSG_ERR_NOT_COMPLETED);
    EXPECT_EQ(MsgGetType(msg.get(), &type), MSG_ERR_INVALID);
    EXPECT_EQ(MsgIsOneWay(msg.get(), &flag), MSG_ERR_INVALID);
    EXPECT_EQ(MsgPeekType(msg.get(), &flag), MSG_ERR_INVALID);
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    EXPECT_EQ(MsgComplete(msg.get()), MSG_ERR_AT_END);
    EXPECT_EQ(MsgAddString(msg.get(), "late"), MSG_ERR_AT_END);
    EXPECT_EQ(MsgBeginStringArray(msg.get()), MSG_ERR_AT_END);
    EXPECT_EQ(MsgAddArrayString(msg.get(), "late"), MSG_ERR_AT_END);
    EXPECT_EQ(msg->state, MSG_STATE_READABLE);
    EXPECT_EQ(MsgGetType(msg.get(), &type), MSG_OK);
    EXPECT_EQ(type, 702);
    EXPECT_EQ(MsgIsOneWay(msg.get(), &flag), MSG_OK);
    EXPECT_EQ(flag, 0);

    EXPECT_EQ(MsgGetFrame(nullptr, &frame, &length), MSG_ERR_INVALID);
    EXPECT_EQ(MsgGetType(nullptr, &type), MSG_ERR_INVALID);
    EXPECT_EQ(MsgIsOneWay(nullptr, &flag), MSG_ERR_INVALID);
    EXPECT_EQ(MsgComplete(nullptr), MSG_ERR_INVALID);
    EXPECT_EQ(MsgAddBool(nullptr, 1), MSG_ERR_INVALID);
    MsgFree(nullptr);
}

TEST(ClientMsg, ComposesLargeMessagesAcrossBufferGrowth)
{
    MsgPtr msg = NewMsg(100);
    const std::string big(100000, 'b');
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(MsgAddString(msg.get(), big.c_str()), MSG_OK);
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    MsgPtr received = Receive(FrameOf(msg.get()));
    ASSERT_NE(received, nullptr);
    for (int i = 0; i < 50; ++i) {
        char *s = nullptr;
        ASSERT_EQ(MsgReadString(received.get(), &s), MSG_OK);
        EXPECT_EQ(s, big);
        MsgFreeString(s, 0);
    }
}

// A frame is built in a block inside the message record and moves to the
// heap when it outgrows it. Wherever that happens, among any kind of
// parameter, the bytes must come out the same.
TEST(ClientMsg, EncodesTheSameWhereverTheFrameOutgrowsItsFirstBlock)
{
    for (size_t pad = MSG_FIRST_BLOCK_SIZE - 70; pad <= MSG_FIRST_BLOCK_SIZE; ++pad) {
        SCOPED_TRACE(pad);
        const std::string filler(pad, 'f');
        MsgPtr msg = NewMsg(100);
        ASSERT_EQ(MsgAddString(msg.get(), filler.c_str()), MSG_OK);
        ASSERT_EQ(MsgAddUInt32(msg.get(), 7), MSG_OK);
        ASSERT_EQ(MsgAddBool(msg.get(), 1), MSG_OK);
        ASSERT_EQ(MsgAddBlob(msg.get(), "xyz", 3), MSG_OK);
        ASSERT_EQ(MsgBeginStringArray(msg.get()), MSG_OK);
        ASSERT_EQ(MsgAddArrayString(msg.get(), "a"), MSG_OK);
        ASSERT_EQ(MsgAddArrayString(msg.get(), "bc"), MSG_OK);
        ASSERT_EQ(MsgAddString(msg.get(), nullptr), MSG_OK);
        ASSERT_EQ(MsgAddInt32(msg.get(), -1), MSG_OK);
        ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
        EXPECT_EQ(FrameOf(msg.get()), Wire()
                                          .header()
                                          .u16(100)
                                          .u8(4)
                                          .item(filler)
                                          .u8(3)
                                          .u32(7)
                                          .u8(1)
                                          .u8(1)
                                          .u8(6)
                                          .item("xyz")
                                          .u8(7)
                                          .u32(2)
                                          .item("a")
                                          .item("bc")
                                          .u8(4)
                                          .nullItem()
                                          .u8(2)
                                          .u32(0xFFFFFFFFu)
                                          .u8(0)
                                          .bytes());
    }
}

TEST(MsgStatusText, GivesTheTextOfEveryCodecStatus)
{
    const struct {
        int status;
        const char *text;
    } cases[] = {
        {200, "Out of memory"},          {201, "Unexpected data"},
        {202, "Incorrect data type"},    {203, "At end of message"},
        {204, "Message not completed"},  {205, "Message invalid"},
        {0, nullptr},                    {199, nullptr},
        {206, nullptr},                  {400, nullptr},
    };
    for (const auto &c : cases) {
        if (c.text == nullptr)
            EXPECT_EQ(MsgStatusText(c.status), nullptr) << c.status;
        else
            EXPECT_STREQ(MsgStatusText(c.status), c.text) << c.status;
    }
}


}  // namespace
