#include "session/window_gather.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace vm {

using platform::ElementRef;
using platform::Point;
using platform::Rect;
using platform::RunningApp;
using platform::Size;

namespace {

// Area of a rectangle; a rectangle without positive width and height has none.
double areaOf(const Rect& r) {
    return (r.width > 0 && r.height > 0) ? r.width * r.height : 0.0;
}

// The area of `r` that lies inside `main`.
double insideArea(const Rect& r, const Rect& main) {
    if (!(r.width > 0 && r.height > 0)) return 0.0;
    double x0 = std::max(r.x, main.x), x1 = std::min(r.maxX(), main.maxX());
    double y0 = std::max(r.y, main.y), y1 = std::min(r.maxY(), main.maxY());
    if (!(x1 > x0) || !(y1 > y0)) return 0.0;
    return (x1 - x0) * (y1 - y0);
}

// Lower and left edges belong to the rectangle, upper and right ones do not.
bool containsPoint(const Rect& r, const Point& p) {
    return p.x >= r.x && p.x < r.maxX() && p.y >= r.y && p.y < r.maxY();
}

// A window lies off the main display when less than half of its area is inside it.
bool mostlyOutside(const Rect& r, const Rect& main) {
    double area = areaOf(r);
    return area > 0 && insideArea(r, main) < area / 2;
}

}  // namespace

WindowGather::WindowGather(const Clock& clock, Logger& log, platform::Displays& displays,
                           platform::Workspace& workspace, platform::WindowServer& windowServer,
                           platform::WindowElements& elements, DispatchQueue* globalQueue)
    : clock_(clock),
      log_(log),
      displays_(displays),
      workspace_(workspace),
      windowServer_(windowServer),
      elements_(elements),
      globalQueue_(globalQueue),
      restoreLink_(std::make_shared<RestoreLink>()) {
    restoreLink_->owner = this;
}

WindowGather::~WindowGather() {
    // A restore still queued must not reach a destroyed gatherer; one running now finishes first.
    std::lock_guard<std::mutex> lk(restoreLink_->mu);
    restoreLink_->owner = nullptr;
}

std::optional<WindowGather::DisplayPair> WindowGather::twoDisplays() {
    std::vector<platform::DisplayID> online = displays_.onlineDisplays();
    if (online.size() < 2) return std::nullopt;
    std::optional<platform::DisplayID> virt, phys;
    for (platform::DisplayID id : online) {
        if (displays_.isAgentVirtual(id)) {
            if (!virt) virt = id;
        } else if (!phys) {
            phys = id;
        }
    }
    if (!virt || !phys) return std::nullopt;
    return DisplayPair{*virt, *phys};
}

