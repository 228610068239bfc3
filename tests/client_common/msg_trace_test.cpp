#include "client_common/client_msg_reader.h"
#include "client_common/msg_trace.h"
#include "support/client_handles.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using testsupport::MsgPtr;

namespace {

using Bytes = std::vector<unsigned char>;

std::string Render(const ClientMsg *msg)
{
    char *text = MsgToString(msg);
    EXPECT_NE(text, nullptr);
    std::string result = text != nullptr ? text : "";
    free(text);
    return result;
}

MsgPtr Build(uint32_t type, const std::function<void(ClientMsg *)> &build, bool complete)
{
    MsgPtr msg(NewClientMsg(type, GetMessageTable(), LRPC2_HEADER_SIZE, nullptr));
    EXPECT_NE(msg, nullptr);
    build(msg.get());
    if (complete) {
        EXPECT_EQ(MsgComplete(msg.get()), MSG_OK);
    }
    return msg;
}

std::string RenderBody(const Bytes &body)
{
    ByteBuffer out;
    ByteBufferInit(&out, 0);
    EXPECT_EQ(MsgBodyToString(&out, body.data(), body.size(), GetMessageTable(), 0, 0, 0), 1);
    std::string text(reinterpret_cast<const char *>(ByteBufferData(&out)), ByteBufferUsed(&out));
    ByteBufferRelease(&out, 0);
    return text;
}

Bytes U32(uint32_t value)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&value);
    return Bytes(p, p + 4);
}

Bytes Type(uint16_t value)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&value);
    return Bytes(p, p + 2);
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(MsgTrace, NullMessageRendersAsMsgZero)
{
    EXPECT_EQ(Render(nullptr), "Msg=0");
}

