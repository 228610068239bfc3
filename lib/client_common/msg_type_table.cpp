#include "client_common/msg_type_table.h"

#include <atomic>

namespace {

// Sorted by number: lookups are binary searches. Row 105 is reserved by the
// protocol without a name; it is traced by its number.
const MsgTypeEntry gMsgTypeEntries[] = {
    {0, "DISCONNECT", 0},
    {1, "_ProcessAuthChallenge", 0},
    {2, "_ProcessAuthResponse", 0},
    {3, "_ProcessAuthChallenge2", 0},
    {100, "ControlPing", 0},
    {101, "ControlFlushCache", 3},
    {102, "ControlShutdown", 3},
    {103, "ControlLog", 0},
    {104, "ControlReloadProps", 3},
    {105, nullptr, 3},
    {107, "ControlLog2", 0},
    {108, "ControlReloadModule", 3},
    {200, "KRB5ServiceNameToPrincipal", 0},
    {500, "NSSGetPasswdDataByName", 1},
    {501, "NSSGetPasswdDataByUID", 1},
    {502, "NSSBeginPasswdIteration", 0},
    {503, "NSSEndPasswdIteration", 0},
    {504, "NSSGetCurrentPasswdData", 1},
    {505, "NSSNextPasswd", 4},
    {506, "NSSGetUserGroupIDs", 0},
    {507, "NSSGetGroupDataByName", 0},
    {508, "NSSGetGroupDataByGID", 0},
    {509, "NSSBeginGroupIteration", 0},
    {510, "NSSEndGroupIteration", 0},
    {511, "NSSGetCurrentGroupData", 0},
    {512, "NSSNextGroup", 4},
    {513, "NSSGetShadowDataByName", 3},
    {514, "NSSBeginShadowIteration", 0},
    {515, "NSSEndShadowIteration", 0},
    {516, "NSSGetCurrentShadowData", 3},
    {517, "NSSNextShadow", 4},
    {525, "NSSSetNetgroupIteration", 0},
    {528, "NSSInnetgr", 0},
    {529, "NSSBeginObjectIteration", 0},
    {530, "NSSEndObjectIteration", 0},
    {531, "NSSNextObject", 0},
    {532, "NSSGetProtoDataByName", 0},
    {533, "NSSGetProtoDataByNumber", 0},
    {534, "NSSGetCurrentProtoData", 0},
    {535, "NSSGetRpcDataByName", 0},
    {536, "NSSGetRpcDataByNumber", 0},
    {537, "NSSGetCurrentRpcData", 0},
    {538, "NSSGetHostDataByName", 0},
    {539, "NSSGetHostDataByAddr", 0},
    {540, "NSSGetCurrentHostData", 0},
    {541, "NSSGetNetDataByName", 0},
    {542, "NSSGetNetDataByAddr", 0},
    {543, "NSSGetCurrentNetData", 0},
    {544, "NSSGetAliasDataByName", 0},
    {545, "NSSGetCurrentAliasData", 0},
    {553, "NSSGetServDataByName", 0},
    {554, "NSSGetServDataByPort", 0},
    {555, "NSSGetCurrentServData", 0},
    {568, "NSSGetEtherAddrByName", 0},
    {569, "NSSGetEtherNameByAddr", 0},
    {700, "PAMUserIsOurResponsibility", 0},
    {701, "PAMGetUnixName", 0},
    {702, "PAMVerifyPassword", 1},
    {703, "PAMIsUserAllowedAccess", 3},
    {704, "PAMDoesLegacyConflictExist", 0},
    {705, "PAMTimeUntilPasswordChange", 3},
    {706, "PAMCreateKrb5Creds", 3},
    {707, "PAMMayChangePassword", 0},
    {708, "PAMChangePassword", 1},
    {709, "PAMGetSessionEnv", 3},
    {710, "PAMCreateHomeDirectory", 3},
    {711, "PAMUserLoggedIn", 3},
    {712, "PAMUserLoggedOut", 3},
    {714, "PAMGetNetworkStatus", 0},
    {715, "PAMIsUserAllowedAccess2", 3},
    {716, "PAMIsMachinePolicyReady", 0},
    {717, "PAMTimeUntilPasswordChangeForDisplay", 3},
    {718, "PAMUserLoggedOut2", 3},
    {719, "PAMRenewKrb5Creds", 3},
    {800, "ZoneGetUser", 3},
    {900, "KAPIGetObjectByID", 3},
    {901, "KAPIGetObjectByName", 3},
    {902, "KAPIGetObjectByGUID", 3},
    {903, "KAPIGetObjectBySID", 3},
    {904, "KAPIAuthValidatePlainTextUser", 3},
    {905, "KAPIAuthValidateKerberosUser", 3},
    {906, "KAPIAuthGetNtlmChallenge", 3},
    {907, "KAPIAuthValidateNtlmUser", 3},
    {908, "KAPILdapFetch", 3},
    {909, "KAPILdapPagedSearch", 3},
    {910, "KAPILdapPagedSearchGetNext", 3},
    {911, "KAPIAuthMakeNtlmNegotiate", 3},
    {912, "KAPIAuthMakeNtlmAuthenticate", 3},
    {913, "KAPIAuthValidateNtlmPlainTextUser", 3},
    {914, "KAPILdapPagedSearchClose", 3},
    {915, "KAPIGetErrSystemString", 3},
    {916, "KAPIValidateUserGroup", 3},
    {917, "KAPIPing", 0},
    {918, "KAPIAuthValidateAccount", 0},
    {919, "KAPIAuthMakeNtlmAuthenticate2", 3},
    {920, "KAPIAuthValidateNtlmPlainTextUser2", 3},
    {921, "KAPIGetDomainRids", 3},
    {922, "KAPINetworkChange", 3},
    {923, "KAPIGetNetworkStatus", 0},
    {924, "KAPISetSessionID", 0},
    {925, "KAPIAuthGetNtlmChallenge2", 3},
    {926, "KAPIAuthValidateNtlmUser2", 3},
    {927, "KAPIGetAuditLevel", 1},
    {928, "KAPIGetDomainControllers", 0},
    {1100, "QRIIsUserAllowedAccessByAudit", 3},
    {1101, "QRIGetAuditLevel", 1},
    {1102, "QRIIsUserAllowedAccessByAudit2", 3},
    {1200, "ATProxySetAuditTrailEvent", 4},
};

const MsgTypeTable gMsgTypeTable = {sizeof gMsgTypeEntries / sizeof gMsgTypeEntries[0],
                                    gMsgTypeEntries};

// Index of the row found last. A process creates and receives messages of a
// few types over and over, so that row mostly answers the next lookup too.
// It is only a guess, checked against the table searched: any table and any
// thread may have left it there.
std::atomic<size_t> gLastFound{0};

}  // namespace

