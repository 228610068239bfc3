#include "client_common/msg_trace.h"

#include <string.h>

namespace {

// The array still open in a message under construction, if any.
struct OpenArray {
    bool isOpen;
    uint32_t count;
    size_t countOffset;  // of its count placeholder, relative to the body
};

// Walks a body and appends its rendering. Rendering never fails on bad
// input: a parameter that runs past the bytes ends the text with
// "<incomplete>", an unknown wire type with "<unknown MsgType>".
class BodyRenderer {
public:
    BodyRenderer(ByteBuffer *out, const unsigned char *body, size_t length)
        : m_out(out), m_body(body), m_length(length)
    {
    }

    bool ok() const { return m_ok; }

    void text(const char *value) { m_ok = ByteBufferAppendString(m_out, value) && m_ok; }
    void byte(char value) { m_ok = ByteBufferAppendByte(m_out, static_cast<unsigned char>(value)) && m_ok; }
    void bytes(const unsigned char *value, size_t n) { m_ok = ByteBufferAppend(m_out, value, n) && m_ok; }
    // Room for n bytes that the caller writes; null when out of memory.
    unsigned char *room(size_t n)
    {
        unsigned char *at = ByteBufferReserve(m_out, n);
        m_ok = at != nullptr && m_ok;
        return at;
    }

    // Numbers in decimal, as "%u" and "%d" print them.
    void unsignedNumber(uint32_t value)
    {
        unsigned char digits[10];
        unsigned char *first = digits + sizeof digits;
        do {
            *--first = static_cast<unsigned char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        bytes(first, static_cast<size_t>(digits + sizeof digits - first));
    }

    void signedNumber(int32_t value)
    {
        if (value < 0)
            byte('-');
        unsignedNumber(value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value));
    }

    size_t left() const { return m_length - m_pos; }

    void skip(size_t n) { m_pos += n < left() ? n : left(); }

    bool take32(uint32_t *value)
    {
        if (left() < sizeof *value)
            return false;
        memcpy(value, m_body + m_pos, sizeof *value);
        m_pos += sizeof *value;
        return true;
    }

    bool takeByte(unsigned char *value)
    {
        if (left() < 1)
            return false;
        *value = m_body[m_pos++];
        return true;
    }

    // A length-prefixed item; *item is null for the null item.
    bool takeItem(const unsigned char **item, uint32_t *n)
    {
        if (!take32(n))
            return false;
        if (*n == MSG_NULL_LENGTH) {
            *item = nullptr;
            return true;
        }
        if (*n > left())
            return false;
        *item = m_body + m_pos;
        m_pos += *n;
        return true;
    }

    // A string as the trace shows it: quoted and unescaped, or nullText.
    bool string(const char *nullText)
    {
        const unsigned char *item;
        uint32_t n;
        if (!takeItem(&item, &n))
            return false;
        if (item == nullptr) {
            text(nullText);
        } else if (unsigned char *at = room(static_cast<size_t>(n) + 2)) {
            at[0] = '"';
            memcpy(at + 1, item, n);
            at[n + 1] = '"';
        }
        return true;
    }

    bool password()
    {
        const unsigned char *item;
        uint32_t n;
        if (!takeItem(&item, &n))
            return false;
        text(item == nullptr ? "PASSWORD:0" : "(password)");
        return true;
    }

    bool blob()
    {
        static const char kHex[] = "0123456789abcdef";
        const unsigned char *item;
        uint32_t n;
        if (!takeItem(&item, &n))
            return false;
        if (item == nullptr) {
            text("BLOB:0");
            return true;
        }
        text("BLOB:[");
        unsignedNumber(n);
        text("](");
        // Two hex digits a byte, a space between bytes, then ')'.
        if (unsigned char *at = room(n == 0 ? 1 : 3 * static_cast<size_t>(n))) {
            if (n > 0) {
                *at++ = static_cast<unsigned char>(kHex[item[0] >> 4]);
                *at++ = static_cast<unsigned char>(kHex[item[0] & 0x0f]);
            }
            for (uint32_t i = 1; i < n; ++i) {
                *at++ = ' ';
                *at++ = static_cast<unsigned char>(kHex[item[i] >> 4]);
                *at++ = static_cast<unsigned char>(kHex[item[i] & 0x0f]);
            }
            *at = ')';
        }
        return true;
    }

    // The element count of an array. The placeholder of the array still
    // open in a message under construction holds 0; its real count is
    // known only to the message.
    bool count(const OpenArray &open, uint32_t *value)
    {
        const bool placeholder = open.isOpen && m_pos == open.countOffset;
        if (!take32(value))
            return false;
        if (placeholder)
            *value = open.count;
        return true;
    }

    bool stringArray(const OpenArray &open)
    {
        uint32_t n;
        if (!count(open, &n))
            return false;
        text("ss(");
        for (uint32_t i = 0; i < n; ++i) {
            if (i != 0)
                byte(',');
            if (!string("STRING:0"))
                return false;
        }
        byte(')');
        return true;
    }

