#include "TolvaCore/DisplayLayout.h"

#include <gtest/gtest.h>

using namespace tolva;

TEST(DisplayLayout, SortingMakesListOrderIrrelevant) {
    DisplayLayout::Entry left{1, {0, 0, 1512, 982}}, right{2, {1512, 0, 1920, 1080}};
    DisplayLayout a({left, right}), b({right, left});
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.count(), 2u);
    EXPECT_FALSE(a.isEmpty());
    EXPECT_TRUE(DisplayLayout().isEmpty());

    DisplayLayout moved({left, {2, {1513, 0, 1920, 1080}}});
    EXPECT_NE(a, moved);
    DisplayLayout renumbered({left, {3, {1512, 0, 1920, 1080}}});
    EXPECT_NE(a, renumbered);
    EXPECT_NE(a, DisplayLayout({left}));
}

TEST(DisplayLayout, EqualIdsOrderByXThenY) {
    DisplayLayout layout(
        {{0, {100, 50, 10, 10}}, {0, {100, -20, 10, 10}}, {0, {-5, 0, 10, 10}}, {0, {100, 0, 1, 1}}});
    const auto& e = layout.entries();
    EXPECT_EQ(e[0].frame.x, -5);
    EXPECT_EQ(e[1].frame.y, -20);
    EXPECT_EQ(e[2].frame.y, 0);
    EXPECT_EQ(e[3].frame.y, 50);
}

TEST(DisplayLayout, LogDescriptionTruncatesNumbers) {
    DisplayLayout layout(
        {{2, {1512, 0, 1920, 1080}}, {1, {0, 0.9, 1512.7, 982}}, {7, {-1920.5, 0, 1920, 1080}}});
    EXPECT_EQ(layout.logDescription(), R"(["1@0,0 1512x982", "2@1512,0 1920x1080", "7@-1920,0 1920x1080"])");
    EXPECT_EQ(DisplayLayout().logDescription(), "[]");
}
