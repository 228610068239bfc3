#include "client_common/byte_buffer.h"

#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

size_t Capacity(const ByteBuffer *buffer)
{
    return static_cast<size_t>(buffer->end - buffer->data);
}

// The exported ByteBufferUsed may be interposed in a shared object, so the
// compiler would not inline it here.
size_t Used(const ByteBuffer *buffer)
{
    return static_cast<size_t>(buffer->pos - buffer->data);
}

size_t FreeBytes(const ByteBuffer *buffer)
{
    return static_cast<size_t>(buffer->end - buffer->pos);
}

// Hands the buffer's block back, its used bytes zeroed first when asked
// (nothing past them was ever written): freed, or left to its owner when it
// is a lent block.
void GiveBackBlock(ByteBuffer *buffer, int zero)
{
    if (!buffer->lent)
        ByteBufferFreeBlock(buffer->data, Used(buffer), zero);
    else if (zero)
        explicit_bzero(buffer->data, Used(buffer));
}

// Moves the contents into a block of the new capacity. A wiping buffer never
// uses realloc: realloc may move the bytes and hand the old block back to the
// allocator with the secret still in it. A lent block is left to its owner,
// emptied of secrets first.
int Reallocate(ByteBuffer *buffer, size_t capacity)
{
    const size_t used = Used(buffer);
    unsigned char *data;
    if (buffer->data == nullptr) {
        data = static_cast<unsigned char *>(malloc(capacity));
        if (data == nullptr)
            return 0;
    } else if (buffer->wipe || buffer->lent) {
        data = static_cast<unsigned char *>(malloc(capacity));
        if (data == nullptr)
            return 0;
        memcpy(data, buffer->data, used);
        GiveBackBlock(buffer, buffer->wipe);
    } else {
        data = static_cast<unsigned char *>(realloc(buffer->data, capacity));
        if (data == nullptr)
            return 0;
    }
    buffer->data = data;
    buffer->pos = data + used;
    buffer->end = data + capacity;
    buffer->lent = 0;
    return 1;
}

void MakeEmpty(ByteBuffer *buffer)
{
    buffer->data = nullptr;
    buffer->pos = nullptr;
    buffer->end = nullptr;
    buffer->lent = 0;
}

// The block of a detach that the buffer allocated: none when nothing was
// written, else shrunk when only a tail larger than the size figure is worth
// a realloc. A small frame keeps its block, which the allocator then recycles
// at once for the next message; a wiping buffer always keeps its block. Not
// inlined, so that detaching a lent block needs no stack frame.
__attribute__((noinline)) unsigned char *Trimmed(ByteBuffer *buffer, size_t used)
{
    unsigned char *data = buffer->data;
    if (used == 0) {
        free(data);
        return nullptr;
    }
    if (!buffer->wipe && Capacity(buffer) - used > buffer->size) {
        unsigned char *shrunk = static_cast<unsigned char *>(realloc(data, used));
        if (shrunk != nullptr)
            data = shrunk;
    }
    return data;
}

}  // namespace

extern "C" {

void ByteBufferInit(ByteBuffer *buffer, size_t size)
{
    if (buffer == nullptr)
        return;
    MakeEmpty(buffer);
    buffer->size = size != 0 ? size : BYTE_BUFFER_DEFAULT_SIZE;
    buffer->wipe = 0;
}

void ByteBufferInitWiping(ByteBuffer *buffer, size_t size)
{
    ByteBufferInit(buffer, size);
    if (buffer != nullptr)
        buffer->wipe = 1;
}

void ByteBufferInitInBlock(ByteBuffer *buffer, void *block, size_t capacity, int wipe)
{
    if (buffer == nullptr)
        return;
    if (block == nullptr || capacity == 0) {
        MakeEmpty(buffer);
        buffer->size = BYTE_BUFFER_DEFAULT_SIZE;
    } else {
        buffer->data = static_cast<unsigned char *>(block);
        buffer->pos = buffer->data;
        buffer->end = buffer->data + capacity;
        buffer->size = capacity;
        buffer->lent = 1;
    }
    buffer->wipe = wipe != 0;
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
        // Many small appends to a large buffer (a long rendering, a pending
        // log message) would otherwise copy it again every few appends:
        // growth at least doubles, which keeps appends amortised constant.
        if (buffer->data != nullptr && Capacity(buffer) <= SIZE_MAX / 2 && capacity < 2 * Capacity(buffer))
            capacity = 2 * Capacity(buffer);
        if (capacity <= Used(buffer) + n)
            capacity = Used(buffer) + n + 1;
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
            if (capacity < Used(buffer) + 2)
                capacity = Used(buffer) + 2;
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
    const size_t used = Used(buffer);
    if (offset > used || n > used - offset)
        return 0;
    if (n != 0)
        memcpy(buffer->data + offset, bytes, n);
    return 1;
}

void ByteBufferTruncate(ByteBuffer *buffer, size_t size)
{
    if (buffer == nullptr || buffer->data == nullptr || Used(buffer) <= size)
        return;
    // Release zeroes only the bytes still counted.
    if (buffer->wipe)
        memset(buffer->data + size, 0, Used(buffer) - size);
    buffer->pos = buffer->data + size;
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
    unsigned char *data = nullptr;
    size_t used = 0;
    if (buffer != nullptr) {
        used = Used(buffer);
        data = buffer->lent ? buffer->data : Trimmed(buffer, used);
        if (used == 0)
            data = nullptr;
        MakeEmpty(buffer);
    }
    if (length != nullptr)
        *length = used;
    return data;
}

void ByteBufferRelease(ByteBuffer *buffer, int zero)
{
    if (buffer == nullptr)
        return;
    GiveBackBlock(buffer, zero || buffer->wipe);
    MakeEmpty(buffer);
}

void ByteBufferFreeBlock(void *block, size_t length, int zero)
{
    if (block == nullptr)
        return;
    if (zero)
        explicit_bzero(block, length);
    free(block);
}

void ByteBufferFreeWholeBlock(void *block, int zero)
{
    if (block != nullptr && zero)
        explicit_bzero(block, malloc_usable_size(block));
    free(block);
}

}  // extern "C"
