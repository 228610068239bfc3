// The stand-in daemon's JSON rendering over arbitrary message bodies that the
// codec accepts: it must read every parameter in bounds and always produce
// one line of text, whatever the strings hold.
#include "../tools/dirsvcd-stub/message_json.h"

#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "client_common/msg_type_table.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The input is the body; the header in front is the transport's.
    unsigned char *frame = static_cast<unsigned char *>(malloc(size + LRPC2_HEADER_SIZE));
    if (!frame)
        return 0;
    memset(frame, 0, LRPC2_HEADER_SIZE);
    if (size)
        memcpy(frame + LRPC2_HEADER_SIZE, data, size);
    int status = -1;
    ClientMsg *msg = MsgFromFrame(frame, size + LRPC2_HEADER_SIZE, 1, GetMessageTable(), LRPC2_HEADER_SIZE, &status);
    free(frame);
    if (!msg)
        return 0;
    const std::string json = dirsvcdstub::MessageToJson(7, msg);
    MsgFree(msg);
    if (json.empty() || json.front() != '{' || json.back() != '}')
        abort();
    for (unsigned char c : json)
        if (c < 0x20)
            abort();
    return 0;
}
