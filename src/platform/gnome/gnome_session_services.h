#pragma once
// The smaller GNOME services: the pasteboard (the remote-desktop session's
// clipboard), input sources (through our shell extension) and the session's lock
// state (org.gnome.ScreenSaver).
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vm::platform::gnome {

class Bus;
class RemoteDesktop;
class ShellExtension;

class GnomePasteboard final : public Pasteboard {
public:
    explicit GnomePasteboard(RemoteDesktop& rd) : rd_(rd) {}
    std::optional<std::string> string(const std::string& type) override;
    void clear() override;
    void setString(const std::string& type, const std::string& value) override;
    int64_t changeCount() override;

private:
    RemoteDesktop& rd_;
    std::mutex mu_;
    std::map<std::string, std::string> markers_;  // concealed / transient, as long as our text stands
    int64_t markersAt_ = -1;
};

class GnomeInputSources final : public InputSources {
public:
    GnomeInputSources(Bus& bus, ShellExtension& shell);
    ~GnomeInputSources() override;
    std::vector<InputSourceInfo> enabled() override;
    std::optional<std::string> current() override;
    int select(const std::string& id) override;
    void watch(std::function<void()> onChange) override;
    std::string language(const std::string& id) override;

private:
    Bus& bus_;
    ShellExtension& shell_;
    unsigned sub_ = 0;
    std::mutex mu_;
    std::vector<std::function<void()>> watchers_;
};

class GnomeSession final : public Session {
public:
    explicit GnomeSession(Bus& bus);
    ~GnomeSession() override;
    std::optional<bool> onConsole() override;
    std::optional<bool> locked() override;
    void watchLock(std::function<void(bool)> onChange) override;

private:
    Bus& bus_;
    unsigned sub_ = 0;
    std::mutex mu_;
    std::vector<std::function<void(bool)>> watchers_;
};

}  // namespace vm::platform::gnome
