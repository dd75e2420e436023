#include "app/cursor_main.h"

#include "app/sigterm.h"

namespace vm {

void CursorMain::startUp() {
    if (physicalDisplaysOn) physicalDisplaysOn();
    auto& platform = d_.platform;
    startSigtermPath(physicalDisplaysOn, [&platform](int status) { platform.exitProcess(status); });
    bool trusted = d_.platform.accessibility().isTrusted(true);
    d_.log.logLine(std::string("접근성 권한: ") + (trusted ? "허용" : "⚠︎ 거부 — 커서가 안 움직인다") + "\n");
}

void CursorMain::run() {
    startUp();
    for (;;) pass(1.0);
}

void CursorMain::pass(double popTimeout) {
    auto msg = d_.inbox.pop(popTimeout);
    if (!msg) return;
    auto lines = ctlLines(msg->bytes);
    if (!lines) return;
    route(*msg, *lines);
}

void CursorMain::route(const CtlMsg&, const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        if (handle) handle(line);
}

}  // namespace vm
