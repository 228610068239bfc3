// Arbitrary bytes as the daemon's configuration, read from memory with or
// without the sender's prefix list; every look-up in a long table is checked
// against the newest entry of its key, and the newest entries are evaluated
// and read through the accessors.
//
// Input: byte 0 selects options, bytes 1-2 the length of the referenced
// file's part at the end of the input; the rest is the configuration text.
// Options: bit 0 the boolean default, bits 0-2 the time unit, bit 4 the
// sender's prefixes (otherwise every key is kept). Bits 3 and 6 together:
// trace lines for the newest key (otherwise only failure lines are
// formatted). Bits 1 and 5 together bring in a file reference: the
// referenced part is written to a file, lines referring to it are appended
// to the text, and a default list names a small fixed list file.
//
// Runs are kept short, so that a core makes thousands a second: formatting
// lines and opening referenced files
// (for their ownership test) cost more than the rest of a run, so each takes
// two option bits and the referenced file is rewritten only when its bytes
// change; only a few keys go through the accessors; the text is cut at
// kMaxTextSize and the referenced part at kMaxReferenceSize.
#include "client_common/client_context.h"
#include "client_common/client_props.h"
#include "client_common/client_props_access.h"
#include "client_common/log_buffer.h"
#include "client_common/msg_type_table.h"
#include "client_common/well_known_paths.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string gDirectory;
std::string gReferencePath;
// A small fixed list for a default list that names a file: the entry it adds
// matters, not the list, which the referenced part of the input already is.
std::string gDefaultListPath;
// The referenced file stays open for writing: rewriting it in place costs two
// calls where a new file would cost four and an inode.
int gReferenceFd = -1;
std::string gReferenceBytes;
// Made once: the lines appended to a text that refers to the file, and the
// default list naming the fixed list file.
std::string gReferenceLines;
std::string gDefaultListReference;
// Reused from run to run, which then allocates no more than the library does.
std::vector<ClientProperty *> gEntries;
std::vector<const ClientProperty *> gPassed;
std::string gTextWithReferences;

void WriteAll(int fd, const uint8_t *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
}

void WriteWhole(const std::string &path, const uint8_t *data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        abort();
    WriteAll(fd, data, size);
    close(fd);
}

void WriteReference(const uint8_t *data, size_t size)
{
    if (gReferenceBytes.size() == size && memcmp(gReferenceBytes.data(), data, size) == 0)
        return;
    if (ftruncate(gReferenceFd, 0) != 0)
        abort();
    WriteAll(gReferenceFd, data, size);
    gReferenceBytes.assign(reinterpret_cast<const char *>(data), size);
}

void MakeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

void RemoveFiles()
{
    unlink(gReferencePath.c_str());
    unlink(gDefaultListPath.c_str());
    rmdir(gDirectory.c_str());
}

