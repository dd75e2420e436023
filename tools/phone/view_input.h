#pragma once
// The viewer window's pointer and keyboard as the lines a phone sends: moves ("A"
// absolute, or "M" relative while the pointer is held), buttons ("B", turned into
// leased holds "H" when held longer), wheel turns ("S"), keys as HID usages ("K",
// modifiers sent just before the key they modify) and typed text ("T"). SDL's
// scancodes are the HID keyboard usages, so keys need no table.
#include <SDL.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vm::phone {

// Where the picture lies in the window, and the size of the desktop it shows.
struct ViewGeometry {
    SDL_Rect content{0, 0, 0, 0};  // window coordinates
    double desktopW = 0, desktopH = 0;
};

// What the window itself does after an event, beyond the lines.
enum class ViewAction { None, ToggleFigures, TogglePointerMode, Grab, ReleaseGrab };

class ViewInput {
public:
    // A press held this long becomes a hold: the agent lets go of an unrenewed right
    // or middle press after 0.5 s, and of any button the next press finds down.
    static constexpr double kHoldAfter = 0.3;
    static constexpr double kRenewEvery = 2.0;  // a hold lease lasts 3 s at the agent
    static constexpr double kWheelPixels = 40;  // one wheel notch, in scroll pixels
    static constexpr size_t kMaxTextBytes = 240;

    ViewInput(int64_t firstTextSeq, int64_t firstMoveSeq = 1)
        : textSeq_(firstTextSeq), moveSeq_(firstMoveSeq) {}

    void setGeometry(const ViewGeometry& g) { geo_ = g; }
    const ViewGeometry& geometry() const { return geo_; }
    // Relative pointer: a click holds the pointer, motion becomes "M"; else motion is "A".
    void setRelative(bool on);
    bool relative() const { return relative_; }
    void setGrabbed(bool on) { grabbed_ = on; }
    bool grabbed() const { return grabbed_; }

    ViewAction handle(const SDL_Event& e, double now);
    // The lines gathered so far, plus hold starts and renewals due at `now`.
    std::vector<std::string> take(double now);
    // Releases for every key and button held, which are then forgotten.
    std::vector<std::string> releaseAll();
    // Forgets what is held without a word (the agent let go of everything itself).
    void forget();

    // The desktop point under a window point (clamped to the picture).
    std::pair<double, double> toDesktop(int x, int y) const;

private:
    struct Button {
        double pressedAt = 0;
        bool hold = false;
        double renewedAt = 0;
    };
    struct Mod {
        bool sent = false;   // the agent has been told it is down
        bool alone = true;   // nothing else pressed since: its release is a tap
    };

    void emit(const std::string& line);
    void flushMove();
    void flushText();
    void resolveKey();
    void keyDown(int usage);
    void keyUp(int usage);
    void buttonDown(const std::string& name, double now);
    void buttonUp(const std::string& name);
    void moveTo(int x, int y);
    void moveBy(double dx, double dy);
    void renewHolds(double now);
    bool modHeld(std::initializer_list<int> usages) const;

    ViewGeometry geo_;
    bool relative_ = false, grabbed_ = false;
    int64_t textSeq_, moveSeq_;
    std::vector<std::string> out_;
    std::optional<std::pair<double, double>> pendingAt_;  // absolute move not yet sent
    std::optional<std::pair<double, double>> sentAt_;     // the last one sent
    double pendingDx_ = 0, pendingDy_ = 0;                 // relative move not yet sent, whole points
    double restDx_ = 0, restDy_ = 0;                       // and the fractions left over
    std::string pendingText_;
    std::optional<int> pendingKey_;  // a key that may turn out to type text
    std::map<int, Mod> mods_;
    std::set<int> keysDown_;  // sent as "K u 1"
    std::set<int> typed_;     // went out as text; their releases say nothing
    std::map<std::string, Button> buttons_;
};

}  // namespace vm::phone
