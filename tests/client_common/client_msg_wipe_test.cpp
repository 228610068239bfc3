// Messages of sensitive types must not leave their bytes in memory that goes
// back to the allocator. This test watches every block as it is returned:
// under AddressSanitizer through the sanitizer's free hook, otherwise through
// a replacement of malloc/free/realloc in this program whose realloc always
// moves (the worst case a C library may choose), so a secret copied away by
// realloc is caught as well.
#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define WIPE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WIPE_TEST_ASAN 1
#endif
#endif

#ifdef WIPE_TEST_ASAN
#include <sanitizer/allocator_interface.h>
#endif

namespace {

const char kSecret[] = "Zq7-secret-marker-4Jx9";

std::atomic<bool> gArmed{false};
std::atomic<int> gReturnedBlocks{0};
std::atomic<int> gBlocksWithSecret{0};

// Looks at a block that is about to go back to the allocator. Must not
// allocate.
void Inspect(const void *block, size_t size)
{
    if (!gArmed.load() || block == nullptr)
        return;
    ++gReturnedBlocks;
    if (memmem(block, size, kSecret, sizeof kSecret - 1) != nullptr)
        ++gBlocksWithSecret;
}

}  // namespace

#ifdef WIPE_TEST_ASAN

namespace {

void OnFree(const volatile void *block)
{
    if (gArmed.load() && block != nullptr)
        Inspect(const_cast<const void *>(block), __sanitizer_get_allocated_size(block));
}

// The sanitizer takes the two hooks only as a pair.
void OnMalloc(const volatile void *, size_t) {}

const bool gHooksInstalled = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;

}  // namespace

#else

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);

void *malloc(size_t size)
{
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    return __libc_calloc(count, size);
}

void free(void *block)
{
    if (block != nullptr)
        Inspect(block, malloc_usable_size(block));
    __libc_free(block);
}

void *realloc(void *block, size_t size)
{
    if (block == nullptr || !gArmed.load())
        return __libc_realloc(block, size);
    if (size == 0) {
        free(block);
        return nullptr;
    }
    void *moved = __libc_malloc(size);
    if (moved == nullptr)
        return nullptr;
    const size_t old = malloc_usable_size(block);
    memcpy(moved, block, old < size ? old : size);
    free(block);
    return moved;
}
}  // extern "C"

namespace {
const bool gHooksInstalled = true;
}  // namespace

#endif

