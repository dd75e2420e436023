#pragma once
// The main run loop becomes GLib's while the desktop interface runs: the main
// queue's tasks are one more event source of GLib's default context, and a spin
// of the main queue (the virtual display core waiting) iterates that context, so
// menus, the pairing panel and main-queue work all keep moving.
#include "base/dispatch.h"

typedef struct _GMainLoop GMainLoop;
typedef struct _GSource GSource;

namespace vm::ui {

class GlibMainLoop final : public MainLoopDriver {
public:
    // Attaches the main queue's source to GLib's default context and makes itself
    // the queue's driver. Call on the main thread.
    explicit GlibMainLoop(MainQueue& queue);
    ~GlibMainLoop() override;
    GlibMainLoop(const GlibMainLoop&) = delete;
    GlibMainLoop& operator=(const GlibMainLoop&) = delete;

    void wake() override;
    void run() override;
    void spin(double seconds) override;
    void stop() override;

private:
    MainQueue& queue_;
    GMainLoop* loop_ = nullptr;
    GSource* source_ = nullptr;
};

}  // namespace vm::ui