int WindowGather::gatherWindows(std::optional<int32_t> pid, bool wake) {
    if (!twoDisplays()) return 0;
    const Rect main = displays_.bounds(displays_.mainDisplay());
    // Without a main display of usable size (mid-reconfiguration) there is nowhere to put
    // windows; going on would give them empty or negative sizes.
    if (!(main.width > 0) || !(main.height > 30)) return 0;

    bool restore = false;
    double rememberedWakeAt = 0;
    int moved = 0;
    {
        std::lock_guard<std::mutex> lk(gatherLock);
        const std::optional<int32_t> frontAtStart = workspace_.frontmostApp();

        std::set<int32_t> offMainOwners;
        for (const platform::WindowInfo& w : windowServer_.windowList()) {
            if (w.layer != 0 || !w.ownerPID || !w.bounds) continue;
            const Rect& b = *w.bounds;
            if (!(b.width > 100) || !(b.height > 100)) continue;
            if (mostlyOutside(b, main)) offMainOwners.insert(*w.ownerPID);
        }

        std::vector<std::pair<int32_t, std::optional<RunningApp>>> targets;
        std::vector<RunningApp> apps = workspace_.runningApps();
        if (pid) {
            std::optional<RunningApp> app;
            for (const RunningApp& a : apps) {
                if (a.pid == *pid && !a.terminated) {
                    app = a;
                    break;
                }
            }
            targets.emplace_back(*pid, std::move(app));
        } else {
            for (const RunningApp& a : apps) {
                if (a.policy == platform::ActivationPolicy::regular && !a.terminated) targets.emplace_back(a.pid, a);
            }
        }

        Counts c;
        bool wakeAttempted = false;
        for (const auto& [p, app] : targets) {
            std::optional<std::vector<ElementRef>> windows = elements_.appWindows(p);
            if (!windows) continue;  // no permission, or the app is gone
            if (windows->empty()) {
                if (!offMainOwners.count(p)) continue;
                if (!wake) {
                    ++c.unseen;
                    continue;
                }
                wakeApp(p, app, frontAtStart, main, c, wakeAttempted);
                continue;
            }
            handleWindows(*windows, main, c);
        }

        if (c.candidates == 0 && c.moved == 0 && c.failed == 0) {
            if (c.unseen > 0) {
                log_.logLine("창 모으기 — 옮길 것 없음 · 창을 못 본 앱 " + std::to_string(c.unseen) +
                             "개(다른 Space 로 추정)\n");
            }
        } else {
            std::string line = "창 모으기 — 후보 " + std::to_string(c.candidates) + "개 중 " +
                               std::to_string(c.moved) + "개 옮김";
            if (c.unFullScreened > 0) line += ", 전체화면 " + std::to_string(c.unFullScreened) + "개 품";
            if (c.failed > 0) line += ", " + std::to_string(c.failed) + "개 실패(고정된 창)";
            if (c.woken > 0) line += ", " + std::to_string(c.woken) + "개는 앱을 깨워서 찾음";
            if (c.unseen > 0) line += " · 창을 못 본 앱 " + std::to_string(c.unseen) + "개(다른 Space 로 추정)";
            line += "\n";
            log_.logLine(line);
        }

        // Any activation moved the user's front app, even one that revealed nothing,
        // so every wake earns the restore.
        if (wakeAttempted) {
            restore = true;
            rememberedWakeAt = lastWakeAt;
        }
        moved = c.moved;
    }
    if (restore) scheduleRestore(rememberedWakeAt);
    return moved;
}

void WindowGather::handleWindows(const std::vector<ElementRef>& windows, const Rect& main, Counts& c) {
    const double room = main.height - 30;  // below the menu bar
    for (ElementRef w : windows) {
        std::optional<Point> pos = elements_.position(w);
        if (!pos) continue;
        const Size size = elements_.size(w).value_or(Size{});
        const Rect frame{pos->x, pos->y, size.width, size.height};
        if (areaOf(frame) > 0) {
            if (!mostlyOutside(frame, main)) continue;
        } else if (containsPoint(main, *pos)) {
            continue;
        }
        ++c.candidates;

        if (elements_.fullScreen(w) == std::optional<bool>(true)) {
            elements_.setFullScreen(w, false);
            clock_.sleep(kFullScreenExitWait);  // the exit animation must end before the frame can change
            ++c.unFullScreened;
        }

        // A size that could not be read (or makes no sense) takes the whole room.
        const double width = size.width > 0 ? std::min(main.width, size.width) : main.width;
        const double height = size.height > 0 ? std::min(room, size.height) : room;
        elements_.setSize(w, Size{width, height});

        Point target{main.x, main.y + 30};
        if (main.width - width > 40 && room - height > 40) {
            const int k = c.cascade % 6;
            target = Point{main.x + 40 + 32.0 * k, main.y + 30 + 28.0 * k};
        }
        if (elements_.setPosition(w, target)) {
            ++c.moved;
            ++c.cascade;
        } else {
            ++c.failed;
        }
    }
}

