#include "message_json.h"

#include "client_common/client_msg_reader.h"
#include "client_common/msg_type_table.h"

#include <optional>
#include <utility>
#include <vector>

namespace dirsvcdstub {

namespace {

using OptionalString = std::optional<std::string>;

// One decoded parameter; which fields count depends on the wire type.
struct Parameter {
    int wire = WIRE_END;
    long long number = 0;  // bool, int32, uint32
    OptionalString text;   // string, password, blob bytes
    std::vector<OptionalString> strings;
    std::vector<std::pair<OptionalString, OptionalString>> pairs;
};

size_t Utf8SequenceLength(const std::string &bytes, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    size_t length;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else
        return 0;
    if (at + length > bytes.size())
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(bytes[at + i]) & 0xC0) != 0x80)
            return 0;
    return length;
}

std::string UnicodeEscape(unsigned char c)
{
    static const char digits[] = "0123456789abcdef";
    return std::string("\\u00") + digits[c >> 4] + digits[c & 0xF];
}

std::string Optional(const OptionalString &value)
{
    return value ? JsonString(*value) : "null";
}

std::string Hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

// Reads the next parameter through the codec. Returns its status.
int ReadParameter(ClientMsg *msg, Parameter &parameter)
{
    int status = MsgPeekType(msg, &parameter.wire);
    if (status != MSG_OK)
        return status;
    switch (parameter.wire) {
    case WIRE_BOOL: {
        int value = 0;
        status = MsgReadBool(msg, &value);
        parameter.number = value;
        return status;
    }
    case WIRE_INT32: {
        int32_t value = 0;
        status = MsgReadInt32(msg, &value);
        parameter.number = value;
        return status;
    }
    case WIRE_UINT32: {
        uint32_t value = 0;
        status = MsgReadUInt32(msg, &value);
        parameter.number = value;
        return status;
    }
    case WIRE_STRING:
    case WIRE_PASSWORD: {
        char *value = nullptr;
        const bool password = parameter.wire == WIRE_PASSWORD;
        status = password ? MsgReadPassword(msg, &value) : MsgReadString(msg, &value);
        if (status == MSG_OK && value)
            parameter.text = std::string(password ? "(password)" : value);
        MsgFreeString(value, password);
        return status;
    }
    case WIRE_BLOB: {
        void *data = nullptr;
        size_t length = 0;
        status = MsgReadBlob(msg, &data, &length);
        if (status == MSG_OK && data)
            parameter.text = std::string(static_cast<const char *>(data), length);
        MsgFreeBlob(data, length, 0);
        return status;
    }
    case WIRE_STRING_ARRAY: {
        MsgLengthString *strings = nullptr;
        status = MsgReadStringArrayWithLengths(msg, &strings);
        // Elements run to the (0, null) record; a null element is (-1, null).
        for (MsgLengthString *s = strings; status == MSG_OK && s && !(s->length == 0 && !s->string); ++s)
            parameter.strings.push_back(s->string ? OptionalString(std::string(s->string, static_cast<size_t>(s->length)))
                                                  : OptionalString());
        MsgFreeLengthStringArray(strings, 0);
        return status;
    }
    case WIRE_KEY_VALUE_ARRAY: {
        MsgKeyValue *pairs = nullptr;
        status = MsgReadKeyValueArray(msg, &pairs);
        for (MsgKeyValue *p = pairs; status == MSG_OK && p && (p->key || p->value); ++p)
            parameter.pairs.emplace_back(p->key ? OptionalString(p->key) : OptionalString(),
                                         p->value ? OptionalString(p->value) : OptionalString());
        MsgFreeKeyValueArray(pairs, 0);
        return status;
    }
    default:
        return MSG_ERR_INVALID;
    }
}

