#include "TolvaCore/SettingsWindowGeometry.h"

#include <gtest/gtest.h>

using namespace tolva;
namespace G = SettingsWindowGeometry;

TEST(SettingsWindowGeometry, OpeningFrame) {
    // No memory: centred with three quarters of the free height below.
    EXPECT_EQ(G::frame(std::nullopt, {0, 0, 1440, 875}, {900, 700}), (Rect{270, 131, 900, 700}));

    // Same display, unchanged arrangement: the remembered frame comes back, even off-screen.
    G::Memory offscreen{{-300, 500, 900, 700}, {0, 0, 1440, 875}, 1};
    EXPECT_EQ(G::frame(offscreen, {0, 0, 1440, 875}, {900, 700}), offscreen.frame);

    // Smaller than the minimum: enlarged, top-left distance kept, then clamped.
    G::Memory small{{100, 100, 800, 600}, {0, 0, 1440, 875}, 1};
    // top distance = 875 - 700 = 175 → y = 875 - 175 - 700 = 0
    EXPECT_EQ(G::frame(small, {0, 0, 1440, 875}, {900, 700}), (Rect{100, 0, 900, 700}));

    // Arrangement changed: distances from the left and top edges carry over.
    G::Memory moved{{100, 100, 900, 700}, {0, 0, 1440, 875}, 1};
    EXPECT_EQ(G::frame(moved, {1440, 0, 1920, 1055}, {900, 700}), (Rect{1540, 280, 900, 700}));
    EXPECT_EQ(G::frame(moved, {0, 25, 1440, 875}, {900, 700}), (Rect{100, 125, 900, 700}));
}

TEST(SettingsWindowGeometry, ClampAndCentre) {
    Rect area{0, 0, 1440, 875};
    EXPECT_EQ(G::clamp({-100, -100, 2000, 500}, area).x, 0);
    Rect tall = G::clamp({10, 300, 500, 1000}, area);
    EXPECT_EQ(tall.maxY(), area.maxY());
    EXPECT_EQ(tall.y, -125);
    EXPECT_EQ(G::clamp({1200, 800, 400, 200}, area), (Rect{1040, 675, 400, 200}));
    EXPECT_EQ(G::clamp({100, 100, 400, 200}, area), (Rect{100, 100, 400, 200}));
    EXPECT_EQ(G::centered({901, 701}, {0, 0, 1440, 875}), (Rect{269, 130, 901, 701}));
}

TEST(SettingsWindowGeometry, SidePanelPlacement) {
    Rect visible{0, 0, 1440, 875};
    // Room on the right.
    EXPECT_EQ(G::sidePanelFrame({200, 300}, {100, 100, 900, 700}, visible, 12), (Rect{1012, 500, 200, 300}));
    // No room on the right, room on the left.
    EXPECT_EQ(G::sidePanelFrame({200, 300}, {400, 100, 900, 700}, visible, 12), (Rect{188, 500, 200, 300}));
    // Room on neither side: stays right, clamped into the visible frame.
    EXPECT_EQ(G::sidePanelFrame({300, 300}, {100, 100, 1200, 700}, visible, 12), (Rect{1140, 500, 300, 300}));
}

TEST(SettingsWindowGeometry, MemoryJsonForm) {
    G::Memory memory{{100, 100.5, 900, 700}, {0, 0, 1440, 875}, 4280344322u};
    EXPECT_EQ(memory.toJSON(), R"({"frame":[[100.0,100.5],[900.0,700.0]],"screenID":4280344322,)"
                               R"("visibleFrame":[[0.0,0.0],[1440.0,875.0]]})");
    EXPECT_EQ(G::Memory::fromJSON(memory.toJSON()), memory);
    EXPECT_EQ(G::Memory::fromJSON(R"({"frame":[[1,2],[3,4]],"visibleFrame":[[0,0],[9,9]],"screenID":1})"),
              (G::Memory{{1, 2, 3, 4}, {0, 0, 9, 9}, 1}));
    for (const char* bad :
         {R"({"frame":[[1,2],[3,4]],"visibleFrame":[[0,0],[9,9]]})",
          R"({"frame":[[1,2],[3]],"visibleFrame":[[0,0],[9,9]],"screenID":1})",
          R"({"frame":[[1,2],[3,"4"]],"visibleFrame":[[0,0],[9,9]],"screenID":1})",
          R"({"frame":[[1,2],[3,4]],"visibleFrame":[[0,0],[9,9]],"screenID":-1})", "[]", "x"})
        EXPECT_EQ(G::Memory::fromJSON(bad), std::nullopt) << bad;
}
