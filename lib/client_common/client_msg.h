/*
 * LRPC2 messages: building them parameter by parameter and completing them
 * into a frame. Parsing received frames and reading them back with type
 * checking is client_msg_reader.h.
 *
 * Frame (all integers in host byte order; both ends run on one host and the
 * magic reveals a mismatch):
 *   offset 0  4 bytes  magic 0xABCD8012       } written by the transport just
 *   offset 4  4 bytes  total frame length     } before sending
 *   offset 8  2 bytes  message type number
 *   offset 10 ...      parameters: a 1-byte wire type, then its value
 *   last      1 byte   WIRE_END (0)
 *
 * Values after the wire type byte:
 *   WIRE_BOOL             1 byte, 0 or 1
 *   WIRE_INT32/UINT32     4 bytes
 *   WIRE_STRING/PASSWORD  4-byte length n, n bytes, no terminator; n = 0xFFFFFFFF: null
 *   WIRE_BLOB             4-byte length n, n bytes; n = 0xFFFFFFFF: null
 *   WIRE_STRING_ARRAY     4-byte count c, c length-prefixed strings
 *   WIRE_KEY_VALUE_ARRAY  4-byte count c, c pairs of length-prefixed key, value
 *
 * Every operation returns a MsgStatus (0 = success) or a value as documented;
 * none aborts or prints. Messages are freed only with MsgFree. Messages of a
 * sensitive type are overwritten with zeros before any of their memory goes
 * back to the allocator.
 */
#ifndef CLIENT_COMMON_CLIENT_MSG_H
#define CLIENT_COMMON_CLIENT_MSG_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "client_common/byte_buffer.h"
#include "client_common/msg_type_table.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LRPC2_FRAME_MAGIC 0xABCD8012u
/* Header size the LRPC2 client always uses: magic and length. */
#define LRPC2_HEADER_SIZE 8u
/* Length field value of a null string, password or blob. */
#define MSG_NULL_LENGTH 0xFFFFFFFFu

/* Wire parameter types. */
enum WireType {
    WIRE_END = 0,
    WIRE_BOOL = 1,
    WIRE_INT32 = 2,
    WIRE_UINT32 = 3,
    WIRE_STRING = 4,
    WIRE_PASSWORD = 5,
    WIRE_BLOB = 6,
    WIRE_STRING_ARRAY = 7,
    WIRE_KEY_VALUE_ARRAY = 8
};

/* Message codec status codes (texts from MsgStatusText). */
enum MsgStatus {
    MSG_OK = 0,
    MSG_ERR_NO_MEMORY = 200,        /* "Out of memory" */
    MSG_ERR_UNEXPECTED_DATA = 201,  /* "Unexpected data" */
    MSG_ERR_WRONG_TYPE = 202,       /* "Incorrect data type" */
    MSG_ERR_AT_END = 203,           /* "At end of message" */
    MSG_ERR_NOT_COMPLETED = 204,    /* "Message not completed" */
    MSG_ERR_INVALID = 205           /* "Message invalid" */
};

/* Message states. */
enum MsgState {
    MSG_STATE_FREED = 0,
    MSG_STATE_BUILDING = 16,
    MSG_STATE_BROKEN = 17,   /* an append failed; only MsgFree remains useful */
    MSG_STATE_READABLE = 32  /* completed or received */
};

/* Kind of array left open by MsgBeginStringArray / MsgBeginKeyValueArray. */
enum MsgOpenArray {
    MSG_ARRAY_NONE = 0,
    MSG_ARRAY_STRINGS = 1,
    MSG_ARRAY_KEY_VALUES = 2
};

/* Capacity of the block inside every message record where the frame is
 * built, and stays while it fits: a small message costs one allocation,
 * freed once. The same as the first allocation of a byte buffer, so frames
 * that outgrow it grow as they always have. */
#define MSG_FIRST_BLOCK_SIZE BYTE_BUFFER_DEFAULT_SIZE

/* One message. A plain record: callers use the functions below, the fields
 * are shown for the trace renderer and for debugging. */
