#include "base/base64.h"

#include <openssl/evp.h>

namespace vm {

std::string base64Encode(const uint8_t* data, size_t len) {
    if (len == 0) return {};
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(len));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

static bool isAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.empty()) return Bytes{};
    if (text.size() % 4 != 0 || text.size() > (1u << 30)) return std::nullopt;
    size_t pad = 0;
    if (text.back() == '=') pad = (text[text.size() - 2] == '=') ? 2 : 1;
    for (size_t i = 0; i < text.size() - pad; ++i)
        if (!isAlphabet(text[i])) return std::nullopt;
    // EVP_DecodeBlock checks nothing about padding and always yields whole groups;
    // the checks above make its input canonical, and the padding is taken off here.
    Bytes out(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) != out.size()) return std::nullopt;
    out.resize(out.size() - pad);
    return out;
}

}  // namespace vm
