#include "phone/phone_session.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "base/base64.h"
#include "base/clock.h"
#include "phone/phone_protocol.h"

namespace vm::phone {

bool ChunkCollector::add(const std::string& line) {
    if (line.size() <= head_.size() || line.compare(0, head_.size(), head_) != 0 || line[head_.size()] != ' ')
        return false;
    // "i/n piece"
    std::string rest = line.substr(head_.size() + 1);
    size_t slash = rest.find('/'), sp = rest.find(' ');
    if (slash == std::string::npos || sp == std::string::npos || slash > sp) return false;
    size_t i = 0, n = 0;
    try {
        i = std::stoul(rest.substr(0, slash));
        n = std::stoul(rest.substr(slash + 1, sp - slash - 1));
    } catch (...) {
        return false;
    }
    if (n == 0 || n > 100000 || i >= n) {
        broken_ = true;
        return true;
    }
    if (count_ == 0) {
        count_ = n;
        pieces_.assign(n, std::nullopt);
    } else if (n != count_) {
        broken_ = true;
        return true;
    }
    pieces_[i] = rest.substr(sp + 1);
    return true;
}

std::optional<Bytes> ChunkCollector::data() const {
    if (broken_ || count_ == 0) return std::nullopt;
    std::string all;
    for (const auto& p : pieces_) {
        if (!p) return std::nullopt;
        all += *p;
    }
    return base64Decode(all);
}

namespace {

// Reads lines until `done` says so or the time is up; answers "ID?" on the way.
bool readUntil(MessageLink& link, const std::string& idLine, double seconds, const Output& io,
               const std::function<bool(const std::string&)>& done) {
    SystemClock clock;
    const double end = clock.monotonic() + seconds;
    for (;;) {
        double left = end - clock.monotonic();
        if (left <= 0) return false;
        auto msg = link.receive(left);
        if (!msg) {
            if (link.closed()) return false;
            continue;
        }
        for (const auto& line : messageLines(*msg)) {
            if (line == "ID?") {
                link.send(idLine);
                continue;
            }
            if (done(line)) return true;
            io.err("agent: " + line);
        }
    }
}

}  // namespace

int runApps(MessageLink& link, const AppsOptions& opt, const Output& io) {
    const std::string idLine = "ID " + opt.phoneId + "\n";
    if (!link.send(idLine) || !link.send("APPS?\n")) {
        io.err("sending failed: the connection is closed");
        return kExitNetwork;
    }
    ChunkCollector apps("APPS");
    bool got = readUntil(link, idLine, opt.timeout, io, [&](const std::string& line) {
        return apps.add(line) && apps.data().has_value();
    });
    auto json = apps.data();
    if (!got || !json) {
        io.err("no app list within " + std::to_string(static_cast<int>(opt.timeout)) + " s");
        return kExitNetwork;
    }
    io.out(std::string(json->begin(), json->end()));
    if (!opt.iconPid) return kExitOk;
    const std::string head = "AICON " + std::to_string(*opt.iconPid);
    link.send(head + "\n");
    ChunkCollector icon(head);
    got = readUntil(link, idLine, opt.timeout, io, [&](const std::string& line) {
        return icon.add(line) && icon.data().has_value();
    });
    auto png = icon.data();
    if (!got || !png) {
        io.err("no icon for pid " + std::to_string(*opt.iconPid));
        return kExitNetwork;
    }
    std::ofstream f(*opt.iconFile, std::ios::binary);
    f.write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
    if (!f) {
        io.err("cannot write " + *opt.iconFile);
        return kExitNetwork;
    }
    io.out("icon: " + std::to_string(png->size()) + " bytes -> " + *opt.iconFile);
    return kExitOk;
}

int runSession(std::unique_ptr<MessageLink>& linkOwner, const SessionOptions& opt, const Output& io) {
    const std::string idLine = "ID " + opt.phoneId + "\n";
    MessageLink& link = *linkOwner;
    if (!link.send(idLine) || !link.send("HELLO 1\n")) {
        io.err("sending failed: the connection is closed");
        return kExitNetwork;
    }
    io.out("HELLO sent");
    if (opt.displaySize) {
        link.send("D " + std::to_string(opt.displaySize->first) + " " + std::to_string(opt.displaySize->second) +
                  "\n");
        // The agent answers "D w h", then "IS …" and "HV 2".
        bool ok = readUntil(link, idLine, 10, io, [&](const std::string& line) {
            if (line.rfind("D ", 0) == 0 || line.rfind("IS ", 0) == 0) io.out(line);
            if (line.rfind("HV ", 0) == 0) {
                io.out(line);
                return true;
            }
            return false;
        });
        if (!ok) {
            io.err("no answer to the display size");
            return kExitNetwork;
        }
    }
    const std::string vd = "VD " + std::to_string(opt.vdWidth) + " " + std::to_string(opt.vdHeight);
    link.send(vd + "\n");
    io.out(vd + " sent");
    VideoOptions v = opt.video;
    v.phoneId = opt.phoneId;
    v.repeatLines.push_back(vd);
    VideoSummary summary;
    int rc = runVideo(linkOwner, v, io, &summary);
    if (opt.bye) {
        linkOwner->send("BYE 1\n");
        io.out("BYE sent");
        // Give the record time to leave before the connection closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return rc;
}

}  // namespace vm::phone
