#include "support/untrusted_text.h"

#include <cstdio>

namespace sim {

namespace {

constexpr char32_t Replacement = 0xFFFD;

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::u32string CodePointsOfLatin1(const std::string& bytes) {
    std::u32string text;
    for (unsigned char byte : bytes) text.push_back(byte);
    return text;
}

std::u32string CodePointsOfUtf16(const std::vector<uint8_t>& bytes) {
    std::u32string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = bytes[i] | bytes[i + 1] << 8;
        if (unit == 0) break;
        if (IsHighSurrogate(unit) && i + 3 < bytes.size()) {
            uint32_t next = bytes[i + 2] | bytes[i + 3] << 8;
            if (IsLowSurrogate(next)) {
                text.push_back(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                i += 2;
                continue;
            }
        }
        text.push_back(IsHighSurrogate(unit) || IsLowSurrogate(unit) ? Replacement : unit);
    }
    return text;
}

std::string TerminalText(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        char escaped[16];
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x100) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(c));
            out += escaped;
        } else if (c < 0x10000) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            std::snprintf(escaped, sizeof escaped, "\\U%08x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

std::string TerminalText(const std::string& latin1) { return TerminalText(CodePointsOfLatin1(latin1)); }

std::string Utf8Text(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = Replacement;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string Utf8Text(const std::string& latin1) { return Utf8Text(CodePointsOfLatin1(latin1)); }

}  // namespace sim
