/*
 * A growable byte buffer shared by the message codec, the trace renderer and
 * the client configuration reader.
 *
 * The buffer grows by amortised doubling and always keeps one spare byte
 * after a single-byte append, so a caller can terminate text in place. A
 * buffer that may hold secrets is set to wipe: then every block it gives
 * back to the allocator (on growth, on shrinking, on release) is overwritten
 * with zeros first, and it never lets realloc move secret bytes behind its
 * back.
 *
 * The owner of a buffer may lend it a first block of its own memory (for
 * example inside the record the buffer belongs to), so that a small content
 * costs no allocation of its own. The buffer writes into that block until it
 * outgrows it, then moves to blocks it allocates; it never frees or
 * reallocates the lent block.
 *
 * Operations that can fail return 1 when they ran to their end and 0 when
 * they did not; a failed operation leaves the buffer as it was.
 */
#ifndef CLIENT_COMMON_BYTE_BUFFER_H
#define CLIENT_COMMON_BYTE_BUFFER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size figure used when a buffer is initialised with size 0. */
#define BYTE_BUFFER_DEFAULT_SIZE 512

typedef struct ByteBuffer {
    unsigned char *data;  /* start of the allocation, or null before the first append */
    unsigned char *pos;   /* write position: data + used size */
    unsigned char *end;   /* end of the allocation */
    size_t size;          /* size figure: capacity of the first allocation */
    int wipe;             /* 1: zero every block before it goes back to the allocator */
    int lent;             /* 1: data is the owner's block (ByteBufferInitInBlock) */
} ByteBuffer;

/* Sets up an empty buffer; size 0 selects BYTE_BUFFER_DEFAULT_SIZE. Nothing
 * is allocated until the first append. */
void ByteBufferInit(ByteBuffer *buffer, size_t size);
/* As ByteBufferInit, for a buffer that will hold secrets. */
void ByteBufferInitWiping(ByteBuffer *buffer, size_t size);
/* Sets up an empty buffer that writes into the caller's block of capacity
 * bytes until it needs more; capacity is also its size figure. wipe as for
 * ByteBufferInitWiping: a wiping buffer zeroes the lent block's bytes when
 * it moves out of it. A null block or capacity 0 gives ByteBufferInit(0). */
void ByteBufferInitInBlock(ByteBuffer *buffer, void *block, size_t capacity, int wipe);

/* Appends n bytes (n may be 0). */
int ByteBufferAppend(ByteBuffer *buffer, const void *bytes, size_t n);
/* Appends the bytes of a NUL-terminated string without its terminator. */
int ByteBufferAppendString(ByteBuffer *buffer, const char *text);
/* Makes room for n bytes as ByteBufferAppend would, counts them as written
 * and returns where they go; the caller fills them in at once. Null when the
 * buffer cannot grow (nothing changes then). */
unsigned char *ByteBufferReserve(ByteBuffer *buffer, size_t n);
/* Appends one byte; afterwards at least one more byte is free. */
int ByteBufferAppendByte(ByteBuffer *buffer, unsigned char byte);
/* Overwrites n bytes at offset within the bytes written so far; the write
 * position does not move. Fails when offset + n passes the used size. */
int ByteBufferOverwrite(ByteBuffer *buffer, size_t offset, const void *bytes, size_t n);
/* Drops the bytes written past the first `size` (none when fewer were
 * written); a wiping buffer zeroes them. */
void ByteBufferTruncate(ByteBuffer *buffer, size_t size);

/* Number of bytes written. */
size_t ByteBufferUsed(const ByteBuffer *buffer);
/* Start of the written bytes (null before the first append). */
unsigned char *ByteBufferData(const ByteBuffer *buffer);

/* Hands the written bytes to the caller, who frees them with free(), and
 * resets the buffer to empty. The block is shrunk to the used size when
 * that gives back more than the size figure; a smaller tail is not worth a
 * realloc (a wiping buffer always keeps its block, so no secret is copied
 * by realloc). Bytes still in a lent block are handed back in place: that
 * block stays its owner's and is not freed. Stores the used size in
 * *length when length is not null. Returns null when nothing was written. */
unsigned char *ByteBufferDetach(ByteBuffer *buffer, size_t *length);
/* Frees the allocation, zeroing the used bytes first when zero is non-zero
 * (a wiping buffer always zeroes), and resets the buffer to empty with the
 * same size figure. A lent block is zeroed the same way but not freed.
 * Accepts null. */
void ByteBufferRelease(ByteBuffer *buffer, int zero);

/* ---- freeing blocks that may hold secrets ---------------------------------
 * The one place where memory that may have held a sensitive message goes
 * back to the allocator: the buffer's own blocks above, and every block the
 * layers above free (message records and frames, received replies, what the
 * message readers hand out). */

/* Frees a block from malloc, overwriting its first length bytes with zeros
 * first when zero is non-zero. Accepts null. */
void ByteBufferFreeBlock(void *block, size_t length, int zero);
/* As ByteBufferFreeBlock for a block whose length its owner does not keep
 * (a string that may hold NUL bytes of its own): the whole allocation is
 * zeroed. Accepts null. */
void ByteBufferFreeWholeBlock(void *block, int zero);

#ifdef __cplusplus
}
#endif

#endif
