// Helpers for tests of the LRPC2 codec: expected wire bytes in host byte
// order, owning message pointers, frames as byte vectors.
#pragma once

#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "support/client_handles.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

inline const MsgTypeTable *Table()
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

inline MsgPtr NewMsg(uint32_t type)
{
    int status = -1;
    MsgPtr msg(NewClientMsg(type, Table(), LRPC2_HEADER_SIZE, &status));
    EXPECT_EQ(status, MSG_OK);
    EXPECT_NE(msg, nullptr);
    return msg;
}

inline Bytes FrameOf(ClientMsg *msg)
{
    unsigned char *frame = nullptr;
    size_t length = 0;
    EXPECT_EQ(MsgGetFrame(msg, &frame, &length), MSG_OK);
    return frame != nullptr ? Bytes(frame, frame + length) : Bytes();
}

// A received copy of a frame, as the transport hands it over.
inline MsgPtr Receive(const Bytes &frame, int *status = nullptr)
{
    int result = -1;
    MsgPtr msg(MsgFromFrame(const_cast<unsigned char *>(frame.data()), frame.size(), 1, Table(),
                            LRPC2_HEADER_SIZE, &result));
    if (status != nullptr)
        *status = result;
    return msg;
}


// A frame of the given type and parameter bytes, header zeroed.
inline Bytes Body(uint16_t type, const Bytes &parameters)
{
    Bytes frame = Wire().header().u16(type).bytes();
    frame.insert(frame.end(), parameters.begin(), parameters.end());
    return frame;
}


}  // namespace testsupport
