#include "client_common/byte_buffer.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

size_t Capacity(const ByteBuffer *buffer)
{
    return static_cast<size_t>(buffer->end - buffer->data);
}

size_t FreeBytes(const ByteBuffer *buffer)
{
    return static_cast<size_t>(buffer->end - buffer->pos);
}

// Moves the contents into a block of the new capacity. A wiping buffer never
// uses realloc: realloc may move the bytes and hand the old block back to the
// allocator with the secret still in it.
int Reallocate(ByteBuffer *buffer, size_t capacity)
{
    const size_t used = ByteBufferUsed(buffer);
    unsigned char *data;
    if (buffer->data == nullptr) {
        data = static_cast<unsigned char *>(malloc(capacity));
        if (data == nullptr)
            return 0;
    } else if (buffer->wipe) {
        data = static_cast<unsigned char *>(malloc(capacity));
        if (data == nullptr)
            return 0;
        memcpy(data, buffer->data, used);
        explicit_bzero(buffer->data, used);
        free(buffer->data);
    } else {
        data = static_cast<unsigned char *>(realloc(buffer->data, capacity));
        if (data == nullptr)
            return 0;
    }
    buffer->data = data;
    buffer->pos = data + used;
    buffer->end = data + capacity;
    return 1;
}

}  // namespace

extern "C" {

void ByteBufferInit(ByteBuffer *buffer, size_t size)
{
    if (buffer == nullptr)
        return;
    buffer->data = nullptr;
    buffer->pos = nullptr;
    buffer->end = nullptr;
    buffer->size = size != 0 ? size : BYTE_BUFFER_DEFAULT_SIZE;
    buffer->wipe = 0;
}

void ByteBufferInitWiping(ByteBuffer *buffer, size_t size)
{
    ByteBufferInit(buffer, size);
    if (buffer != nullptr)
        buffer->wipe = 1;
}

unsigned char *ByteBufferReserve(ByteBuffer *buffer, size_t n)
{
    if (buffer == nullptr)
        return nullptr;
    // Strictly more than n free, so one byte always stays for a terminator.
    if (buffer->data == nullptr || FreeBytes(buffer) <= n) {
        size_t capacity;
        if (n > (SIZE_MAX - Capacity(buffer)) / 2)
            return nullptr;
        if (buffer->data == nullptr)
            capacity = buffer->size > 2 * n ? buffer->size : 2 * n;
        else
            capacity = 2 * n + Capacity(buffer);
        if (capacity <= ByteBufferUsed(buffer) + n)
            capacity = ByteBufferUsed(buffer) + n + 1;
        if (!Reallocate(buffer, capacity))
            return nullptr;
    }
    unsigned char *room = buffer->pos;
    buffer->pos += n;
    return room;
}

int ByteBufferAppend(ByteBuffer *buffer, const void *bytes, size_t n)
{
    if (bytes == nullptr && n != 0)
        return 0;
    unsigned char *room = ByteBufferReserve(buffer, n);
    if (room == nullptr)
        return 0;
    if (n != 0)
        memcpy(room, bytes, n);
    return 1;
}

int ByteBufferAppendString(ByteBuffer *buffer, const char *text)
{
    if (text == nullptr)
        return 0;
    return ByteBufferAppend(buffer, text, strlen(text));
}

int ByteBufferAppendByte(ByteBuffer *buffer, unsigned char byte)
{
    if (buffer == nullptr)
        return 0;
    if (buffer->data == nullptr || FreeBytes(buffer) < 2) {
        size_t capacity;
        if (buffer->data == nullptr) {
            capacity = buffer->size > 2 ? buffer->size : 2;
        } else {
            // Doubling keeps byte-by-byte rendering linear.
            if (Capacity(buffer) > SIZE_MAX / 2)
                return 0;
            capacity = Capacity(buffer) * 2;
            if (capacity < ByteBufferUsed(buffer) + 2)
                capacity = ByteBufferUsed(buffer) + 2;
        }
        if (!Reallocate(buffer, capacity))
            return 0;
    }
    *buffer->pos++ = byte;
    return 1;
}

int ByteBufferOverwrite(ByteBuffer *buffer, size_t offset, const void *bytes, size_t n)
{
    if (buffer == nullptr || (bytes == nullptr && n != 0))
        return 0;
    const size_t used = ByteBufferUsed(buffer);
    if (offset > used || n > used - offset)
        return 0;
    if (n != 0)
        memcpy(buffer->data + offset, bytes, n);
    return 1;
}

void ByteBufferDropLast(ByteBuffer *buffer)
{
    if (buffer != nullptr && buffer->pos != buffer->data) {
        --buffer->pos;
        // Release zeroes only the bytes still counted.
        if (buffer->wipe)
            *buffer->pos = 0;
    }
}

size_t ByteBufferUsed(const ByteBuffer *buffer)
{
    if (buffer == nullptr || buffer->data == nullptr)
        return 0;
    return static_cast<size_t>(buffer->pos - buffer->data);
}

unsigned char *ByteBufferData(const ByteBuffer *buffer)
{
    return buffer != nullptr ? buffer->data : nullptr;
}

unsigned char *ByteBufferDetach(ByteBuffer *buffer, size_t *length)
{
    if (length != nullptr)
        *length = 0;
    if (buffer == nullptr)
        return nullptr;
    const size_t used = ByteBufferUsed(buffer);
    unsigned char *data = buffer->data;
    if (used == 0) {
        free(data);
        data = nullptr;
    } else if (!buffer->wipe && Capacity(buffer) - used > buffer->size) {
        // Only a tail larger than the size figure is worth a realloc: a
        // small frame keeps its first block, which the allocator then
        // recycles at once for the next message.
        unsigned char *shrunk = static_cast<unsigned char *>(realloc(data, used));
        if (shrunk != nullptr)
            data = shrunk;
    }
    buffer->data = nullptr;
    buffer->pos = nullptr;
    buffer->end = nullptr;
    if (length != nullptr)
        *length = used;
    return data;
}

void ByteBufferRelease(ByteBuffer *buffer, int zero)
{
    if (buffer == nullptr)
        return;
    if (buffer->data != nullptr && (zero || buffer->wipe))
        explicit_bzero(buffer->data, ByteBufferUsed(buffer));
    free(buffer->data);
    buffer->data = nullptr;
    buffer->pos = nullptr;
    buffer->end = nullptr;
}

}  // extern "C"
