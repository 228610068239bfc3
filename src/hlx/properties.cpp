#include "hlx/properties.h"

#include "client_common/well_known_paths.h"
#include "hlx/config_parser.h"
#include "hlx/exceptions.h"
#include "hlx/file_util.h"
#include "hlx/logger.h"
#include "hlx/setting.h"

#include <boost/make_shared.hpp>

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

namespace hlx {

namespace {

// The process-wide store and the lock that guards its creation and
// destruction. The lock is made on first use, race-free: the first log
// output of a process may come from a static initialiser of another unit,
// and any number of threads may meet at the first instance(). Once made, the
// store is found without the lock.
std::atomic<Properties *> gVexaProperties{nullptr};
LazyMutex gPropMtx;

// The built-in macros and the settings that give them their values.
struct BuiltInMacro {
    const char *macro;
    const char *setting;
};
const BuiltInMacro BUILT_IN_MACROS[] = {
    {"JOINNAME", SETTING_HOST_NAME},
    {"SITE", SETTING_MACHINE_SITE},
    {"DOMAIN", SETTING_DOMAIN_NAME},
    {"ZONE", SETTING_ZONE_REALNAME},
};

// Every built-in macro value is read here, from the settings store with the
// property override enabled. The override is read from the store being
// loaded, whose mutex this thread already holds.
std::string readMacroSetting(const char *setting)
{
    return getSetting(setting, false);
}

// A zone's setting is its distinguished name; the macro wants its first
// common name.
std::string zoneMacroValue(const std::string &setting)
{
    size_t cn = setting.find("CN=");
    if (cn == std::string::npos)
        return setting;
    size_t start = cn + 3;
    size_t comma = setting.find(',');
    if (comma != std::string::npos && comma >= start)
        return setting.substr(start, comma - start);
    return setting.substr(start);
}

// The trace of a list just built, logged at DEBUG.
void describeBuiltList(const std::string &name, const StringList &list)
{
    std::string text = name + ": ";
    for (const std::string &item : list)
        text += "(" + item + "), ";
    Logger::getLogger("util.properties")->log(LEVEL_DEBUG, "Property list %s", text.c_str());
}

} // namespace

Properties *Properties::instance(bool debugDump)
{
    if (Properties *store = gVexaProperties.load(std::memory_order_acquire))
        return store;
    {
        ScopedLock creation(gPropMtx.get());
        if (Properties *store = gVexaProperties.load(std::memory_order_relaxed))
            return store;
    }
    // A new store is locked before it is published and stays locked until
    // it is loaded: other threads wait at their first lookup, while the load
    // itself may come back here (the settings behind the macros, the
    // logger's first output) and reads the store it is loading. Nobody else
    // knows the new store yet, so taking its lock cannot wait. The creation
    // lock is not held during the load, so it never orders the locks the
    // load takes. It is taken inside the store's lock, never around it: a
    // guard released before the one taken after it would switch
    // cancellation back on while the store is still locked.
    std::unique_ptr<Properties> created(new Properties(debugDump));
    ScopedLock loading(created->m_mutex);
    Properties *store;
    {
        ScopedLock creation(gPropMtx.get());
        // Another thread published its store meanwhile; ours was never seen.
        if (Properties *published = gVexaProperties.load(std::memory_order_relaxed))
            return published;
        store = created.release();
        gVexaProperties.store(store, std::memory_order_release);
    }
    store->loadFile(FRAMEWORK_CONFIG_PATH, true);
    return store;
}

void Properties::destroyInstance()
{
    ScopedLock creation(gPropMtx.get());
    delete gVexaProperties.exchange(nullptr);
}

Properties::Properties(bool debugDump)
    : m_loaded(false), m_expandMacros(true), m_debugDump(debugDump)
{
}

void Properties::setBuiltInMacros()
{
    for (const BuiltInMacro &builtIn : BUILT_IN_MACROS) {
        std::string value;
        try {
            value = readMacroSetting(builtIn.setting);
        } catch (const HLXException &) {
            value = "<unknown>";
        }
        if (std::string(builtIn.macro) == "ZONE")
            value = zoneMacroValue(value);
        m_macros[builtIn.macro] = value;
    }
    m_builtInMacrosOwed = false;
}

std::string Properties::lookupMacro(const std::string &name)
{
    ScopedLock lock(m_mutex);
    if (m_builtInMacrosOwed)
        setBuiltInMacros();
    std::string &macro = m_macros[name];
    if (!macro.empty())
        return macro;
    // A set-user-ID, set-group-ID or capability-raised program must not let
    // the environment of whoever started it steer its configuration: there
    // secure_getenv() finds nothing and the lookup goes on with the table.
    if (const char *environment = secure_getenv(name.c_str()))
        return environment;
    const std::string *raw = rawValue(name);
    return raw != nullptr ? *raw : std::string();
}

const std::string *Properties::rawValue(const std::string &name) const
{
    ValueMap::const_iterator raw = m_rawValues.find(name);
    if (raw != m_rawValues.end())
        return &raw->second;
    ValueMap::const_iterator value = m_values.find(name);
    if (value == m_values.end() || (!m_namesWithoutRaw.empty() && m_namesWithoutRaw.count(name) != 0))
        return nullptr;
    return &value->second;
}

void Properties::storeLoaded(LoadPosition &position, std::string &name, std::string &value, std::string *raw)
{
    // Most values come out of the load as they went in: they are moved into
    // the store once, without a raw copy. Names often follow each other in
    // byte order, so the place after the last one is tried first.
    const size_t count = m_values.size();
    ValueMap::iterator entry = m_values.try_emplace(position.value, std::move(name));
    position.value = std::next(entry);
    entry->second = std::move(value);
    if (m_values.size() != count && raw == nullptr)
        return;
    const std::string &stored = entry->first;
    if (raw != nullptr) {
        ValueMap::iterator rawEntry = m_rawValues.try_emplace(position.raw, stored);
        position.raw = std::next(rawEntry);
        rawEntry->second = std::move(*raw);
    } else {
        m_rawValues.erase(stored);
        position.raw = m_rawValues.end();
    }
    if (!m_namesWithoutRaw.empty())
        m_namesWithoutRaw.erase(stored);
}

void Properties::storeEdited(const std::string &name, const std::string &value)
{
    m_values[name] = value;
    m_rawValues.erase(name);
    if (!m_namesWithoutRaw.empty())
        m_namesWithoutRaw.erase(name);
    m_listCache.erase(name);
}

void Properties::loadText(const char *text, size_t size, bool expandMacros, LoadInput input)
{
    LoggerPtr log = Logger::getLogger("util.properties");
    ScopedLock lock(m_mutex);
    m_loaded = false;
    m_expandMacros = expandMacros;
    m_rawValues.clear();
    m_namesWithoutRaw.clear();
    for (const ValueMap::value_type &entry : m_values)
        m_namesWithoutRaw.insert(m_namesWithoutRaw.end(), entry.first);
    m_listCache.clear();
    if (input == INPUT_UNREADABLE) {
        log->log(LEVEL_ERROR, "Unable to open config file");
        return;
    }
    // Only a '$' in the text can make the load expand a macro.
    if (size != 0 && memchr(text, '$', size) != nullptr)
        setBuiltInMacros();
    else
        m_builtInMacrosOwed = true;

    config::MacroLookup lookup = [this](const std::string &name) { return lookupMacro(name); };
    config::LineReader lines(text, size);
    std::string line;
    std::string name;
    std::string value;
    bool plain = false;
    LoadPosition position{m_values.end(), m_rawValues.end()};
    while (config::readProperty(lines, line, name, value, plain)) {
        if (plain) {
            storeLoaded(position, name, value, nullptr);
            continue;
        }
        std::string raw;
        if (value.find('$') == std::string::npos)
            raw = std::move(value);
        else
            raw = expandMacros ? config::expandMacros(value, lookup) : config::rewriteMacros(value);
        // Unescaping and unquoting change nothing in a text without a
        // backslash that does not start with a quote.
        if (raw.find('\\') == std::string::npos && (raw.empty() || (raw[0] != '"' && raw[0] != '\''))) {
            storeLoaded(position, name, raw, nullptr);
            continue;
        }
        value = raw;
        config::unescapeInPlace(value);
        config::unquoteInPlace(value);
        storeLoaded(position, name, value, value == raw ? nullptr : &raw);
    }
    if (input == INPUT_PARTIAL)
        return;
    m_loaded = true;
    Logger::configure(*this);

    if (log->effectiveLevel() <= LEVEL_DEBUG) {
        int level = m_debugDump ? LEVEL_DEBUG : LEVEL_TRACE;
        for (const ValueMap::value_type &entry : m_values)
            log->log(level, "property: %s=%s", entry.first.c_str(), entry.second.c_str());
    }
}

void Properties::loadText(const char *text, size_t size, bool expandMacros)
{
    loadText(text, size, expandMacros, INPUT_COMPLETE);
}

void Properties::loadFile(const std::string &path, bool expandMacros)
{
    {
        // A file that cannot be read must not look loaded because an
        // earlier load of this store succeeded.
        ScopedLock lock(m_mutex);
        m_loaded = false;
    }
    file_util::FileText text;
    if (file_util::read_regular_file(path, config::CONFIG_FILE_MAX_SIZE, text))
        loadText(text.data(), text.size(), expandMacros);
    if (!loaded())
        Logger::getLogger("util.properties")->log(LEVEL_ERROR, "Unable to open config file: %s", path.c_str());
}

bool Properties::reload()
{
    ScopedLock lock(m_mutex);
    m_rawValues.clear();
    m_namesWithoutRaw.clear();
    m_listCache.clear();
    m_macros.clear();
    m_builtInMacrosOwed = false;
    m_values.clear();
    m_loaded = false;
    loadFile(FRAMEWORK_CONFIG_PATH, true);
    return m_loaded;
}

bool Properties::loaded() const
{
    ScopedLock lock(const_cast<Mutex &>(m_mutex));
    return m_loaded;
}

std::string Properties::getString(const std::string &name)
{
    ScopedLock lock(m_mutex);
    ValueMap::const_iterator entry = m_values.find(name);
    return entry != m_values.end() ? entry->second : m_empty;
}

int Properties::getInt(const std::string &name, int defaultValue)
{
    std::string value = getString(name);
    return value.empty() ? defaultValue : atoi(value.c_str());
}

StringListPtr Properties::getStringList(const std::string &name)
{
    return buildStringList(name, nullptr);
}

StringListPtr Properties::getStringList(const std::string &name, const std::string &defaultValue)
{
    return buildStringList(name, &defaultValue);
}

StringListPtr Properties::buildStringList(const std::string &name, const std::string *defaultValue)
{
    std::vector<std::string> candidates;
    {
        ScopedLock lock(m_mutex);
        auto cached = m_listCache.find(name);
        if (cached != m_listCache.end())
            return cached->second;
        const std::string *raw = rawValue(name);
        // Only a list file is slow to read: a missing or empty value without
        // a default, or any other value, is split at once and cached under
        // the same lock.
        if ((raw == nullptr || raw->empty()) && defaultValue == nullptr) {
            // Every empty list is the same one, which nobody may change.
            static const StringListPtr *const none = new StringListPtr(boost::make_shared<StringList>());
            m_listCache[name] = *none;
            return *none;
        }
        std::string path;
        if (raw != nullptr && !raw->empty() && !config::isListFileValue(*raw, path)) {
            boost::shared_ptr<StringList> list = boost::make_shared<StringList>();
            config::splitList(*raw, *list);
            m_listCache[name] = list;
            const bool describe = Logger::getLogger("util.properties")->effectiveLevel() <= LEVEL_TRACE;
            lock.release();
            if (describe)
                describeBuiltList(name, *list);
            return list;
        }
        candidates.push_back(raw != nullptr ? *raw : std::string());
    }
    if (defaultValue != nullptr)
        candidates.push_back(*defaultValue);

    // The lock is not held while a list file is read. Two threads may then
    // build the same list; the later one wins.
    boost::shared_ptr<StringList> list(new StringList);
    bool cacheable = true;
    bool noFileFailure = true;
    bool found = false;
    for (size_t i = 0; i < candidates.size() && !found; ++i) {
        const std::string &candidate = candidates[i];
        if (i > 0)
            cacheable = false;
        if (candidate.empty())
            continue;
        std::string path;
        if (config::isListFileValue(candidate, path)) {
            found = config::readListFileValue(path, name, *list);
            if (!found)
                noFileFailure = false;
            continue;
        }
        config::splitList(candidate, *list);
        found = true;
    }

    if (!found && noFileFailure) {
        cacheList(name, candidates[0], list);
        return list;
    }
    if (Logger::getLogger("util.properties")->effectiveLevel() <= LEVEL_TRACE)
        describeBuiltList(name, *list);
    if (cacheable)
        cacheList(name, candidates[0], list);
    return list;
}

void Properties::cacheList(const std::string &name, const std::string &rawText, const StringListPtr &list)
{
    // The list was built without the lock: if the value was edited or loaded
    // anew meanwhile, the list is already out of date and must not replace
    // what the cache will be given for the new value.
    ScopedLock lock(m_mutex);
    const std::string *raw = rawValue(name);
    if ((raw != nullptr ? *raw : m_empty) == rawText)
        m_listCache[name] = list;
}

bool Properties::findPrefix(const std::string &prefix, ValueMap::const_iterator &first,
                            ValueMap::const_iterator &last)
{
    ScopedLock lock(m_mutex);
    first = m_values.lower_bound(prefix);
    if (first == m_values.end() || first->first.compare(0, prefix.size(), prefix) != 0) {
        first = last = m_values.end();
        return false;
    }
    // The first name past the range is the prefix with its last byte raised
    // by one; bytes that would overflow are dropped first.
    std::string bound = prefix;
    while (!bound.empty() && static_cast<unsigned char>(bound.back()) == 0xFF)
        bound.pop_back();
    if (bound.empty()) {
        last = m_values.end();
        return true;
    }
    bound.back() = static_cast<char>(static_cast<unsigned char>(bound.back()) + 1);
    last = m_values.lower_bound(bound);
    return true;
}

void Properties::setStringList(const std::string &name, const StringList &list, bool expandFlag)
{
    std::string value = joinList(list, expandFlag);
    ScopedLock lock(m_mutex);
    storeEdited(name, value);
}

bool Properties::addToStringList(const std::string &name, const StringList &items, bool expandFlag)
{
    // Held from the read to the write, so that concurrent edits of one list
    // never lose each other's items.
    ScopedLock edit(m_mutex);
    StringListPtr current = getStringList(name, "");
    std::vector<std::string> present(current->begin(), current->end());
    std::vector<std::string> added(items.begin(), items.end());
    std::sort(present.begin(), present.end());
    std::sort(added.begin(), added.end());
    std::vector<std::string> merged;
    merged.reserve(present.size() + added.size());
    std::merge(present.begin(), present.end(), added.begin(), added.end(), std::back_inserter(merged));
    merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
    std::string joined = joinList(StringList(merged.begin(), merged.end()), expandFlag);

    ValueMap::const_iterator stored = m_values.find(name);
    if (joined == (stored != m_values.end() ? stored->second : m_empty))
        return false;
    storeEdited(name, joined);
    return true;
}

bool Properties::removeFromStringList(const std::string &name, const StringList &items, bool expandFlag)
{
    ScopedLock edit(m_mutex);
    StringListPtr current = getStringList(name, "");
    StringList remaining(*current);
    bool erased = false;
    for (const std::string &item : items) {
        StringList::iterator found = std::find(remaining.begin(), remaining.end(), item);
        if (found != remaining.end()) {
            remaining.erase(found);
            erased = true;
        }
    }
    if (erased)
        setStringList(name, remaining, expandFlag);
    return erased;
}

std::string Properties::dumpText(const std::string &title)
{
    std::string text;
    if (!title.empty())
        text += "#" + title + "\n";
    ScopedLock lock(m_mutex);
    for (const ValueMap::value_type &entry : m_values)
        text += entry.first + "=" + entry.second + "\n";
    return text;
}

void Properties::dumpToTerminal()
{
    int terminal = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0)
        return;
    const std::string text = instance()->dumpText("Properties dump");
    file_util::write_all(terminal, text.data(), text.size());
    ::close(terminal);
}

