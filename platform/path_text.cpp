// The byte-order-mark path convention, the same on every system.
#include <cstring>

#include "platform/path.h"

bool plat_has_bom(const char* text, std::size_t size) {
    if (text == nullptr || size < 2) return false;
    unsigned char b0 = static_cast<unsigned char>(text[0]);
    if (b0 != 0xFF && b0 != 0xFE) return false;  // text[1] is then inside the text
    unsigned char b1 = static_cast<unsigned char>(text[1]);
    return (b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF);
}

namespace {
void append_utf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}
}  // namespace

bool plat_path_text(const char* text, std::string* out, std::size_t size) {
    out->clear();
    if (text == nullptr) return true;
    if (!plat_has_bom(text, size)) {
        out->assign(text);
        return true;
    }
    // Units are read two bytes at a time and never past the caller's buffer.
    std::size_t pos = 2;
    auto next_unit = [&](uint16_t* unit) {
        if (size - pos < 2) return false;
        unsigned char b[2];
        std::memcpy(b, text + pos, 2);
        pos += 2;
        *unit = static_cast<uint16_t>(b[0] | (b[1] << 8));
        return *unit != 0;
    };
    uint16_t unit = 0;
    while (next_unit(&unit)) {
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint16_t low = 0;
            if (!next_unit(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            append_utf8(out,
                        0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        } else {
            append_utf8(out, unit);
        }
    }
    return true;
}
