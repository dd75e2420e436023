#pragma once
// Publishing the agent's service over DNS-SD through the Avahi daemon. A missing
// daemon is reported at once (publish answers false with a readable error);
// it never blocks the caller.
#include <memory>
#include <string>

#include "platform/capture.h"

namespace vm::platform {

class AvahiAdvertiser final : public ServiceAdvertiser {
public:
    AvahiAdvertiser();
    // Withdraws the service.
    ~AvahiAdvertiser() override;
    AvahiAdvertiser(const AvahiAdvertiser&) = delete;
    AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

    // Publishes `type` on `port` in "local." under the host name (another name is
    // picked on a collision). A second call replaces the first service.
    bool publish(const std::string& type, uint16_t port, std::string* error) override;
    // The name the service currently goes by (empty before publishing).
    std::string serviceName() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vm::platform
