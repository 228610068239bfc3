// The framework's process-wide configuration store.
//
// Properties::instance() creates the store on first use and loads the
// framework configuration file into it; every framework component reads its
// settings from there. Lookups never fail: an absent name reads as an empty
// text, the integer default or an empty list. List values are split once per
// name and load and then shared, unmodified, through StringListPtr.
#pragma once

#include "hlx/mutex.h"

#include <boost/shared_ptr.hpp>

#include <iosfwd>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

namespace hlx {

typedef std::list<std::string> StringList;
typedef boost::shared_ptr<const StringList> StringListPtr;

class Properties {
public:
    typedef std::map<std::string, std::string> ValueMap;

    // The process-wide store, created and loaded by the first call. The
    // store is published before it loads, so code run by the load (the
    // settings store, the logger) may call instance() again and gets the
    // store being loaded. `debugDump` only matters to the creating call.
    static Properties *instance(bool debugDump = false);
    static void destroyInstance();

    // A store of its own, empty until loaded; instance() is the one the
    // framework reads.
    explicit Properties(bool debugDump = false);
    Properties(const Properties &) = delete;
    Properties &operator=(const Properties &) = delete;

    // Loads a configuration stream or file into the store. Names loaded
    // earlier stay unless the new content replaces them. A file is read
    // whole into memory first; one that is missing, is no regular file (a
    // FIFO, a device) or holds more than config::CONFIG_FILE_MAX_SIZE bytes
    // is logged and leaves loaded() false. The stream form is defined apart
    // (config_stream.cpp), so that reading files never needs iostreams.
    void load(std::istream &in, bool expandMacros);
    void loadFile(const std::string &path, bool expandMacros);
    // Loads a configuration text held in memory, as a file's text is once
    // read; such a load always reads its input to the end.
    void loadText(const char *text, size_t size, bool expandMacros);
    // Empties the store and loads the framework configuration file again;
    // true when it was read to its end.
    bool reload();
    // Whether the last load read its input to the end.
    bool loaded() const;

    std::string getString(const std::string &name);
    // Leading decimal digits of the value (atoi), or `defaultValue` when the
    // value is empty or absent.
    int getInt(const std::string &name, int defaultValue);

    // The items of a list property; the value may name a list file with
    // "file:<path>". Without a default, or when the list comes from the
    // property itself, the result is cached until the next load.
    StringListPtr getStringList(const std::string &name);
    StringListPtr getStringList(const std::string &name, const std::string &defaultValue);

    // The half-open range of names starting with `prefix`, in byte order.
    // The iterators point into the store: a name added meanwhile may or may
    // not show up, and reload() invalidates them.
    bool findPrefix(const std::string &prefix, ValueMap::const_iterator &first,
                    ValueMap::const_iterator &last);

    void setStringList(const std::string &name, const StringList &list, bool expandFlag);
    // Stores the sorted union of the current items and `items`; false when
    // the stored text did not change.
    bool addToStringList(const std::string &name, const StringList &items, bool expandFlag);
    // Removes the first occurrence of each given item; false when none was found.
    bool removeFromStringList(const std::string &name, const StringList &items, bool expandFlag);

    // "#<title>" (when given), then "name=value" per property in name order.
    // Defined with the stream form of load().
    void dump(std::ostream &out, const std::string &title);
    // Dumps instance() to the controlling terminal, if there is one.
    static void dumpToTerminal();

    // Writes the store back into the configuration file `path`, keeping its
    // comments, line order and single blank lines: a line whose value
    // differs from the store becomes "name: <stored value>", a line for a
    // name the store lacks is dropped, names the file lacks are appended in
    // name order. Writers are serialised by the lock file `path`.lock; the
    // new content goes to `path`.new, created anew for this save, is synced,
    // given mode 0644 and renamed over `path`, so readers see either the old
    // or the whole new file. The rename is made only while the lock and the
    // side file are still this save's. Returns 0, or -1 (logged on
    // "util.properties") with the file left as it was.
    int save(const std::string &path);

private:
    // How much of the input a load got: none at all, part of it before a
    // read error, or all of it.
    enum LoadInput { INPUT_UNREADABLE, INPUT_PARTIAL, INPUT_COMPLETE };

    void loadText(const char *text, size_t size, bool expandMacros, LoadInput input);
    std::string dumpText(const std::string &title);
    StringListPtr buildStringList(const std::string &name, const std::string *defaultValue);
    void cacheList(const std::string &name, const std::string &rawText, const StringListPtr &list);
    std::string lookupMacro(const std::string &name);
    void setBuiltInMacros();
    // Where the last name of a load went in each map.
    struct LoadPosition {
        ValueMap::iterator value;
        ValueMap::iterator raw;
    };
    void storeLoaded(LoadPosition &position, std::string &name, std::string &value, std::string *raw);
    void storeEdited(const std::string &name, const std::string &value);
    const std::string *rawValue(const std::string &name) const;

    ValueMap m_values;
    Mutex m_mutex;
    // The value texts before unescaping and unquoting, of the names where
    // that changed them; every other name's raw text is its value, except
    // for the names in m_namesWithoutRaw. rawValue() reads them so.
    ValueMap m_rawValues;
    // Names left from an earlier load and not yet given by this one: they
    // have no raw text, as a load starts without any.
    std::set<std::string> m_namesWithoutRaw;
    std::unordered_map<std::string, StringListPtr> m_listCache;
    ValueMap m_macros;
    bool m_loaded;
    bool m_expandMacros;
    bool m_debugDump;
    // A load whose text has no '$' leaves the built-in macros to be read by
    // the first expansion that needs them (a later save's).
    bool m_builtInMacrosOwed = false;
    std::string m_empty;
};

// Encodes a value so that parsing it as a property value gives it back. With
// `expandFlag` clear, `$name$` macro references of the non-expanding form are
// turned back into `$name`.
std::string quoteValue(const std::string &text, bool expandFlag);
// Items through quoteValue, joined with single spaces.
std::string joinList(const StringList &list, bool expandFlag);
// "name: value" in configuration file syntax.
std::string formatLine(const std::string &name, const std::string &value, bool expandFlag);
std::string formatListLine(const std::string &name, const StringList &list, bool expandFlag);

// Creates the lock file exclusively and returns its descriptor, or -1 (errno
// EEXIST: another writer holds it). A busy lock is waited for, about a
// second. While the descriptor is open it holds an open file description
// lock on the file, and the file is marked as so held: a marked lock file
// whose lock is free has lost its holder and is taken over at once. Lock
// files of writers that only create the file are left by a crashed writer
// when last accessed more than 60 seconds ago, and removed then. A stale lock
// file is removed under its lock and only while the name still names it, so
// that at no time two writers hold the lock.
int createLockFile(const std::string &lockPath);
// Removes the lock file, if the name still names the file open on
// `descriptor`, and then closes the descriptor, giving up the lock: 0, or -1
// when the name was no longer ours or the removal or the close failed.
int removeLockFile(const std::string &lockPath, int descriptor);

} // namespace hlx
