#include "platform/x11/x11_pasteboard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/log.h"

namespace vm::platform::x11 {

namespace {

constexpr size_t kIncrAbove = 256 * 1024;  // larger values go in steps; clients cope with those better
constexpr size_t kIncrChunk = 64 * 1024;
constexpr auto kAnswerWait = std::chrono::seconds(1);
constexpr auto kTransferGiveUp = std::chrono::seconds(10);
constexpr uint8_t kBadWindow = 3;

xcb_window_t hiddenWindow(Connection& c, uint32_t events) {
    const xcb_window_t w = xcb_generate_id(c.get());
    const uint32_t values[] = {events};
    xcb_create_window(c.get(), 0, w, c.root(), -10, -10, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_EVENT_MASK, values);
    return w;
}

// ICCCM's STRING is Latin-1.
std::string utf8ToLatin1(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
        if (i + len > s.size()) len = 1;
        if (len == 1) out.push_back(b < 0x80 ? char(b) : '?');
        else if (len == 2 && b <= 0xc3) out.push_back(char(((b & 0x03) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3f)));
        else out.push_back('?');
        i += len;
    }
    return out;
}

std::string latin1ToUtf8(const std::string& s) {
    std::string out;
    for (char ch : s) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(char(0xc0 | (b >> 6)));
            out.push_back(char(0x80 | (b & 0x3f)));
        }
    }
    return out;
}

}  // namespace

X11Pasteboard::X11Pasteboard(Logger& log, const std::string& display) : log_(log), conn_(display), owner_(display) {
    readWin_ = hiddenWindow(conn_, XCB_EVENT_MASK_PROPERTY_CHANGE);
    ownWin_ = hiddenWindow(owner_, XCB_EVENT_MASK_PROPERTY_CHANGE);
    clipboard_ = owner_.atom("CLIPBOARD");
    targets_ = owner_.atom("TARGETS");
    utf8_ = owner_.atom("UTF8_STRING");
    text_ = owner_.atom("TEXT");
    plainUtf8_ = owner_.atom("text/plain;charset=utf-8");
    incr_ = owner_.atom("INCR");
    kdeHint_ = owner_.atom("x-kde-passwordManagerHint");
    readProp_ = conn_.atom("VELLOMARK_CLIPBOARD");

    const uint32_t maxBytes = xcb_get_maximum_request_length(owner_.get()) * 4;
    maxChunk_ = static_cast<uint32_t>(std::min<size_t>(kIncrChunk, maxBytes > 4096 ? maxBytes - 1024 : 3072));

    if (owner_.hasExtension("XFIXES")) {
        xcb_xfixes_query_version_reply_t* v =
            xcb_xfixes_query_version_reply(owner_.get(), xcb_xfixes_query_version(owner_.get(), 5, 0), nullptr);
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(owner_.get(), &xcb_xfixes_id);
        if (v && ext && ext->present) {
            xfixesEvent_ = ext->first_event;
            xcb_xfixes_select_selection_input(owner_.get(), ownWin_, clipboard_,
                                              XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                                  XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                                  XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
        }
        std::free(v);
    }
    if (!xfixesEvent_) log_.logLine("⚠︎ X 서버에 XFIXES 가 없다 — 다른 프로그램이 클립보드를 바꿔도 셀 수 없다\n");
    xcb_flush(conn_.get());
    xcb_flush(owner_.get());

    thread_ = std::thread([this] { run(); });
}

X11Pasteboard::~X11Pasteboard() {
    stop_ = true;
    wake_.wake();
    if (thread_.joinable()) thread_.join();
}

// ---- the owner's side -------------------------------------------------------

void X11Pasteboard::takeOwnership(xcb_window_t owner) {
    std::lock_guard<std::mutex> lk(owner_.mutex());
    if (xfixesEvent_) expected_.push_back(owner);  // its notice will come back to the thread
    xcb_set_selection_owner(owner_.get(), owner, clipboard_, XCB_CURRENT_TIME);
    xcb_flush(owner_.get());
}

void X11Pasteboard::clear() {
    std::lock_guard<std::mutex> lk(dataMu_);
    ++count_;
    values_.clear();
    owning_ = false;
    takeOwnership(XCB_NONE);
}

void X11Pasteboard::setString(const std::string& type, const std::string& value) {
    std::lock_guard<std::mutex> lk(dataMu_);
    ++count_;
    values_[type] = value;
    owning_ = true;
    // Owned afresh every time: a client that took it a moment ago must not keep it.
    takeOwnership(ownWin_);
}

int64_t X11Pasteboard::changeCount() { return count_.load(); }

void X11Pasteboard::run() {
    const int fd = xcb_get_file_descriptor(owner_.get());
    while (!stop_) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(owner_.get())) {
            handle(ev);
            std::free(ev);
        }
        if (xcb_connection_has_error(owner_.get())) {
            log_.logLine("⚠︎ 클립보드의 X 연결이 끊겼다 — 더는 복사한 것을 내주지 못한다\n");
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(transfers_, [&](const Transfer& t) { return now - t.lastStep > kTransferGiveUp; });
        xcb_flush(owner_.get());
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        ::poll(fds, wake_.fd() >= 0 ? 2 : 1, 1000);
        if (wake_.fd() >= 0 && (fds[1].revents & POLLIN)) wake_.drain();
    }
}

