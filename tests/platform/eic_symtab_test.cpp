// The interpreter seam (builtin registry, call helper) and the symbol table of
// the host platform, and what resetAll puts back.
#include "platform/eic.h"
#include "platform/hostsim/hostsim.h"
#include "platform/vxworks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class EicTest : public ::testing::Test {
protected:
    void SetUp() override { hostsim::resetAll(); }
    void TearDown() override { hostsim::resetAll(); }
};

int g_seenInt;
void *g_seenPtr;
int g_seenLast;

val_t s_Record() {
    g_seenInt = EiC_ArgInt(0);
    g_seenPtr = EiC_ArgPtr(1);
    g_seenLast = EiC_ArgInt(2);
    return EiC_IntResult(42);
}

val_t s_Inner() {
    return EiC_IntResult(EiC_ArgInt(0) * 10);
}

// Calls "Inner" with its own argument + 1, then reads its own argument again.
val_t s_Outer() {
    const int mine = EiC_ArgInt(0);
    val_t inner;
    if (!hostsim::callBuiltin("Inner", {hostsim::EicArg::Int(mine + 1)}, &inner))
        return EiC_IntResult(-1);
    return EiC_IntResult(inner.ival + EiC_ArgInt(0));
}

val_t s_Zero() {
    return EiC_IntResult(0);
}

TEST_F(EicTest, CallHelperPassesIntsAndPointersAndRestoresAR) {
    ASSERT_EQ(EiC_AddBuiltInFunc("Record", s_Record), 0);
    char text[] = "hello";
    AR_t sentinel[2];
    AR[2] = &sentinel[1];
    val_t r;
    std::memset(&r, 0xff, sizeof r);
    ASSERT_TRUE(hostsim::callBuiltin(
        "Record",
        {hostsim::EicArg::Int(-123456), hostsim::EicArg::Ptr(text), hostsim::EicArg::Int(7)}, &r));
    EXPECT_EQ(r.ival, 42);
    EXPECT_EQ(g_seenInt, -123456);
    EXPECT_EQ(g_seenPtr, static_cast<void *>(text));
    EXPECT_EQ(g_seenLast, 7);
    EXPECT_EQ(AR[2], &sentinel[1]);

    val_t untouched = EiC_IntResult(5);
    EXPECT_FALSE(hostsim::callBuiltin("Nobody", {}, &untouched));
    EXPECT_EQ(untouched.ival, 5);
    ASSERT_EQ(EiC_AddBuiltInFunc("Zero", s_Zero), 0);
    EXPECT_TRUE(hostsim::callBuiltin("Zero", {}, nullptr));
    EXPECT_EQ(AR[2], &sentinel[1]);
}

TEST_F(EicTest, NestedCallsKeepTheOuterFrame) {
    ASSERT_EQ(EiC_AddBuiltInFunc("Outer", s_Outer), 0);
    ASSERT_EQ(EiC_AddBuiltInFunc("Inner", s_Inner), 0);
    val_t r;
    ASSERT_TRUE(hostsim::callBuiltin("Outer", {hostsim::EicArg::Int(4)}, &r));
    EXPECT_EQ(r.ival, 50 + 4);
    EXPECT_EQ(AR[2], nullptr);
}

