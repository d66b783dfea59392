#include <gtest/gtest.h>

#include "data/ecusettings.h"
#include "data/namematch.h"

namespace {

TEST(ECUSettings, NewTableIsEmpty) {
    TECUSettings t;
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(t.getValue(static_cast<uint8_t>(i)), 0);
        EXPECT_EQ(t.getName(static_cast<uint8_t>(i)), "");
    }
}

TEST(ECUSettings, FindNamePrefersTheHintThenTheLowestSlot) {
    TECUSettings t;
    t.setEntry("fan_temp", 1, 3);
    t.setEntry("fan_temp", 2, 7);
    EXPECT_EQ(t.findName("fan_temp", 7), 7);
    EXPECT_EQ(t.findName("fan_temp", 0), 3);
    EXPECT_EQ(t.findName("Fan_temp", 0), -1);  // case matters
    EXPECT_EQ(t.findName("fan_temp ", 0), -1); // nothing is trimmed
    EXPECT_EQ(t.findName("missing", 0), -1);
    // The empty name is found where a slot has no name.
    EXPECT_EQ(t.findName("", 5), 5);
    EXPECT_EQ(t.findName("", 3), 0);
}

TEST(ECUSettings, CopyValuesByNameFollowsNamesAcrossLayouts) {
    TECUSettings oldTable, newTable;
    oldTable.setEntry("kept", 11, 0);
    oldTable.setEntry("moved", 22, 1);
    oldTable.setEntry("dropped", 33, 2);
    newTable.setEntry("kept", 1, 0);
    newTable.setEntry("added", 2, 1);
    newTable.setEntry("moved", 3, 5);
    newTable.setValue(9, 99);  // unnamed slot: never touched

    EXPECT_EQ(newTable.copyValuesByName(oldTable), 2);
    EXPECT_EQ(newTable.getValue(0), 11);
    EXPECT_EQ(newTable.getValue(1), 2);   // new name keeps the firmware's value
    EXPECT_EQ(newTable.getValue(5), 22);  // moved name keeps the operator's value
    EXPECT_EQ(newTable.getValue(9), 99);
    EXPECT_EQ(newTable.getName(5), "moved");
    EXPECT_EQ(oldTable.getValue(2), 33);  // the other table is left alone

    TECUSettings unnamed;
    unnamed.setValue(4, 7);
    EXPECT_EQ(unnamed.copyValuesByName(oldTable), 0);
    EXPECT_EQ(unnamed.getValue(4), 7);
}

// A name held twice goes by its order among its slots: the first to the first, the second to the
// second; an occurrence the other side lacks is matched by nothing.
TEST(ECUSettings, RepeatedNamesAreMatchedByTheirOrder) {
    TECUSettings oldTable, newTable;
    const char* oldNames[] = {"a", "Trim", "b", "Trim"};
    const int oldValues[] = {1, 10, 2, 20};
    for (int i = 0; i < 4; ++i) oldTable.setEntry(oldNames[i], static_cast<uint8_t>(oldValues[i]), static_cast<uint8_t>(i));
    const char* newNames[] = {"a", "new", "Trim", "b", "Trim"};
    for (int i = 0; i < 5; ++i) newTable.setEntry(newNames[i], 99, static_cast<uint8_t>(i));
    EXPECT_EQ(newTable.copyValuesByName(oldTable), 4);
    EXPECT_EQ(newTable.getValue(2), 10);
    EXPECT_EQ(newTable.getValue(4), 20);
    EXPECT_EQ(newTable.getValue(1), 99);

    // Entries in any order: the order among one name's slots is their slot order.
    const TNameMatch m = matchByName({{7, "Trim"}, {3, "Trim"}, {5, ""}}, {{0, "Trim"}, {1, ""}});
    EXPECT_EQ(m.toOf, (std::vector<int>{-1, 0, -1}));
    EXPECT_EQ(m.fromOf, (std::vector<int>{1, -1}));
    EXPECT_EQ(slotsNamed(oldTable, "Trim"), (std::vector<int>{1, 3}));
}

TEST(ECUSettings, CloneIsIndependent) {
    TECUSettings t;
    t.setEntry("a", 5, 255);
    auto c = t.clone();
    EXPECT_EQ(c->getName(255), "a");
    EXPECT_EQ(c->getValue(255), 5);
    c->setValue(255, 6);
    c->setEntry("b", 1, 0);
    EXPECT_EQ(t.getValue(255), 5);
    EXPECT_EQ(t.getName(0), "");
}

}  // namespace
