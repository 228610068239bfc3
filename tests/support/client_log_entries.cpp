#include "support/client_log_entries.h"

#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "client_common/log_buffer.h"

namespace testsupport {

namespace {

std::string TakeString(ClientMsg *message, bool *ok)
{
    char *value = nullptr;
    if (MsgReadString(message, &value) != 0) {
        *ok = false;
        return std::string();
    }
    std::string text = value != nullptr ? value : "";
    MsgFreeString(value, 0);
    return text;
}

} // namespace

std::vector<ClientLogEntry> TakeClientLogEntries(ClientLog *log)
{
    std::vector<ClientLogEntry> entries;
    if (log == nullptr || log->pending == nullptr)
        return entries;
    ClientMsg *message = log->pending;
    log->pending = nullptr;
    if (MsgComplete(message) != 0) {
        MsgFree(message);
        return entries;
    }
    for (;;) {
        uint32_t time = 0;
        int32_t pid = 0, level = 0, line = 0;
        bool ok = MsgReadUInt32(message, &time) == 0;
        if (!ok)
            break;
        ClientLogEntry entry;
        std::string ident = TakeString(message, &ok);
        ok = ok && MsgReadInt32(message, &pid) == 0 && MsgReadInt32(message, &level) == 0;
        entry.level = level;
        entry.source = TakeString(message, &ok);
        ok = ok && MsgReadInt32(message, &line) == 0;
        entry.operation = TakeString(message, &ok);
        entry.text = TakeString(message, &ok);
        if (!ok)
            break;
        entries.push_back(entry);
    }
    MsgFree(message);
    return entries;
}

std::vector<std::string> TakeClientLogTexts(ClientLog *log)
{
    std::vector<std::string> texts;
    for (const auto &entry : TakeClientLogEntries(log))
        texts.push_back(entry.text);
    return texts;
}

} // namespace testsupport