TEST_F(EicTest, RegistryKeepsOrderReplacesAndRecordsEveryCall) {
    EXPECT_EQ(EiC_AddBuiltInFunc("A", s_Zero), 0);
    EXPECT_EQ(EiC_AddBuiltInFunc("B", s_Inner), 0);
    EXPECT_EQ(EiC_AddBuiltInFunc("A", s_Record), 0); // replaces in place
    EXPECT_EQ(hostsim::registeredBuiltins(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(hostsim::findBuiltin("A"), &s_Record);
    EiC_RemoveBuiltInFunc("A");
    EiC_RemoveBuiltInFunc("never");
    EXPECT_EQ(hostsim::findBuiltin("A"), nullptr);
    EXPECT_EQ(hostsim::registeredBuiltins(), std::vector<std::string>{"B"});
    EXPECT_EQ(hostsim::builtinRegistrationLog(),
              (std::vector<std::string>{"+A", "+B", "+A", "-A", "-never"}));
    hostsim::clearBuiltinRegistrationLog();
    EXPECT_TRUE(hostsim::builtinRegistrationLog().empty());
    EXPECT_EQ(EiC_AddBuiltInFunc("C", nullptr), -1);
}

TEST_F(EicTest, FailBuiltinRegistrationFailsOnlyThatName) {
    hostsim::failBuiltinRegistration("GetNavUpgType");
    EXPECT_EQ(EiC_AddBuiltInFunc("UPGCopy", s_Zero), 0);
    EXPECT_EQ(EiC_AddBuiltInFunc("GetNavUpgType", s_Zero), -1);
    EXPECT_EQ(EiC_AddBuiltInFunc("GetNavUpgType", s_Zero), -1); // every later try too
    EXPECT_EQ(hostsim::findBuiltin("GetNavUpgType"), nullptr);
    hostsim::failBuiltinRegistration("");
    EXPECT_EQ(EiC_AddBuiltInFunc("GetNavUpgType", s_Zero), 0);
    EXPECT_EQ(hostsim::registeredBuiltins(),
              (std::vector<std::string>{"UPGCopy", "GetNavUpgType"}));
}

int s_entryA() {
    return 1;
}
int s_entryB() {
    return 2;
}

TEST_F(EicTest, SymbolTableRegistersReplacesAndRemoves) {
    char *addr = reinterpret_cast<char *>(0x1);
    SYM_TYPE type = 0;
    EXPECT_EQ(symFindByName(sysSymTbl, "C_MMI_UPGRADE_Step", &addr, &type), ERROR);

    ASSERT_EQ(symAdd(sysSymTbl, "C_MMI_UPGRADE_Step", reinterpret_cast<char *>(&s_entryA),
                     SYM_GLOBAL | SYM_TEXT, 0),
              OK);
    ASSERT_EQ(symFindByName(sysSymTbl, "C_MMI_UPGRADE_Step", &addr, &type), OK);
    EXPECT_EQ(addr, reinterpret_cast<char *>(&s_entryA));
    EXPECT_EQ(type, SYM_GLOBAL | SYM_TEXT);

    ASSERT_EQ(
        symAdd(sysSymTbl, "C_MMI_UPGRADE_Step", reinterpret_cast<char *>(&s_entryB), SYM_GLOBAL, 0),
        OK);
    ASSERT_EQ(symFindByName(sysSymTbl, "C_MMI_UPGRADE_Step", &addr, nullptr), OK);
    EXPECT_EQ(reinterpret_cast<int (*)()>(addr)(), 2);

    EXPECT_EQ(symRemove(sysSymTbl, "C_MMI_UPGRADE_Step", SYM_GLOBAL), OK);
    EXPECT_EQ(symFindByName(sysSymTbl, "C_MMI_UPGRADE_Step", &addr, nullptr), ERROR);
    EXPECT_EQ(symRemove(sysSymTbl, "C_MMI_UPGRADE_Step", SYM_GLOBAL), ERROR);
    EXPECT_EQ(symFindByName(sysSymTbl, nullptr, &addr, nullptr), ERROR);
}

TEST_F(EicTest, ResetAllEmptiesTheRegistries) {
    ASSERT_EQ(symAdd(sysSymTbl, "f", reinterpret_cast<char *>(&s_entryA), SYM_GLOBAL, 0), OK);
    ASSERT_EQ(EiC_AddBuiltInFunc("A", s_Zero), 0);
    hostsim::failBuiltinRegistration("B");
    hostsim::mountDevice("/SDH", "/tmp/none");
    hostsim::injectFault(hostsim::FileOp::Open, 1, EIO, true);
    hostsim::captureLog(true);
    logMsg("x\n");

    hostsim::resetAll();
    char *addr = nullptr;
    EXPECT_EQ(symFindByName(sysSymTbl, "f", &addr, nullptr), ERROR);
    EXPECT_TRUE(hostsim::registeredBuiltins().empty());
    EXPECT_TRUE(hostsim::builtinRegistrationLog().empty());
    EXPECT_EQ(EiC_AddBuiltInFunc("B", s_Zero), 0);
    EXPECT_EQ(hostsim::resolvePath("/SDH/a"), ""); // unmounted: no host path
    EXPECT_EQ(hostsim::callCount(hostsim::FileOp::Open), 0);
    EXPECT_TRUE(hostsim::capturedLog().empty());
}

} // namespace
