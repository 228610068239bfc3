// Cost of the codec for the command's own request, an ATProxySetAuditTrailEvent
// (type 1200) with its nine fields and two variable parameters, against a
// hand-written composition of the same bytes with memcpy into one buffer.
// Goal: building, completing and freeing the message costs at most twice the
// baseline. Also: parsing the same frame and reading back every parameter.
#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"

#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct TimeValue {
    int64_t seconds;
    int64_t microseconds;
};

// The event the command sends: code 200, text A "x", text B "none". Both
// builders read it at run time, as the sender reads its arguments, so the
// compiler cannot fold string lengths or copies into constants for either.
struct Event {
    const char *product;
    const char *category;
    uint32_t code;
    const TimeValue *time;
    const char *auxText;
    const char *user;
    const void *sid;
    const char *session;
    uint64_t processId;
    const char *textA;
    const char *textB;
};

const TimeValue kTime = {1733600000, 123456};
const uint32_t kUtf8String = 8;
Event gEvent = {"Norvalex Suite", "Norvalex Commands", 200, &kTime, nullptr, "ann",
                nullptr, "session-42", 4660, "x", "none"};

ClientMsg *BuildWithCodec(const Event &e)
{
    ClientMsg *msg = NewClientMsg(MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT, GetMessageTable(),
                                  LRPC2_HEADER_SIZE, nullptr);
    if (msg == nullptr)
        return nullptr;
    const uint32_t sizeA = static_cast<uint32_t>(strlen(e.textA) + 1);
    const uint32_t sizeB = static_cast<uint32_t>(strlen(e.textB) + 1);
    MsgAddString(msg, e.product);
    MsgAddString(msg, e.category);
    MsgAddUInt32(msg, e.code);
    MsgAddBlob(msg, e.time, sizeof *e.time);
    MsgAddString(msg, e.auxText);
    MsgAddString(msg, e.user);
    MsgAddBlob(msg, e.sid, 28);
    MsgAddString(msg, e.session);
    MsgAddBlob(msg, &e.processId, sizeof e.processId);
    MsgAddUInt32(msg, kUtf8String);
    MsgAddUInt32(msg, sizeA);
    MsgAddBlob(msg, e.textA, sizeA);
    MsgAddUInt32(msg, kUtf8String);
    MsgAddUInt32(msg, sizeB);
    MsgAddBlob(msg, e.textB, sizeB);
    MsgAddUInt32(msg, 0);
    if (MsgComplete(msg) != MSG_OK) {
        MsgFree(msg);
        return nullptr;
    }
    return msg;
}

// The baseline: the same frame composed by hand into one exactly sized block.
struct Composer {
    unsigned char *pos;

    void byte(unsigned char value) { *pos++ = value; }
    void u32(uint32_t value)
    {
        memcpy(pos, &value, 4);
        pos += 4;
    }
    void typed32(unsigned char type, uint32_t value)
    {
        byte(type);
        u32(value);
    }
    void item(unsigned char type, const void *bytes, size_t n)
    {
        typed32(type, bytes != nullptr ? static_cast<uint32_t>(n) : 0xFFFFFFFFu);
        if (bytes != nullptr) {
            memcpy(pos, bytes, n);
            pos += n;
        }
    }
};

size_t ItemSize(const void *bytes, size_t n)
{
    return 5 + (bytes != nullptr ? n : 0);
}

