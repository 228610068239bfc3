// Arbitrary bytes as the daemon's configuration file and as a file it
// references, parsed with and without the sender's prefix list; every entry
// is then evaluated and read through every accessor.
//
// Input: byte 0 selects options, bytes 1-2 the length of the referenced
// file's part at the end of the input; the rest is the main file, to which
// lines referring to the referenced file are appended.
#include "client_common/client_context.h"
#include "client_common/client_msg.h"
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
std::string gMainPath;
std::string gReferencePath;

// A fresh file each time: truncating a file makes ext4 flush it first, which
// would cost more than the whole run.
void WriteWhole(const std::string &path, const uint8_t *data, size_t size)
{
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void MakeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

void RemoveFiles()
{
    unlink(gMainPath.c_str());
    unlink(gReferencePath.c_str());
    rmdir(gDirectory.c_str());
}

void Setup()
{
    char name[] = "/tmp/client_props_fuzz.XXXXXX";
    if (mkdtemp(name) == nullptr)
        abort();
    gDirectory = name;
    gMainPath = gDirectory + "/main.conf";
    gReferencePath = gDirectory + "/list";
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

void ReadEverything(ClientPropertyTable *table, uint8_t options)
{
    ClientContext context{};
    context.configuration = table;
    context.log = ClientLogCreate("fuzz", nullptr, CLIENT_LOG_TRACE, "/nonexistent", 1, GetMessageTable());

    std::vector<std::string> keys;
    for (ClientProperty *entry = table->first; entry != nullptr && keys.size() < 256; entry = entry->next)
        keys.push_back(entry->key);
    std::string referenceList = "file:" + gReferencePath;
    for (const std::string &key : keys) {
        ClientProperty *entry = FindClientProperty(table, key.c_str());
        int status = 0;
        EvaluateClientProperty(entry, table, &status);
        ClientGetProperty(&context, key.c_str(), "default");
        ClientGetPropertyInt(&context, key.c_str(), 7);
        ClientGetPropertyBool(&context, key.c_str(), options & 1);
        ClientGetPropertyTime(&context, key.c_str(), kUnits[options % sizeof kUnits], 300);
        ClientIsStringInPropertyList(&context, key.c_str(), "a", nullptr);
        ClientIsStringInPropertyList(&context, key.c_str(), key.c_str(), nullptr);
        ClientIsIntegerInPropertyList(&context, key.c_str(), 5, nullptr);
        // The iterator borrows its prefix.
        std::string prefix = key.substr(0, 2);
        ClientPropertyIter *iterator = ClientPropertyIterator(&context, prefix.c_str());
        for (int i = 0; i < 4 && ClientPropertyNext(&context, iterator) != nullptr; i++) {
        }
        ClientPropertyIteratorFree(iterator);
    }
    ClientIsStringInPropertyList(&context, "fuzz.default", "a", referenceList.c_str());
    ClientIsIntegerInPropertyList(&context, "fuzz.default", 5, referenceList.c_str());

    // The lines were formatted; nothing needs to reach a destination.
    if (context.log != nullptr) {
        MsgFree(context.log->pending);
        context.log->pending = nullptr;
    }
    ClientLogClose(context.log);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (gDirectory.empty())
        Setup();
    if (size < 3)
        return 0;
    uint8_t options = data[0];
    size_t referenceSize = (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) % (size - 2);
    const uint8_t *main = data + 3;
    size_t mainSize = size - 3 - referenceSize;
    const uint8_t *reference = main + mainSize;

    std::string content(reinterpret_cast<const char *>(main), mainSize);
    if (options & 2) {
        content += "\nlog.ref = file:" + gReferencePath + "\naudittrail.dir = " + gDirectory.substr(1) +
                   "\naudittrail.ref = file:/$audittrail.dir/list\n";
    }
    WriteWhole(gMainPath, reinterpret_cast<const uint8_t *>(content.data()), content.size());
    WriteWhole(gReferencePath, reference, referenceSize);

    for (int filtered = 0; filtered < 2; filtered++) {
        int status = 0;
        ClientPropertyTable *table =
            ParseClientConfigFile(gMainPath.c_str(), filtered ? kSenderPrefixes : nullptr, &status);
        if ((table == nullptr) != (status != 0))
            abort();
        if (table != nullptr)
            ReadEverything(table, options);
        FreeClientPropertyTable(table);
    }
    return 0;
}
