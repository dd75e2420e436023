// The phone peer's input commands: the control lines they send, and their refusals.
#include <gtest/gtest.h>

#include "base/base64.h"
#include "phone/phone_input.h"

using vm::phone::explainPush;
using vm::phone::inputLines;
using Lines = std::vector<std::string>;

TEST(PhoneInput, CommandsBecomeThePhoneAppsLines) {
    std::string err;
    EXPECT_EQ(inputLines("move", {"12", "-3"}, 1, &err), (Lines{"M 12 -3"}));
    EXPECT_EQ(inputLines("scroll", {"0", "-120.5"}, 1, &err), (Lines{"S 0 -120.5"}));
    EXPECT_EQ(inputLines("click", {}, 1, &err), (Lines{"B L 1", "B L 0"}));
    EXPECT_EQ(inputLines("click", {"R"}, 1, &err), (Lines{"B R 1", "B R 0"}));
    EXPECT_EQ(inputLines("key", {"40"}, 1, &err), (Lines{"K 40 1", "K 40 0"}));
    EXPECT_EQ(inputLines("type", {"héllo"}, 77, &err), (Lines{"T 77 " + vm::base64Encode(std::string("héllo"))}));
}

TEST(PhoneInput, WrongArgumentsAreRefusedWithAReason) {
    std::string err;
    EXPECT_FALSE(inputLines("move", {"12"}, 1, &err));
    EXPECT_NE(err.find("move"), std::string::npos);
    EXPECT_FALSE(inputLines("move", {"x", "1"}, 1, &err));
    EXPECT_FALSE(inputLines("move", {"inf", "1"}, 1, &err));
    EXPECT_FALSE(inputLines("click", {"X"}, 1, &err));
    EXPECT_FALSE(inputLines("key", {"256"}, 1, &err));
    EXPECT_FALSE(inputLines("key", {"-4"}, 1, &err));
    EXPECT_FALSE(inputLines("type", {""}, 1, &err));
    EXPECT_FALSE(inputLines("dance", {}, 1, &err));
}

TEST(PhoneInput, PushesWithBase64AreMadeReadable) {
    EXPECT_EQ(explainPush("SAY " + vm::base64Encode(std::string("⚠︎ 섰다"))), "the agent says: ⚠︎ 섰다");
    EXPECT_EQ(explainPush("LOCKED 1 " + vm::base64Encode(std::string("kim"))), "the screen is locked for user kim");
    EXPECT_FALSE(explainPush("SAY not*base64"));
    EXPECT_FALSE(explainPush("IS ko"));
}
