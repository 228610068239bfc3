// Renders arbitrary bytes as a message body, and messages built by an
// arbitrary sequence of construction operations (rendered after the steps
// the input marks, open arrays included). A built message, once complete,
// must be accepted by MsgFromFrame and render the same as the received copy;
// a password must never appear in any rendering. Violations abort().
//
// Each rendering walks the whole message, so rendering after every step
// would cost the square of the input's length; a step is rendered only when
// the high bit of its operation byte is set, at most kRenderedSteps times.
#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "client_common/msg_trace.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const char kPassword[] = "pw#Secret";
const int kRenderedSteps = 4;

// A short string from the input, NUL-terminated, in place.
struct Text {
    char bytes[16];
    size_t length;

    const char *c_str() const { return bytes; }
    const char *data() const { return bytes; }
    size_t size() const { return length; }
    char &operator[](size_t i) { return bytes[i]; }
};

// Every byte stands for itself but NUL and '#', which become '.'.
struct Replacement {
    Replacement()
    {
        for (int i = 0; i < 256; i++)
            byte[i] = static_cast<char>(i);
        byte[0] = '.';
        byte[static_cast<unsigned char>('#')] = '.';
    }
    char byte[256];
};

const Replacement kReplacement;

struct Input {
    const uint8_t *data;
    size_t size;

    bool empty() const { return size == 0; }
    uint8_t byte()
    {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
    uint32_t word()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | byte();
        return value;
    }
    // A short string from the input; may hold any byte but NUL and '#', so
    // that only a password parameter can carry the password. The bytes go
    // through a table rather than tests, which the fuzzer would trace byte
    // by byte.
    Text text()
    {
        Text value;
        size_t n = byte() % sizeof value.bytes;
        if (n > size)
            n = size;
        for (size_t i = 0; i < n; ++i)
            value.bytes[i] = kReplacement.byte[data[i]];
        value.bytes[n] = '\0';
        value.length = n;
        data += n;
        size -= n;
        return value;
    }
};

// Renders a message, which must not show the password; the text is kept in
// *copy when asked.
void Render(const ClientMsg *msg, std::string *copy = nullptr)
{
    char *text = MsgToString(msg);
    if (text == nullptr)
        return;
    if (strstr(text, kPassword) != nullptr)
        abort();
    if (copy != nullptr)
        copy->assign(text);
    free(text);
}

void RenderBytes(Input in)
{
    ByteBuffer out;
    ByteBufferInit(&out, 0);
    const int arrayOpen = in.byte() & 1;
    const uint32_t arrayCount = in.byte();
    const size_t arrayOffset = in.byte();
    MsgBodyToString(&out, in.data, in.size, GetMessageTable(), arrayOpen, arrayCount, arrayOffset);
    ByteBufferRelease(&out, 0);
}

void BuildAndRender(Input in)
{
    static const uint32_t kTypes[] = {100, 105, 107, 702, 1200, 3};
    ClientMsg *msg = NewClientMsg(kTypes[in.byte() % 6], GetMessageTable(), LRPC2_HEADER_SIZE, nullptr);
    if (msg == nullptr)
        return;
    int rendered = 0;
    while (!in.empty()) {
        const uint8_t code = in.byte();
        const uint8_t op = (code & 0x7f) % 15;
        Text a = in.text(), b = in.text();
        switch (op) {
        case 0: MsgAddBool(msg, in.byte()); break;
        case 1: MsgAddInt32(msg, static_cast<int32_t>(in.word())); break;
        case 2: MsgAddUInt32(msg, in.word()); break;
        case 3: MsgAddString(msg, in.byte() & 1 ? a.c_str() : nullptr); break;
        case 4: MsgAddPassword(msg, in.byte() & 1 ? kPassword : nullptr); break;
        case 5: MsgAddBlob(msg, in.byte() & 1 ? a.data() : nullptr, a.size()); break;
        case 6: MsgBeginStringArray(msg); break;
        case 7: MsgAddArrayString(msg, in.byte() & 1 ? a.c_str() : nullptr); break;
        case 8: MsgAddArrayStringLen(msg, in.byte() & 1 ? a.data() : nullptr, a.size()); break;
        case 9: MsgBeginKeyValueArray(msg); break;
        case 10: {
            const uint8_t which = in.byte();
            MsgAddKeyValue(msg, which & 1 ? a.c_str() : nullptr, which & 2 ? b.c_str() : nullptr);
            break;
        }
        case 11: {
            const char *list[] = {a.c_str(), b.c_str(), nullptr};
            MsgAddStringArray(msg, in.byte() & 1 ? list + (in.byte() % 3) : nullptr);
            break;
        }
        case 12: {
            const MsgKeyValue pairs[] = {{&a[0], nullptr}, {nullptr, &b[0]}, {nullptr, nullptr}};
            MsgAddKeyValueArray(msg, in.byte() & 1 ? pairs + (in.byte() % 3) : nullptr);
            break;
        }
        case 13: AddLogEntry(msg, in.word(), a.c_str(), 1, 2, nullptr, 3, b.c_str(), kPassword + 3); break;
        default: MsgComplete(msg); break;
        }
        if ((code & 0x80) != 0 && rendered < kRenderedSteps) {
            Render(msg);
            rendered++;
        }
    }
    if (msg->state == MSG_STATE_BUILDING && MsgComplete(msg) != MSG_OK)
        abort();
    if (msg->state == MSG_STATE_READABLE) {
        unsigned char *frame;
        size_t length;
        if (MsgGetFrame(msg, &frame, &length) != MSG_OK)
            abort();
        ClientMsg *received = MsgFromFrame(frame, length, 1, GetMessageTable(), LRPC2_HEADER_SIZE, nullptr);
        if (received == nullptr)
            abort();
        std::string sent, copy;
        Render(msg, &sent);
        Render(received, &copy);
        if (copy != sent)
            abort();
        MsgFree(received);
    }
    MsgFree(msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Input in = {data + 1, size - 1};
    if (data[0] & 1)
        RenderBytes(in);
    else
        BuildAndRender(in);
    return 0;
}