TEST(MsgTrace, RendersEveryParameterOfACompleteMessage)
{
    const struct {
        const char *name;
        uint32_t type;
        std::function<void(ClientMsg *)> build;
        const char *text;
    } cases[] = {
        {"empty", 100, [](ClientMsg *) {}, "ControlPing[]"},
        {"unnamed row", 105, [](ClientMsg *) {}, "105[]"},
        {"audit-trail example", 1200,
         [](ClientMsg *m) {
             MsgAddString(m, "Norvalex Suite");
             MsgAddString(m, nullptr);
             MsgAddUInt32(m, 200);
         },
         "ATProxySetAuditTrailEvent[\"Norvalex Suite\",STRING:0,u200]"},
        {"scalars", 100,
         [](ClientMsg *m) {
             MsgAddBool(m, 1);
             MsgAddBool(m, 0);
             MsgAddInt32(m, -5);
             MsgAddInt32(m, INT32_MIN);
             MsgAddUInt32(m, UINT32_MAX);
         },
         "ControlPing[True,False,-5,-2147483648,u4294967295]"},
        {"blobs", 100,
         [](ClientMsg *m) {
             MsgAddBlob(m, "\x01\xab\xff", 3);
             MsgAddBlob(m, "", 0);
             MsgAddBlob(m, nullptr, 0);
         },
         "ControlPing[BLOB:[3](01 ab ff),BLOB:[0](),BLOB:0]"},
        {"passwords", 702,
         [](ClientMsg *m) {
             MsgAddString(m, "ann");
             MsgAddPassword(m, "hunter2");
             MsgAddPassword(m, nullptr);
         },
         "PAMVerifyPassword[\"ann\",(password),PASSWORD:0]"},
        {"arrays", 100,
         [](ClientMsg *m) {
             MsgBeginStringArray(m);
             MsgAddArrayString(m, "a");
             MsgAddArrayStringLen(m, nullptr, 0);
             MsgBeginKeyValueArray(m);
             MsgAddKeyValue(m, "k", "v");
             MsgAddKeyValue(m, nullptr, "x");
             MsgBeginStringArray(m);
         },
         "ControlPing[ss(\"a\",STRING:0),kv((\"k\",\"v\"),(STRING:0,\"x\")),ss()]"},
        {"strings unescaped", 100, [](ClientMsg *m) { MsgAddString(m, "a\"b,c]"); },
         "ControlPing[\"a\"b,c]\"]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MsgPtr msg = Build(c.type, c.build, true);
        EXPECT_EQ(Render(msg.get()), c.text);
    }
}

TEST(MsgTrace, RendersMessagesUnderConstructionWithTheirOpenArray)
{
    const struct {
        const char *name;
        std::function<void(ClientMsg *)> build;
        const char *text;
    } cases[] = {
        {"nothing added", [](ClientMsg *) {}, "ControlPing[<incomplete>"},
        {"one parameter", [](ClientMsg *m) { MsgAddUInt32(m, 7); }, "ControlPing[u7<incomplete>"},
        {"open string array",
         [](ClientMsg *m) {
             MsgAddBool(m, 1);
             MsgBeginStringArray(m);
             MsgAddArrayString(m, "a");
             MsgAddArrayString(m, "b");
         },
         "ControlPing[True,ss(\"a\",\"b\")<incomplete>"},
        {"open key/value array",
         [](ClientMsg *m) {
             MsgBeginKeyValueArray(m);
             MsgAddKeyValue(m, "k", nullptr);
         },
         "ControlPing[kv((\"k\",STRING:0))<incomplete>"},
        {"closed array before an open one",
         [](ClientMsg *m) {
             MsgBeginStringArray(m);
             MsgAddArrayString(m, "x");
             MsgBeginStringArray(m);
         },
         "ControlPing[ss(\"x\"),ss()<incomplete>"},
        {"broken message",
         [](ClientMsg *m) {
             MsgAddString(m, "kept");
             MsgAddArrayString(m, "refused");
         },
         "ControlPing[\"kept\"<incomplete>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MsgPtr msg = Build(100, c.build, false);
        EXPECT_EQ(Render(msg.get()), c.text);
    }
}

TEST(MsgTrace, ReceivedMessageOfAnUnknownTypeShowsItsNumber)
{
    Bytes frame = Concat({Bytes(8, 0), Type(106), {3}, U32(7), {0}});
    MsgPtr msg(MsgFromFrame(frame.data(), frame.size(), 1, GetMessageTable(), 8, nullptr));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(Render(msg.get()), "106[u7]");
}

TEST(MsgTrace, ShowsTruncationAndUnknownWireTypesInTheText)
{
    const Bytes ping = Type(100);
    const struct {
        const char *name;
        Bytes body;
        const char *text;
    } cases[] = {
        {"no bytes", Bytes(), "<msg-type-missing>"},
        {"one byte", Bytes{ping[0]}, "<msg-type-missing>"},
        {"type only", ping, "ControlPing[<incomplete>"},
        {"wire type 9", Concat({ping, {3}, U32(1), {9, 1, 2}}), "ControlPing[u1,<unknown MsgType>"},
        {"truncated uint32", Concat({ping, {3, 1, 0}}), "ControlPing[<incomplete>"},
        {"truncated bool", Concat({ping, {1, 1, 1}}), "ControlPing[True,<incomplete>"},
        {"string longer than the body", Concat({ping, {4}, U32(5), {'a', 'b'}}),
         "ControlPing[<incomplete>"},
        {"huge string length", Concat({ping, {4}, U32(0xFFFFFFFEu), {0}}), "ControlPing[<incomplete>"},
        {"huge array count", Concat({ping, {7}, U32(0x7FFFFFFF), U32(1), {'a', 0}}),
         "ControlPing[ss(\"a\",<incomplete>"},
        {"password bytes missing", Concat({ping, {5}, U32(4), {'p', 'w'}}),
         "ControlPing[<incomplete>"},
        {"bytes after the end marker", Concat({ping, {0, 3, 1}}), "ControlPing[]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RenderBody(c.body), c.text);
    }
}

TEST(MsgTrace, NeverShowsPasswordBytes)
{
    MsgPtr msg = Build(708, [](ClientMsg *m) {
        MsgAddPassword(m, "old-Secret1");
        MsgBeginStringArray(m);
        MsgAddPassword(m, "new-Secret2");
    }, false);
    EXPECT_EQ(Render(msg.get()).find("Secret"), std::string::npos);
    ASSERT_EQ(MsgComplete(msg.get()), MSG_OK);
    const std::string text = Render(msg.get());
    EXPECT_EQ(text, "PAMChangePassword[(password),ss(),(password)]");
}

TEST(MsgTrace, AppendsToWhatTheBufferAlreadyHolds)
{
    ByteBuffer out;
    ByteBufferInit(&out, 4);
    ASSERT_EQ(ByteBufferAppendString(&out, "Request: "), 1);
    const Bytes body = Concat({Type(100), {2}, U32(static_cast<uint32_t>(-1)), {0}});
    EXPECT_EQ(MsgBodyToString(&out, body.data(), body.size(), GetMessageTable(), 0, 0, 0), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(ByteBufferData(&out)), ByteBufferUsed(&out)),
              "Request: ControlPing[-1]");
    ByteBufferRelease(&out, 0);
    EXPECT_EQ(MsgBodyToString(nullptr, body.data(), body.size(), GetMessageTable(), 0, 0, 0), 0);
}

}  // namespace
