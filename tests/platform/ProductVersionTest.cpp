#include "platform/ProductVersion.h"

#include <gtest/gtest.h>

TEST(ProductVersion, MatchesTheProjectVersion) {
    const auto version = orvane::GetProductVersion();
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(version->Major, unsigned(ORVANE_VERSION_MAJOR));
    EXPECT_EQ(version->Minor, unsigned(ORVANE_VERSION_MINOR));
    EXPECT_EQ(version->Build, unsigned(ORVANE_VERSION_PATCH));
}
