#pragma once
// The identity block of a display's EDID (the RandR output property "EDID"),
// where the vendor, product and serial numbers of a monitor come from.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vm::platform::x11 {

struct EdidIds {
    uint32_t vendor = 0;   // the packed three-letter manufacturer id, as the EDID stores it
    uint32_t product = 0;
    uint32_t serial = 0;
};

// nullopt when `data` is not an EDID base block (short, bad header).
std::optional<EdidIds> parseEdid(const uint8_t* data, size_t size);

}  // namespace vm::platform::x11
