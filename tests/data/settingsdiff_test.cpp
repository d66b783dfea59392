#include <gtest/gtest.h>

#include "data/settingsdiff.h"

namespace {

TEST(SettingsDiff, NamesMatchByNameAndByOrderAmongTheSlotsOfOneName) {
    const std::vector<TNamedSetting> left{{0, "a", 1}, {1, "Trim", 10}, {2, "b", 2}, {3, "Trim", 20}};
    const std::vector<TNamedSetting> right{{0, "a", 1}, {1, "new", 5}, {2, "Trim", 10}, {3, "b", 3}, {4, "Trim", 21}};
    const auto d = compareByName(left, right);
    EXPECT_EQ(differencesText(d), "Trim\t20\t21\nb\t2\t3\nnew\t-\t5\n");
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].occurrence, 1);  // the second Trim on each side
    EXPECT_EQ(d[0].rightSlot, 4);
    EXPECT_TRUE(compareByName(left, left).empty());
    EXPECT_EQ(differencesText(compareByName({{0, "tab\there", 1}}, {})), "tab\\there\t1\t-\n");
}

}  // namespace
