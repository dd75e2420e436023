#include "platform/linux_keys.h"

#include <array>
#include <map>

namespace vm::platform {

namespace {

// HID keyboard page → Linux KEY_* (the usual USB keyboard table), 16 usages a row.
constexpr std::array<uint8_t, 256> kHidToEvdev = {
    0,   0,   0,   0,   30,  48,  46,  32,  18,  33,  34,  35,  23,  36,  37,  38,   // 0x00 … a–l
    50,  49,  24,  25,  16,  19,  31,  20,  22,  47,  17,  45,  21,  44,  2,   3,    // m–z, 1, 2
    4,   5,   6,   7,   8,   9,   10,  11,  28,  1,   14,  15,  57,  12,  13,  26,   // 3–0, Return, Esc, BS, Tab, Space, - = [
    27,  43,  43,  39,  40,  41,  51,  52,  53,  58,  59,  60,  61,  62,  63,  64,   // ] \ # ; ' ` , . / Caps, F1–F6
    65,  66,  67,  68,  87,  88,  99,  70,  119, 110, 102, 104, 111, 107, 109, 106,  // F7–F12, PrtSc, ScrLk, Pause, Ins, Home, PgUp, Del, End, PgDn, Right
    105, 108, 103, 69,  98,  55,  74,  78,  96,  79,  80,  81,  75,  76,  77,  71,   // Left, Down, Up, NumLock, keypad
    72,  73,  82,  83,  86,  127, 116, 117, 183, 184, 185, 186, 187, 188, 189, 190,  // keypad, 102nd, Compose, Power, KP=, F13–F20
    191, 192, 193, 194, 134, 138, 130, 132, 128, 129, 131, 137, 133, 135, 136, 113,  // F21–F24, Open … Find, Mute
    115, 114, 0,   0,   0,   121, 0,   89,  93,  124, 92,  94,  95,  0,   0,   0,    // Vol+, Vol-, KP comma, international keys
    122, 123, 90,  91,  85,  0,   0,   0,   0,   0,   0,   0,   111, 0,   0,   0,    // Hangeul, Hanja, Katakana, Hiragana, Zenkaku
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   179, 180, 0,   0,   0,   0,   0,   0,   0,   0,    // KP ( )
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   111, 0,   0,   0,   0,   0,   0,   0,
    29,  42,  56,  125, 97,  54,  100, 126, 164, 166, 165, 163, 161, 115, 114, 113,  // modifiers L/R, media
    150, 158, 159, 128, 136, 177, 178, 176, 142, 152, 173, 140, 0,   0,   0,   0,
};

}  // namespace

uint16_t hidToEvdev(int hid) {
    if (hid < 0 || hid >= static_cast<int>(kHidToEvdev.size())) return 0;
    return kHidToEvdev[static_cast<size_t>(hid)];
}

uint32_t keysymForCodePoint(char32_t cp) {
    switch (cp) {
        case 0x08: return 0xff08;              // BackSpace
        case 0x09: return 0xff09;              // Tab
        case 0x0a: case 0x0d: return 0xff0d;   // Return
        case 0x1b: return 0xff1b;              // Escape
        case 0x7f: return 0xffff;              // Delete
        default: break;
    }
    if (cp < 0x20 || (cp >= 0x80 && cp < 0xa0)) return 0;
    if ((cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return 0;
    if (cp <= 0xff) return cp;
    return 0x1000000u + cp;
}

std::string layoutLanguage(const std::string& id) {
    std::string layout = id.rfind("xkb:", 0) == 0 ? id.substr(4) : id;
    if (const size_t paren = layout.find('('); paren != std::string::npos) layout.resize(paren);
    // Layouts whose usual language is plain; the rest stay unknown.
    static const std::map<std::string, std::string> languages = {
        {"kr", "ko"}, {"us", "en"}, {"gb", "en"}, {"au", "en"}, {"ie", "en"}, {"nz", "en"}, {"za", "en"},
        {"de", "de"}, {"at", "de"}, {"fr", "fr"}, {"es", "es"}, {"latam", "es"}, {"it", "it"}, {"pt", "pt"},
        {"br", "pt"}, {"nl", "nl"}, {"se", "sv"}, {"no", "nb"}, {"dk", "da"}, {"fi", "fi"}, {"is", "is"},
        {"ee", "et"}, {"lv", "lv"}, {"lt", "lt"}, {"pl", "pl"}, {"cz", "cs"}, {"sk", "sk"}, {"hu", "hu"},
        {"ro", "ro"}, {"bg", "bg"}, {"gr", "el"}, {"tr", "tr"}, {"ru", "ru"}, {"ua", "uk"}, {"by", "be"},
        {"hr", "hr"}, {"si", "sl"}, {"rs", "sr"}, {"mk", "mk"}, {"al", "sq"}, {"il", "he"}, {"ara", "ar"},
        {"ir", "fa"}, {"th", "th"}, {"vn", "vi"}, {"jp", "ja"}, {"cn", "zh"}, {"tw", "zh"}, {"am", "hy"},
        {"ge", "ka"}, {"kz", "kk"}, {"mn", "mn"}, {"in", "hi"}, {"pk", "ur"}, {"bd", "bn"}, {"lk", "si"},
    };
    auto it = languages.find(layout);
    return it == languages.end() ? "" : it->second;
}

}  // namespace vm::platform
