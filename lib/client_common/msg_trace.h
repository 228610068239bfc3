/*
 * One-line text rendering of LRPC2 messages for TRACE logging: the type name
 * followed by the parameters in brackets, e.g.
 *   ATProxySetAuditTrailEvent["Norvalex Suite",STRING:0,u200]
 * Password parameters are never shown. Malformed or truncated bodies are
 * rendered as far as they go ("<incomplete>", "<unknown MsgType>").
 */
#ifndef CLIENT_COMMON_MSG_TRACE_H
#define CLIENT_COMMON_MSG_TRACE_H

#include <stddef.h>
#include <stdint.h>

#include "client_common/byte_buffer.h"
#include "client_common/client_msg.h"
#include "client_common/msg_type_table.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Renders a message, complete or under construction (a null message renders
 * as "Msg=0"). Returns a new NUL-terminated string the caller frees with
 * free(), or null when no memory could be had. */
char *MsgToString(const ClientMsg *msg);

/* Appends the rendering of a message body (the bytes after the frame header:
 * type, parameters) to out. When arrayOpen is non-zero, the array whose
 * 4-byte count field lies at arrayCountOffset (relative to body) is the one
 * still open: its placeholder is not read and arrayCount is used instead.
 * Returns 1, or 0 when the buffer could not grow (the text is then cut). */
int MsgBodyToString(ByteBuffer *out, const unsigned char *body, size_t length,
                    const MsgTypeTable *table, int arrayOpen, uint32_t arrayCount,
                    size_t arrayCountOffset);

#ifdef __cplusplus
}
#endif

#endif
