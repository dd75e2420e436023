#include <gtest/gtest.h>

#include "app/command_line.h"

using vm::inspectRequest;
using vm::parseUInt32;

TEST(InspectArguments, AcceptsExactlyInspectAndAnUnsigned32BitNumber) {
    EXPECT_EQ(inspectRequest({"vellomark", "--inspect", "7"}), 7u);
    EXPECT_EQ(inspectRequest({"vellomark", "--inspect", "+7"}), 7u);
    EXPECT_EQ(inspectRequest({"vellomark", "--inspect", "0"}), 0u);
    EXPECT_EQ(inspectRequest({"vellomark", "--inspect", "-0"}), 0u);
    EXPECT_EQ(inspectRequest({"vellomark", "--inspect", "4294967295"}), 4294967295u);
}

TEST(InspectArguments, AnythingElseStartsTheAgent) {
    EXPECT_FALSE(inspectRequest({"vellomark"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", "x"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", "7", "8"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", "4294967296"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", "-1"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", ""}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", "+"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", " 7"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspect", "0x7"}));
    EXPECT_FALSE(inspectRequest({"vellomark", "--inspectx", "7"}));
}

TEST(InspectArguments, LargeValuesDoNotOverflowIntoValidOnes) {
    // 2^64 + 7 would wrap to 7 in a careless parser.
    EXPECT_FALSE(parseUInt32("18446744073709551623"));
    EXPECT_EQ(parseUInt32("0004294967295"), 4294967295u);
}
