#include <gtest/gtest.h>

#include <string>

#include "utilities/StringList.h"

namespace {

StringList filled(uint32_t capacity, uint32_t n) {
    StringList list(capacity);
    for (uint32_t i = 0; i < n; ++i) list.append("s" + std::to_string(i));
    return list;
}

TEST(StringList, GrowsBySixtyFourAndKeepsOrder) {
    StringList list = filled(64, 64);
    EXPECT_EQ(list.capacity(), 64u);
    list.append("s64");
    EXPECT_EQ(list.capacity(), 128u);
    for (uint32_t i = 65; i < 129; ++i) list.append("s" + std::to_string(i));
    EXPECT_EQ(list.capacity(), 192u);
    ASSERT_EQ(list.count(), 129u);
    for (uint32_t i = 0; i < list.count(); ++i) EXPECT_EQ(list.at(i), "s" + std::to_string(i));
}

TEST(StringList, CapacityZeroGrowsOnFirstAppend) {
    StringList list(0);
    EXPECT_EQ(list.capacity(), 0u);
    list.append("first");
    EXPECT_EQ(list.capacity(), 64u);
    EXPECT_EQ(list.at(0), "first");
}

TEST(StringList, EmptyingReusesSlots) {
    StringList list = filled(64, 70);
    list.setCount(0);
    EXPECT_EQ(list.count(), 0u);
    EXPECT_EQ(list.capacity(), 128u);
    list.append("again");
    EXPECT_EQ(list.capacity(), 128u);
    EXPECT_EQ(list.count(), 1u);
    EXPECT_EQ(list.at(0), "again");
}

TEST(StringList, CopiesAreIndependent) {
    StringList a = filled(64, 3);
    StringList b(a);
    b.at(1) = "changed";
    b.append("more");
    EXPECT_EQ(a.at(1), "s1");
    EXPECT_EQ(a.count(), 3u);
    StringList c(0);
    c = b;
    EXPECT_EQ(c.count(), 4u);
    EXPECT_EQ(c.at(1), "changed");
    const StringList& constant = c;
    std::string copy = constant.at(3);
    copy += "x";
    EXPECT_EQ(c.at(3), "more");
}

TEST(StringList, IndexErrorNamesIndexAndCount) {
    StringList list = filled(64, 2);
    try {
        list.at(2);
        FAIL() << "no bounds error";
    } catch (const RWBoundsErr& e) {
        EXPECT_FALSE(e.isNoPosition());
        EXPECT_EQ(e.index(), 2u);
        EXPECT_EQ(e.count(), 2u);
        const std::string what = e.what();
        EXPECT_NE(what.find('2'), std::string::npos) << what;
    }
    try {
        filled(64, 5).boundsCheck(7);
        FAIL() << "no bounds error";
    } catch (const RWBoundsErr& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find('7'), std::string::npos) << what;
        EXPECT_NE(what.find('5'), std::string::npos) << what;
    }
    EXPECT_THROW(StringList(0).at(0), RWBoundsErr);
}

TEST(StringList, NoPositionIndexHasItsOwnError) {
    const StringList list = filled(64, 2);
    try {
        list.at(StringList::kNoPosition);
        FAIL() << "no bounds error";
    } catch (const RWBoundsErr& e) {
        EXPECT_TRUE(e.isNoPosition());
        StringList other = filled(64, 2);
        try {
            other.boundsCheck(3);
        } catch (const RWBoundsErr& index) {
            EXPECT_STRNE(e.what(), index.what());
        }
    }
}

}  // namespace
