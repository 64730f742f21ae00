// The class registry of an executable that registers nothing at load time.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "nk_test.h"

namespace {

class PlainItem : public CNK_testItem {
public:
    void registerDataSymbol() override {}
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header*, const u8*) override {}
};

CNK_testItem* createPlain() { return new PlainItem(); }

}  // namespace

TEST(TestRegistry, EmptyThenExactNamesOnly) {
    // Nothing is registered yet in this executable.
    EXPECT_EQ(nkTest_createTestClassInstance("A"), nullptr);
    EXPECT_FALSE(nkTest_isTestClassContructorAvailable("A"));

    testing::internal::CaptureStdout();
    nkTest_registerTestClass("A", &createPlain);
    const std::string line = testing::internal::GetCapturedStdout();
    char expected[64];
    std::snprintf(expected, sizeof(expected), "[%p]\tA\n", reinterpret_cast<void*>(&createPlain));
    EXPECT_EQ(line, expected);

    struct Case {
        const char* name;
        bool found;
    };
    for (const Case& c : {Case{"A", true}, Case{"a", false}, Case{"A ", false}, Case{"", false}, Case{"AA", false}}) {
        CNK_testItem* item = nkTest_createTestClassInstance(c.name);
        EXPECT_EQ(item != nullptr, c.found) << c.name;
        EXPECT_EQ(nkTest_isTestClassContructorAvailable(c.name), c.found) << c.name;
        delete item;  // the caller owns it
    }

    CNK_logManager lm;
    lm.setVerboseLevel(kVL0);
    testing::internal::CaptureStdout();
    nkTest_showTestClassTable(&lm);
    const std::string table = testing::internal::GetCapturedStdout();
    std::snprintf(expected, sizeof(expected), "[   0]\t%-20s\t%p\n", "A", reinterpret_cast<void*>(&createPlain));
    EXPECT_EQ(table, expected);
}

TEST(TestRegistryDeathTest, DuplicateNameStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            nkTest_registerTestClass("Dup", &createPlain);
            nkTest_registerTestClass("Dup", &createPlain);
        },
        "\\[err\\] duplicated class name registration: Dup\\[Assertion Fail,0xF16C\\]");
}
