#include <gtest/gtest.h>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "datafile/surface.h"

namespace {

bool same(const Window& a, const Window& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

#define EXPECT_WINDOW(w, X, Y, W, H)                                               \
    EXPECT_TRUE(same(w, Window{static_cast<int16_t>(X), static_cast<int16_t>(Y),   \
                               static_cast<int16_t>(W), static_cast<int16_t>(H)})) \
        << (w).x << "," << (w).y << "," << (w).width << "," << (w).height

TEST(WindowCompare, Relations) {
    const Window a{0, 0, 10, 10};
    EXPECT_EQ(wn_compare(a, a), WN_EQUAL);
    EXPECT_EQ(wn_compare(a, Window{2, 2, 3, 3}), WN_CONTAINS);
    EXPECT_EQ(wn_compare(Window{2, 2, 3, 3}, a), WN_INSIDE);
    EXPECT_EQ(wn_compare(a, Window{5, 5, 10, 10}), WN_OVERLAP);
    EXPECT_EQ(wn_compare(a, Window{10, 0, 5, 5}), WN_DISJOINT);
    EXPECT_EQ(wn_compare(a, Window{9, 0, 5, 5}), WN_OVERLAP);
    EXPECT_EQ(wn_compare(a, Window{0, 10, 5, 5}), WN_DISJOINT);
    EXPECT_EQ(wn_compare(a, Window{-5, 0, 5, 5}), WN_DISJOINT);
    // Sharing one edge is still inside.
    EXPECT_EQ(wn_compare(Window{0, 0, 10, 3}, a), WN_INSIDE);
}

TEST(WindowIntersect, CommonPartAndDisjoint) {
    Window out{};
    EXPECT_EQ(wn_intersect(Window{0, 0, 10, 10}, Window{5, 5, 10, 10}, &out), NO_ERROR);
    EXPECT_WINDOW(out, 5, 5, 5, 5);
    EXPECT_EQ(wn_intersect(Window{3, 4, 2, 2}, Window{0, 0, 10, 10}, &out), NO_ERROR);
    EXPECT_WINDOW(out, 3, 4, 2, 2);

    out = Window{7, 7, 7, 7};
    EXPECT_EQ(wn_intersect(Window{0, 0, 10, 10}, Window{10, 0, 5, 5}, &out), ERR_WINDOWS_DISJOINT);
    EXPECT_WINDOW(out, 7, 7, 7, 7);
    EXPECT_EQ(wn_intersect(Window{0, 0, 10, 10}, Window{1, 1, 1, 1}, nullptr), NO_ERROR);
}

TEST(WindowAlign, WidensToMultiplesOfFour) {
    Window w{5, 5, 6, 6};
    wn_align4_x(&w);
    EXPECT_WINDOW(w, 4, 5, 8, 6);
    wn_align4_y(&w);
    EXPECT_WINDOW(w, 4, 4, 8, 8);
    Window aligned{8, 12, 16, 4};
    wn_align4_x(&aligned);
    wn_align4_y(&aligned);
    EXPECT_WINDOW(aligned, 8, 12, 16, 4);
    wn_align4_x(nullptr);  // ignored
}

TEST(WindowMap, MultiplesInBothDirections) {
    const Window vga{0, 0, 640, 480}, qvga{0, 0, 320, 240};
    const Window win{100, 50, 200, 100};
    Window out{};
    int fx = 9, fy = 9;
    EXPECT_EQ(wn_map_window(&vga, &win, &qvga, &out, &fx, &fy), NO_ERROR);
    EXPECT_WINDOW(out, 50, 25, 100, 50);
    EXPECT_EQ(fx, -2);
    EXPECT_EQ(fy, -2);

    EXPECT_EQ(wn_map_window(&qvga, &out, &vga, &out, &fx, &fy), NO_ERROR);
    EXPECT_WINDOW(out, 100, 50, 200, 100);
    EXPECT_EQ(fx, 2);
    EXPECT_EQ(fy, 2);

    EXPECT_EQ(wn_map_window(&vga, &win, &vga, &out, &fx, &fy), NO_ERROR);
    EXPECT_WINDOW(out, 100, 50, 200, 100);
    EXPECT_EQ(fx, 1);
    EXPECT_EQ(fy, 1);

    // Factors still come back without a window to map.
    EXPECT_EQ(wn_map_window(&vga, nullptr, &qvga, nullptr, &fx, &fy), NO_ERROR);
    EXPECT_EQ(fx, -2);
}

TEST(WindowMap, CentresTheAxisThatIsNotAMultiple) {
    const Window from{0, 0, 320, 240}, to{0, 0, 660, 480};
    Window out{};
    int fx = 0, fy = 0;
    EXPECT_EQ(wn_map_window(&from, &from, &to, &out, &fx, &fy), NO_ERROR);
    EXPECT_WINDOW(out, 10, 0, 640, 480);
    EXPECT_EQ(fx, 2);
    EXPECT_EQ(fy, 2);

    // And back: coarser, offset (320 - 660 / 2) / 2 = -5.
    EXPECT_EQ(wn_map_window(&to, &to, &from, &out, &fx, &fy), NO_ERROR);
    EXPECT_WINDOW(out, -5, 0, 330, 240);
    EXPECT_EQ(fx, -2);

    // Heights not multiples: vertical centring, one factor from the widths.
    const Window tall{0, 0, 640, 500};
    EXPECT_EQ(wn_map_window(&from, &from, &tall, &out, &fx, &fy), NO_ERROR);
    EXPECT_WINDOW(out, 0, 10, 640, 480);
    EXPECT_EQ(fy, 2);
}

TEST(WindowMap, RefusesUnrelatedAndEmptyFrames) {
    const Window a{0, 0, 640, 480}, b{0, 0, 300, 250}, zero{0, 0, 0, 240};
    Window out{1, 2, 3, 4};
    int fx = 9, fy = 9;
    {
        CapturedMessages msgs;
        EXPECT_EQ(wn_map_window(&a, &a, &b, &out, &fx, &fy), ERR_IMPROPER_WINDOW);
        EXPECT_EQ(msgs.text(), "wn_map_window: cannot map windows\n");
    }
    EXPECT_EQ(fx, 0);
    EXPECT_EQ(fy, 0);
    EXPECT_WINDOW(out, 1, 2, 3, 4);

    // A frame without pixels would divide by zero.
    EXPECT_EQ(wn_map_window(&a, &a, &zero, &out, &fx, &fy), ERR_IMPROPER_WINDOW);
    EXPECT_EQ(wn_map_window(&zero, &a, &a, &out, &fx, &fy), ERR_IMPROPER_WINDOW);
    const Window negative{0, 0, -640, 480};
    EXPECT_EQ(wn_map_window(&negative, &a, &a, &out, &fx, &fy), ERR_IMPROPER_WINDOW);

    // Coarser in x but finer in y.
    const Window wide_short{0, 0, 320, 960};
    EXPECT_EQ(wn_map_window(&a, &a, &wide_short, &out, &fx, &fy), ERR_IMPROPER_WINDOW);
    EXPECT_EQ(wn_map_window(nullptr, &a, &a, &out, &fx, &fy), ERR_INVALID_PARAM);
    EXPECT_EQ(wn_map_window(&a, &a, nullptr, &out, nullptr, nullptr), ERR_INVALID_PARAM);
}

TEST(WindowSplit, HalvesWithGap) {
    const FrameSize frame{1000, 480};
    Window left{}, right{};
    EXPECT_EQ(wn_split_x(&frame, 0, 3, &left, &right), NO_ERROR);
    EXPECT_WINDOW(left, 0, 0, 498, 480);
    EXPECT_WINDOW(right, 502, 0, 498, 480);

    EXPECT_EQ(wn_split_x(&frame, 600, -4, &left, &right), NO_ERROR);
    EXPECT_WINDOW(left, 0, 0, 600, 480);
    EXPECT_WINDOW(right, 600, 0, 400, 480);

    EXPECT_EQ(wn_split_x(&frame, 250, 0, nullptr, &right), NO_ERROR);
    EXPECT_WINDOW(right, 250, 0, 750, 480);
}

TEST(WindowSplit, RefusesSplitOutsideMiddleHalf) {
    const FrameSize frame{1000, 480};
    Window left{1, 1, 1, 1};
    CapturedMessages msgs;
    EXPECT_EQ(wn_split_x(&frame, 200, 3, &left, nullptr), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(wn_split_x(&frame, 751, 3, &left, nullptr), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(msgs.text(),
              "Unreasonable split X coordinate = 200\nUnreasonable split X coordinate = 751\n");
    EXPECT_WINDOW(left, 1, 1, 1, 1);
    EXPECT_EQ(wn_split_x(nullptr, 0, 0, &left, nullptr), ERR_INVALID_PARAM);
}

}  // namespace