void Setup()
{
    // References read the environment after the table: runs must not depend
    // on where the harness was started. With its own environment the fuzzer
    // found "file:/$_", the shell's path of the harness, a list of several
    // megabytes read on every run. A fixed environment with short names,
    // which the fuzzer comes upon, keeps the look-ups.
    clearenv();
    setenv("_", "underscore", 1);
    setenv("E", " e  v ", 1);
    // A memory file system where there is one: writing the referenced file
    // then costs no disk work.
    struct stat info;
    std::string name = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
    name += "/client_props_fuzz.XXXXXX";
    if (mkdtemp(&name[0]) == nullptr)
        abort();
    gDirectory = name;
    gReferencePath = gDirectory + "/list";
    gDefaultListPath = gDirectory + "/default";
    gReferenceLines = "\naudittrail.dir = " + gDirectory.substr(1) + "\naudittrail.ref = file:/$audittrail.dir/list\n";
    gDefaultListReference = "file:" + gDefaultListPath;
    const char defaultList[] = "a b\n# comment\n5-10, c\\,d\n";
    WriteWhole(gDefaultListPath, reinterpret_cast<const uint8_t *>(defaultList), strlen(defaultList));
    gReferenceFd = open(gReferencePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (gReferenceFd < 0)
        abort();
    atexit(RemoveFiles);
    // Built-in variables read the kset files of the data directory.
    std::string data = DATA_DIRECTORY_PATH;
    MakeDirectories(data);
    const char *ksets[][2] = {{"kset.host", "host1\n"}, {"kset.zonename", "OU=a,CN=zone,DC=b"}};
    for (auto &kset : ksets)
        WriteWhole(data + kset[0], reinterpret_cast<const uint8_t *>(kset[1]), strlen(kset[1]));
}

const char *const kSenderPrefixes[] = {"audittrail.", "dirsvcd.clients.socket2", "log", "lrpc.timeout", nullptr};
const char kUnits[] = {'s', 'm', 'h', 'd', 'w', 'M', 'y', 'q'};
const size_t kMaxTextSize = 2048;
// A list file's rules (comments, items, escapes, continued lines) show in a
// few lines; a longer list only costs time.
const size_t kMaxReferenceSize = 512;

// The lines are formatted and gathered, never sent; every accessor's trace
// line shows with one key already.
ClientLog *NewLog(uint32_t level)
{
    return ClientLogCreate("fuzz", nullptr, level, "/nonexistent", 1, GetMessageTable());
}

void ReadEverything(ClientPropertyTable *table, uint8_t options, bool references)
{
    ClientContext context{};
    context.configuration = table;

    // A look-up through the index, which a table gets past a few dozen
    // entries, must find the newest entry of its key. It does when the
    // look-up of every entry's key gives an entry with that key that is not
    // older: for the newest entry of a key that can only be itself, and the
    // same key always gives the same answer. (A shorter table is walked, and
    // most inputs make one, so they skip the check.)
    // The entries passed so far are kept in a set by address.
    std::vector<ClientProperty *> &entries = gEntries;
    entries.clear();
    for (ClientProperty *entry = table->first; entry != nullptr; entry = entry->next)
        entries.push_back(entry);
    if (entries.size() > 32) {
        size_t mask = 63;
        while (mask < 2 * entries.size())
            mask = mask * 2 + 1;
        std::vector<const ClientProperty *> &passed = gPassed;
        passed.assign(mask + 1, nullptr);
        auto slot = [&](const ClientProperty *entry) {
            size_t at = (reinterpret_cast<uintptr_t>(entry) >> 4) & mask;
            while (passed[at] != nullptr && passed[at] != entry)
                at = (at + 1) & mask;
            return at;
        };
        for (ClientProperty *entry : entries) {
            passed[slot(entry)] = entry;
            ClientProperty *found = FindClientProperty(table, entry->key);
            if (found == nullptr || passed[slot(found)] != found || strcmp(found->key, entry->key) != 0)
                abort();
        }
    }
    // The accessors on the four newest keys; more keys would cost time and
    // only repeat them (older entries are still evaluated when a value names
    // them). An entry stays where it is until the table is freed.
    const char *keys[4];
    size_t keyCount = 0;
    for (; keyCount < entries.size() && keyCount < 4; keyCount++)
        keys[keyCount] = entries[keyCount]->key;
    ClientLog *log = NewLog(CLIENT_LOG_ERROR);
    ClientLog *traceLog = (options & 0x48) == 0x48 ? NewLog(CLIENT_LOG_TRACE) : nullptr;
    for (size_t number = 0; number < keyCount; number++) {
        const char *key = keys[number];
        context.log = number == 0 && traceLog != nullptr ? traceLog : log;
        ClientProperty *entry = FindClientProperty(table, key);
        int status = 0;
        EvaluateClientProperty(entry, table, &status);
        // The newest key gets every accessor, each other key one group
        // chosen by its first byte: the integer and the time read share one
        // cached number, so both orders of the two come up.
        const char unit = kUnits[options % sizeof kUnits];
        const unsigned group = number == 0 ? 3 : (number + static_cast<unsigned char>(key[0])) % 3;
        if (group == 0 || group == 3) {
            ClientGetProperty(&context, key, "default");
            ClientGetPropertyInt(&context, key, 7);
            ClientGetPropertyTime(&context, key, unit, 300);
        }
        if (group == 1) {
            ClientGetPropertyTime(&context, key, unit, 300);
            ClientGetPropertyInt(&context, key, 7);
        }
        if (group == 1 || group == 3)
            ClientIsIntegerInPropertyList(&context, key, 5, nullptr);
        if (group == 2 || group == 3) {
            ClientGetPropertyBool(&context, key, options & 1);
            ClientIsStringInPropertyList(&context, key, "a", nullptr);
            ClientIsStringInPropertyList(&context, key, key, nullptr);
        }
        // The iterator borrows its prefix. A walk may pass every entry, so
        // only the two newest keys get one.
        if (number < 2) {
            const std::string prefix(key, strnlen(key, 2));
            ClientPropertyIter *iterator = ClientPropertyIterator(&context, prefix.c_str());
            for (int i = 0; i < 4 && ClientPropertyNext(&context, iterator) != nullptr; i++) {
            }
            ClientPropertyIteratorFree(iterator);
        }
    }
    context.log = log;
    ClientIsStringInPropertyList(&context, "fuzz.default", "a", "a, b");
    if (references) {
        const char *referenceList = gDefaultListReference.c_str();
        ClientIsStringInPropertyList(&context, "fuzz.default", "a", referenceList);
        ClientIsIntegerInPropertyList(&context, "fuzz.default", 5, referenceList);
        // An entry added for the default list is found, although the index
        // was built before.
        ClientProperty *added = table->first;
        if (strcmp(added->key, "fuzz.default") == 0 && FindClientProperty(table, "fuzz.default") != added)
            abort();
    }
    ClientLogDiscard(traceLog);
    ClientLogDiscard(log);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (gDirectory.empty())
        Setup();
    if (size < 3)
        return 0;
    uint8_t options = data[0];
    const bool references = (options & 0x22) == 0x22;
    size_t referenceSize = (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) % (size - 2);
    const char *text = reinterpret_cast<const char *>(data + 3);
    size_t textSize = size - 3 - referenceSize;
    const uint8_t *reference = data + 3 + textSize;
    // Reading costs time in proportion to the text, and no rule of the
    // reader needs more than a line past the 1024 bytes of a name or of the
    // buffer an entry is gathered in.
    if (textSize > kMaxTextSize)
        textSize = kMaxTextSize;
    if (referenceSize > kMaxReferenceSize)
        referenceSize = kMaxReferenceSize;

    if (references) {
        WriteReference(reference, referenceSize);
        std::string &withReferences = gTextWithReferences;
        withReferences.assign(text, textSize);
        withReferences += gReferenceLines;
        text = withReferences.data();
        textSize = withReferences.size();
    }

    int status = 0;
    const char *const *prefixes = options & 16 ? kSenderPrefixes : nullptr;
    ClientPropertyTable *table = ParseClientConfigText(text, textSize, prefixes, &status);
    if ((table == nullptr) != (status != 0))
        abort();
    if (table != nullptr)
        ReadEverything(table, options, references);
    FreeClientPropertyTable(table);
    return 0;
}
