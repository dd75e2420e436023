#include "ui/glib_main_loop.h"

#include <glib.h>

#include <chrono>
#include <cmath>

namespace vm::ui {

namespace {

struct QueueSource {
    GSource base;
    MainQueue* queue;
};

gint timeoutMs(MainQueue& q) {
    const double s = q.secondsUntilDue();
    if (s < 0) return -1;
    return static_cast<gint>(std::ceil(s * 1000.0));
}

gboolean prepare(GSource* s, gint* timeout) {
    *timeout = timeoutMs(*reinterpret_cast<QueueSource*>(s)->queue);
    return *timeout == 0;
}

gboolean check(GSource* s) { return timeoutMs(*reinterpret_cast<QueueSource*>(s)->queue) == 0; }

gboolean dispatch(GSource* s, GSourceFunc, gpointer) {
    reinterpret_cast<QueueSource*>(s)->queue->runDue();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs kFuncs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

}  // namespace

GlibMainLoop::GlibMainLoop(MainQueue& queue) : queue_(queue) {
    loop_ = g_main_loop_new(nullptr, FALSE);
    source_ = g_source_new(&kFuncs, sizeof(QueueSource));
    reinterpret_cast<QueueSource*>(source_)->queue = &queue_;
    g_source_set_name(source_, "vellomark main queue");
    // A main-queue task may spin (nested); the tasks posted meanwhile must still run.
    g_source_set_can_recurse(source_, TRUE);
    g_source_attach(source_, nullptr);
    queue_.setDriver(this);
}

GlibMainLoop::~GlibMainLoop() {
    queue_.setDriver(nullptr);
    g_source_destroy(source_);
    g_source_unref(source_);
    g_main_loop_unref(loop_);
}

void GlibMainLoop::wake() { g_main_context_wakeup(nullptr); }

void GlibMainLoop::run() { g_main_loop_run(loop_); }

void GlibMainLoop::spin(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    // A timer wakes the blocking iteration at the deadline when nothing else does.
    GSource* timer = g_timeout_source_new(static_cast<guint>(std::ceil((seconds > 0 ? seconds : 0) * 1000.0)));
    g_source_set_callback(timer, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timer, nullptr);
    while (Clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
}

void GlibMainLoop::stop() { g_main_loop_quit(loop_); }

}  // namespace vm::ui
