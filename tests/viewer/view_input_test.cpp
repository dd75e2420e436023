// The viewer window's events as the phone's lines, and its figures line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/base64.h"
#include "phone/video_receiver.h"
#include "phone/view_input.h"
#include "phone/view_overlay.h"

using namespace vm::phone;
using Lines = std::vector<std::string>;

namespace {

SDL_Event motion(int x, int y, int xrel = 0, int yrel = 0) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = x;
    e.motion.y = y;
    e.motion.xrel = xrel;
    e.motion.yrel = yrel;
    return e;
}
SDL_Event button(bool down, uint8_t b, int x, int y) {
    SDL_Event e{};
    e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    e.button.button = b;
    e.button.x = x;
    e.button.y = y;
    return e;
}
SDL_Event key(bool down, SDL_Scancode s, bool repeat = false) {
    SDL_Event e{};
    e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.keysym.scancode = s;
    e.key.repeat = repeat;
    return e;
}
SDL_Event text(const char* t) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    std::snprintf(e.text.text, sizeof e.text.text, "%s", t);
    return e;
}
SDL_Event wheel(float x, float y, bool flipped = false) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.preciseX = x;
    e.wheel.preciseY = y;
    e.wheel.direction = flipped ? SDL_MOUSEWHEEL_FLIPPED : SDL_MOUSEWHEEL_NORMAL;
    return e;
}

// A 400×300 picture at (100, 50) in the window showing an 800×600 desktop: two points a pixel.
ViewInput viewer() {
    ViewInput in(70, 1);
    ViewGeometry g;
    g.content = SDL_Rect{100, 50, 400, 300};
    g.desktopW = 800;
    g.desktopH = 600;
    in.setGeometry(g);
    return in;
}

Lines feed(ViewInput& in, std::initializer_list<SDL_Event> events, double now = 0) {
    for (const auto& e : events) in.handle(e, now);
    return in.take(now);
}

}  // namespace

TEST(ViewInput, PointerOverThePictureMovesTheDesktopPointerToTheSamePlace) {
    auto in = viewer();
    // Several motions in one batch are one move, to where the pointer ended.
    EXPECT_EQ(feed(in, {motion(110, 60), motion(300, 200)}), (Lines{"A 401 301"}));
    // Outside the picture (the bars around it) the pointer stops at the desktop's edge.
    EXPECT_EQ(feed(in, {motion(20, 400)}), (Lines{"A 0 599"}));
    EXPECT_EQ(feed(in, {motion(499, 50)}), (Lines{"A 799 1"}));
}

TEST(ViewInput, ClicksAreButtonLinesAndLongPressesBecomeRenewedHolds) {
    auto in = viewer();
    // A click: the move to where it happened goes first (each window pixel is the middle of its two points).
    EXPECT_EQ(feed(in, {button(true, SDL_BUTTON_LEFT, 150, 100), button(false, SDL_BUTTON_LEFT, 150, 100)}, 1.0),
              (Lines{"A 101 101", "B L 1", "B L 0"}));

    // A drag: after 0.3 s the press becomes a hold, renewed every 2 s, and ends as a hold.
    EXPECT_EQ(feed(in, {button(true, SDL_BUTTON_LEFT, 150, 100)}, 10.0), (Lines{"B L 1"}));
    EXPECT_EQ(in.take(10.2), Lines{});
    EXPECT_EQ(in.take(10.31), (Lines{"H L 1"}));
    EXPECT_EQ(in.take(11.0), Lines{});
    EXPECT_EQ(in.take(12.32), (Lines{"H L 1"}));
    EXPECT_EQ(feed(in, {motion(200, 100), button(false, SDL_BUTTON_LEFT, 250, 100)}, 12.5),
              (Lines{"A 301 101", "H L 0"}));

    // A right press soon after a left one: the left becomes a hold first, or the agent would let it go.
    EXPECT_EQ(feed(in, {button(true, SDL_BUTTON_LEFT, 150, 100), button(true, SDL_BUTTON_RIGHT, 150, 100)}, 20.0),
              (Lines{"A 101 101", "B L 1", "H L 1", "B R 1"}));
    // Letting go of the window (focus lost) releases both.
    SDL_Event lost{};
    lost.type = SDL_WINDOWEVENT;
    lost.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
    EXPECT_EQ(feed(in, {lost}, 20.1), (Lines{"H L 0", "B R 0"}));
    EXPECT_EQ(in.releaseAll(), Lines{});
}

