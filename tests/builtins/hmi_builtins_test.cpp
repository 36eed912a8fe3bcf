// HMI screens, history comment and application-activity builtins: the
// late-bound lookup of each entry, its fallback, and the exact log lines.
#include "builtins/C_BUILTINS.h"
#include "tests/builtins/builtins_hmi_support.h"
#include "tests/support/unit_fixture.h"
#include "unit/appli_active.h"
#include "unit/history.h"
#include "unit/hmi.h"

#include <climits>

namespace {

using hmitest::callInt;
using hostsim::EicArg;
using unit::HmiFunction;

class HmiBuiltinsTest : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
        hostsim::clearCapturedLog();
    }

    int eraseScreen(int a, int b, int c, int d, int size) {
        return callInt(
            "ShowNavigationErasingCountryScreen",
            {EicArg::Int(a), EicArg::Int(b), EicArg::Int(c), EicArg::Int(d), EicArg::Int(size)});
    }
};

TEST_F(HmiBuiltinsTest, ShowCDCanceledPrefersTheCanceledScreen) {
    EXPECT_EQ(callInt("ShowCDCanceled"), 0);
    EXPECT_EQ(log(), "s_ShowCDCanceled +\n"
                     "s_ShowCDCanceled: calling 'ShowMediaCanceled'\n"
                     "s_ShowCDCanceled -\n");
    std::vector<unit::HmiCall> calls = unit::hmiCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, HmiFunction::ShowMediaCanceled);

    unit::setHmiFails(HmiFunction::ShowMediaCanceled, true);
    hostsim::clearCapturedLog();
    EXPECT_EQ(callInt("ShowCDCanceled"), -1);
    EXPECT_EQ(log(), "s_ShowCDCanceled +\n"
                     "s_ShowCDCanceled: calling 'ShowMediaCanceled'\n"
                     "s_ShowCDCanceled: FuncEntry returned ERROR\n"
                     "s_ShowCDCanceled -\n");
}

TEST_F(HmiBuiltinsTest, ShowCDCanceledFallsBackToTheProblemScreenLookedUpAtEveryCall) {
    unit::setHmiPresent(HmiFunction::ShowMediaCanceled, false);
    EXPECT_EQ(callInt("ShowCDCanceled"), 0);
    EXPECT_EQ(log(), "s_ShowCDCanceled +\n"
                     "s_ShowCDCanceled: calling 's_ShowCDProblem'\n"
                     "s_ShowCDCanceled -\n");

    unit::setHmiFails(HmiFunction::ShowCDProblem, true);
    hostsim::clearCapturedLog();
    EXPECT_EQ(callInt("ShowCDCanceled"), -1);
    EXPECT_EQ(log(), "s_ShowCDCanceled +\n"
                     "s_ShowCDCanceled: calling 's_ShowCDProblem'\n"
                     "s_ShowCDCanceled: FuncEntry returned ERROR\n"
                     "s_ShowCDCanceled -\n");

    // Nothing is cached: the canceled screen is used again once it is back.
    unit::setHmiPresent(HmiFunction::ShowMediaCanceled, true);
    EXPECT_EQ(callInt("ShowCDCanceled"), 0);
    std::vector<unit::HmiCall> calls = unit::hmiCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].function, HmiFunction::ShowCDProblem);
    EXPECT_EQ(calls[1].function, HmiFunction::ShowCDProblem);
    EXPECT_EQ(calls[2].function, HmiFunction::ShowMediaCanceled);
}

TEST_F(HmiBuiltinsTest, ShowCDCanceledWithoutEitherScreenFails) {
    unit::setHmiPresent(HmiFunction::ShowMediaCanceled, false);
    unit::setHmiPresent(HmiFunction::ShowCDProblem, false);
    EXPECT_EQ(callInt("ShowCDCanceled"), -1);
    EXPECT_EQ(log(), "s_ShowCDCanceled +\n"
                     "s_ShowCDCanceled: Error UNRESOLVED symbol s_ShowCDProblem\n"
                     "s_ShowCDCanceled -\n");
    EXPECT_TRUE(unit::hmiCalls().empty());
}

TEST_F(HmiBuiltinsTest, EraseCountryScreenWithSizeGetsAllFiveValues) {
    EXPECT_EQ(eraseScreen(7, -2, INT_MAX, INT_MIN, 4096), 0);
    EXPECT_EQ(log(), "s_ShowNavigationErasingCountryScreen +\n"
                     "s_ShowNavigationErasingCountryScreen: calling "
                     "'ShowNavigationEraseCountryScreenWithSize'\n"
                     "s_ShowNavigationErasingCountryScreen -\n");
    std::vector<unit::HmiCall> calls = unit::hmiCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, HmiFunction::EraseCountryScreenWithSize);
    EXPECT_EQ(calls[0].values, (std::vector<int>{7, -2, INT_MAX, INT_MIN, 4096}));

    unit::setHmiFails(HmiFunction::EraseCountryScreenWithSize, true);
    EXPECT_EQ(eraseScreen(1, 2, 3, 4, 5), -1);
}