typedef struct ClientMsg {
    int state;                  /* enum MsgState */
    const MsgTypeTable *table;  /* table the message was made or parsed against */
    int sensitive;              /* copy of the type's sensitive flag */
    int oneWay;                 /* copy of the type's one-way flag */
    size_t headerSize;          /* reserved bytes before the type */
    /* under construction */
    ByteBuffer buffer;          /* the growing frame */
    int openArray;              /* enum MsgOpenArray */
    uint32_t arrayCount;        /* elements of the open array so far */
    size_t arrayCountOffset;    /* offset in buffer of the open array's count field */
    /* readable */
    unsigned char *start;       /* the frame (in firstBlock or its own block); owned by the message */
    unsigned char *end;         /* one past its last byte */
    unsigned char *readPos;     /* next unread byte */
    /* The frame's first block, lent to buffer; the frame stays here when it
     * fits. Kept last: the fields above are set, this is only written to. */
    unsigned char firstBlock[MSG_FIRST_BLOCK_SIZE];
} ClientMsg;

/* A key/value pair. Lists of pairs end with a pair of two nulls. */
typedef struct MsgKeyValue {
    char *key;
    char *value;
} MsgKeyValue;

/* The text of a MsgStatus; null for MSG_OK and any code outside
 * MSG_ERR_NO_MEMORY..MSG_ERR_INVALID. */
const char *MsgStatusText(int status);

/* ---- construction ---------------------------------------------------- */

/* Creates a message of a type listed in table, with headerSize reserved
 * zero bytes in front of the type. Returns null on failure; the status
 * (MSG_ERR_INVALID for a type missing from the table, MSG_ERR_NO_MEMORY) is
 * stored in *status when status is not null. */
ClientMsg *NewClientMsg(uint32_t type, const MsgTypeTable *table, size_t headerSize, int *status);

/* The adds of single parameters are inline (defined at the end of this
 * header): they run for every parameter of every message. */
static inline int MsgAddBool(ClientMsg *msg, int value);
static inline int MsgAddInt32(ClientMsg *msg, int32_t value);
static inline int MsgAddUInt32(ClientMsg *msg, uint32_t value);
/* Null adds the null string. */
static inline int MsgAddString(ClientMsg *msg, const char *value);
static inline int MsgAddPassword(ClientMsg *msg, const char *value);
/* A null pointer adds the null blob; a non-null pointer with length 0 an
 * empty one. */
static inline int MsgAddBlob(ClientMsg *msg, const void *data, size_t length);

/* Opens a string array; the elements follow with MsgAddArrayString*. The
 * array ends where the next parameter (or MsgComplete) begins. */
int MsgBeginStringArray(ClientMsg *msg);
/* Adds a string to the open string array (null adds the empty string). */
int MsgAddArrayString(ClientMsg *msg, const char *value);
/* Adds length bytes to the open string array; a null pointer or length 0
 * adds a null element. */
int MsgAddArrayStringLen(ClientMsg *msg, const char *value, size_t length);
/* Opens a key/value array; the pairs follow with MsgAddKeyValue. */
int MsgBeginKeyValueArray(ClientMsg *msg);
/* Adds a pair to the open key/value array; either part may be null, not both. */
int MsgAddKeyValue(ClientMsg *msg, const char *key, const char *value);
/* Adds a whole string array from a null-terminated list. */
int MsgAddStringArray(ClientMsg *msg, const char *const *strings);
/* Adds a whole key/value array from a list ended by a pair of two nulls. */
int MsgAddKeyValueArray(ClientMsg *msg, const MsgKeyValue *pairs);

/* Appends one ControlLog2 entry: time, process name, process id, level,
 * source file, source line, operation name, text. The list of entries is
 * closed by AddLogEntry(msg, 0, NULL, 0, 0, NULL, 0, NULL, NULL). Stops at
 * the first failing append and returns its status. */
int AddLogEntry(ClientMsg *msg, uint32_t time, const char *processName, int32_t processId,
                int32_t level, const char *sourceFile, int32_t line, const char *operation,
                const char *text);

/* Closes an open array, appends WIRE_END and makes the message readable. */
int MsgComplete(ClientMsg *msg);

/* ---- inspection and transport support ---------------------------------- */

/* The frame of a readable message (header bytes included). The transport
 * writes magic and length into the header bytes in place. */
int MsgGetFrame(ClientMsg *msg, unsigned char **frame, size_t *length);
/* The message type of a readable message; the read position stays. */
int MsgGetType(const ClientMsg *msg, uint16_t *type);
/* Whether no reply is read after sending a readable message. */
int MsgIsOneWay(const ClientMsg *msg, int *oneWay);

/* Frees everything the message owns, zeroing it first for a sensitive type.
 * A null message is ignored. Exported with C linkage for shared objects. */
void MsgFree(ClientMsg *msg);

