#include "support/code_page.h"

#include <algorithm>

namespace sim {
namespace {

#include "cp932_table.inc"

constexpr char16_t ShiftJisDefault = 0x30FB;   // the code page's default character

bool IsShiftJisLead(uint8_t byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

// The entry of a sorted table whose upper half is `key`; null when there is none.
const uint32_t* Find(const uint32_t* begin, const uint32_t* end, uint32_t key) {
    const uint32_t* found = std::lower_bound(begin, end, key << 16);
    return found != end && *found >> 16 == key ? found : nullptr;
}

// The character's bytes on 932 (one or two); '?' for one the code page lacks.
size_t ShiftJisBytes(char16_t unit, uint8_t out[2]) {
    const uint32_t* entry = Find(std::begin(Cp932Encode), std::end(Cp932Encode), unit);
    uint16_t bytes = entry ? static_cast<uint16_t>(*entry) : uint16_t{'?'};
    if (bytes > 0xFF) {
        out[0] = static_cast<uint8_t>(bytes >> 8);
        out[1] = static_cast<uint8_t>(bytes);
        return 2;
    }
    out[0] = static_cast<uint8_t>(bytes);
    return 1;
}

char16_t ShiftJisUnit(uint16_t bytes) {
    const uint32_t* entry = Find(std::begin(Cp932Decode), std::end(Cp932Decode), bytes);
    return entry ? static_cast<char16_t>(*entry) : ShiftJisDefault;
}

}  // namespace

bool ParseAnsiCodePage(const std::string& text, AnsiCodePage* page) {
    if (text == "latin1") *page = AnsiCodePage::Latin1;
    else if (text == "932") *page = AnsiCodePage::ShiftJis;
    else return false;
    return true;
}

std::string AnsiOfUnicodeWithin(std::u16string_view text, AnsiCodePage page, size_t room) {
    std::string out;
    for (char16_t unit : text) {
        uint8_t bytes[2] = {static_cast<uint8_t>(unit <= 0xFF ? unit : '?'), 0};
        size_t count = page == AnsiCodePage::Latin1 ? 1 : ShiftJisBytes(unit, bytes);
        if (out.size() + count > room) break;
        out.append(reinterpret_cast<const char*>(bytes), count);
    }
    return out;
}

std::string AnsiOfUnicode(std::u16string_view text, AnsiCodePage page) {
    return AnsiOfUnicodeWithin(text, page, std::string::npos);
}

std::u16string UnicodeOfAnsi(const uint8_t* bytes, size_t length, AnsiCodePage page) {
    std::u16string out;
    for (size_t i = 0; i < length; ++i) {
        if (page == AnsiCodePage::Latin1) {
            out.push_back(bytes[i]);
        } else if (!IsShiftJisLead(bytes[i])) {
            out.push_back(ShiftJisUnit(bytes[i]));
        } else if (i + 1 < length) {
            out.push_back(ShiftJisUnit(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1])));
            ++i;
        } else {
            out.push_back(ShiftJisDefault);   // a lead byte that ends the text
        }
    }
    return out;
}

}  // namespace sim
