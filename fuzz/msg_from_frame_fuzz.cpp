// Feeds arbitrary bytes to MsgFromFrame as a received frame and, when it is
// accepted, reads every parameter back with the reader of its wire type and
// renders it. A frame that passed validation must be readable to its end:
// any reader failing on it other than for a refused pair of two nulls is a
// fault, reported by abort().
#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "client_common/msg_trace.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

void ReadEverything(ClientMsg *msg)
{
    for (;;) {
        int wireType = -1;
        if (MsgPeekType(msg, &wireType) != MSG_OK)
            abort();
        int status = MSG_OK;
        switch (wireType) {
        case WIRE_END: {
            uint32_t value;
            if (MsgReadUInt32(msg, &value) != MSG_ERR_AT_END)
                abort();
            return;
        }
        case WIRE_BOOL: {
            int value;
            status = MsgReadBool(msg, &value);
            if (status == MSG_OK && value != 0 && value != 1)
                abort();
            break;
        }
        case WIRE_INT32: {
            // A run reader first: it must either take the whole run or
            // leave the position alone.
            int *values = nullptr;
            status = MsgReadInt32s(msg, 2, &values);
            free(values);
            if (status != MSG_OK) {
                int32_t value;
                status = MsgReadInt32(msg, &value);
            }
            break;
        }
        case WIRE_UINT32: {
            uint32_t value;
            status = MsgReadUInt32(msg, &value);
            break;
        }
        case WIRE_STRING:
        case WIRE_PASSWORD: {
            char *value = nullptr;
            status = wireType == WIRE_STRING ? MsgReadString(msg, &value) : MsgReadPassword(msg, &value);
            MsgFreeString(value, 1);
            break;
        }
        case WIRE_BLOB: {
            void *data = nullptr;
            size_t length = 0;
            status = MsgReadBlob(msg, &data, &length);
            MsgFreeBlob(data, length, 1);
            break;
        }
        case WIRE_STRING_ARRAY: {
            // Both forms of the reader over the same parameter.
            unsigned char *before = msg->readPos;
            MsgLengthString *withLengths = nullptr;
            status = MsgReadStringArrayWithLengths(msg, &withLengths);
            MsgFreeLengthStringArray(withLengths, 0);
            if (status != MSG_OK)
                break;
            msg->readPos = before;
            char **strings = nullptr;
            status = MsgReadStringArray(msg, &strings);
            MsgFreeStringArray(strings, 0);
            break;
        }
        case WIRE_KEY_VALUE_ARRAY: {
            MsgKeyValue *pairs = nullptr;
            status = MsgReadKeyValueArray(msg, &pairs);
            MsgFreeKeyValueArray(pairs, 0);
            if (status == MSG_ERR_WRONG_TYPE)
                return;  // a pair of two nulls: refused as a whole
            break;
        }
        default:
            abort();
        }
        if (status != MSG_OK)
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int status = -1;
    ClientMsg *msg = MsgFromFrame(const_cast<uint8_t *>(data), size, 1, GetMessageTable(),
                                  LRPC2_HEADER_SIZE, &status);
    if (msg == nullptr) {
        if (status != MSG_ERR_INVALID && status != MSG_ERR_NO_MEMORY)
            abort();
        return 0;
    }
    uint16_t type;
    int oneWay;
    if (MsgGetType(msg, &type) != MSG_OK || MsgIsOneWay(msg, &oneWay) != MSG_OK)
        abort();
    free(MsgToString(msg));
    ReadEverything(msg);
    MsgFree(msg);

    // The same frame taken over without a copy.
    unsigned char *owned = static_cast<unsigned char *>(malloc(size));
    if (owned == nullptr)
        return 0;
    memcpy(owned, data, size);
    msg = MsgFromFrame(owned, size, 0, GetMessageTable(), LRPC2_HEADER_SIZE, &status);
    if (msg == nullptr)
        abort();
    ReadEverything(msg);
    MsgFree(msg);
    return 0;
}
