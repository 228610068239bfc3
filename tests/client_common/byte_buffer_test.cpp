#include "client_common/byte_buffer.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <stdlib.h>

#include <string>

namespace {

size_t Capacity(const ByteBuffer &buffer)
{
    return static_cast<size_t>(buffer.end - buffer.data);
}

std::string Contents(const ByteBuffer &buffer)
{
    return std::string(reinterpret_cast<const char *>(ByteBufferData(&buffer)), ByteBufferUsed(&buffer));
}

TEST(ByteBuffer, GrowsAsTheAllocationRulesSay)
{
    const struct {
        const char *name;
        size_t size;
        size_t first;   // bytes of the first append
        size_t second;  // bytes of each later append (0: none)
        size_t capacity;
        int times;      // number of later appends
    } cases[] = {
        {"size 0 means 512", 0, 10, 0, 512, 1},
        {"first allocation at least twice the append", 16, 100, 0, 200, 1},
        {"an append that would fill the buffer grows it", 16, 16, 0, 32, 1},
        {"growth adds twice the append", 16, 8, 8, 32, 1},
        {"small appends to a full buffer double it", 64, 32, 4, 128, 8},
        {"room left, no growth", 16, 8, 7, 16, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer buffer;
        ByteBufferInit(&buffer, c.size);
        const std::string first(c.first, 'a'), second(c.second, 'b');
        ASSERT_EQ(ByteBufferAppend(&buffer, first.data(), first.size()), 1);
        std::string expected = first;
        for (int i = 0; c.second != 0 && i < c.times; ++i) {
            ASSERT_EQ(ByteBufferAppend(&buffer, second.data(), second.size()), 1);
            expected += second;
        }
        EXPECT_EQ(Capacity(buffer), c.capacity);
        EXPECT_EQ(Contents(buffer), expected);
        ByteBufferRelease(&buffer, 0);
    }
}

TEST(ByteBuffer, SingleBytesAlwaysLeaveRoomForATerminator)
{
    for (int wipe = 0; wipe <= 1; ++wipe) {
        ByteBuffer buffer;
        if (wipe)
            ByteBufferInitWiping(&buffer, 1);
        else
            ByteBufferInit(&buffer, 1);
        std::string expected;
        for (int i = 0; i < 5000; ++i) {
            const unsigned char byte = static_cast<unsigned char>('a' + i % 26);
            ASSERT_EQ(ByteBufferAppendByte(&buffer, byte), 1);
            expected += static_cast<char>(byte);
            ASSERT_GE(Capacity(buffer) - ByteBufferUsed(&buffer), 1u) << i;
        }
        EXPECT_EQ(Contents(buffer), expected);
        // Growth doubles, so 5000 single bytes take a handful of allocations.
        EXPECT_LT(Capacity(buffer), 2 * 5000u + 2);
        ByteBufferRelease(&buffer, wipe);
    }
}

TEST(ByteBuffer, KeepsItsContentsAcrossGrowthInBothModes)
{
    for (int wipe = 0; wipe <= 1; ++wipe) {
        ByteBuffer buffer;
        if (wipe)
            ByteBufferInitWiping(&buffer, 0);
        else
            ByteBufferInit(&buffer, 0);
        std::string expected;
        for (int i = 0; i < 200; ++i) {
            const std::string piece = std::to_string(i) + std::string(static_cast<size_t>(i), 'x');
            ASSERT_EQ(ByteBufferAppendString(&buffer, piece.c_str()), 1);
            expected += piece;
        }
        EXPECT_EQ(Contents(buffer), expected);
        ByteBufferRelease(&buffer, 0);
    }
}

TEST(ByteBuffer, OverwritesOnlyBytesAlreadyWritten)
{
    ByteBuffer buffer;
    ByteBufferInit(&buffer, 0);
    ASSERT_EQ(ByteBufferAppendString(&buffer, "abcdef"), 1);
    EXPECT_EQ(ByteBufferOverwrite(&buffer, 2, "XY", 2), 1);
    EXPECT_EQ(ByteBufferOverwrite(&buffer, 4, "XYZ", 3), 0);
    EXPECT_EQ(ByteBufferOverwrite(&buffer, 7, "", 0), 0);
    EXPECT_EQ(ByteBufferOverwrite(&buffer, static_cast<size_t>(-1), "X", 1), 0);
    EXPECT_EQ(ByteBufferOverwrite(&buffer, 4, "ZZ", 2), 1);
    EXPECT_EQ(Contents(buffer), "abXYZZ");
    ByteBufferTruncate(&buffer, 5);
    EXPECT_EQ(Contents(buffer), "abXYZ");
    ByteBufferTruncate(&buffer, 9);
    EXPECT_EQ(Contents(buffer), "abXYZ");
    ByteBufferTruncate(&buffer, 0);
    EXPECT_EQ(Contents(buffer), "");
    ByteBufferRelease(&buffer, 0);
}

TEST(ByteBuffer, DetachHandsOverTheBytesAndStartsAfresh)
{
    for (int wipe = 0; wipe <= 1; ++wipe) {
        ByteBuffer buffer;
        if (wipe)
            ByteBufferInitWiping(&buffer, 64);
        else
            ByteBufferInit(&buffer, 64);
        ASSERT_EQ(ByteBufferAppendString(&buffer, "frame"), 1);
        size_t length = 0;
        unsigned char *bytes = ByteBufferDetach(&buffer, &length);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), length), "frame");
        free(bytes);
        EXPECT_EQ(ByteBufferUsed(&buffer), 0u);
        EXPECT_EQ(ByteBufferData(&buffer), nullptr);
        EXPECT_EQ(buffer.size, 64u);
        EXPECT_EQ(ByteBufferDetach(&buffer, &length), nullptr);
        EXPECT_EQ(length, 0u);
        ASSERT_EQ(ByteBufferAppendString(&buffer, "again"), 1);
        EXPECT_EQ(Capacity(buffer), 64u);
        ByteBufferRelease(&buffer, 1);
        EXPECT_EQ(ByteBufferData(&buffer), nullptr);
        EXPECT_EQ(buffer.size, 64u);
    }
}