    bool keyValueArray(const OpenArray &open)
    {
        uint32_t n;
        if (!count(open, &n))
            return false;
        text("kv(");
        for (uint32_t i = 0; i < n; ++i) {
            if (i != 0)
                byte(',');
            byte('(');
            if (!string("STRING:0"))
                return false;
            byte(',');
            if (!string("STRING:0"))
                return false;
            byte(')');
        }
        byte(')');
        return true;
    }

private:
    ByteBuffer *m_out;
    const unsigned char *m_body;
    size_t m_length;
    size_t m_pos = 0;
    bool m_ok = true;
};

// A buffer for the text of a body of `length` bytes. An append that does
// not fit grows the buffer by only twice the append's length, so a text that
// outgrew a small first block would be copied again every few parameters.
// The first block holds the whole text instead: at most about three
// characters a body byte (a blob byte is two hex digits and a space, a
// boolean two bytes "False,"), plus the type name.
void InitTextBuffer(ByteBuffer *out, const ClientMsg *msg, size_t length)
{
    size_t size = BYTE_BUFFER_DEFAULT_SIZE;
    if (length < SIZE_MAX / 4 && 3 * length + 64 > size)
        size = 3 * length + 64;
    // The text of a sensitive message may still carry names and identities.
    if (msg != nullptr && msg->sensitive)
        ByteBufferInitWiping(out, size);
    else
        ByteBufferInit(out, size);
}

}  // namespace

extern "C" {

int MsgBodyToString(ByteBuffer *out, const unsigned char *body, size_t length,
                    const MsgTypeTable *table, int arrayOpen, uint32_t arrayCount,
                    size_t arrayCountOffset)
{
    if (out == nullptr)
        return 0;
    BodyRenderer render(out, body, body != nullptr ? length : 0);
    if (body == nullptr || length < sizeof(uint16_t)) {
        render.text("<msg-type-missing>");
        return render.ok();
    }
    const OpenArray open = {arrayOpen != 0, arrayCount, arrayCountOffset};
    uint16_t type;
    memcpy(&type, body, sizeof type);
    render.skip(sizeof type);
    const char *name = MsgTypeName(table, type);
    if (name != nullptr)
        render.text(name);
    else
        render.unsignedNumber(type);
    render.byte('[');
    for (bool first = true;; first = false) {
        unsigned char wireType;
        if (!render.takeByte(&wireType)) {
            render.text("<incomplete>");
            break;
        }
        if (wireType == WIRE_END) {
            render.byte(']');
            break;
        }
        if (!first)
            render.byte(',');
        bool complete = true;
        uint32_t value;
        switch (wireType) {
        case WIRE_BOOL: {
            unsigned char flag;
            complete = render.takeByte(&flag);
            if (complete)
                render.text(flag != 0 ? "True" : "False");
            break;
        }
        case WIRE_INT32:
            complete = render.take32(&value);
            if (complete)
                render.signedNumber(static_cast<int32_t>(value));
            break;
        case WIRE_UINT32:
            complete = render.take32(&value);
            if (complete)
            {
                render.byte('u');
                render.unsignedNumber(value);
            }
            break;
        case WIRE_STRING:
            complete = render.string("STRING:0");
            break;
        case WIRE_PASSWORD:
            complete = render.password();
            break;
        case WIRE_BLOB:
            complete = render.blob();
            break;
        case WIRE_STRING_ARRAY:
            complete = render.stringArray(open);
            break;
        case WIRE_KEY_VALUE_ARRAY:
            complete = render.keyValueArray(open);
            break;
        default:
            render.text("<unknown MsgType>");
            return render.ok();
        }
        if (!complete) {
            render.text("<incomplete>");
            break;
        }
    }
    return render.ok();
}

char *MsgToString(const ClientMsg *msg)
{
    ByteBuffer out;
    int ok;
    if (msg == nullptr) {
        InitTextBuffer(&out, msg, 0);
        ok = ByteBufferAppendString(&out, "Msg=0");
    } else if (msg->state == MSG_STATE_BUILDING || msg->state == MSG_STATE_BROKEN) {
        const size_t used = ByteBufferUsed(&msg->buffer);
        const size_t header = msg->headerSize < used ? msg->headerSize : used;
        const int open = msg->openArray != MSG_ARRAY_NONE && msg->arrayCountOffset >= header;
        InitTextBuffer(&out, msg, used - header);
        ok = MsgBodyToString(&out, ByteBufferData(&msg->buffer) + header, used - header, msg->table,
                             open, msg->arrayCount, open ? msg->arrayCountOffset - header : 0);
    } else if (msg->state == MSG_STATE_READABLE) {
        const size_t length = static_cast<size_t>(msg->end - msg->start);
        const size_t header = msg->headerSize < length ? msg->headerSize : length;
        InitTextBuffer(&out, msg, length - header);
        ok = MsgBodyToString(&out, msg->start + header, length - header, msg->table, 0, 0, 0);
    } else {
        InitTextBuffer(&out, msg, 0);
        ok = ByteBufferAppendString(&out, "Msg=0");
    }
    if (!ok || !ByteBufferAppendByte(&out, '\0')) {
        ByteBufferRelease(&out, 1);
        return nullptr;
    }
    return reinterpret_cast<char *>(ByteBufferDetach(&out, nullptr));
}

}  // extern "C"
