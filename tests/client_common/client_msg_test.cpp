#include "client_common/client_msg.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const MsgTypeTable *Table()
{
    return GetMessageTable();
}

// Assembles expected wire bytes in host byte order.
class Wire {
public:
    Wire &u8(unsigned value)
    {
        m_bytes.push_back(static_cast<unsigned char>(value));
        return *this;
    }
    Wire &u16(uint16_t value) { return raw(&value, sizeof value); }
    Wire &u32(uint32_t value) { return raw(&value, sizeof value); }
    Wire &u64(uint64_t value) { return raw(&value, sizeof value); }
    Wire &text(const std::string &value) { return raw(value.data(), value.size()); }
    // Length-prefixed item without a wire type byte.
    Wire &item(const std::string &value) { return u32(static_cast<uint32_t>(value.size())).text(value); }
    Wire &nullItem() { return u32(0xFFFFFFFFu); }
    Wire &header() { return raw("\0\0\0\0\0\0\0\0", 8); }
    Wire &raw(const void *data, size_t n)
    {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        m_bytes.insert(m_bytes.end(), p, p + n);
        return *this;
    }
    const Bytes &bytes() const { return m_bytes; }

private:
    Bytes m_bytes;
};

struct MsgDeleter {
    void operator()(ClientMsg *msg) const { MsgFree(msg); }
};
using MsgPtr = std::unique_ptr<ClientMsg, MsgDeleter>;

MsgPtr NewMsg(uint32_t type)
{
    int status = -1;
    MsgPtr msg(NewClientMsg(type, Table(), LRPC2_HEADER_SIZE, &status));
    EXPECT_EQ(status, MSG_OK);
    EXPECT_NE(msg, nullptr);
    return msg;
}

Bytes FrameOf(ClientMsg *msg)
{
    unsigned char *frame = nullptr;
    size_t length = 0;
    EXPECT_EQ(MsgGetFrame(msg, &frame, &length), MSG_OK);
    return frame != nullptr ? Bytes(frame, frame + length) : Bytes();
}

// A received copy of a frame, as the transport hands it over.
MsgPtr Receive(const Bytes &frame, int *status = nullptr)
{
    int result = -1;
    MsgPtr msg(MsgFromFrame(const_cast<unsigned char *>(frame.data()), frame.size(), 1, Table(),
                            LRPC2_HEADER_SIZE, &result));
    if (status != nullptr)
        *status = result;
    return msg;
}

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

TEST(ClientMsg, ReadsBackEveryParameterItWrote)
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

TEST(ClientMsg, NullStringArrayElementReadsAsEmptyInTheSimpleForm)
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

TEST(ClientMsg, ReaderOfAnotherTypeLeavesThePositionUnchanged)
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

TEST(ClientMsg, ReadsRunsOfIntsAndBoolsAtOnce)
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

Bytes Body(uint16_t type, const Bytes &parameters)
{
    Bytes frame = Wire().header().u16(type).bytes();
    frame.insert(frame.end(), parameters.begin(), parameters.end());
    return frame;
}

TEST(ClientMsg, AcceptsWellFormedFrames)
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

TEST(ClientMsg, RejectsMalformedFrames)
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

TEST(ClientMsg, ReceivedFrameIsTakenOverOrCopied)
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

TEST(ClientMsg, UnknownReceivedTypeHasNeitherFlag)
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

TEST(ClientMsg, PairOfTwoNullsOnTheWireIsRefusedWholly)
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
