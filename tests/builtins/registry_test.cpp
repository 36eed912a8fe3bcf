// The builtin registry: singleton creation, the fourteen registrations in
// table order, registration failures and their messages, and a builtin's
// arguments arriving through the interpreter's slots.
#include "builtins/C_BUILTINS.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<std::string> k_table = {
    "ShowNavigationErasingCountryScreen",
    "ShowCDCanceled",
    "AddUPGHistoryCommentary",
    "UnCompress",
    "ActivateBargraph",
    "DeactivateBargraph",
    "GetSDBlockSize",
    "UPGCopy",
    "InstalPOIs",
    "GetMMIStateActive",
    "UpdateDataForCartoTree",
    "GetNavUpgType",
    "GetUpgDVD_CurrVersNaviFile",
    "Get_DVD_CIDInfoList",
};

// Each test starts without the singleton, whatever ran before it.
class RegistryTest : public testsupport::UnitFixture {
protected:
    void TearDown() override {
        delete C_BUILTINS::GetInstance();
        UnitFixture::TearDown();
    }
};

TEST_F(RegistryTest, NoCartoTreeBeforeTheSingletonExists) {
    // The singleton lives as long as the process: only a process in which no
    // test made it yet can see it absent (ctest runs each test in its own;
    // a whole binary run in a shuffled order may not).
    if (C_BUILTINS::GetInstance() != nullptr)
        GTEST_SKIP() << "an earlier test of this process made the singleton";
    EXPECT_EQ(C_BUILTINS::GetInstance(), nullptr);
    EXPECT_EQ(C_BUILTINS::GetCartoTreeInstance(), nullptr);
}

TEST_F(RegistryTest, TwoInstanceCallsCreateOneObjectAndRegisterTwice) {
    hostsim::clearBuiltinRegistrationLog();
    C_BUILTINS *first = C_BUILTINS::Instance();
    C_BUILTINS *second = C_BUILTINS::Instance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(C_BUILTINS::GetInstance(), first);

    std::vector<std::string> expected;
    for (int round = 0; round < 2; ++round) {
        for (const std::string &name : k_table) {
            expected.push_back("-" + name);
            expected.push_back("+" + name);
        }
    }
    EXPECT_EQ(hostsim::builtinRegistrationLog(), expected);
    EXPECT_EQ(hostsim::registeredBuiltins(), k_table);
    EXPECT_EQ(log(), "");
}

struct FailureCase {
    const char *name;
    const char *message;
};

class RegistrationFailureTest : public RegistryTest,
                                public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RegistrationFailureTest, OneFailureIsLoggedAndTheOthersAreRegistered) {
    ASSERT_NE(C_BUILTINS::Instance(), nullptr);
    hostsim::clearCapturedLog();
    hostsim::failBuiltinRegistration(GetParam().name);

    EXPECT_EQ(C_BUILTINS::AddBuiltInFunctions(), -1);

    char expected[160];
    std::snprintf(expected, sizeof expected, GetParam().message, GetParam().name);
    EXPECT_EQ(log(), expected);
    std::vector<std::string> others;
    for (const std::string &name : k_table)
        if (name != GetParam().name)
            others.push_back(name);
    EXPECT_EQ(hostsim::registeredBuiltins(), others);

    // Instance() still hands out the singleton when a registration fails.
    EXPECT_EQ(C_BUILTINS::Instance(), C_BUILTINS::GetInstance());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RegistrationFailureTest,
    ::testing::Values(FailureCase{"ShowNavigationErasingCountryScreen",
                                  "Failed to add builtin '%s'\n"},
                      FailureCase{"UPGCopy", "Failed to add builtin '%s'\n"},
                      FailureCase{"InstalPOIs", "Failed to instal POIs '%s'\n"},
                      FailureCase{"GetMMIStateActive", "Failed to Get MMI State Active '%s'\n"},
                      FailureCase{"GetNavUpgType", "Failed to Get MMI State Active '%s'\n"},
                      FailureCase{"Get_DVD_CIDInfoList", "Failed to Get MMI State Active '%s'\n"}));

TEST_F(RegistryTest, RegistrationSucceedsAgainOnceTheFaultIsGone) {
    ASSERT_NE(C_BUILTINS::Instance(), nullptr);
    hostsim::failBuiltinRegistration("UnCompress");
    EXPECT_EQ(C_BUILTINS::AddBuiltInFunctions(), -1);
    hostsim::failBuiltinRegistration("");
    EXPECT_EQ(C_BUILTINS::AddBuiltInFunctions(), 0);
    EXPECT_EQ(hostsim::registeredBuiltins(), k_table);
}

// A handler standing in for a builtin: records what it reads from the slots.
int g_seen_int = 0;
void *g_seen_ptr = nullptr;
val_t s_Probe() {
    g_seen_int = EiC_ArgInt(0);
    g_seen_ptr = EiC_ArgPtr(1);
    return EiC_IntResult(g_seen_int + 1);
}

TEST_F(RegistryTest, ABuiltinReceivesIntAndPointerArgumentsIntact) {
    ASSERT_NE(EiC_AddBuiltInFunc("Probe", s_Probe), -1);
    char buffer[8] = "abc";
    AR_t *before = AR[2];
    val_t result;
    ASSERT_TRUE(hostsim::callBuiltin(
        "Probe", {hostsim::EicArg::Int(-123456), hostsim::EicArg::Ptr(buffer)}, &result));
    EXPECT_EQ(g_seen_int, -123456);
    EXPECT_EQ(g_seen_ptr, static_cast<void *>(buffer));
    EXPECT_EQ(result.ival, -123455);
    EXPECT_EQ(AR[2], before);
    EXPECT_FALSE(hostsim::callBuiltin("NoSuchBuiltin", {}, &result));
}

} // namespace
