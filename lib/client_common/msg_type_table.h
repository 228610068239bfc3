/*
 * The table of LRPC2 message types: every type of the protocol with its name
 * and flags, sorted by number. The table is shared by all clients of the
 * daemon, so it lists many types this program never sends.
 */
#ifndef CLIENT_COMMON_MSG_TYPE_TABLE_H
#define CLIENT_COMMON_MSG_TYPE_TABLE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Messages of the type are overwritten with zeros before they are freed. */
#define MSG_TYPE_FLAG_SENSITIVE 0x1u
/* Carried in the table; no client operation acts on it by itself. */
#define MSG_TYPE_FLAG_RESERVED 0x2u
/* The client reads no reply after sending a message of the type. */
#define MSG_TYPE_FLAG_ONE_WAY 0x4u

/* Type numbers the client library itself uses. */
#define MSG_TYPE_PROCESS_AUTH_CHALLENGE2 3u
#define MSG_TYPE_CONTROL_PING 100u
#define MSG_TYPE_CONTROL_LOG2 107u
#define MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT 1200u

typedef struct MsgTypeEntry {
    uint32_t number;   /* the wire carries its low 16 bits */
    const char *name;  /* null for a row the protocol leaves unnamed */
    uint32_t flags;    /* MSG_TYPE_FLAG_* */
} MsgTypeEntry;

typedef struct MsgTypeTable {
    size_t count;
    const MsgTypeEntry *entries;  /* sorted by ascending number */
} MsgTypeTable;

/* The program's table (static; never freed). */
const MsgTypeTable *GetMessageTable(void);

/* The row of a type number, or null when the table (or the number) has none. */
const MsgTypeEntry *FindMsgTypeEntry(const MsgTypeTable *table, uint32_t number);
/* The name of a type, or null for an unknown or unnamed number. */
const char *MsgTypeName(const MsgTypeTable *table, uint32_t number);
/* 1 when the type is sensitive, else 0 (also for an unknown number). */
int MsgTypeIsSensitive(const MsgTypeTable *table, uint32_t number);
/* 1 when the type is one-way, else 0 (also for an unknown number). */
int MsgTypeIsOneWay(const MsgTypeTable *table, uint32_t number);

#ifdef __cplusplus
}
#endif

#endif