TEST(ByteBuffer, DetachGivesBackALargeUnusedTail)
{
    ByteBuffer buffer;
    ByteBufferInit(&buffer, 0);
    const std::string big(40000, 'x');
    ASSERT_EQ(ByteBufferAppend(&buffer, big.data(), big.size()), 1);
    ASSERT_EQ(Capacity(buffer), 80000u);
    size_t length = 0;
    unsigned char *bytes = ByteBufferDetach(&buffer, &length);
    ASSERT_EQ(length, big.size());
    EXPECT_LT(malloc_usable_size(bytes), 41000u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), length), big);
    free(bytes);
}

TEST(ByteBuffer, RefusesImpossibleRequestsAndKeepsItsContents)
{
    ByteBuffer buffer;
    ByteBufferInit(&buffer, 0);
    ASSERT_EQ(ByteBufferAppendString(&buffer, "keep"), 1);
    EXPECT_EQ(ByteBufferAppend(&buffer, "x", static_cast<size_t>(-1) / 2), 0);
    EXPECT_EQ(ByteBufferAppend(&buffer, nullptr, 1), 0);
    EXPECT_EQ(ByteBufferAppendString(&buffer, nullptr), 0);
    EXPECT_EQ(Contents(buffer), "keep");
    ByteBufferRelease(&buffer, 0);
    EXPECT_EQ(ByteBufferAppend(nullptr, "x", 1), 0);
    EXPECT_EQ(ByteBufferAppendByte(nullptr, 'x'), 0);
    ByteBufferRelease(nullptr, 1);
}

TEST(ByteBuffer, WritesIntoALentBlockUntilItOutgrowsIt)
{
    for (int wipe = 0; wipe <= 1; ++wipe) {
        SCOPED_TRACE(wipe ? "wiping" : "plain");
        unsigned char block[16];
        ByteBuffer buffer;
        ByteBufferInitInBlock(&buffer, block, sizeof block, wipe);
        ASSERT_EQ(ByteBufferAppendString(&buffer, "0123456789"), 1);
        EXPECT_EQ(ByteBufferData(&buffer), block);
        EXPECT_EQ(Capacity(buffer), sizeof block);
        ASSERT_EQ(ByteBufferAppendString(&buffer, "abcdefgh"), 1);
        EXPECT_NE(ByteBufferData(&buffer), block);
        // Growth from the lent block follows the usual rule: 2n + capacity.
        EXPECT_EQ(Capacity(buffer), 2 * 8 + sizeof block);
        EXPECT_EQ(Contents(buffer), "0123456789abcdefgh");
        // A wiping buffer leaves no copy of its bytes behind in the block.
        const std::string left(reinterpret_cast<const char *>(block), 10);
        EXPECT_EQ(left, wipe ? std::string(10, '\0') : "0123456789");
        ByteBufferRelease(&buffer, 0);
        EXPECT_EQ(ByteBufferData(&buffer), nullptr);
    }
}

// The block belongs to the caller (here the stack, so a free of it would be
// caught at once under AddressSanitizer and would crash otherwise).
TEST(ByteBuffer, LeavesALentBlockToItsOwner)
{
    unsigned char block[32];
    ByteBuffer buffer;
    ByteBufferInitInBlock(&buffer, block, sizeof block, 0);
    size_t length = 99;
    EXPECT_EQ(ByteBufferDetach(&buffer, &length), nullptr);
    EXPECT_EQ(length, 0u);

    ByteBufferInitInBlock(&buffer, block, sizeof block, 0);
    ASSERT_EQ(ByteBufferAppendString(&buffer, "frame"), 1);
    EXPECT_EQ(ByteBufferDetach(&buffer, &length), block);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block), length), "frame");
    EXPECT_EQ(ByteBufferData(&buffer), nullptr);
    // Afterwards the buffer allocates as any other, with the block's size.
    ASSERT_EQ(ByteBufferAppendString(&buffer, "x"), 1);
    EXPECT_NE(ByteBufferData(&buffer), block);
    EXPECT_EQ(Capacity(buffer), sizeof block);
    ByteBufferRelease(&buffer, 0);

    ByteBufferInitInBlock(&buffer, block, sizeof block, 0);
    ASSERT_EQ(ByteBufferAppendString(&buffer, "secret"), 1);
    ByteBufferRelease(&buffer, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block), 6), std::string(6, '\0'));
    EXPECT_EQ(ByteBufferData(&buffer), nullptr);
}

TEST(ByteBuffer, WithoutALentBlockStartsEmptyWithTheDefaultSize)
{
    unsigned char block[8];
    const struct {
        const char *name;
        void *block;
        size_t capacity;
    } cases[] = {
        {"null block", nullptr, 64},
        {"capacity 0", block, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer buffer;
        ByteBufferInitInBlock(&buffer, c.block, c.capacity, 1);
        EXPECT_EQ(ByteBufferData(&buffer), nullptr);
        EXPECT_EQ(buffer.size, static_cast<size_t>(BYTE_BUFFER_DEFAULT_SIZE));
        EXPECT_EQ(buffer.wipe, 1);
        ASSERT_EQ(ByteBufferAppendString(&buffer, "abc"), 1);
        EXPECT_EQ(Contents(buffer), "abc");
        ByteBufferRelease(&buffer, 0);
    }
}

}  // namespace
