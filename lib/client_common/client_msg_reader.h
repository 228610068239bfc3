/*
 * Reading LRPC2 messages: parsing a received frame after validating it, and
 * reading a readable message back parameter by parameter with type checking.
 * The frame format is described in client_msg.h.
 */
#ifndef CLIENT_COMMON_CLIENT_MSG_READER_H
#define CLIENT_COMMON_CLIENT_MSG_READER_H

#include <stddef.h>
#include <stdint.h>

#include "client_common/client_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A string with its length, as MsgReadStringArrayWithLengths hands them out.
 * A null element has length MSG_NULL_LENGTH and a null string; the array
 * ends with length 0 and a null string. */
typedef struct MsgLengthString {
    uint32_t length;
    char *string;
} MsgLengthString;

/* Parses a received frame of length bytes whose first headerSize bytes are
 * the transport's header. The body is validated first (MSG_ERR_INVALID when
 * it is not valid).
 * With copy non-zero the message copies the frame; otherwise it takes over
 * the bytes, which must come from malloc, and frees them with the message
 * (on failure they stay the caller's). A type missing from the table is
 * accepted with both flags 0. Returns null on failure, the status in *status
 * when status is not null. */
ClientMsg *MsgFromFrame(unsigned char *frame, size_t length, int copy, const MsgTypeTable *table,
                        size_t headerSize, int *status);

/* ---- readers ------------------------------------------------------------ */
/* Readable messages only (else MSG_ERR_INVALID); at or past the end:
 * MSG_ERR_AT_END. A typed reader finding another wire type answers
 * MSG_ERR_WRONG_TYPE (MSG_ERR_AT_END if it is WIRE_END) and leaves the read
 * position unchanged; every reader that fails hands out nothing and leaves
 * the read position where it was. What a reader hands out belongs to the
 * caller. */

/* The next wire type byte, without moving. */
int MsgPeekType(ClientMsg *msg, int *wireType);
int MsgReadBool(ClientMsg *msg, int *value);
int MsgReadInt32(ClientMsg *msg, int32_t *value);
int MsgReadUInt32(ClientMsg *msg, uint32_t *value);
/* n consecutive WIRE_INT32 / WIRE_BOOL parameters into a new array of n
 * ints (free with free()); n of 0 or less: *values = null, success. */
int MsgReadInt32s(ClientMsg *msg, int n, int **values);
int MsgReadBools(ClientMsg *msg, int n, int **values);
/* A new NUL-terminated copy (free with MsgFreeString), null for the null
 * string. */
int MsgReadString(ClientMsg *msg, char **value);
int MsgReadPassword(ClientMsg *msg, char **value);
/* A new copy and its length (free with MsgFreeBlob); null and 0 for the
 * null blob. */
int MsgReadBlob(ClientMsg *msg, void **data, size_t *length);
/* A new null-terminated array of new strings (free with
 * MsgFreeStringArray); a null element is handed out as the empty string. */
int MsgReadStringArray(ClientMsg *msg, char ***strings);
/* A new array of (length, string) records closed by (0, null) (free with
 * MsgFreeLengthStringArray). */
int MsgReadStringArrayWithLengths(ClientMsg *msg, MsgLengthString **strings);
/* A new array of pairs closed by (null, null) (free with
 * MsgFreeKeyValueArray); a pair of two nulls on the wire is refused
 * (MSG_ERR_WRONG_TYPE). */
int MsgReadKeyValueArray(ClientMsg *msg, MsgKeyValue **pairs);

/* Free what the readers hand out, overwriting every byte with zeros first
 * when zero is non-zero (through the byte buffer's block frees). Each
 * accepts null. */
void MsgFreeString(char *value, int zero);
void MsgFreeBlob(void *data, size_t length, int zero);
void MsgFreeStringArray(char **strings, int zero);
void MsgFreeLengthStringArray(MsgLengthString *strings, int zero);
void MsgFreeKeyValueArray(MsgKeyValue *pairs, int zero);

#ifdef __cplusplus
}
#endif

#endif
