#include "client_common/client_msg_reader.h"

#include "client_common/byte_buffer.h"

#include <stdlib.h>
#include <string.h>

namespace {

uint32_t LoadU32(const unsigned char *bytes)
{
    uint32_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

// ---- validation of received frames ----------------------------------------

struct Cursor {
    const unsigned char *pos;
    const unsigned char *end;

    size_t left() const { return static_cast<size_t>(end - pos); }

    bool skip(size_t n)
    {
        if (n > left())
            return false;
        pos += n;
        return true;
    }

    bool take32(uint32_t *value)
    {
        if (left() < sizeof *value)
            return false;
        *value = LoadU32(pos);
        pos += sizeof *value;
        return true;
    }

    // A length-prefixed item; *bytes is null for the null item.
    bool takeItem(const unsigned char **bytes, uint32_t *length)
    {
        if (!take32(length))
            return false;
        if (*length == MSG_NULL_LENGTH) {
            *bytes = nullptr;
            return true;
        }
        *bytes = pos;
        return skip(*length);
    }
};

bool SkipItems(Cursor *cursor, uint64_t count)
{
    const unsigned char *bytes;
    uint32_t length;
    for (uint64_t i = 0; i < count; ++i) {
        if (!cursor->takeItem(&bytes, &length))
            return false;
    }
    return true;
}

// Checks a received body (type and parameters) before anything trusts it:
// every length must fit in the bytes left, and WIRE_END must be the last byte.
bool ValidBody(const unsigned char *body, size_t length)
{
    Cursor cursor = {body, body + length};
    if (!cursor.skip(sizeof(uint16_t)))
        return false;
    for (;;) {
        if (cursor.left() == 0)
            return false;
        const unsigned char wireType = *cursor.pos++;
        uint32_t count;
        switch (wireType) {
        case WIRE_END:
            return cursor.left() == 0;
        case WIRE_BOOL:
            if (!cursor.skip(1))
                return false;
            break;
        case WIRE_INT32:
        case WIRE_UINT32:
            if (!cursor.skip(4))
                return false;
            break;
        case WIRE_STRING:
        case WIRE_PASSWORD:
        case WIRE_BLOB:
            if (!SkipItems(&cursor, 1))
                return false;
            break;
        case WIRE_STRING_ARRAY:
            if (!cursor.take32(&count) || !SkipItems(&cursor, count))
                return false;
            break;
        case WIRE_KEY_VALUE_ARRAY:
            if (!cursor.take32(&count) || !SkipItems(&cursor, 2 * static_cast<uint64_t>(count)))
                return false;
            break;
        default:
            return false;
        }
    }
}

// ---- readers -------------------------------------------------------------

int CheckReadable(const ClientMsg *msg)
{
    if (msg == nullptr || msg->state != MSG_STATE_READABLE)
        return MSG_ERR_INVALID;
    if (msg->readPos >= msg->end)
        return MSG_ERR_AT_END;
    return MSG_OK;
}

// Checks the wire type at the read position and gives a cursor just past it.
int Expect(const ClientMsg *msg, unsigned char wireType, Cursor *cursor)
{
    const int status = CheckReadable(msg);
    if (status != MSG_OK)
        return status;
    const unsigned char found = *msg->readPos;
    if (found != wireType)
        return found == WIRE_END ? MSG_ERR_AT_END : MSG_ERR_WRONG_TYPE;
    cursor->pos = msg->readPos + 1;
    cursor->end = msg->end;
    return MSG_OK;
}

// A received item as a new NUL-terminated string (null for the null item).
int CopyItem(Cursor *cursor, char **value, uint32_t *lengthOut)
{
    const unsigned char *bytes;
    uint32_t length;
    if (!cursor->takeItem(&bytes, &length))
        return MSG_ERR_INVALID;
    if (lengthOut != nullptr)
        *lengthOut = length;
    if (bytes == nullptr) {
        *value = nullptr;
        return MSG_OK;
    }
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr)
        return MSG_ERR_NO_MEMORY;
    memcpy(copy, bytes, length);
    copy[length] = '\0';
    *value = copy;
    return MSG_OK;
}

int ReadStringOf(ClientMsg *msg, unsigned char wireType, char **value)
{
    if (value == nullptr)
        return MSG_ERR_INVALID;
    Cursor cursor;
    int status = Expect(msg, wireType, &cursor);
    if (status == MSG_OK)
        status = CopyItem(&cursor, value, nullptr);
    if (status == MSG_OK)
        msg->readPos = const_cast<unsigned char *>(cursor.pos);
    return status;
}

// Reads n consecutive parameters of one fixed-size type into a new int
// array. The first pass only checks, so a failure allocates nothing and a
// hostile n cannot make us allocate more than the message could hold.
int ReadScalars(ClientMsg *msg, unsigned char wireType, size_t valueSize, int n, int **values)
{
    if (values == nullptr)
        return MSG_ERR_INVALID;
    *values = nullptr;
    if (n <= 0) {
        const int status = CheckReadable(msg);
        return status == MSG_ERR_AT_END ? MSG_OK : status;
    }
    Cursor cursor = {msg != nullptr ? msg->readPos : nullptr, msg != nullptr ? msg->end : nullptr};
    for (int i = 0; i < n; ++i) {
        int status = CheckReadable(msg);
        if (status != MSG_OK)
            return status;
        if (cursor.left() == 0)
            return MSG_ERR_AT_END;
        if (*cursor.pos != wireType)
            return *cursor.pos == WIRE_END ? MSG_ERR_AT_END : MSG_ERR_WRONG_TYPE;
        if (!cursor.skip(1 + valueSize))
            return MSG_ERR_INVALID;
    }
    int *array = static_cast<int *>(malloc(static_cast<size_t>(n) * sizeof(int)));
    if (array == nullptr)
        return MSG_ERR_NO_MEMORY;
    const unsigned char *pos = msg->readPos;
    for (int i = 0; i < n; ++i) {
        if (valueSize == 1) {
            array[i] = pos[1] != 0;
        } else {
            int32_t value;
            memcpy(&value, pos + 1, sizeof value);
            array[i] = value;
        }
        pos += 1 + valueSize;
    }
    msg->readPos = const_cast<unsigned char *>(pos);
    *values = array;
    return MSG_OK;
}

int Read32(ClientMsg *msg, unsigned char wireType, uint32_t *value)
{
    Cursor cursor;
    int status = Expect(msg, wireType, &cursor);
    if (status != MSG_OK)
        return status;
    if (value == nullptr || !cursor.take32(value))
        return MSG_ERR_INVALID;
    msg->readPos = const_cast<unsigned char *>(cursor.pos);
    return MSG_OK;
}

// Opens an array parameter: reads its element count and allocates room for
// the elements and a terminating entry. Every element takes at least
// `minimumElementSize` bytes on the wire: a count beyond that cannot be real
// and must not size an allocation.
template <typename Element>
int OpenArray(const ClientMsg *msg, unsigned char wireType, size_t minimumElementSize, Cursor *cursor,
              uint32_t *count, Element **array)
{
    int status = Expect(msg, wireType, cursor);
    if (status != MSG_OK)
        return status;
    if (!cursor->take32(count) || *count > cursor->left() / minimumElementSize)
        return MSG_ERR_INVALID;
    *array = static_cast<Element *>(malloc((static_cast<size_t>(*count) + 1) * sizeof **array));
    return *array != nullptr ? MSG_OK : MSG_ERR_NO_MEMORY;
}

}  // namespace

