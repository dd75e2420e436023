#include "platform/avahi_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <mutex>

namespace vm::platform {

// Everything below the public mutex runs either with the threaded poll's lock
// held (our calls) or on the poll thread itself (Avahi's callbacks), which is
// how Avahi wants a threaded client driven.
struct AvahiAdvertiser::Impl {
    std::mutex publishMu;      // one publish at a time
    mutable std::mutex nameMu;  // `name` is read from any thread
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::string type;
    uint16_t port = 0;
    std::string name;
    std::string lastError;

    static void onClient(AvahiClient* c, AvahiClientState state, void* self) {
        static_cast<Impl*>(self)->clientChanged(c, state);
    }
    static void onGroup(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        static_cast<Impl*>(self)->groupChanged(g, state);
    }

    void setName(std::string n) {
        std::lock_guard<std::mutex> lk(nameMu);
        name = std::move(n);
    }
    std::string currentName() const {
        std::lock_guard<std::mutex> lk(nameMu);
        return name;
    }

    // Picks the next name after a collision ("host #2", "host #3", …).
    void nextName() {
        char* alt = avahi_alternative_service_name(currentName().c_str());
        setName(alt ? alt : currentName() + " #2");
        avahi_free(alt);
    }

    // Adds the service under the current name and commits; 0 or an Avahi error.
    int addService(AvahiClient* c) {
        if (type.empty()) return 0;
        if (!group) {
            group = avahi_entry_group_new(c, &Impl::onGroup, this);
            if (!group) return avahi_client_errno(c);
        }
        if (currentName().empty()) {
            const char* host = avahi_client_get_host_name(c);
            setName(host && host[0] ? host : "vellomark");
        }
        avahi_entry_group_reset(group);
        for (int tries = 0; tries < 100; ++tries) {
            int rc = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                   currentName().c_str(), type.c_str(), nullptr, nullptr, port,
                                                   static_cast<const char*>(nullptr));
            if (rc == AVAHI_ERR_COLLISION) {
                nextName();
                continue;
            }
            if (rc < 0) return rc;
            return avahi_entry_group_commit(group);
        }
        return AVAHI_ERR_COLLISION;
    }

    void clientChanged(AvahiClient* c, AvahiClientState state) {
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                // The daemon is ready (also after it restarted): (re)announce.
                if (!type.empty()) {
                    int rc = addService(c);
                    if (rc < 0) lastError = avahi_strerror(rc);
                }
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host name is being re-registered; announce again once running.
                if (group) avahi_entry_group_reset(group);
                break;
            case AVAHI_CLIENT_FAILURE:
                lastError = avahi_strerror(avahi_client_errno(c));
                break;
            case AVAHI_CLIENT_CONNECTING:
                break;
        }
    }

    void groupChanged(AvahiEntryGroup* g, AvahiEntryGroupState state) {
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            // Someone else on the network goes by this name: take the next one.
            nextName();
            group = g;
            int rc = addService(avahi_entry_group_get_client(g));
            if (rc < 0) lastError = avahi_strerror(rc);
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            lastError = avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g)));
        }
    }

    void shutdown() {
        if (poll) avahi_threaded_poll_stop(poll);
        if (client) avahi_client_free(client);  // frees the group too
        if (poll) avahi_threaded_poll_free(poll);
        client = nullptr;
        group = nullptr;
        poll = nullptr;
    }
};

AvahiAdvertiser::AvahiAdvertiser() : impl_(std::make_unique<Impl>()) {}

AvahiAdvertiser::~AvahiAdvertiser() { impl_->shutdown(); }

bool AvahiAdvertiser::publish(const std::string& type, uint16_t port, std::string* error) {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lk(m.publishMu);
    auto fail = [&](const std::string& why) {
        if (error) *error = "Avahi: " + why;
        return false;
    };
    if (type.empty()) return fail("no service type");
    if (!m.client) {
        // Without the no-fail flag a missing daemon is reported here at once
        // instead of waiting for it to appear.
        m.poll = avahi_threaded_poll_new();
        if (!m.poll) return fail("cannot make the event loop");
        int err = 0;
        m.client = avahi_client_new(avahi_threaded_poll_get(m.poll), AvahiClientFlags(0), &Impl::onClient, &m, &err);
        if (!m.client) {
            avahi_threaded_poll_free(m.poll);
            m.poll = nullptr;
            return fail(std::string(avahi_strerror(err)) + " (is avahi-daemon running?)");
        }
        if (avahi_threaded_poll_start(m.poll) < 0) {
            m.shutdown();
            return fail("cannot start the event loop thread");
        }
    }
    avahi_threaded_poll_lock(m.poll);
    m.type = type;
    m.port = port;
    int rc = 0;
    if (avahi_client_get_state(m.client) == AVAHI_CLIENT_S_RUNNING) rc = m.addService(m.client);
    // Otherwise the client callback announces it once the daemon is running.
    avahi_threaded_poll_unlock(m.poll);
    if (rc < 0) return fail(avahi_strerror(rc));
    return true;
}

std::string AvahiAdvertiser::serviceName() const { return impl_->currentName(); }

}  // namespace vm::platform
