// Takes arbitrary bytes both as the content of a kset file and as a value to
// store. Reading either gives a value that could be stored (at most 1024
// bytes, no control character, no surrounding whitespace) or throws one of
// the store's exceptions; storing either refuses the value or gives content
// that reads back as the value trimmed.
//
// Both run in memory, through the checks that reading and writing a kset file
// use. Writing a file syncs it to disk, some milliseconds: only one input in
// 1024, chosen by its bytes so that a fault found there reproduces, also
// goes through the files, and must read there as it did in memory.
#include "client_common/well_known_paths.h"
#include "hlx/common.h"
#include "hlx/exceptions.h"
#include "hlx/setting.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

const char kPath[] = "kset.fuzz";

void Check(bool condition)
{
    if (!condition)
        abort();
}

// A folder of its own under the test root in the build tree.
const std::string &Folder()
{
    static std::string folder = [] {
        std::string base = std::string(WELL_KNOWN_ROOT_PATH) + "/tmp";
        mkdir(WELL_KNOWN_ROOT_PATH, 0755);
        mkdir(base.c_str(), 0755);
        std::string name = base + "/kset_fuzz.XXXXXX";
        Check(mkdtemp(&name[0]) != nullptr);
        return name + "/";
    }();
    return folder;
}

bool Storable(const std::string &value)
{
    if (value.size() > hlx::KSET_MAX_SIZE)
        return false;
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return value.empty() || (value.front() != ' ' && value.back() != ' ');
}

// What reading some bytes gave: a value, or the class of what was thrown.
enum Outcome { VALUE, TOO_LARGE, BAD_DATA };

bool ThroughFiles(const uint8_t *data, size_t size)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash % 1024 == 0;
}

// The file's bytes read through readKsetFile(), compared with what reading
// them in memory gave; a value read is stored and read back.
void RoundTripThroughFiles(const uint8_t *data, size_t size, Outcome outcome, const std::string &value)
{
    const std::string file = Folder() + "kset.fuzz";
    int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(descriptor >= 0);
    Check(write(descriptor, data, size) == ssize_t(size));
    close(descriptor);

    Outcome read = VALUE;
    std::string readValue;
    try {
        readValue = hlx::readKsetFile("fuzz", Folder());
    } catch (const hlx::IOException &) {
        read = TOO_LARGE;
    } catch (const hlx::BadDataException &) {
        read = BAD_DATA;
    }
    Check(read == outcome && readValue == value);
    if (outcome != VALUE)
        return;
    hlx::writeKsetFile("fuzz", value, 0, Folder());
    if (value.empty()) {
        Check(access(file.c_str(), F_OK) != 0);
        return;
    }
    Check(hlx::readKsetFile("fuzz", Folder()) == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);

    Outcome outcome = VALUE;
    std::string value;
    try {
        value = hlx::parseKsetContent(bytes, size, kPath);
    } catch (const hlx::IOException &) {
        outcome = TOO_LARGE;
    } catch (const hlx::BadDataException &) {
        outcome = BAD_DATA;
    }
    Check((outcome == TOO_LARGE) == (size > hlx::KSET_MAX_SIZE));
    if (outcome == VALUE) {
        Check(Storable(value));
        Check(hlx::formatKsetContent(value, kPath) == value);
    }

    const std::string stored = hlx::trim(std::string(bytes, size));
    try {
        const std::string content = hlx::formatKsetContent(std::string(bytes, size), kPath);
        Check(content == stored && Storable(content));
        Check(hlx::parseKsetContent(content.data(), content.size(), kPath) == content);
    } catch (const hlx::IOException &) {
        Check(stored.size() > hlx::KSET_MAX_SIZE);
    } catch (const hlx::BadDataException &) {
        Check(!Storable(stored));
    }

    if (ThroughFiles(data, size))
        RoundTripThroughFiles(data, size, outcome, value);
    return 0;
}
