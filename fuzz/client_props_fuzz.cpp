// Arbitrary bytes as the daemon's configuration, read from memory with and
// without the sender's prefix list; every entry of one of the two tables is
// then evaluated and read through every accessor.
//
// Input: byte 0 selects options, bytes 1-2 the length of the referenced
// file's part at the end of the input; the rest is the configuration text.
// Options: bit 0 the boolean default, bits 0-2 the time unit, bit 4 the table
// read with the sender's prefixes (otherwise the whole one). Bits 3 and 6
// together: trace lines (otherwise only failure lines are formatted). Bits 1
// and 5 together bring in a file reference: the referenced part is written
// to a file, lines referring to it are appended to the text, and a default
// list names it. Formatting lines and opening a referenced file for its
// ownership test each cost more than all the rest of a run, so they take two
// bits: most runs stay in memory, and the referenced file is rewritten only
// when its bytes change.
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
#include <unordered_map>
#include <vector>

namespace {

std::string gDirectory;
std::string gReferencePath;
// The referenced file stays open for writing: rewriting it in place costs two
// calls where a new file would cost four and an inode.
int gReferenceFd = -1;
std::string gReferenceBytes;

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
    rmdir(gDirectory.c_str());
}

void Setup()
{
    // A memory file system where there is one: writing the referenced file
    // then costs no disk work.
    struct stat info;
    std::string name = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
    name += "/client_props_fuzz.XXXXXX";
    if (mkdtemp(&name[0]) == nullptr)
        abort();
    gDirectory = name;
    gReferencePath = gDirectory + "/list";
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

// The lines are formatted and gathered, never sent: each key gets a fresh
// log, because a pending message that grew by hundreds of lines would be
// copied again at every growth and cost more than the reads themselves.
// Formatting costs more than reading, and every accessor's line shows with
// the first keys already, so only those trace.
ClientLog *NewLog(uint8_t options, size_t keyNumber)
{
    bool trace = (options & 0x48) == 0x48 && keyNumber < 4;
    return ClientLogCreate("fuzz", nullptr, trace ? CLIENT_LOG_TRACE : CLIENT_LOG_ERROR, "/nonexistent", 1,
                           GetMessageTable());
}

void ReadEverything(ClientPropertyTable *table, uint8_t options, bool references)
{
    ClientContext context{};
    context.configuration = table;

    // The newest 64 keys: enough for the look-up index, which a table gets
    // past a few dozen entries; every further key would only repeat them.
    // A look-up must find the newest entry of its key, index or not.
    std::vector<std::string> keys;
    std::unordered_map<std::string, ClientProperty *> newest;
    for (ClientProperty *entry = table->first; entry != nullptr; entry = entry->next) {
        newest.emplace(entry->key, entry);
        if (keys.size() < 64)
            keys.push_back(entry->key);
    }
    for (size_t number = 0; number < keys.size(); number++) {
        const std::string &key = keys[number];
        context.log = NewLog(options, number);
        ClientProperty *entry = FindClientProperty(table, key.c_str());
        if (entry != newest[key])
            abort();
        int status = 0;
        EvaluateClientProperty(entry, table, &status);
        ClientGetProperty(&context, key.c_str(), "default");
        ClientGetPropertyInt(&context, key.c_str(), 7);
        ClientGetPropertyBool(&context, key.c_str(), options & 1);
        ClientGetPropertyTime(&context, key.c_str(), kUnits[options % sizeof kUnits], 300);
        ClientIsStringInPropertyList(&context, key.c_str(), "a", nullptr);
        ClientIsStringInPropertyList(&context, key.c_str(), key.c_str(), nullptr);
        ClientIsIntegerInPropertyList(&context, key.c_str(), 5, nullptr);
        // The iterator borrows its prefix. A walk may pass every entry, so
        // only the newest keys get one.
        if (number < 8) {
            std::string prefix = key.substr(0, 2);
            ClientPropertyIter *iterator = ClientPropertyIterator(&context, prefix.c_str());
            for (int i = 0; i < 4 && ClientPropertyNext(&context, iterator) != nullptr; i++) {
            }
            ClientPropertyIteratorFree(iterator);
        }
        ClientLogDiscard(context.log);
    }
    context.log = NewLog(options, 0);
    ClientIsStringInPropertyList(&context, "fuzz.default", "a", "a, b");
    if (references) {
        std::string referenceList = "file:" + gReferencePath;
        ClientIsStringInPropertyList(&context, "fuzz.default", "a", referenceList.c_str());
        ClientIsIntegerInPropertyList(&context, "fuzz.default", 5, referenceList.c_str());
        // An added entry is found although the index was built before.
        if (newest.count("fuzz.default") == 0 && FindClientProperty(table, "fuzz.default") != table->first)
            abort();
    }
    ClientLogDiscard(context.log);
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

    std::string withReferences;
    if (references) {
        WriteReference(data + 3 + textSize, referenceSize);
        withReferences.assign(text, textSize);
        withReferences +=
            "\naudittrail.dir = " + gDirectory.substr(1) + "\naudittrail.ref = file:/$audittrail.dir/list\n";
        text = withReferences.data();
        textSize = withReferences.size();
    }

    for (int filtered = 0; filtered < 2; filtered++) {
        int status = 0;
        ClientPropertyTable *table =
            ParseClientConfigText(text, textSize, filtered ? kSenderPrefixes : nullptr, &status);
        if ((table == nullptr) != (status != 0))
            abort();
        if (table != nullptr && filtered == ((options & 16) != 0))
            ReadEverything(table, options, references);
        FreeClientPropertyTable(table);
    }
    return 0;
}