std::string ParameterToJson(const Parameter &p)
{
    switch (p.wire) {
    case WIRE_BOOL:
        return std::string("{\"type\":\"bool\",\"value\":") + (p.number ? "true" : "false") + "}";
    case WIRE_INT32:
        return "{\"type\":\"int32\",\"value\":" + std::to_string(p.number) + "}";
    case WIRE_UINT32:
        return "{\"type\":\"uint32\",\"value\":" + std::to_string(p.number) + "}";
    case WIRE_STRING:
        return "{\"type\":\"string\",\"value\":" + Optional(p.text) + "}";
    case WIRE_PASSWORD:
        return "{\"type\":\"password\",\"value\":" + Optional(p.text) + "}";
    case WIRE_BLOB:
        if (!p.text)
            return "{\"type\":\"blob\",\"value\":null}";
        return "{\"type\":\"blob\",\"length\":" + std::to_string(p.text->size()) + ",\"value\":\"" +
               Hex(*p.text) + "\"}";
    case WIRE_STRING_ARRAY: {
        std::string out = "{\"type\":\"string_array\",\"value\":[";
        for (size_t i = 0; i < p.strings.size(); ++i)
            out += (i ? "," : "") + Optional(p.strings[i]);
        return out + "]}";
    }
    case WIRE_KEY_VALUE_ARRAY: {
        std::string out = "{\"type\":\"key_value_array\",\"value\":[";
        for (size_t i = 0; i < p.pairs.size(); ++i)
            out += (i ? ",[" : "[") + Optional(p.pairs[i].first) + "," + Optional(p.pairs[i].second) + "]";
        return out + "]}";
    }
    default:
        return "null";
    }
}

// ControlLog2 entries: eight parameters each, closed by an entry of zeros and
// null strings. Appends the entries found; returns whether the closing entry
// was seen.
bool LogEntriesToJson(const std::vector<Parameter> &parameters, std::string &out)
{
    static const int layout[8] = {WIRE_UINT32, WIRE_STRING, WIRE_INT32, WIRE_INT32,
                                  WIRE_STRING, WIRE_INT32,  WIRE_STRING, WIRE_STRING};
    bool first = true;
    for (size_t at = 0; at + 8 <= parameters.size(); at += 8) {
        const Parameter *e = &parameters[at];
        bool closing = true;
        for (int i = 0; i < 8; ++i) {
            if (e[i].wire != layout[i])
                return false;
            if (e[i].number != 0 || e[i].text)
                closing = false;
        }
        if (closing)
            return true;
        out += first ? "" : ",";
        first = false;
        out += "{\"time\":" + std::to_string(e[0].number) + ",\"process\":" + Optional(e[1].text) +
               ",\"pid\":" + std::to_string(e[2].number) + ",\"level\":" + std::to_string(e[3].number) +
               ",\"file\":" + Optional(e[4].text) + ",\"line\":" + std::to_string(e[5].number) +
               ",\"operation\":" + Optional(e[6].text) + ",\"text\":" + Optional(e[7].text) + "}";
    }
    return false;
}

} // namespace

std::string JsonString(const std::string &bytes)
{
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += UnicodeEscape(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t length = Utf8SequenceLength(bytes, i)) {
            out.append(bytes, i, length);
            i += length;
            continue;
        } else {
            out += UnicodeEscape(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string MessageToJson(unsigned connection, ClientMsg *msg)
{
    uint16_t type = 0;
    MsgGetType(msg, &type);
    const char *name = MsgTypeName(msg->table, type);

    std::vector<Parameter> parameters;
    bool complete = true;
    for (;;) {
        Parameter parameter;
        int wire = WIRE_END;
        if (MsgPeekType(msg, &wire) != MSG_OK || wire == WIRE_END)
            break;
        if (ReadParameter(msg, parameter) != MSG_OK) {
            complete = false;
            break;
        }
        parameters.push_back(std::move(parameter));
    }

    std::string out = "{\"connection\":" + std::to_string(connection) + ",\"type\":" + std::to_string(type) +
                      ",\"name\":" + (name ? JsonString(name) : std::string("null")) + ",\"parameters\":[";
    for (size_t i = 0; i < parameters.size(); ++i)
        out += (i ? "," : "") + ParameterToJson(parameters[i]);
    out += "]";
    if (!complete)
        out += ",\"parametersComplete\":false";
    if (type == MSG_TYPE_CONTROL_LOG2) {
        out += ",\"entries\":[";
        bool closed = LogEntriesToJson(parameters, out);
        out += std::string("],\"entriesClosed\":") + (closed ? "true" : "false");
    }
    return out + "}";
}

} // namespace dirsvcdstub
