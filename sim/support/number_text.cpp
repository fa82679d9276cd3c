#include "support/number_text.h"

namespace sim {

namespace {

int DigitValue(char c, unsigned base) {
    int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    return value < static_cast<int>(base) ? value : -1;
}

}  // namespace

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    const size_t first = hex ? 2 : 0;
    if (text.size() <= first) return false;
    uint64_t number = 0;
    for (size_t i = first; i < text.size(); ++i) {
        int digit = DigitValue(text[i], base);
        if (digit < 0) return false;
        const uint64_t add = static_cast<uint64_t>(digit);
        if (add > max || number > (max - add) / base) return false;
        number = number * base + add;
    }
    *value = number;
    return true;
}

}  // namespace sim
