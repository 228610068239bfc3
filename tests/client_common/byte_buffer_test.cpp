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
        size_t second;  // bytes of the second append (0: none)
        size_t capacity;
    } cases[] = {
        {"size 0 means 512", 0, 10, 0, 512},
        {"first allocation at least twice the append", 16, 100, 0, 200},
        {"an append that would fill the buffer grows it", 16, 16, 0, 32},
        {"growth adds twice the append", 16, 8, 8, 32},
        {"room left, no growth", 16, 8, 7, 16},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer buffer;
        ByteBufferInit(&buffer, c.size);
        const std::string first(c.first, 'a'), second(c.second, 'b');
        ASSERT_EQ(ByteBufferAppend(&buffer, first.data(), first.size()), 1);
        if (c.second != 0) {
            ASSERT_EQ(ByteBufferAppend(&buffer, second.data(), second.size()), 1);
        }
        EXPECT_EQ(Capacity(buffer), c.capacity);
        EXPECT_EQ(Contents(buffer), first + second);
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
    ByteBufferDropLast(&buffer);
    EXPECT_EQ(Contents(buffer), "abXYZ");
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

}  // namespace