/* ---- inline adds --------------------------------------------------------
 *
 * The common case of an add (the message is under construction, no array
 * is open and the frame's current block has room) is done in place; every
 * other case goes to MsgAddScalarChecked or MsgAddItemChecked, which make
 * the full checks of an add and report as it does. Callers use the MsgAdd
 * functions, not these. */

/* Largest frame: its length travels in a 32-bit field. */
#define MSG_MAX_FRAME_LENGTH 0xFFFFFFFFu

/* Adds a 1-byte (WIRE_BOOL) or 4-byte (WIRE_INT32, WIRE_UINT32) value; any
 * other wire type is refused with MSG_ERR_WRONG_TYPE, message unchanged. */
int MsgAddScalarChecked(ClientMsg *msg, unsigned char wireType, uint32_t value);
/* Adds a string, password or blob (null bytes: the null item); any other
 * wire type is refused with MSG_ERR_WRONG_TYPE, message unchanged. */
int MsgAddItemChecked(ClientMsg *msg, unsigned char wireType, const void *bytes, size_t length);

/* Counts n more bytes of the frame as written and stores where they go in
 * *room: 1 when the common case holds, else 0 and nothing changes. Strictly
 * more than n bytes must be free, as the buffer keeps one spare byte; and a
 * block no larger than the largest frame cannot carry a frame past it. */
static inline int MsgTakeRoom(ClientMsg *msg, size_t n, unsigned char **room)
{
    unsigned char *pos;
    if (msg == NULL || msg->state != MSG_STATE_BUILDING || msg->openArray != MSG_ARRAY_NONE)
        return 0;
    pos = msg->buffer.pos;
    if ((size_t)(msg->buffer.end - pos) <= n ||
        (size_t)(msg->buffer.end - msg->buffer.data) > MSG_MAX_FRAME_LENGTH)
        return 0;
    msg->buffer.pos = pos + n;
    *room = pos;
    return 1;
}

static inline int MsgAddScalarInline(ClientMsg *msg, unsigned char wireType, uint32_t value)
{
    unsigned char *room;
    if (!MsgTakeRoom(msg, 1 + sizeof value, &room))
        return MsgAddScalarChecked(msg, wireType, value);
    room[0] = wireType;
    memcpy(room + 1, &value, sizeof value);
    return MSG_OK;
}

static inline int MsgAddItemInline(ClientMsg *msg, unsigned char wireType, const void *bytes,
                                   size_t length)
{
    const size_t n = bytes != NULL ? length : 0;
    const uint32_t prefix = bytes != NULL ? (uint32_t)n : MSG_NULL_LENGTH;
    unsigned char *room;
    /* Longer items, up to the null length, are the general path's to judge;
     * below this bound the item and its prefix fit in any size_t. */
    if (n >= MSG_NULL_LENGTH - (1 + sizeof prefix) ||
        !MsgTakeRoom(msg, 1 + sizeof prefix + n, &room))
        return MsgAddItemChecked(msg, wireType, bytes, length);
    room[0] = wireType;
    memcpy(room + 1, &prefix, sizeof prefix);
    if (n != 0)
        memcpy(room + 1 + sizeof prefix, bytes, n);
    return MSG_OK;
}

static inline int MsgAddBool(ClientMsg *msg, int value)
{
    unsigned char *room;
    if (!MsgTakeRoom(msg, 2, &room))
        return MsgAddScalarChecked(msg, WIRE_BOOL, value != 0);
    room[0] = WIRE_BOOL;
    room[1] = value != 0;
    return MSG_OK;
}

static inline int MsgAddInt32(ClientMsg *msg, int32_t value)
{
    return MsgAddScalarInline(msg, WIRE_INT32, (uint32_t)value);
}

static inline int MsgAddUInt32(ClientMsg *msg, uint32_t value)
{
    return MsgAddScalarInline(msg, WIRE_UINT32, value);
}

static inline int MsgAddString(ClientMsg *msg, const char *value)
{
    return MsgAddItemInline(msg, WIRE_STRING, value, value != NULL ? strlen(value) : 0);
}

static inline int MsgAddPassword(ClientMsg *msg, const char *value)
{
    return MsgAddItemInline(msg, WIRE_PASSWORD, value, value != NULL ? strlen(value) : 0);
}

static inline int MsgAddBlob(ClientMsg *msg, const void *data, size_t length)
{
    return MsgAddItemInline(msg, WIRE_BLOB, data, length);
}

#ifdef __cplusplus
}
#endif

#endif