void X11Pasteboard::handle(xcb_generic_event_t* ev) {
    const uint8_t type = ev->response_type & 0x7f;
    if (type == 0) {
        // A requestor that went away mid-transfer.
        auto* err = reinterpret_cast<xcb_generic_error_t*>(ev);
        if (err->error_code == kBadWindow)
            std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == err->resource_id; });
        return;
    }
    if (type == XCB_SELECTION_REQUEST) {
        answer(*reinterpret_cast<xcb_selection_request_event_t*>(ev));
    } else if (type == XCB_PROPERTY_NOTIFY) {
        step(*reinterpret_cast<xcb_property_notify_event_t*>(ev));
    } else if (type == XCB_SELECTION_CLEAR) {
        // Another client took the clipboard, unless we have taken it back since.
        std::lock_guard<std::mutex> lk(dataMu_);
        std::lock_guard<std::mutex> ol(owner_.mutex());
        xcb_get_selection_owner_reply_t* r =
            xcb_get_selection_owner_reply(owner_.get(), xcb_get_selection_owner(owner_.get(), clipboard_), nullptr);
        const bool stillOurs = r && r->owner == ownWin_;
        std::free(r);
        if (!stillOurs) {
            owning_ = false;
            values_.clear();
        }
    } else if (xfixesEvent_ && type == xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
        const auto* sn = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(ev);
        std::lock_guard<std::mutex> lk(dataMu_);
        if (sn->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER && !expected_.empty() &&
            expected_.front() == sn->owner) {
            expected_.pop_front();  // our own change, counted when it was made
        } else if (sn->owner != ownWin_) {
            ++count_;
        }
    }
}

void X11Pasteboard::answer(const xcb_selection_request_event_t& req) {
    const xcb_atom_t property = req.property == XCB_NONE ? req.target : req.property;
    std::optional<std::string> plain;
    bool concealed = false, owning = false;
    {
        std::lock_guard<std::mutex> lk(dataMu_);
        owning = owning_;
        if (auto it = values_.find(kPlainText); it != values_.end()) plain = it->second;
        concealed = values_.count(kConcealed) > 0;
    }
    xcb_connection_t* c = owner_.get();
    std::lock_guard<std::mutex> lk(owner_.mutex());
    bool ok = false;
    if (owning && req.selection == clipboard_) {
        std::optional<std::string> data;
        xcb_atom_t type = req.target;
        if (req.target == targets_) {
            std::vector<xcb_atom_t> list{targets_};
            if (plain) list.insert(list.end(), {utf8_, XCB_ATOM_STRING, text_, plainUtf8_});
            if (concealed) list.push_back(kdeHint_);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, req.requestor, property, XCB_ATOM_ATOM, 32,
                                static_cast<uint32_t>(list.size()), list.data());
            ok = true;
        } else if (plain && (req.target == utf8_ || req.target == text_ || req.target == plainUtf8_)) {
            data = *plain;
            if (req.target == text_) type = utf8_;
        } else if (plain && req.target == XCB_ATOM_STRING) {
            data = utf8ToLatin1(*plain);
        } else if (concealed && req.target == kdeHint_) {
            data = "secret";
        }
        if (data && data->size() > kIncrAbove) {
            // Too large for one property: announce the size, then a chunk per deletion.
            const uint32_t mask[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
            xcb_change_window_attributes(c, req.requestor, XCB_CW_EVENT_MASK, mask);
            const uint32_t size = static_cast<uint32_t>(std::min<size_t>(data->size(), UINT32_MAX));
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, req.requestor, property, incr_, 32, 1, &size);
            std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == req.requestor && t.property == property; });
            transfers_.push_back(Transfer{req.requestor, property, type, std::move(*data), 0, std::chrono::steady_clock::now()});
            ok = true;
        } else if (data) {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, req.requestor, property, type, 8,
                                static_cast<uint32_t>(data->size()), data->data());
            ok = true;
        }
    }
    xcb_selection_notify_event_t note{};
    note.response_type = XCB_SELECTION_NOTIFY;
    note.time = req.time;
    note.requestor = req.requestor;
    note.selection = req.selection;
    note.target = req.target;
    note.property = ok ? property : XCB_NONE;
    xcb_send_event(c, 0, req.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&note));
    xcb_flush(c);
}