std::string quoteValue(const std::string &text, bool expandFlag)
{
    const bool hasSpace = text.find(' ') != std::string::npos;
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        switch (c) {
        case '\t': out += "\\t"; continue;
        case '\n': out += "\\n"; continue;
        case '\v': out += "\\v"; continue;
        case '\f': out += "\\f"; continue;
        case '\r': out += "\\r"; continue;
        case ' ':
        case ',':
            if (!hasSpace)
                out += '\\';
            out += c;
            continue;
        case '"':
        case '\'':
        case '\\':
            out += '\\';
            out += c;
            continue;
        case '$':
            break;
        default:
            out += c;
            continue;
        }
        if (expandFlag) {
            out += "\\$";
            continue;
        }
        // The non-expanding form writes a reference as `$name$`; give back
        // `$name`, escaping a name character that follows so that it does
        // not lengthen the name.
        if (i + 1 < text.size() && text[i + 1] != '$') {
            size_t closing = text.find('$', i + 1);
            if (closing == std::string::npos) {
                out.append(text, i, std::string::npos);
                i = text.size();
                continue;
            }
            out.append(text, i, closing - i);
            if (closing + 1 < text.size() && config::isMacroNameChar(text[closing + 1]))
                out += '\\';
            i = closing;
            continue;
        }
        if (i + 1 < text.size()) {
            out += "\\$";
            ++i;
        } else {
            out += '\\';
        }
    }
    if (hasSpace)
        return "\"" + out + "\"";
    return out;
}

std::string joinList(const StringList &list, bool expandFlag)
{
    std::string joined;
    bool first = true;
    for (const std::string &item : list) {
        if (!first)
            joined += ' ';
        first = false;
        joined += quoteValue(item, expandFlag);
    }
    return joined;
}

std::string formatLine(const std::string &name, const std::string &value, bool expandFlag)
{
    return quoteValue(name, expandFlag) + ": " + quoteValue(value, expandFlag);
}

std::string formatListLine(const std::string &name, const StringList &list, bool expandFlag)
{
    return quoteValue(name, expandFlag) + ": " + joinList(list, expandFlag);
}

} // namespace hlx
