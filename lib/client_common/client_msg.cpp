#include "client_common/client_msg.h"

#include <stdlib.h>
#include <string.h>

namespace {

// A frame carries its total length in a 32-bit field, and a length-prefixed
// item cannot be longer than the value that marks null.
const size_t kMaxFrameLength = MSG_MAX_FRAME_LENGTH;
const size_t kMaxItemLength = MSG_NULL_LENGTH - 1;

// ---- construction --------------------------------------------------------
//
// The adds of single parameters do their common case inline (client_msg.h);
// what follows is the general path, which makes every check in full.

int CheckBuilding(const ClientMsg *msg)
{
    if (msg == nullptr)
        return MSG_ERR_INVALID;
    if (msg->state == MSG_STATE_BUILDING)
        return MSG_OK;
    if (msg->state == MSG_STATE_READABLE)
        return MSG_ERR_AT_END;
    return MSG_ERR_INVALID;
}

int Break(ClientMsg *msg, int status)
{
    msg->state = MSG_STATE_BROKEN;
    return status;
}

// An open array ends where the next parameter begins: its count placeholder
// receives the number of elements added.
void CloseArray(ClientMsg *msg)
{
    if (msg->openArray == MSG_ARRAY_NONE)
        return;
    ByteBufferOverwrite(&msg->buffer, msg->arrayCountOffset, &msg->arrayCount,
                        sizeof msg->arrayCount);
    msg->openArray = MSG_ARRAY_NONE;
    msg->arrayCount = 0;
    msg->arrayCountOffset = 0;
}

int BeginParameter(ClientMsg *msg)
{
    const int status = CheckBuilding(msg);
    if (status == MSG_OK)
        CloseArray(msg);
    return status;
}

// Room for n more bytes of the frame, counted as written.
unsigned char *Reserve(ClientMsg *msg, size_t n, int *status)
{
    ByteBuffer *buffer = &msg->buffer;
    if (n > kMaxFrameLength - ByteBufferUsed(buffer)) {
        *status = MSG_ERR_UNEXPECTED_DATA;
        return nullptr;
    }
    unsigned char *room = ByteBufferReserve(buffer, n);
    if (room == nullptr)
        *status = MSG_ERR_NO_MEMORY;
    return room;
}

int Append(ClientMsg *msg, const void *bytes, size_t n)
{
    int status = MSG_OK;
    unsigned char *room = Reserve(msg, n, &status);
    if (room != nullptr && n != 0)
        memcpy(room, bytes, n);
    return status;
}

// A wire type byte followed by a 32-bit value.
int AppendTyped32(ClientMsg *msg, unsigned char wireType, uint32_t value)
{
    int status = MSG_OK;
    unsigned char *room = Reserve(msg, 1 + sizeof value, &status);
    if (room != nullptr) {
        room[0] = wireType;
        memcpy(room + 1, &value, sizeof value);
    }
    return status;
}

// A length-prefixed item (string, password, blob or array element), preceded
// by its wire type byte unless wireType is WIRE_END. Null is length -1.
int AppendItem(ClientMsg *msg, unsigned char wireType, const void *bytes, size_t n, bool null)
{
    if (null)
        n = 0;
    else if (n > kMaxItemLength)
        return MSG_ERR_UNEXPECTED_DATA;
    const uint32_t length = null ? MSG_NULL_LENGTH : static_cast<uint32_t>(n);
    const size_t prefix = (wireType != WIRE_END ? 1 : 0) + sizeof length;
    int status = MSG_OK;
    unsigned char *room = Reserve(msg, prefix + n, &status);
    if (room == nullptr)
        return status;
    if (wireType != WIRE_END)
        *room++ = wireType;
    memcpy(room, &length, sizeof length);
    if (n != 0)
        memcpy(room + sizeof length, bytes, n);
    return MSG_OK;
}

int AddItem(ClientMsg *msg, unsigned char wireType, const void *bytes, size_t n, bool null)
{
    int status = BeginParameter(msg);
    if (status != MSG_OK)
        return status;
    status = AppendItem(msg, wireType, bytes, n, null);
    return status == MSG_OK ? MSG_OK : Break(msg, status);
}

int AddScalar(ClientMsg *msg, unsigned char wireType, uint32_t value)
{
    int status = BeginParameter(msg);
    if (status != MSG_OK)
        return status;
    status = AppendTyped32(msg, wireType, value);
    return status == MSG_OK ? MSG_OK : Break(msg, status);
}

int BeginArray(ClientMsg *msg, unsigned char wireType, int kind)
{
    int status = BeginParameter(msg);
    if (status != MSG_OK)
        return status;
    status = AppendTyped32(msg, wireType, 0);
    if (status != MSG_OK)
        return Break(msg, status);
    msg->openArray = kind;
    msg->arrayCount = 0;
    msg->arrayCountOffset = ByteBufferUsed(&msg->buffer) - sizeof(uint32_t);
    return MSG_OK;
}

int AddArrayElement(ClientMsg *msg, const char *value, size_t n, bool null)
{
    int status = CheckBuilding(msg);
    if (status != MSG_OK)
        return status;
    if (msg->openArray != MSG_ARRAY_STRINGS || msg->arrayCount == UINT32_MAX)
        return Break(msg, MSG_ERR_UNEXPECTED_DATA);
    status = AppendItem(msg, WIRE_END, value, n, null);
    if (status != MSG_OK)
        return Break(msg, status);
    ++msg->arrayCount;
    return MSG_OK;
}

}  // namespace