void WindowGather::wakeApp(int32_t pid, const std::optional<RunningApp>& app,
                           const std::optional<int32_t>& frontAtStart, const Rect& main, Counts& c,
                           bool& wakeAttempted) {
    const double now = clock_.now();
    auto lw = lastWake.find(pid);
    auto wf = wakeFailed.find(pid);
    if ((lw != lastWake.end() && now - lw->second < kWakeAgain) ||
        (wf != wakeFailed.end() && now - wf->second < kWakeFailedRetry)) {
        ++c.unseen;
        return;
    }
    if (now - lastWakeAt > kBurstGap) wakeBurstFront = frontAtStart;
    lastWakeAt = now;
    lastWake[pid] = now;
    wakeAttempted = true;
    if (app) workspace_.activate(pid, false);
    clock_.sleep(kWakeWait);

    std::optional<std::vector<ElementRef>> windows = elements_.appWindows(pid);
    if (windows && !windows->empty()) {
        ++c.woken;
        handleWindows(*windows, main, c);
        return;
    }
    ++c.unseen;
    wakeFailed[pid] = now;
    const std::string name = (app && app->name) ? *app->name : "pid " + std::to_string(pid);
    log_.logLine("  창을 못 봄 — " + name + " (깨웠는데도, " + std::to_string(static_cast<int>(kWakeFailedRetry)) +
                 "초간 재시도 안 함)\n");
}

void WindowGather::scheduleRestore(double rememberedWakeAt) {
    if (!globalQueue_) {
        clock_.sleep(kRestoreDelay);
        restoreFront(rememberedWakeAt);
        return;
    }
    globalQueue_->asyncAfter(kRestoreDelay, [link = restoreLink_, rememberedWakeAt] {
        std::lock_guard<std::mutex> lk(link->mu);
        if (link->owner) link->owner->restoreFront(rememberedWakeAt);
    });
}

void WindowGather::restoreFront(double rememberedWakeAt) {
    std::lock_guard<std::mutex> lk(gatherLock);
    // A newer wake owns the restore now.
    if (lastWakeAt != rememberedWakeAt || !wakeBurstFront) return;
    workspace_.activate(*wakeBurstFront, false);
    wakeBurstFront.reset();
}

void WindowGather::watchNewWindows() {
    log_.logLine("창 감시 시작\n");
    while (!watchStop_.load()) pass();
}

void WindowGather::pass() {
    clock_.sleep(kWatchInterval);
    if (!twoDisplays()) return;
    const Rect main = displays_.bounds(displays_.mainDisplay());
    const std::vector<platform::WindowInfo> list = windowServer_.windowList();
    const double now = clock_.now();
    // The first pass only learns what is already there. Those windows count as old
    // from the start, or the next passes would take them for new ones.
    const bool seeding = passes_ == 0;
    const double seenAt = seeding ? -std::numeric_limits<double>::infinity() : now;

    std::set<uint32_t> present;
    std::set<int32_t> owners;
    std::optional<std::vector<RunningApp>> apps;  // read only when a new window needs it
    for (const platform::WindowInfo& w : list) {
        if (w.layer != 0 || !w.number || !w.ownerPID || !w.bounds) continue;
        present.insert(*w.number);
        auto it = firstSeen_.try_emplace(*w.number, seenAt).first;
        if (seeding || now - it->second > kNewWindowAge) continue;
        if (!apps) apps = workspace_.runningApps();
        bool ordinary = true;
        for (const RunningApp& a : *apps) {
            if (a.pid == *w.ownerPID) {
                ordinary = a.policy == platform::ActivationPolicy::regular;
                break;
            }
        }
        if (!ordinary) continue;
        if (mostlyOutside(*w.bounds, main)) owners.insert(*w.ownerPID);
    }
    for (auto it = firstSeen_.begin(); it != firstSeen_.end();) {
        if (present.count(it->first)) {
            ++it;
        } else {
            it = firstSeen_.erase(it);
        }
    }

    ++passes_;
    if (passes_ % kAliveEvery == 0) {
        log_.logLine("창 감시 살아있음 — 창 " + std::to_string(present.size()) + "개\n");
    }
    if (seeding || owners.empty()) return;

    std::string pids;
    for (int32_t p : owners) pids += (pids.empty() ? "" : ", ") + std::to_string(p);
    log_.logLine("새 창이 주 화면 밖에 떴다 — pid [" + pids + "]\n");
    for (int32_t p : owners) gatherWindows(p, true);
}

}  // namespace vm
