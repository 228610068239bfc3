/*
 * LRPC2 status codes and their texts. The numbers are shared with the
 * daemon's side of the protocol, so the table holds texts for conditions this
 * client never produces itself.
 */
#ifndef CLIENT_COMMON_LRPC2_STATUS_H
#define CLIENT_COMMON_LRPC2_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

enum LRPC2Status {
    LRPC2_OK = 0,
    LRPC2_ERR_NO_SOCKET_PATH = 400,      /* "Socket path does not exist" */
    LRPC2_ERR_CANNOT_OPEN_SOCKET = 401,  /* "Cannot open socket" */
    LRPC2_ERR_WRONG_PROTOCOL = 402,      /* "Wrong protocol in handshake" */
    LRPC2_ERR_TABLE_VERSION = 403,       /* "Message table version mismatch" */
    LRPC2_ERR_SOCKET_CLOSED = 404,       /* "Socket closed" */
    LRPC2_ERR_SOCKET = 405,              /* "Socket error" */
    LRPC2_ERR_INVALID_MESSAGE = 406,     /* "Invalid message handle or operation" */
    LRPC2_ERR_NO_MEMORY = 407,           /* "Out of memory" */
    LRPC2_ERR_TIMEOUT = 408,             /* "Timeout during operation" */
    LRPC2_ERR_PROCESS_AUTH = 409,        /* "Process authentication failed" */
    LRPC2_ERR_PROCESS_UNKNOWN = 410,     /* "Process identity is not known at this point" */
    LRPC2_ERR_BAD_SESSION = 411,         /* "Bad or invalid session handle" */
    LRPC2_ERR_TIMEOUT_REQUIRED = 412,    /* "A timeout value is required" */
    LRPC2_ERR_BAD_MAGIC = 413,           /* "Bad magic number in communication, ..." */
    LRPC2_ERR_TEMP_SPACE = 414,          /* "Temporary storage is running out of space" */
    LRPC2_ERR_CANNOT_OPEN_FILE = 415,    /* "Cannot open file" */
    LRPC2_ERR_FILE_OPERATION = 416       /* "File operation error" */
};

/* The fixed English text of a status for log lines; null for LRPC2_OK and
 * for any code outside LRPC2_ERR_NO_SOCKET_PATH..LRPC2_ERR_FILE_OPERATION. */
const char *LRPC2StatusText(int status);

#ifdef __cplusplus
}
#endif

#endif
