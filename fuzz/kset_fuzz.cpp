// Reads arbitrary bytes as a kset file. Reading either gives a value that
// could be stored (at most 1024 bytes, no control character, no surrounding
// whitespace) or throws one of the store's exceptions; a value read back
// after writing it is the same value.
#include "client_common/well_known_paths.h"
#include "hlx/exceptions.h"
#include "hlx/setting.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string file = Folder() + "kset.fuzz";
    int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(descriptor >= 0);
    Check(write(descriptor, data, size) == ssize_t(size));
    close(descriptor);

    std::string value;
    try {
        value = hlx::readKsetFile("fuzz", Folder());
    } catch (const hlx::IOException &) {
        Check(size > hlx::KSET_MAX_SIZE);
        return 0;
    } catch (const hlx::BadDataException &) {
        return 0;
    }
    Check(Storable(value));
    hlx::writeKsetFile("fuzz", value, 0, Folder());
    if (value.empty()) {
        Check(access(file.c_str(), F_OK) != 0);
        return 0;
    }
    Check(hlx::readKsetFile("fuzz", Folder()) == value);
    return 0;
}