TEST(ViewInput, ShortcutsAreKeysWithTheirModifiersAndTypingIsText) {
    auto in = viewer();
    // Control+C: the modifier goes out just before the key it modifies.
    EXPECT_EQ(feed(in, {key(true, SDL_SCANCODE_LCTRL), key(true, SDL_SCANCODE_C), key(false, SDL_SCANCODE_C),
                        key(false, SDL_SCANCODE_LCTRL)}),
              (Lines{"K 224 1", "K 6 1", "K 6 0", "K 224 0"}));
    // Shift+a then b types "Ab": one text line, no keys, no Shift.
    EXPECT_EQ(feed(in, {key(true, SDL_SCANCODE_LSHIFT), key(true, SDL_SCANCODE_A), text("A"),
                        key(false, SDL_SCANCODE_A), key(false, SDL_SCANCODE_LSHIFT), key(true, SDL_SCANCODE_B),
                        text("b"), key(false, SDL_SCANCODE_B)}),
              (Lines{"T 70 " + vm::base64Encode("Ab")}));
    // Keys that type nothing are keys; the next text has the next number.
    EXPECT_EQ(feed(in, {key(true, SDL_SCANCODE_RETURN), key(false, SDL_SCANCODE_RETURN), text("é")}),
              (Lines{"K 40 1", "K 40 0", "T 71 " + vm::base64Encode("é")}));
    // Shift+Right selects: Shift is sent because the arrow types nothing.
    EXPECT_EQ(feed(in, {key(true, SDL_SCANCODE_LSHIFT), key(true, SDL_SCANCODE_RIGHT), key(false, SDL_SCANCODE_RIGHT),
                        key(false, SDL_SCANCODE_LSHIFT)}),
              (Lines{"K 225 1", "K 79 1", "K 79 0", "K 225 0"}));
    // A lone tap of the logo key is pressed and released; a held key's repeats add nothing.
    EXPECT_EQ(feed(in, {key(true, SDL_SCANCODE_LGUI), key(false, SDL_SCANCODE_LGUI), key(true, SDL_SCANCODE_DELETE),
                        key(true, SDL_SCANCODE_DELETE, true), key(false, SDL_SCANCODE_DELETE)}),
              (Lines{"K 227 1", "K 227 0", "K 76 1", "K 76 0"}));
    // F1 and F2 belong to the window.
    in.handle(key(true, SDL_SCANCODE_F2), 0);
    EXPECT_EQ(in.handle(key(true, SDL_SCANCODE_F1), 0), ViewAction::ToggleFigures);
    EXPECT_EQ(in.take(0), Lines{});
    // A key still down when the window closes is released.
    EXPECT_EQ(feed(in, {key(true, SDL_SCANCODE_LCTRL), key(true, SDL_SCANCODE_X)}), (Lines{"K 224 1", "K 27 1"}));
    EXPECT_EQ(in.releaseAll(), (Lines{"K 27 0", "K 224 0"}));
}

TEST(ViewInput, WheelTurnsAreScrollPixels) {
    auto in = viewer();
    EXPECT_EQ(feed(in, {wheel(0, 1), wheel(0, -2.5f), wheel(1, 0), wheel(0, 1, true)}),
              (Lines{"S 0 40", "S 0 -100", "S -40 0", "S 0 -40"}));
}

TEST(ViewInput, RelativePointerMovesByTheDesktopDistanceOnceHeldAndTheChordLetsGo) {
    auto in = viewer();
    in.setRelative(true);
    // Not held yet: motion does nothing, and the first click only takes the pointer.
    EXPECT_EQ(in.handle(motion(0, 0, 10, 10), 0), ViewAction::None);
    EXPECT_EQ(in.handle(button(true, SDL_BUTTON_LEFT, 0, 0), 0), ViewAction::Grab);
    in.handle(button(false, SDL_BUTTON_LEFT, 0, 0), 0);
    EXPECT_EQ(in.take(0), Lines{});
    // Two desktop points a window pixel; half points add up rather than vanish.
    EXPECT_EQ(feed(in, {motion(0, 0, 10, -3)}), (Lines{"M 20 -6 1"}));
    ViewGeometry g = in.geometry();
    g.desktopW = 600;  // 1.5 points a pixel
    in.setGeometry(g);
    EXPECT_EQ(feed(in, {motion(0, 0, 1, 0)}), (Lines{"M 1 0 2"}));
    EXPECT_EQ(feed(in, {motion(0, 0, 1, 0)}), (Lines{"M 2 0 3"}));
    // Control+Alt gives the pointer back and reaches nobody.
    in.handle(key(true, SDL_SCANCODE_LCTRL), 0);
    EXPECT_EQ(in.handle(key(true, SDL_SCANCODE_LALT), 0), ViewAction::ReleaseGrab);
    EXPECT_EQ(feed(in, {key(false, SDL_SCANCODE_LALT), key(false, SDL_SCANCODE_LCTRL), motion(0, 0, 5, 5)}), Lines{});
    EXPECT_FALSE(in.grabbed());
}

TEST(ViewFigures, RatesAndLatencyCoverTheLastTwoSecondsAndCountsAreTheSummarys) {
    ViewFigures f(2);
    // An old burst that falls out of the window, then 60 frames of 5,000 bytes in 2 s.
    for (int i = 0; i < 10; ++i) f.picture(0.1 * i, 100000, 500);
    for (int i = 0; i < 60; ++i) f.picture(10.0 + i / 30.0, 5000, i < 58 ? 10 : 80);
    ReceiverStats st;
    st.lostChunks = 3;
    st.recovered = 4;
    st.resent = 2;
    f.counts(st);
    EXPECT_EQ(f.line(11.99),
              "30.0 fps · 1.20 Mbit/s · latency p50 10 ms p99 80 ms · lost 7 recovered 4 resent 2 · level 2");
    f.reset();
    EXPECT_EQ(f.line(12), "0.0 fps · 0.00 Mbit/s · latency p50 0 ms p99 0 ms · lost 0 recovered 0 resent 0 · level 2");
}
