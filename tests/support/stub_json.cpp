#include "support/stub_json.h"

#include <cstdlib>
#include <map>
#include <memory>

namespace testsupport {

namespace {

// Just enough JSON for the stub's own output: objects, arrays, strings,
// integers, true, false and null.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    long long number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    const Json *field(const std::string &name) const
    {
        auto it = fields.find(name);
        return it == fields.end() ? nullptr : &it->second;
    }
};

class Parser {
public:
    explicit Parser(const std::string &text) : m_text(text) {}

    bool parse(Json &out)
    {
        if (!value(out))
            return false;
        skipSpace();
        return m_pos == m_text.size();
    }

private:
    void skipSpace()
    {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\r' || m_text[m_pos] == '\n'))
            ++m_pos;
    }
    bool literal(const char *word)
    {
        const std::string w(word);
        if (m_text.compare(m_pos, w.size(), w) != 0)
            return false;
        m_pos += w.size();
        return true;
    }
    bool string(std::string &out)
    {
        if (m_pos >= m_text.size() || m_text[m_pos] != '"')
            return false;
        ++m_pos;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size())
                return false;
            const char e = m_text[m_pos++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (m_pos + 4 > m_text.size())
                    return false;
                const unsigned long code = std::strtoul(m_text.substr(m_pos, 4).c_str(), nullptr, 16);
                m_pos += 4;
                // The stub escapes single bytes only (control characters and
                // bytes that are not UTF-8).
                if (code > 0xFF)
                    return false;
                out += static_cast<char>(code);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool value(Json &out)
    {
        skipSpace();
        if (m_pos >= m_text.size())
            return false;
        const char c = m_text[m_pos];
        if (c == '{') {
            out.kind = Json::Object;
            ++m_pos;
            skipSpace();
            if (m_pos < m_text.size() && m_text[m_pos] == '}')
                return ++m_pos, true;
            for (;;) {
                skipSpace();
                std::string name;
                if (!string(name))
                    return false;
                skipSpace();
                if (m_pos >= m_text.size() || m_text[m_pos++] != ':')
                    return false;
                if (!value(out.fields[name]))
                    return false;
                skipSpace();
                if (m_pos >= m_text.size())
                    return false;
                const char next = m_text[m_pos++];
                if (next == '}')
                    return true;
                if (next != ',')
                    return false;
            }
        }
        if (c == '[') {
            out.kind = Json::Array;
            ++m_pos;
            skipSpace();
            if (m_pos < m_text.size() && m_text[m_pos] == ']')
                return ++m_pos, true;
            for (;;) {
                out.items.emplace_back();
                if (!value(out.items.back()))
                    return false;
                skipSpace();
                if (m_pos >= m_text.size())
                    return false;
                const char next = m_text[m_pos++];
                if (next == ']')
                    return true;
                if (next != ',')
                    return false;
            }
        }
        if (c == '"') {
            out.kind = Json::String;
            return string(out.text);
        }
        if (literal("null")) {
            out.kind = Json::Null;
            return true;
        }
        if (literal("true") || literal("false")) {
            out.kind = Json::Bool;
            out.number = m_text[m_pos - 1] == 'e' && m_text[m_pos - 2] == 'u';
            return true;
        }
        char *end = nullptr;
        out.kind = Json::Number;
        out.number = std::strtoll(m_text.c_str() + m_pos, &end, 10);
        if (end == m_text.c_str() + m_pos)
            return false;
        m_pos = static_cast<size_t>(end - m_text.c_str());
        return true;
    }

    const std::string &m_text;
    size_t m_pos = 0;
};

void Append(std::vector<unsigned char> &out, const void *data, size_t n)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    out.insert(out.end(), p, p + n);
}

void AppendU32(std::vector<unsigned char> &out, uint32_t value)
{
    Append(out, &value, sizeof value);
}

// Wire type codes of the codec (client_msg.h).
enum : unsigned char { kInt32 = 2, kUInt32 = 3, kString = 4, kBlob = 6 };

bool Encode(const Json &parameter, std::vector<unsigned char> &out)
{
    const Json *type = parameter.field("type");
    const Json *value = parameter.field("value");
    if (!type || !value || type->kind != Json::String)
        return false;
    if (type->text == "uint32" || type->text == "int32") {
        if (value->kind != Json::Number)
            return false;
        out.push_back(type->text == "uint32" ? kUInt32 : kInt32);
        AppendU32(out, static_cast<uint32_t>(value->number));
        return true;
    }
    if (type->text == "string" || type->text == "blob") {
        out.push_back(type->text == "string" ? kString : kBlob);
        if (value->kind == Json::Null) {
            AppendU32(out, 0xFFFFFFFFu);
            return true;
        }
        if (value->kind != Json::String)
            return false;
        std::string bytes = value->text;
        if (type->text == "blob") {
            if (bytes.size() % 2 != 0)
                return false;
            std::string decoded;
            for (size_t i = 0; i < bytes.size(); i += 2)
                decoded += static_cast<char>(std::strtoul(bytes.substr(i, 2).c_str(), nullptr, 16));
            bytes = decoded;
        }
        AppendU32(out, static_cast<uint32_t>(bytes.size()));
        Append(out, bytes.data(), bytes.size());
        return true;
    }
    return false;
}

} // namespace

StubMessage ParseStubJson(const std::string &line)
{
    StubMessage message;
    Json root;
    if (!Parser(line).parse(root) || root.kind != Json::Object)
        return message;
    const Json *connection = root.field("connection");
    const Json *type = root.field("type");
    const Json *parameters = root.field("parameters");
    if (!connection || !type || !parameters || parameters->kind != Json::Array)
        return message;
    message.connection = static_cast<int>(connection->number);
    message.type = static_cast<int>(type->number);
    const uint16_t type16 = static_cast<uint16_t>(message.type);
    Append(message.body, &type16, sizeof type16);
    for (const Json &parameter : parameters->items)
        if (!Encode(parameter, message.body))
            return message;
    if (const Json *complete = root.field("parametersComplete"); complete && complete->number == 0)
        return message;
    message.body.push_back(0);
    if (const Json *entries = root.field("entries"))
        for (const Json &entry : entries->items)
            if (const Json *text = entry.field("text"); text && text->kind == Json::String)
                message.entryTexts.push_back(text->text);
    message.valid = true;
    return message;
}

std::vector<StubMessage> StubMessagesOfType(const std::vector<std::string> &lines, int type)
{
    std::vector<StubMessage> found;
    for (const std::string &line : lines) {
        StubMessage message = ParseStubJson(line);
        if (message.type == type)
            found.push_back(std::move(message));
    }
    return found;
}

std::vector<std::string> ForwardedLogTexts(const std::vector<std::string> &lines)
{
    std::vector<std::string> texts;
    for (const StubMessage &message : StubMessagesOfType(lines, 107))
        texts.insert(texts.end(), message.entryTexts.begin(), message.entryTexts.end());
    return texts;
}

} // namespace testsupport