extern "C" {

const MsgTypeTable *GetMessageTable(void)
{
    return &gMsgTypeTable;
}

const MsgTypeEntry *FindMsgTypeEntry(const MsgTypeTable *table, uint32_t number)
{
    if (table == nullptr || table->entries == nullptr || table->count == 0)
        return nullptr;
    const size_t guess = gLastFound.load(std::memory_order_relaxed);
    if (guess < table->count && table->entries[guess].number == number)
        return &table->entries[guess];
    // Binary search that narrows to the last row not above the number.
    const MsgTypeEntry *row = table->entries;
    size_t count = table->count;
    while (count > 1) {
        const size_t half = count / 2;
        row = row[half].number <= number ? row + half : row;
        count -= half;
    }
    if (row->number != number)
        return nullptr;
    gLastFound.store(static_cast<size_t>(row - table->entries), std::memory_order_relaxed);
    return row;
}

const char *MsgTypeName(const MsgTypeTable *table, uint32_t number)
{
    const MsgTypeEntry *entry = FindMsgTypeEntry(table, number);
    return entry != nullptr ? entry->name : nullptr;
}

int MsgTypeIsSensitive(const MsgTypeTable *table, uint32_t number)
{
    const MsgTypeEntry *entry = FindMsgTypeEntry(table, number);
    return entry != nullptr && (entry->flags & MSG_TYPE_FLAG_SENSITIVE) != 0;
}

int MsgTypeIsOneWay(const MsgTypeTable *table, uint32_t number)
{
    const MsgTypeEntry *entry = FindMsgTypeEntry(table, number);
    return entry != nullptr && (entry->flags & MSG_TYPE_FLAG_ONE_WAY) != 0;
}

}  // extern "C"