extern "C" {

const char *MsgStatusText(int status)
{
    switch (status) {
    case MSG_ERR_NO_MEMORY:
        return "Out of memory";
    case MSG_ERR_UNEXPECTED_DATA:
        return "Unexpected data";
    case MSG_ERR_WRONG_TYPE:
        return "Incorrect data type";
    case MSG_ERR_AT_END:
        return "At end of message";
    case MSG_ERR_NOT_COMPLETED:
        return "Message not completed";
    case MSG_ERR_INVALID:
        return "Message invalid";
    default:
        return nullptr;
    }
}

ClientMsg *NewClientMsg(uint32_t type, const MsgTypeTable *table, size_t headerSize, int *status)
{
    int result = MSG_OK;
    ClientMsg *msg = nullptr;
    const MsgTypeEntry *entry = FindMsgTypeEntry(table, type);
    if (entry == nullptr || headerSize > kMaxFrameLength - sizeof(uint16_t) - 1) {
        result = MSG_ERR_INVALID;
        goto done;
    }
    msg = static_cast<ClientMsg *>(malloc(sizeof *msg));
    if (msg == nullptr) {
        result = MSG_ERR_NO_MEMORY;
        goto done;
    }
    // Field by field: the first block is written before anything reads it,
    // and clearing it would cost as much as the rest of the message.
    ByteBufferInitInBlock(&msg->buffer, msg->firstBlock, sizeof msg->firstBlock,
                          (entry->flags & MSG_TYPE_FLAG_SENSITIVE) != 0);
    msg->state = MSG_STATE_BUILDING;
    msg->table = table;
    msg->sensitive = (entry->flags & MSG_TYPE_FLAG_SENSITIVE) != 0;
    msg->oneWay = (entry->flags & MSG_TYPE_FLAG_ONE_WAY) != 0;
    msg->headerSize = headerSize;
    msg->openArray = MSG_ARRAY_NONE;
    msg->arrayCount = 0;
    msg->arrayCountOffset = 0;
    msg->start = nullptr;
    msg->end = nullptr;
    msg->readPos = nullptr;
    {
        // The header bytes stay zero until the transport fills them in.
        const uint16_t wireType = static_cast<uint16_t>(type);
        unsigned char *room;
        if (!MsgTakeRoom(msg, headerSize + sizeof wireType, &room))
            room = Reserve(msg, headerSize + sizeof wireType, &result);
        if (room != nullptr) {
            memset(room, 0, headerSize);
            memcpy(room + headerSize, &wireType, sizeof wireType);
        }
    }
    if (result != MSG_OK) {
        MsgFree(msg);
        msg = nullptr;
    }
done:
    if (status != nullptr)
        *status = result;
    return msg;
}

int MsgAddScalarChecked(ClientMsg *msg, unsigned char wireType, uint32_t value)
{
    if (wireType == WIRE_INT32 || wireType == WIRE_UINT32)
        return AddScalar(msg, wireType, value);
    if (wireType != WIRE_BOOL)
        return MSG_ERR_WRONG_TYPE;
    int status = BeginParameter(msg);
    if (status != MSG_OK)
        return status;
    const unsigned char bytes[2] = {WIRE_BOOL, static_cast<unsigned char>(value != 0)};
    status = Append(msg, bytes, sizeof bytes);
    return status == MSG_OK ? MSG_OK : Break(msg, status);
}

int MsgAddItemChecked(ClientMsg *msg, unsigned char wireType, const void *bytes, size_t length)
{
    if (wireType != WIRE_STRING && wireType != WIRE_PASSWORD && wireType != WIRE_BLOB)
        return MSG_ERR_WRONG_TYPE;
    return AddItem(msg, wireType, bytes, length, bytes == nullptr);
}

int MsgBeginStringArray(ClientMsg *msg)
{
    return BeginArray(msg, WIRE_STRING_ARRAY, MSG_ARRAY_STRINGS);
}

int MsgAddArrayString(ClientMsg *msg, const char *value)
{
    if (value == nullptr)
        value = "";
    return AddArrayElement(msg, value, strlen(value), false);
}

int MsgAddArrayStringLen(ClientMsg *msg, const char *value, size_t length)
{
    return AddArrayElement(msg, value, length, value == nullptr || length == 0);
}

int MsgBeginKeyValueArray(ClientMsg *msg)
{
    return BeginArray(msg, WIRE_KEY_VALUE_ARRAY, MSG_ARRAY_KEY_VALUES);
}

int MsgAddKeyValue(ClientMsg *msg, const char *key, const char *value)
{
    int status = CheckBuilding(msg);
    if (status != MSG_OK)
        return status;
    if (msg->openArray != MSG_ARRAY_KEY_VALUES || msg->arrayCount == UINT32_MAX)
        return Break(msg, MSG_ERR_UNEXPECTED_DATA);
    // A pair of two nulls ends a list of pairs; it cannot travel as data.
    if (key == nullptr && value == nullptr)
        return Break(msg, MSG_ERR_WRONG_TYPE);
    status = AppendItem(msg, WIRE_END, key, key != nullptr ? strlen(key) : 0, key == nullptr);
    if (status == MSG_OK)
        status = AppendItem(msg, WIRE_END, value, value != nullptr ? strlen(value) : 0,
                            value == nullptr);
    if (status != MSG_OK)
        return Break(msg, status);
    ++msg->arrayCount;
    return MSG_OK;
}

int MsgAddStringArray(ClientMsg *msg, const char *const *strings)
{
    int status = CheckBuilding(msg);
    if (status != MSG_OK)
        return status;
    if (strings == nullptr)
        return MSG_ERR_UNEXPECTED_DATA;
    size_t count = 0;
    while (strings[count] != nullptr)
        ++count;
    if (count > UINT32_MAX)
        return Break(msg, MSG_ERR_UNEXPECTED_DATA);
    CloseArray(msg);
    status = AppendTyped32(msg, WIRE_STRING_ARRAY, static_cast<uint32_t>(count));
    for (size_t i = 0; i < count && status == MSG_OK; ++i)
        status = AppendItem(msg, WIRE_END, strings[i], strlen(strings[i]), false);
    return status == MSG_OK ? MSG_OK : Break(msg, status);
}

int MsgAddKeyValueArray(ClientMsg *msg, const MsgKeyValue *pairs)
{
    int status = CheckBuilding(msg);
    if (status != MSG_OK)
        return status;
    if (pairs == nullptr)
        return MSG_ERR_UNEXPECTED_DATA;
    size_t count = 0;
    while (pairs[count].key != nullptr || pairs[count].value != nullptr)
        ++count;
    if (count > UINT32_MAX)
        return Break(msg, MSG_ERR_UNEXPECTED_DATA);
    CloseArray(msg);
    status = AppendTyped32(msg, WIRE_KEY_VALUE_ARRAY, static_cast<uint32_t>(count));
    for (size_t i = 0; i < count && status == MSG_OK; ++i) {
        const char *key = pairs[i].key;
        const char *value = pairs[i].value;
        status = AppendItem(msg, WIRE_END, key, key != nullptr ? strlen(key) : 0, key == nullptr);
        if (status == MSG_OK)
            status = AppendItem(msg, WIRE_END, value, value != nullptr ? strlen(value) : 0,
                                value == nullptr);
    }
    return status == MSG_OK ? MSG_OK : Break(msg, status);
}

int AddLogEntry(ClientMsg *msg, uint32_t time, const char *processName, int32_t processId,
                int32_t level, const char *sourceFile, int32_t line, const char *operation,
                const char *text)
{
    int status = MsgAddUInt32(msg, time);
    if (status == MSG_OK)
        status = MsgAddString(msg, processName);
    if (status == MSG_OK)
        status = MsgAddInt32(msg, processId);
    if (status == MSG_OK)
        status = MsgAddInt32(msg, level);
    if (status == MSG_OK)
        status = MsgAddString(msg, sourceFile);
    if (status == MSG_OK)
        status = MsgAddInt32(msg, line);
    if (status == MSG_OK)
        status = MsgAddString(msg, operation);
    if (status == MSG_OK)
        status = MsgAddString(msg, text);
    return status;
}

int MsgComplete(ClientMsg *msg)
{
    unsigned char *room;
    if (MsgTakeRoom(msg, 1, &room)) {
        *room = WIRE_END;
    } else {
        int status = BeginParameter(msg);
        if (status != MSG_OK)
            return status;
        const unsigned char end = WIRE_END;
        status = Append(msg, &end, sizeof end);
        if (status != MSG_OK)
            return Break(msg, status);
    }
    size_t length;
    unsigned char *frame = ByteBufferDetach(&msg->buffer, &length);
    msg->start = frame;
    msg->end = frame + length;
    msg->readPos = frame + msg->headerSize + sizeof(uint16_t);
    msg->state = MSG_STATE_READABLE;
    return MSG_OK;
}

int MsgGetFrame(ClientMsg *msg, unsigned char **frame, size_t *length)
{
    if (msg == nullptr || frame == nullptr || length == nullptr)
        return MSG_ERR_INVALID;
    if (msg->state == MSG_STATE_BUILDING)
        return MSG_ERR_NOT_COMPLETED;
    if (msg->state != MSG_STATE_READABLE)
        return MSG_ERR_INVALID;
    *frame = msg->start;
    *length = static_cast<size_t>(msg->end - msg->start);
    return MSG_OK;
}

int MsgGetType(const ClientMsg *msg, uint16_t *type)
{
    if (msg == nullptr || type == nullptr || msg->state != MSG_STATE_READABLE)
        return MSG_ERR_INVALID;
    memcpy(type, msg->start + msg->headerSize, sizeof *type);
    return MSG_OK;
}

int MsgIsOneWay(const ClientMsg *msg, int *oneWay)
{
    if (msg == nullptr || oneWay == nullptr || msg->state != MSG_STATE_READABLE)
        return MSG_ERR_INVALID;
    *oneWay = msg->oneWay;
    return MSG_OK;
}

void MsgFree(ClientMsg *msg)
{
    if (msg == nullptr)
        return;
    const int sensitive = msg->sensitive;
    if (msg->state == MSG_STATE_BUILDING || msg->state == MSG_STATE_BROKEN)
        ByteBufferRelease(&msg->buffer, sensitive);
    else if (msg->state == MSG_STATE_READABLE && msg->start != msg->firstBlock)
        ByteBufferFreeBlock(msg->start, static_cast<size_t>(msg->end - msg->start), sensitive);
    msg->state = MSG_STATE_FREED;
    ByteBufferFreeBlock(msg, sizeof *msg, sensitive);
}

}  // extern "C"