unsigned char *BuildByHand(const Event &e, size_t *length)
{
    const size_t product = strlen(e.product), category = strlen(e.category);
    const size_t aux = e.auxText != nullptr ? strlen(e.auxText) : 0;
    const size_t user = strlen(e.user);
    const size_t session = e.session != nullptr ? strlen(e.session) : 0;
    const size_t sizeA = strlen(e.textA) + 1, sizeB = strlen(e.textB) + 1;
    const size_t total = 8 + 2 + ItemSize(e.product, product) + ItemSize(e.category, category) + 5 +
                         ItemSize(e.time, sizeof *e.time) + ItemSize(e.auxText, aux) +
                         ItemSize(e.user, user) + ItemSize(e.sid, 28) + ItemSize(e.session, session) +
                         ItemSize(&e.processId, sizeof e.processId) + 10 + ItemSize(e.textA, sizeA) +
                         10 + ItemSize(e.textB, sizeB) + 5 + 1;
    unsigned char *frame = static_cast<unsigned char *>(malloc(total));
    if (frame == nullptr)
        return nullptr;
    Composer out = {frame};
    memset(out.pos, 0, 8);
    out.pos += 8;
    const uint16_t type = MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT;
    memcpy(out.pos, &type, 2);
    out.pos += 2;
    out.item(WIRE_STRING, e.product, product);
    out.item(WIRE_STRING, e.category, category);
    out.typed32(WIRE_UINT32, e.code);
    out.item(WIRE_BLOB, e.time, sizeof *e.time);
    out.item(WIRE_STRING, e.auxText, aux);
    out.item(WIRE_STRING, e.user, user);
    out.item(WIRE_BLOB, e.sid, 28);
    out.item(WIRE_STRING, e.session, session);
    out.item(WIRE_BLOB, &e.processId, sizeof e.processId);
    out.typed32(WIRE_UINT32, kUtf8String);
    out.typed32(WIRE_UINT32, static_cast<uint32_t>(sizeA));
    out.item(WIRE_BLOB, e.textA, sizeA);
    out.typed32(WIRE_UINT32, kUtf8String);
    out.typed32(WIRE_UINT32, static_cast<uint32_t>(sizeB));
    out.item(WIRE_BLOB, e.textB, sizeB);
    out.typed32(WIRE_UINT32, 0);
    out.byte(WIRE_END);
    *length = static_cast<size_t>(out.pos - frame);
    return frame;
}

// Both ways must produce the same bytes, or the comparison means nothing.
bool SameFrames()
{
    ClientMsg *msg = BuildWithCodec(gEvent);
    size_t handLength = 0;
    unsigned char *hand = BuildByHand(gEvent, &handLength);
    unsigned char *frame = nullptr;
    size_t length = 0;
    const bool same = msg != nullptr && hand != nullptr && MsgGetFrame(msg, &frame, &length) == MSG_OK &&
                      length == handLength && memcmp(frame, hand, length) == 0;
    MsgFree(msg);
    free(hand);
    return same;
}

void BM_CodecBuildCompleteFree(benchmark::State &state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(&gEvent);
        ClientMsg *msg = BuildWithCodec(gEvent);
        benchmark::DoNotOptimize(msg);
        MsgFree(msg);
    }
}
BENCHMARK(BM_CodecBuildCompleteFree);

void BM_MemcpyBaselineBuildFree(benchmark::State &state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(&gEvent);
        size_t length;
        unsigned char *frame = BuildByHand(gEvent, &length);
        benchmark::DoNotOptimize(frame);
        benchmark::ClobberMemory();
        free(frame);
    }
}
BENCHMARK(BM_MemcpyBaselineBuildFree);

void BM_CodecFromFrameReadAll(benchmark::State &state)
{
    size_t length = 0;
    unsigned char *frame = BuildByHand(gEvent, &length);
    for (auto _ : state) {
        ClientMsg *msg = MsgFromFrame(frame, length, 1, GetMessageTable(), LRPC2_HEADER_SIZE, nullptr);
        char *text = nullptr;
        void *blob = nullptr;
        size_t blobLength = 0;
        uint32_t value = 0;
        for (int i = 0; i < 2; ++i) {
            MsgReadString(msg, &text);
            MsgFreeString(text, 0);
        }
        MsgReadUInt32(msg, &value);
        MsgReadBlob(msg, &blob, &blobLength);
        MsgFreeBlob(blob, blobLength, 0);
        for (int i = 0; i < 2; ++i) {
            MsgReadString(msg, &text);
            MsgFreeString(text, 0);
        }
        MsgReadBlob(msg, &blob, &blobLength);
        MsgFreeBlob(blob, blobLength, 0);
        MsgReadString(msg, &text);
        MsgFreeString(text, 0);
        MsgReadBlob(msg, &blob, &blobLength);
        MsgFreeBlob(blob, blobLength, 0);
        for (int i = 0; i < 2; ++i) {
            MsgReadUInt32(msg, &value);
            MsgReadUInt32(msg, &value);
            MsgReadBlob(msg, &blob, &blobLength);
            MsgFreeBlob(blob, blobLength, 0);
        }
        MsgReadUInt32(msg, &value);
        int wireType = -1;
        MsgPeekType(msg, &wireType);
        if (wireType != WIRE_END)
            state.SkipWithError("parameters left unread");
        MsgFree(msg);
    }
    free(frame);
}
BENCHMARK(BM_CodecFromFrameReadAll);

}  // namespace

int main(int argc, char **argv)
{
    if (!SameFrames()) {
        fprintf(stderr, "codec and baseline frames differ\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