void X11Pasteboard::step(const xcb_property_notify_event_t& pn) {
    if (pn.state != XCB_PROPERTY_DELETE) return;
    auto it = std::find_if(transfers_.begin(), transfers_.end(),
                           [&](const Transfer& t) { return t.requestor == pn.window && t.property == pn.atom; });
    if (it == transfers_.end()) return;
    std::lock_guard<std::mutex> lk(owner_.mutex());
    const size_t n = std::min<size_t>(maxChunk_, it->data.size() - it->offset);
    xcb_change_property(owner_.get(), XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8,
                        static_cast<uint32_t>(n), it->data.data() + it->offset);
    it->offset += n;
    it->lastStep = std::chrono::steady_clock::now();
    if (n == 0) {
        // The empty chunk ends it; the requestor's window no longer needs to tell us anything.
        const xcb_window_t w = it->requestor;
        transfers_.erase(it);
        if (std::none_of(transfers_.begin(), transfers_.end(), [&](const Transfer& t) { return t.requestor == w; })) {
            const uint32_t none[] = {XCB_EVENT_MASK_NO_EVENT};
            xcb_change_window_attributes(owner_.get(), w, XCB_CW_EVENT_MASK, none);
        }
    }
    xcb_flush(owner_.get());
}

// ---- the reader's side ------------------------------------------------------

std::optional<std::string> X11Pasteboard::string(const std::string& type) {
    {
        std::lock_guard<std::mutex> lk(dataMu_);
        if (owning_) {
            auto it = values_.find(type);
            return it == values_.end() ? std::nullopt : std::optional<std::string>(it->second);
        }
    }
    if (type != kPlainText) return std::nullopt;  // other types only as we set them

    std::lock_guard<std::mutex> lk(conn_.mutex());
    xcb_connection_t* c = conn_.get();
    xcb_get_selection_owner_reply_t* r =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr);
    const xcb_window_t owner = r ? r->owner : XCB_NONE;
    std::free(r);
    if (owner == XCB_NONE) return std::nullopt;
    if (owner == ownWin_) {
        std::lock_guard<std::mutex> dl(dataMu_);
        auto it = values_.find(type);
        return it == values_.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    if (auto v = fetch(utf8_)) return v;
    if (auto v = fetch(XCB_ATOM_STRING)) return latin1ToUtf8(*v);
    return std::nullopt;
}

xcb_generic_event_t* X11Pasteboard::waitFor(xcb_window_t window, uint8_t type, xcb_atom_t property,
                                            std::chrono::steady_clock::time_point deadline) {
    xcb_connection_t* c = conn_.get();
    const int fd = xcb_get_file_descriptor(c);
    for (;;) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            const uint8_t t = ev->response_type & 0x7f;
            bool match = false;
            if (t == type && t == XCB_SELECTION_NOTIFY) {
                const auto* sn = reinterpret_cast<xcb_selection_notify_event_t*>(ev);
                match = sn->requestor == window && sn->selection == clipboard_;
            } else if (t == type && t == XCB_PROPERTY_NOTIFY) {
                const auto* pn = reinterpret_cast<xcb_property_notify_event_t*>(ev);
                match = pn->window == window && pn->atom == property && pn->state == XCB_PROPERTY_NEW_VALUE;
            }
            if (match) return ev;
            std::free(ev);
        }
        if (xcb_connection_has_error(c)) return nullptr;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return nullptr;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
}

std::optional<std::string> X11Pasteboard::fetch(xcb_atom_t target) {
    xcb_connection_t* c = conn_.get();
    xcb_delete_property(c, readWin_, readProp_);
    xcb_convert_selection(c, readWin_, clipboard_, target, readProp_, XCB_CURRENT_TIME);
    xcb_flush(c);
    xcb_generic_event_t* ev = waitFor(readWin_, XCB_SELECTION_NOTIFY, 0, std::chrono::steady_clock::now() + kAnswerWait);
    if (!ev) {
        log_.logLine("클립보드 주인이 1초 안에 답하지 않았다 — 빈 것으로 본다\n");
        return std::nullopt;
    }
    const xcb_atom_t got = reinterpret_cast<xcb_selection_notify_event_t*>(ev)->property;
    std::free(ev);
    if (got == XCB_NONE) return std::nullopt;

    // Reads and deletes the property (the deletion asks an INCR owner for the next chunk).
    auto take = [&](xcb_atom_t* typeOut) -> std::optional<std::string> {
        xcb_get_property_reply_t* p =
            xcb_get_property_reply(c, xcb_get_property(c, 1, readWin_, got, XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4), nullptr);
        if (!p) return std::nullopt;
        std::string v(static_cast<const char*>(xcb_get_property_value(p)),
                      static_cast<size_t>(xcb_get_property_value_length(p)));
        if (typeOut) *typeOut = p->type;
        std::free(p);
        return v;
    };
    xcb_atom_t type = XCB_NONE;
    auto first = take(&type);
    if (!first || type != incr_) {
        xcb_flush(c);
        return first;
    }
    xcb_flush(c);
    std::string all;
    for (;;) {
        xcb_generic_event_t* pn = waitFor(readWin_, XCB_PROPERTY_NOTIFY, got, std::chrono::steady_clock::now() + kAnswerWait);
        if (!pn) {
            log_.logLine("클립보드를 나눠 받다가 끊겼다 — 빈 것으로 본다\n");
            return std::nullopt;
        }
        std::free(pn);
        auto chunk = take(nullptr);
        xcb_flush(c);
        if (!chunk) return std::nullopt;
        if (chunk->empty()) return all;
        all += *chunk;
    }
}

}  // namespace vm::platform::x11
