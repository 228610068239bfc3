#include "client_common/msg_type_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

const MsgTypeTable *Table()
{
    return GetMessageTable();
}

TEST(MsgTypeTable, HoldsEveryRowSortedByNumber)
{
    const MsgTypeTable *table = Table();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->count, 108u);
    for (size_t i = 1; i < table->count; ++i)
        EXPECT_LT(table->entries[i - 1].number, table->entries[i].number) << "row " << i;
    EXPECT_EQ(table->entries[0].number, 0u);
    EXPECT_EQ(table->entries[table->count - 1].number, 1200u);
}

TEST(MsgTypeTable, FindsEveryRowAndNothingElse)
{
    const MsgTypeTable *table = Table();
    std::set<uint32_t> numbers;
    for (size_t i = 0; i < table->count; ++i) {
        numbers.insert(table->entries[i].number);
        EXPECT_EQ(FindMsgTypeEntry(table, table->entries[i].number), &table->entries[i]);
    }
    for (uint32_t number = 0; number <= 1300; ++number) {
        if (numbers.count(number) == 0) {
            EXPECT_EQ(FindMsgTypeEntry(table, number), nullptr) << number;
        }
    }
    EXPECT_EQ(FindMsgTypeEntry(table, 0x10000u + 100u), nullptr);
    EXPECT_EQ(FindMsgTypeEntry(nullptr, 100), nullptr);
}

TEST(MsgTypeTable, NamesTypesAndLeavesUnknownOnesUnnamed)
{
    const struct {
        uint32_t number;
        const char *name;
    } cases[] = {
        {0, "DISCONNECT"},
        {3, "_ProcessAuthChallenge2"},
        {100, "ControlPing"},
        {105, nullptr},
        {106, nullptr},
        {107, "ControlLog2"},
        {713, nullptr},
        {717, "PAMTimeUntilPasswordChangeForDisplay"},
        {928, "KAPIGetDomainControllers"},
        {1102, "QRIIsUserAllowedAccessByAudit2"},
        {1200, "ATProxySetAuditTrailEvent"},
        {1201, nullptr},
    };
    for (const auto &c : cases) {
        const char *name = MsgTypeName(Table(), c.number);
        if (c.name == nullptr)
            EXPECT_EQ(name, nullptr) << c.number;
        else
            EXPECT_STREQ(name, c.name) << c.number;
    }
    // Every row but 105 is named.
    for (size_t i = 0; i < Table()->count; ++i) {
        if (Table()->entries[i].number != 105) {
            EXPECT_NE(Table()->entries[i].name, nullptr) << Table()->entries[i].number;
        }
    }
}

TEST(MsgTypeTable, CarriesTheFlagsOfEveryRow)
{
    std::set<uint32_t> sensitive = {500, 501, 504, 702, 708, 927, 1101};
    std::set<uint32_t> sensitiveMarked = {101, 102, 104, 105, 108, 513, 516, 703, 705, 706, 709,
                                          710, 711, 712, 715, 717, 718, 719, 800, 919, 920, 921,
                                          922, 925, 926, 1100, 1102};
    for (uint32_t n = 900; n <= 916; ++n)
        sensitiveMarked.insert(n);
    const std::set<uint32_t> oneWay = {505, 512, 517, 1200};
    for (size_t i = 0; i < Table()->count; ++i) {
        const MsgTypeEntry &row = Table()->entries[i];
        uint32_t expected = 0;
        if (sensitive.count(row.number))
            expected = 1;
        if (sensitiveMarked.count(row.number))
            expected = 3;
        if (oneWay.count(row.number))
            expected = 4;
        EXPECT_EQ(row.flags, expected) << row.number;
        EXPECT_EQ(MsgTypeIsSensitive(Table(), row.number), (expected & 1) ? 1 : 0) << row.number;
        EXPECT_EQ(MsgTypeIsOneWay(Table(), row.number), (expected & 4) ? 1 : 0) << row.number;
    }
}

TEST(MsgTypeTable, UnknownTypesAreNeitherSensitiveNorOneWay)
{
    for (uint32_t number : {106u, 713u, 1201u}) {
        EXPECT_EQ(MsgTypeIsSensitive(Table(), number), 0);
        EXPECT_EQ(MsgTypeIsOneWay(Table(), number), 0);
    }
    EXPECT_EQ(MsgTypeIsOneWay(nullptr, 1200), 0);
    EXPECT_EQ(MsgTypeIsSensitive(Table(), 702), 1);
    EXPECT_EQ(MsgTypeIsOneWay(Table(), 702), 0);
    EXPECT_EQ(MsgTypeIsSensitive(Table(), 1200), 0);
    EXPECT_EQ(MsgTypeIsOneWay(Table(), 1200), 1);
}

}  // namespace