namespace {

// Counts, while armed, the returned blocks that still held the secret.
class AllocatorWatch {
public:
    AllocatorWatch()
    {
        gReturnedBlocks = 0;
        gBlocksWithSecret = 0;
        gArmed = true;
    }
    ~AllocatorWatch() { gArmed = false; }
    int returned() const { return gReturnedBlocks.load(); }
    int withSecret() const { return gBlocksWithSecret.load(); }
};

// Puts the secret early in the message and then enough bytes to make the
// buffer grow several times.
void FillWithSecret(ClientMsg *msg)
{
    const std::string filler(3000, 'f');
    EXPECT_EQ(MsgAddString(msg, "ann"), MSG_OK);
    EXPECT_EQ(MsgAddPassword(msg, kSecret), MSG_OK);
    EXPECT_EQ(MsgBeginStringArray(msg), MSG_OK);
    EXPECT_EQ(MsgAddArrayString(msg, kSecret), MSG_OK);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(MsgAddArrayString(msg, filler.c_str()), MSG_OK);
}

// A message small enough to stay in the first block inside its record.
void AddSecret(ClientMsg *msg)
{
    EXPECT_EQ(MsgAddString(msg, "ann"), MSG_OK);
    EXPECT_EQ(MsgAddPassword(msg, kSecret), MSG_OK);
}

enum class End { Building, Completed, Broken };

void BuildAndFree(uint32_t type, End end, void (*fill)(ClientMsg *) = FillWithSecret)
{
    ClientMsg *msg = NewClientMsg(type, GetMessageTable(), LRPC2_HEADER_SIZE, nullptr);
    ASSERT_NE(msg, nullptr);
    fill(msg);
    if (end == End::Completed) {
        EXPECT_EQ(MsgComplete(msg), MSG_OK);
    } else if (end == End::Broken) {
        EXPECT_EQ(MsgAddKeyValue(msg, "k", "v"), MSG_ERR_UNEXPECTED_DATA);
    }
    MsgFree(msg);
}

std::vector<unsigned char> FrameWithSecret(uint16_t type)
{
    std::vector<unsigned char> frame(8, 0);
    frame.push_back(reinterpret_cast<const unsigned char *>(&type)[0]);
    frame.push_back(reinterpret_cast<const unsigned char *>(&type)[1]);
    const uint32_t length = sizeof kSecret - 1;
    frame.push_back(WIRE_PASSWORD);
    frame.insert(frame.end(), reinterpret_cast<const unsigned char *>(&length),
                 reinterpret_cast<const unsigned char *>(&length) + 4);
    frame.insert(frame.end(), kSecret, kSecret + length);
    frame.push_back(WIRE_END);
    return frame;
}

// Stops watching for a while: the test's own copies of the secret are not
// the codec's business.
class Paused {
public:
    Paused() : m_was(gArmed.exchange(false)) {}
    ~Paused() { gArmed = m_was; }

private:
    bool m_was;
};

void ReceiveAndFree(uint16_t type, bool copy)
{
    unsigned char *bytes;
    size_t length;
    {
        Paused paused;
        const std::vector<unsigned char> frame = FrameWithSecret(type);
        length = frame.size();
        bytes = static_cast<unsigned char *>(malloc(length));
        ASSERT_NE(bytes, nullptr);
        memcpy(bytes, frame.data(), length);
    }
    ClientMsg *msg = MsgFromFrame(bytes, length, copy, GetMessageTable(), 8, nullptr);
    ASSERT_NE(msg, nullptr);
    MsgFree(msg);
    if (copy) {
        Paused paused;
        free(bytes);
    }
}

TEST(ClientMsgWipe, SensitiveMessagesLeaveNoSecretInReturnedMemory)
{
    ASSERT_TRUE(gHooksInstalled);
    const struct {
        const char *name;
        std::function<void()> run;
    } cases[] = {
        {"under construction", [] { BuildAndFree(702, End::Building); }},
        {"completed", [] { BuildAndFree(702, End::Completed); }},
        {"broken", [] { BuildAndFree(708, End::Broken); }},
        {"small, under construction", [] { BuildAndFree(702, End::Building, AddSecret); }},
        {"small, completed", [] { BuildAndFree(702, End::Completed, AddSecret); }},
        {"small, broken", [] { BuildAndFree(708, End::Broken, AddSecret); }},
        {"received, taken over", [] { ReceiveAndFree(702, false); }},
        {"received, copied", [] { ReceiveAndFree(1101, true); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AllocatorWatch watch;
        c.run();
        EXPECT_GT(watch.returned(), 0) << "the watch saw no memory returned";
        EXPECT_EQ(watch.withSecret(), 0);
    }
}

// The same scenarios with a type that is not sensitive leave the secret
// behind: proof that the watch sees what the sensitive runs avoid.
TEST(ClientMsgWipe, WatchSeesWhatOrdinaryMessagesLeaveBehind)
{
    ASSERT_TRUE(gHooksInstalled);
    const struct {
        const char *name;
        std::function<void()> run;
    } cases[] = {
        {"under construction", [] { BuildAndFree(100, End::Building); }},
        {"completed", [] { BuildAndFree(100, End::Completed); }},
        {"small, under construction", [] { BuildAndFree(100, End::Building, AddSecret); }},
        {"small, completed", [] { BuildAndFree(100, End::Completed, AddSecret); }},
        {"received, taken over", [] { ReceiveAndFree(100, false); }},
        {"received, copied", [] { ReceiveAndFree(100, true); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AllocatorWatch watch;
        c.run();
        EXPECT_GT(watch.withSecret(), 0);
    }
}

TEST(ClientMsgWipe, ReaderResultsFreedWithZeroingLeaveNoSecret)
{
    ClientMsg *msg = NewClientMsg(702, GetMessageTable(), LRPC2_HEADER_SIZE, nullptr);
    ASSERT_NE(msg, nullptr);
    ASSERT_EQ(MsgAddPassword(msg, kSecret), MSG_OK);
    const char *const list[] = {"x", kSecret, nullptr};
    ASSERT_EQ(MsgAddStringArray(msg, list), MSG_OK);
    ASSERT_EQ(MsgBeginKeyValueArray(msg), MSG_OK);
    ASSERT_EQ(MsgAddKeyValue(msg, "password", kSecret), MSG_OK);
    ASSERT_EQ(MsgAddBlob(msg, kSecret, sizeof kSecret), MSG_OK);
    ASSERT_EQ(MsgComplete(msg), MSG_OK);
    char *password = nullptr;
    char **strings = nullptr;
    MsgKeyValue *pairs = nullptr;
    void *blob = nullptr;
    size_t blobLength = 0;
    ASSERT_EQ(MsgReadPassword(msg, &password), MSG_OK);
    ASSERT_EQ(MsgReadStringArray(msg, &strings), MSG_OK);
    ASSERT_EQ(MsgReadKeyValueArray(msg, &pairs), MSG_OK);
    ASSERT_EQ(MsgReadBlob(msg, &blob, &blobLength), MSG_OK);
    AllocatorWatch watch;
    MsgFreeString(password, 1);
    MsgFreeStringArray(strings, 1);
    MsgFreeKeyValueArray(pairs, 1);
    MsgFreeBlob(blob, blobLength, 1);
    MsgFree(msg);
    EXPECT_GE(watch.returned(), 7);
    EXPECT_EQ(watch.withSecret(), 0);
}

}  // namespace