extern "C" {

ClientMsg *MsgFromFrame(unsigned char *frame, size_t length, int copy, const MsgTypeTable *table,
                        size_t headerSize, int *status)
{
    int result = MSG_OK;
    ClientMsg *msg = nullptr;
    const MsgTypeEntry *entry;
    uint16_t type;
    // A frame shorter than its own header would leave the body length
    // negative; it is as invalid as a body that fails the checks.
    if (frame == nullptr || length == 0 || length < headerSize ||
        !ValidBody(frame + headerSize, length - headerSize)) {
        result = MSG_ERR_INVALID;
        goto done;
    }
    msg = static_cast<ClientMsg *>(malloc(sizeof *msg));
    if (msg == nullptr) {
        result = MSG_ERR_NO_MEMORY;
        goto done;
    }
    memcpy(&type, frame + headerSize, sizeof type);
    entry = FindMsgTypeEntry(table, type);
    msg->sensitive = entry != nullptr && (entry->flags & MSG_TYPE_FLAG_SENSITIVE) != 0;
    msg->oneWay = entry != nullptr && (entry->flags & MSG_TYPE_FLAG_ONE_WAY) != 0;
    if (copy) {
        // A frame that fits is copied into the record: one block, freed once.
        unsigned char *bytes = msg->firstBlock;
        if (length > sizeof msg->firstBlock)
            bytes = static_cast<unsigned char *>(malloc(length));
        if (bytes == nullptr) {
            free(msg);
            msg = nullptr;
            result = MSG_ERR_NO_MEMORY;
            goto done;
        }
        memcpy(bytes, frame, length);
        frame = bytes;
    }
    msg->state = MSG_STATE_READABLE;
    msg->table = table;
    msg->headerSize = headerSize;
    ByteBufferInit(&msg->buffer, 0);
    msg->openArray = MSG_ARRAY_NONE;
    msg->arrayCount = 0;
    msg->arrayCountOffset = 0;
    msg->start = frame;
    msg->end = frame + length;
    msg->readPos = frame + headerSize + sizeof(uint16_t);
done:
    if (status != nullptr)
        *status = result;
    return msg;
}

int MsgPeekType(ClientMsg *msg, int *wireType)
{
    const int status = CheckReadable(msg);
    if (status != MSG_OK)
        return status;
    if (wireType == nullptr)
        return MSG_ERR_INVALID;
    *wireType = *msg->readPos;
    return MSG_OK;
}

int MsgReadBool(ClientMsg *msg, int *value)
{
    Cursor cursor;
    int status = Expect(msg, WIRE_BOOL, &cursor);
    if (status != MSG_OK)
        return status;
    if (value == nullptr || cursor.left() < 1)
        return MSG_ERR_INVALID;
    *value = *cursor.pos != 0;
    msg->readPos = const_cast<unsigned char *>(cursor.pos) + 1;
    return MSG_OK;
}

int MsgReadInt32(ClientMsg *msg, int32_t *value)
{
    uint32_t raw;
    const int status = Read32(msg, WIRE_INT32, value != nullptr ? &raw : nullptr);
    if (status == MSG_OK)
        *value = static_cast<int32_t>(raw);
    return status;
}

int MsgReadUInt32(ClientMsg *msg, uint32_t *value)
{
    return Read32(msg, WIRE_UINT32, value);
}

int MsgReadInt32s(ClientMsg *msg, int n, int **values)
{
    return ReadScalars(msg, WIRE_INT32, sizeof(int32_t), n, values);
}

int MsgReadBools(ClientMsg *msg, int n, int **values)
{
    return ReadScalars(msg, WIRE_BOOL, 1, n, values);
}

int MsgReadString(ClientMsg *msg, char **value)
{
    return ReadStringOf(msg, WIRE_STRING, value);
}

int MsgReadPassword(ClientMsg *msg, char **value)
{
    return ReadStringOf(msg, WIRE_PASSWORD, value);
}

int MsgReadBlob(ClientMsg *msg, void **data, size_t *length)
{
    if (data == nullptr || length == nullptr)
        return MSG_ERR_INVALID;
    Cursor cursor;
    int status = Expect(msg, WIRE_BLOB, &cursor);
    if (status != MSG_OK)
        return status;
    const unsigned char *bytes;
    uint32_t n;
    if (!cursor.takeItem(&bytes, &n))
        return MSG_ERR_INVALID;
    void *copy = nullptr;
    if (bytes != nullptr) {
        // One byte more, so an empty blob is a real block, not a null one.
        copy = malloc(static_cast<size_t>(n) + 1);
        if (copy == nullptr)
            return MSG_ERR_NO_MEMORY;
        memcpy(copy, bytes, n);
    }
    *data = copy;
    *length = bytes != nullptr ? n : 0;
    msg->readPos = const_cast<unsigned char *>(cursor.pos);
    return MSG_OK;
}

int MsgReadStringArray(ClientMsg *msg, char ***strings)
{
    if (strings == nullptr)
        return MSG_ERR_INVALID;
    Cursor cursor;
    uint32_t count = 0;
    char **array = nullptr;
    // Each element takes at least its 4-byte length.
    int status = OpenArray(msg, WIRE_STRING_ARRAY, sizeof(uint32_t), &cursor, &count, &array);
    if (status != MSG_OK)
        return status;
    size_t done = 0;
    for (; done < count; ++done) {
        status = CopyItem(&cursor, &array[done], nullptr);
        if (status != MSG_OK)
            break;
        if (array[done] == nullptr) {
            array[done] = static_cast<char *>(calloc(1, 1));
            if (array[done] == nullptr) {
                status = MSG_ERR_NO_MEMORY;
                break;
            }
        }
    }
    if (status != MSG_OK) {
        array[done] = nullptr;
        MsgFreeStringArray(array, msg->sensitive);
        return status;
    }
    array[count] = nullptr;
    *strings = array;
    msg->readPos = const_cast<unsigned char *>(cursor.pos);
    return MSG_OK;
}

int MsgReadStringArrayWithLengths(ClientMsg *msg, MsgLengthString **strings)
{
    if (strings == nullptr)
        return MSG_ERR_INVALID;
    Cursor cursor;
    uint32_t count = 0;
    MsgLengthString *array = nullptr;
    // Each element takes at least its 4-byte length.
    int status = OpenArray(msg, WIRE_STRING_ARRAY, sizeof(uint32_t), &cursor, &count, &array);
    if (status != MSG_OK)
        return status;
    size_t done = 0;
    for (; done < count; ++done) {
        status = CopyItem(&cursor, &array[done].string, &array[done].length);
        if (status != MSG_OK)
            break;
    }
    array[done].length = 0;
    array[done].string = nullptr;
    if (status != MSG_OK) {
        MsgFreeLengthStringArray(array, msg->sensitive);
        return status;
    }
    *strings = array;
    msg->readPos = const_cast<unsigned char *>(cursor.pos);
    return MSG_OK;
}

int MsgReadKeyValueArray(ClientMsg *msg, MsgKeyValue **pairs)
{
    if (pairs == nullptr)
        return MSG_ERR_INVALID;
    Cursor cursor;
    uint32_t count = 0;
    MsgKeyValue *array = nullptr;
    // Each element takes at least the 4-byte lengths of its key and value.
    int status = OpenArray(msg, WIRE_KEY_VALUE_ARRAY, 2 * sizeof(uint32_t), &cursor, &count, &array);
    if (status != MSG_OK)
        return status;
    size_t done = 0;
    for (; done < count; ++done) {
        array[done].value = nullptr;
        status = CopyItem(&cursor, &array[done].key, nullptr);
        if (status == MSG_OK)
            status = CopyItem(&cursor, &array[done].value, nullptr);
        // Two nulls would end the list early and hide the pairs after them.
        if (status == MSG_OK && array[done].key == nullptr && array[done].value == nullptr)
            status = MSG_ERR_WRONG_TYPE;
        if (status != MSG_OK) {
            ByteBufferFreeWholeBlock(array[done].key, msg->sensitive);
            ByteBufferFreeWholeBlock(array[done].value, msg->sensitive);
            break;
        }
    }
    array[done].key = nullptr;
    array[done].value = nullptr;
    if (status != MSG_OK) {
        MsgFreeKeyValueArray(array, msg->sensitive);
        return status;
    }
    *pairs = array;
    msg->readPos = const_cast<unsigned char *>(cursor.pos);
    return MSG_OK;
}

void MsgFreeString(char *value, int zero)
{
    ByteBufferFreeWholeBlock(value, zero);
}

void MsgFreeBlob(void *data, size_t length, int zero)
{
    ByteBufferFreeBlock(data, length, zero);
}

void MsgFreeStringArray(char **strings, int zero)
{
    if (strings == nullptr)
        return;
    size_t count = 0;
    for (; strings[count] != nullptr; ++count)
        ByteBufferFreeWholeBlock(strings[count], zero);
    ByteBufferFreeBlock(strings, (count + 1) * sizeof *strings, zero);
}

void MsgFreeLengthStringArray(MsgLengthString *strings, int zero)
{
    if (strings == nullptr)
        return;
    size_t count = 0;
    for (; strings[count].string != nullptr || strings[count].length != 0; ++count)
        ByteBufferFreeWholeBlock(strings[count].string, zero);
    ByteBufferFreeBlock(strings, (count + 1) * sizeof *strings, zero);
}

void MsgFreeKeyValueArray(MsgKeyValue *pairs, int zero)
{
    if (pairs == nullptr)
        return;
    size_t count = 0;
    for (; pairs[count].key != nullptr || pairs[count].value != nullptr; ++count) {
        ByteBufferFreeWholeBlock(pairs[count].key, zero);
        ByteBufferFreeWholeBlock(pairs[count].value, zero);
    }
    ByteBufferFreeBlock(pairs, (count + 1) * sizeof *pairs, zero);
}

}  // extern "C"