TEST_F(HmiBuiltinsTest, EraseCountryScreenFallsBackToTheVariantWithoutSize) {
    unit::setHmiPresent(HmiFunction::EraseCountryScreenWithSize, false);
    EXPECT_EQ(eraseScreen(1, 2, 3, -4, 99), 0);
    EXPECT_EQ(log(), "s_ShowNavigationErasingCountryScreen +\n"
                     "s_ShowNavigationErasingCountryScreen: calling "
                     "'ShowNavigationEraseCountryScreen'\n"
                     "s_ShowNavigationErasingCountryScreen -\n");
    std::vector<unit::HmiCall> calls = unit::hmiCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, HmiFunction::EraseCountryScreen);
    EXPECT_EQ(calls[0].values, (std::vector<int>{1, 2, 3, -4}));

    unit::setHmiFails(HmiFunction::EraseCountryScreen, true);
    hostsim::clearCapturedLog();
    EXPECT_EQ(eraseScreen(1, 2, 3, 4, 5), -1);
    EXPECT_EQ(log(), "s_ShowNavigationErasingCountryScreen +\n"
                     "s_ShowNavigationErasingCountryScreen: calling "
                     "'ShowNavigationEraseCountryScreen'\n"
                     "s_ShowNavigationErasingCountryScreen: FuncEntry returned ERROR\n"
                     "s_ShowNavigationErasingCountryScreen -\n");
}

TEST_F(HmiBuiltinsTest, EraseCountryScreenWithoutEitherVariantFails) {
    unit::setHmiPresent(HmiFunction::EraseCountryScreenWithSize, false);
    unit::setHmiPresent(HmiFunction::EraseCountryScreen, false);
    EXPECT_EQ(eraseScreen(1, 2, 3, 4, 5), -1);
    EXPECT_EQ(log(), "s_ShowNavigationErasingCountryScreen +\n"
                     "s_ShowNavigationErasingCountryScreen: Error UNRESOLVED symbol "
                     "s_ShowNavigationEraseCountryScreen__13C_MMI_UPGRADE\n"
                     "s_ShowNavigationErasingCountryScreen -\n");
    EXPECT_TRUE(unit::hmiCalls().empty());
}

TEST_F(HmiBuiltinsTest, HistoryCommentIsRecorded) {
    char comment[] = "map upgrade 2024.1 done";
    EXPECT_EQ(callInt("AddUPGHistoryCommentary", {EicArg::Ptr(comment)}), 0);
    EXPECT_EQ(log(), "s_AddUPGHistoryCommentary ('map upgrade 2024.1 done') +\n"
                     "s_AddUPGHistoryCommentary: calling 's_AddUPGHistoryComment'\n"
                     "s_AddUPGHistoryCommentary -\n");
    EXPECT_EQ(unit::historyComments(), std::vector<std::string>{comment});

    unit::setHistoryFails(true);
    hostsim::clearCapturedLog();
    EXPECT_EQ(callInt("AddUPGHistoryCommentary", {EicArg::Ptr(comment)}), -1);
    EXPECT_EQ(log(), "s_AddUPGHistoryCommentary ('map upgrade 2024.1 done') +\n"
                     "s_AddUPGHistoryCommentary: calling 's_AddUPGHistoryComment'\n"
                     "s_AddUPGHistoryCommentary: FuncEntry returned ERROR\n"
                     "s_AddUPGHistoryCommentary -\n");
}

TEST_F(HmiBuiltinsTest, MissingHistoryModuleIsNoError) {
    unit::setHistoryPresent(false);
    char comment[] = "no history here";
    EXPECT_EQ(callInt("AddUPGHistoryCommentary", {EicArg::Ptr(comment)}), 0);
    EXPECT_EQ(log(), "s_AddUPGHistoryCommentary ('no history here') +\n"
                     "s_AddUPGHistoryCommentary: unresolved symbol AddUPGHistoryComment !'\n"
                     "s_AddUPGHistoryCommentary -\n");
    EXPECT_TRUE(unit::historyComments().empty());
}

TEST_F(HmiBuiltinsTest, MMIStateFollowsTheActivityObject) {
    EXPECT_EQ(callInt("GetMMIStateActive"), 1);
    unit::setAppliActive(false);
    EXPECT_EQ(callInt("GetMMIStateActive"), 0);
    unit::setAppliActive(true);
    unit::setAppliActiveRegistered(false);
    EXPECT_EQ(callInt("GetMMIStateActive"), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(HmiBuiltinsTest, TerminalBargraphDrawsTextAndPercentage) {
    testing::internal::CaptureStderr();
    unit::setBargraphOnTerminal(true);
    char text[] = "Extracting maps";
    C_MMI_UPGRADE::StepBargraph(text, 25);
    unit::setBargraphOnTerminal(false);
    std::string drawn = testing::internal::GetCapturedStderr();
    EXPECT_NE(drawn.find("Extracting maps"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find(" 25%"), std::string::npos) << drawn;
    EXPECT_EQ(drawn.back(), '\n');
    // The direct call is the same entry the symbol table gives out.
    std::vector<unit::HmiCall> steps = unit::hmiCalls(HmiFunction::StepBargraph);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].text, "Extracting maps");
    EXPECT_EQ(steps[0].values, std::vector<int>{25});
}

} // namespace
