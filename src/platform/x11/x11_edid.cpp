#include "platform/x11/x11_edid.h"

#include <algorithm>

namespace vm::platform::x11 {

std::optional<EdidIds> parseEdid(const uint8_t* data, size_t size) {
    static constexpr uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    if (!data || size < 128 || !std::equal(kHeader, kHeader + 8, data)) return std::nullopt;
    EdidIds ids;
    ids.vendor = uint32_t{data[8]} << 8 | data[9];  // big-endian, unlike the rest
    ids.product = uint32_t{data[10]} | uint32_t{data[11]} << 8;
    ids.serial = uint32_t{data[12]} | uint32_t{data[13]} << 8 | uint32_t{data[14]} << 16 | uint32_t{data[15]} << 24;
    return ids;
}

}  // namespace vm::platform::x11
