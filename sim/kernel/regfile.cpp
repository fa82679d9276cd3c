#include "kernel/regfile.h"
#include "support/text_format.h"

#include "support/file_save.h"
#include "support/untrusted_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace sim {

namespace {

constexpr const char* LineEnd = "\r\n";
const std::string Utf8Bom = "\xEF\xBB\xBF";
// Larger input is refused rather than read on and on (a device such as /dev/zero never ends).
constexpr size_t MaxRegFileBytes = 64u << 20;
// A hex list line is broken after the comma that brings it to this many characters, as the
// registry editor does: lines of at most 80 characters, 25 bytes on each continuation line.
constexpr size_t HexWrapColumn = 77;
constexpr const char* HexContinuation = "  ";

const char* const Roots[] = {"HKEY_LOCAL_MACHINE", "HKEY_USERS",          "HKEY_CURRENT_USER",
                             "HKEY_CLASSES_ROOT",  "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const std::string& text, size_t pos) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    return pos;
}

std::string TrimRight(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1])) --end;
    return text.substr(0, end);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A short piece of text for a message, every character that is not printable ASCII escaped.
std::string Excerpt(const std::u32string& text) {
    constexpr size_t Longest = 40;
    return TerminalText(text.substr(0, Longest)) + (text.size() > Longest ? "..." : "");
}
std::string Excerpt(const std::string& latin1) { return Excerpt(CodePointsOfLatin1(latin1)); }

std::string Quoted(const std::string& latin1) { return "'" + Excerpt(latin1) + "'"; }

// Checks a key name as written between the brackets of a key line and gives its canonical form.
bool CheckKeyPath(const std::string& path, std::string* canonical, std::string* why) {
    if (path.empty()) {
        *why = "empty key name";
        return false;
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20) {
            *why = "key name " + Quoted(path) + " holds a control character";
            return false;
        }
    }
    std::string canon = Registry::Canonical(path);
    std::string root = canon.substr(0, canon.find('\\'));
    if (std::none_of(std::begin(Roots), std::end(Roots), [&](const char* r) { return SameTextAnyCase(root, r); })) {
        *why = "key name " + Quoted(path) + " does not start with a root key such as HKEY_LOCAL_MACHINE";
        return false;
    }
    if (canon.find("\\\\") != std::string::npos) {
        *why = "key name " + Quoted(path) + " has an empty part between two backslashes";
        return false;
    }
    *canonical = canon;
    return true;
}

// ---- Reading ----

struct ParseError {
    size_t line;
    std::string message;
};

[[noreturn]] void Fail(size_t line, std::string message) { throw ParseError{line, std::move(message)}; }

// The code point of the UTF-8 sequence at text[i] and its length; length 0 for a sequence that is
// not valid UTF-8 (a stray, overlong or truncated sequence, a surrogate, beyond U+10FFFF).
size_t DecodeUtf8(const std::string& text, size_t i, uint32_t* point) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    *point = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        *point = *point << 6 | (next & 0x3F);
    }
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (*point < smallest[length] || *point > 0x10FFFF || (*point >= 0xD800 && *point <= 0xDFFF)) return 0;
    return length;
}

// The characters of a line's text: Latin-1 bytes, or UTF-8 (a piece of a line may cut a character,
// which shows as U+FFFD).
std::u32string CodePoints(const std::string& text, bool utf8) {
    if (!utf8) return CodePointsOfLatin1(text);
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        uint32_t point = 0;
        size_t length = DecodeUtf8(text, i, &point);
        out.push_back(length ? point : 0xFFFD);
        i += length ? length : 1;
    }
    return out;
}

void CheckUtf8(const std::string& text, size_t line) {
    uint32_t point = 0;
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        length = DecodeUtf8(text, i, &point);
        if (length == 0) Fail(line, "invalid UTF-8 text");
    }
}

// The physical lines of the text, without their line ends.
class Lines {
public:
    Lines(const std::string& text, bool utf8) : utf8_(utf8) {
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(std::move(line));
            start = end + 1;
        }
    }

    size_t Count() const { return lines_.size(); }

    bool Utf8() const { return utf8_; }

    // Line `index` (from 0) as it is in the file, Latin-1 bytes or UTF-8 checked to be valid. Comment
    // lines are not checked: they may hold anything.
    std::string Text(size_t index) const {
        const std::string& raw = lines_[index];
        size_t first = SkipBlanks(raw, 0);
        if (utf8_ && (first == raw.size() || raw[first] != ';')) CheckUtf8(raw, index + 1);
        return raw;
    }

private:
    bool utf8_;
    std::vector<std::string> lines_;
};

struct Operation {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::string path;
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class Parser {
public:
    explicit Parser(const Lines& lines) : lines_(lines), utf8_(lines.Utf8()) {}

    std::vector<Operation> Parse() {
        size_t index = ParseHeader();
        for (++index; index < lines_.Count(); ++index) {
            std::string text = lines_.Text(index);
            size_t number = index + 1;
            size_t first = SkipBlanks(text, 0);
            if (first == text.size() || text[first] == ';') continue;
            text = TrimRight(text.substr(first));
            if (text[0] == '[') {
                ParseKeyLine(text, number);
            } else if (text[0] == '"' || text[0] == '@') {
                ParseValueLine(text, index);
            } else {
                Fail(number, "expected a key line \"[...]\", a value line or a comment, found " + Shown(text));
            }
        }
        return std::move(operations_);
    }

private:
    enum class State { NoKey, KeyOpen, KeyDeleted };

    // The index of the header line.
    size_t ParseHeader() {
        for (size_t index = 0; index < lines_.Count(); ++index) {
            std::string text = lines_.Text(index);
            size_t first = SkipBlanks(text, 0);
            if (first == text.size()) continue;
            text = TrimRight(text.substr(first));
            if (text == "REGEDIT4") return index;
            if (StartsWithAnyCase(text, "Windows Registry Editor Version")) {
                Fail(index + 1, "\"" + Excerpt(CodePoints(text, utf8_)) + "\" files are not read; only REGEDIT4 files are");
            }
            Fail(index + 1, "missing REGEDIT4 header: the first line must be REGEDIT4, found " + Shown(text));
        }
        Fail(1, "missing REGEDIT4 header: the file holds only blank lines");
    }

    void ParseKeyLine(const std::string& text, size_t number) {
        if (text.back() != ']') Fail(number, "key line " + Shown(text) + " does not end with ']'");
        std::string path = Latin1Name(text.substr(1, text.size() - 2), number, "key name");
        bool remove = !path.empty() && path[0] == '-';
        if (remove) path.erase(0, 1);
        std::string canonical;
        std::string why;
        if (!CheckKeyPath(path, &canonical, &why)) Fail(number, why);
        if (remove) {
            if (canonical.find('\\') == std::string::npos) {
                Fail(number, "cannot delete the root key " + Quoted(canonical));
            }
            operations_.push_back({Operation::Kind::DeleteKey, canonical, {}, 0, {}});
            state_ = State::KeyDeleted;
        } else {
            operations_.push_back({Operation::Kind::CreateKey, canonical, {}, 0, {}});
            state_ = State::KeyOpen;
        }
        key_ = canonical;
    }

    // A quoted name or text starting at text[pos] == '"'; pos ends after the closing quote.
    std::string ParseQuoted(const std::string& text, size_t& pos, size_t number, const char* what) const {
        std::string out;
        for (++pos; pos < text.size(); ++pos) {
            char c = text[pos];
            if (c == '"') {
                ++pos;
                return out;
            }
            if (c == '\\') {
                if (pos + 1 == text.size()) break;
                char next = text[++pos];
                if (next != '"' && next != '\\') {
                    Fail(number, std::string("unknown escape '\\") + Excerpt(CodePoints(CharacterAt(text, pos), utf8_)) +
                                     "' in " + what + "; only \\\" and \\\\ are allowed");
                }
                out.push_back(next);
            } else {
                out.push_back(c);
            }
        }
        Fail(number, std::string("unterminated ") + what + " (no closing '\"')");
    }

    void ParseValueLine(const std::string& text, size_t& index) {
        size_t number = index + 1;
        if (state_ == State::NoKey) Fail(number, "value line before any key line");
        if (state_ == State::KeyDeleted) Fail(number, "value line after a key deletion line, outside any key");

        size_t pos = 0;
        std::string name;
        if (text[0] == '@') {
            pos = 1;
        } else {
            name = Latin1Name(ParseQuoted(text, pos, number, "value name"), number, "value name");
        }
        pos = SkipBlanks(text, pos);
        if (pos == text.size() || text[pos] != '=') {
            Fail(number, "expected '=' after the value name, found " + Shown(text.substr(pos)));
        }
        pos = SkipBlanks(text, pos + 1);
        std::string data = text.substr(pos);

        Operation op{Operation::Kind::SetValue, key_, name, 0, {}};
        if (data.empty()) {
            Fail(number, "value has no data; expected \"text\", dword:, hex:, hex(N): or -");
        } else if (data == "-") {
            op.kind = Operation::Kind::DeleteValue;
        } else if (data[0] == '"') {
            size_t end = 0;
            std::string value = ParseQuoted(data, end, number, "string");
            if (end != data.size()) Fail(number, "unexpected text after the string: " + Shown(data.substr(end)));
            op.type = regtype::Sz;
            op.data = TextData(value);
        } else if (StartsWithAnyCase(data, "dword:")) {
            op.type = regtype::Dword;
            op.data = ParseDword(data.substr(6), number);
        } else if (StartsWithAnyCase(data, "hex:")) {
            op.type = regtype::Binary;
            op.data = ParseHexList(data.substr(4), index);
        } else if (StartsWithAnyCase(data, "hex(")) {
            size_t close = data.find(')');
            if (close == std::string::npos) Fail(number, "hex( has no closing ')'");
            std::string digits = data.substr(4, close - 4);
            bool good = !digits.empty() && digits.size() <= 8 &&
                        std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; });
            if (!good) {
                Fail(number, "bad type " + Shown(digits) + " in hex(N): N is 1 to 8 hex digits, as in hex(7)");
            }
            if (close + 1 >= data.size() || data[close + 1] != ':') {
                Fail(number, "expected ':' after hex(" + digits + ")");
            }
            op.type = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
            op.data = ParseHexList(data.substr(close + 2), index);
        } else {
            Fail(number, "unknown value data " + Shown(data) + "; expected \"text\", dword:, hex:, hex(N): or -");
        }
        operations_.push_back(std::move(op));
    }

    std::vector<uint8_t> ParseDword(const std::string& text, size_t number) const {
        std::string digits = text.substr(SkipBlanks(text, 0));
        if (digits.empty()) Fail(number, "dword: needs 1 to 8 hex digits");
        uint32_t value = 0;
        for (size_t k = 0; k < digits.size(); ++k) {
            if (HexDigit(digits[k]) < 0) Fail(number, "bad hex digit " + Shown(CharacterAt(digits, k)) + " in dword");
            value = value << 4 | static_cast<uint32_t>(HexDigit(digits[k]));
        }
        if (digits.size() > 8) {
            Fail(number, "dword has " + std::to_string(digits.size()) + " hex digits; at most 8 fit in 32 bits");
        }
        return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                static_cast<uint8_t>(value >> 24)};
    }

    // Comma-separated bytes, continued on the next line after a trailing backslash. `first` is the
    // rest of line `index`; index ends at the last line of the list.
    std::vector<uint8_t> ParseHexList(const std::string& first, size_t& index) {
        std::string joined;
        std::vector<size_t> lineOf;  // the line number of each character of joined
        std::string piece = first;
        for (;;) {
            size_t number = index + 1;
            piece = TrimRight(piece);
            bool continued = !piece.empty() && piece.back() == '\\';
            if (continued) piece.pop_back();
            joined += piece;
            lineOf.insert(lineOf.end(), piece.size(), number);
            if (!continued) break;
            if (index + 1 == lines_.Count()) {
                Fail(number, "hex list continues (trailing '\\') past the end of the file");
            }
            ++index;
            piece = lines_.Text(index);
            piece.erase(0, SkipBlanks(piece, 0));
        }
        size_t lastLine = index + 1;
        auto lineAt = [&](size_t pos) { return pos < lineOf.size() ? lineOf[pos] : lastLine; };

        std::vector<uint8_t> bytes;
        size_t pos = SkipBlanks(joined, 0);
        if (pos == joined.size()) return bytes;
        for (;;) {
            size_t start = pos;
            while (pos < joined.size() && joined[pos] != ',' && !IsBlank(joined[pos])) ++pos;
            std::string token = joined.substr(start, pos - start);
            if (token.empty()) {
                if (start == joined.size()) Fail(lastLine, "hex list ends with ','");
                Fail(lineAt(start), "missing byte before ',' in hex list");
            }
            for (size_t k = 0; k < token.size(); ++k) {
                if (HexDigit(token[k]) < 0) {
                    Fail(lineAt(start + k), "bad hex digit " + Shown(CharacterAt(token, k)) + " in hex list");
                }
            }
            if (token.size() > 2) {
                Fail(lineAt(start), Shown(token) + " in hex list is more than one byte (two hex digits)");
            }
            bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
            pos = SkipBlanks(joined, pos);
            if (pos == joined.size()) return bytes;
            if (joined[pos] != ',') Fail(lineAt(pos), "expected ',' between bytes of hex list");
            pos = SkipBlanks(joined, pos + 1);
        }
    }

    // A piece of the file's text as a message shows it, quoted.
    std::string Shown(const std::string& text) const { return "'" + Excerpt(CodePoints(text, utf8_)) + "'"; }

    // The bytes of the one character that starts at text[at].
    std::string CharacterAt(const std::string& text, size_t at) const {
        uint32_t point = 0;
        size_t length = utf8_ ? DecodeUtf8(text, at, &point) : 1;
        return text.substr(at, length ? length : 1);
    }

    // A key or value name as the registry keeps it: Latin-1 characters only.
    std::string Latin1Name(const std::string& text, size_t number, const char* what) const {
        std::string out;
        for (char32_t c : CodePoints(text, utf8_)) {
            if (c > 0xFF) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(c));
                Fail(number, std::string("character ") + hex + " in the " + what +
                                 " is not Latin-1; key and value names hold Latin-1 characters only");
            }
            out.push_back(static_cast<char>(c));
        }
        return out;
    }

    // Text data as the registry holds it: UTF-16LE with its terminating zero character.
    std::vector<uint8_t> TextData(const std::string& text) const {
        std::vector<uint8_t> bytes;
        auto unit = [&](uint32_t value) {
            bytes.push_back(static_cast<uint8_t>(value));
            bytes.push_back(static_cast<uint8_t>(value >> 8));
        };
        for (char32_t c : CodePoints(text, utf8_)) {
            if (c < 0x10000) {
                unit(c);
            } else {
                unit(0xD800 + ((c - 0x10000) >> 10));
                unit(0xDC00 + ((c - 0x10000) & 0x3FF));
            }
        }
        unit(0);
        return bytes;
    }

    const Lines& lines_;
    bool utf8_;
    std::vector<Operation> operations_;
    State state_ = State::NoKey;
    std::string key_;
};

void Apply(const std::vector<Operation>& operations, Registry& registry) {
    for (const Operation& op : operations) {
        switch (op.kind) {
        case Operation::Kind::CreateKey: registry.CreateKey(op.path); break;
        case Operation::Kind::DeleteKey: registry.DeleteKeyTree(op.path); break;
        case Operation::Kind::SetValue: registry.SetValue(op.path, op.name, op.type, op.data); break;
        case Operation::Kind::DeleteValue: registry.DeleteValue(op.path, op.name); break;
        }
    }
}

// ---- Writing ----

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// The characters of REG_SZ bytes that "text" form holds exactly: printable characters (and tabs)
// followed by one terminating zero character, nothing after it; in a Latin-1 file, Latin-1
// characters only (other text is written as hex(1) bytes there).
bool TextForm(const std::vector<uint8_t>& data, bool utf8, std::u32string* text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0) return false;
    std::u32string out;
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        char32_t c = data[i] | data[i + 1] << 8;
        if (c >= 0xD800 && c <= 0xDBFF && i + 4 < data.size()) {
            char32_t low = data[i + 2] | data[i + 3] << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        bool printable = c == '\t' || (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xFF) ||
                         (utf8 && c > 0xFF && (c < 0xD800 || c > 0xDFFF));
        if (!printable) return false;
        out.push_back(c);
    }
    *text = std::move(out);
    return true;
}

std::string HexList(const std::vector<uint8_t>& data, size_t column) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
        if (i + 1 == data.size()) break;
        out.push_back(',');
        column += 3;
        if (column >= HexWrapColumn) {
            out += "\\";
            out += LineEnd;
            out += HexContinuation;
            column = std::strlen(HexContinuation);
        }
    }
    return out;
}

std::string Latin1ToUtf8(const std::string& text) { return Utf8Text(CodePointsOfLatin1(text)); }

// The value's line in the file's encoding.
std::string ValueLine(const RegValue& value, RegFileEncoding encoding) {
    const bool utf8 = encoding == RegFileEncoding::Utf8;
    auto encode = [utf8](const std::string& latin1) { return utf8 ? Latin1ToUtf8(latin1) : latin1; };
    std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
    std::u32string text;
    if (value.type == regtype::Sz && TextForm(value.data, utf8, &text)) {
        std::u32string escaped;
        for (char32_t c : text) {
            if (c == '"' || c == '\\') escaped.push_back('\\');
            escaped.push_back(c);
        }
        return encode(line) + "\"" + (utf8 ? Utf8Text(escaped) : std::string(escaped.begin(), escaped.end())) + "\"";
    }
    if (value.type == regtype::Dword && value.data.size() == 4) {
        char number[16];
        uint32_t dword = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | static_cast<uint32_t>(value.data[3]) << 24;
        std::snprintf(number, sizeof number, "%08x", static_cast<unsigned>(dword));
        return encode(line + "dword:" + number);
    }
    if (value.type == regtype::Binary) {
        line += "hex:";
    } else {
        char type[24];
        std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(value.type));
        line += type;
    }
    return encode(line + HexList(value.data, line.size()));
}

// Whether REGEDIT4 text can hold the key's name, so that it reads back as itself; else why not.
bool KeyWritable(const RegKey& key, std::string* why) {
    std::string canonical;
    std::string reason;
    if (CheckKeyPath(key.path, &canonical, &reason) && canonical == key.path) return true;
    if (reason.empty()) reason = "key name " + Quoted(key.path) + " does not read back as itself";
    *why = "cannot write key: " + reason;
    return false;
}

// Whether a value line can hold the value's name: a line break would end the line within it.
bool ValueNameWritable(const RegKey& key, const RegValue& value, std::string* why) {
    if (value.name.find_first_of("\r\n") == std::string::npos) return true;
    *why = "cannot write value " + Quoted(value.name) + " of key " + Quoted(key.path) + ": the name holds a line break";
    return false;
}

// ---- Files ----

std::string SystemError(int error) { return std::strerror(error); }

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        *error = TerminalText(path) + ": cannot open: " + SystemError(saved);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        *error = TerminalText(path) + ": is a directory";
        return false;
    }
    std::string out;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int saved = errno;
            ::close(fd);
            *error = TerminalText(path) + ": cannot read: " + SystemError(saved);
            return false;
        }
        if (got == 0) break;
        out.append(buffer, static_cast<size_t>(got));
        if (out.size() > MaxRegFileBytes) {
            ::close(fd);
            *error = TerminalText(path) + ": larger than " + std::to_string(MaxRegFileBytes >> 20) + " MiB; not a registry file";
            return false;
        }
    }
    ::close(fd);
    *text = std::move(out);
    return true;
}

}  // namespace

bool LoadRegFile(const std::string& text, Registry& registry, std::string* error, RegFileEncoding* encoding) {
    bool utf8 = text.compare(0, Utf8Bom.size(), Utf8Bom) == 0;
    if (encoding) *encoding = utf8 ? RegFileEncoding::Utf8 : RegFileEncoding::Latin1;
    std::string body = utf8 ? text.substr(Utf8Bom.size()) : text;
    if (body.empty()) return true;
    try {
        if (body.size() >= 2 && ((body[0] == '\xFF' && body[1] == '\xFE') || (body[0] == '\xFE' && body[1] == '\xFF'))) {
            Fail(1, "the file is UTF-16 text (a version 5 export?); only REGEDIT4 text is read");
        }
        Lines lines(body, utf8);
        std::vector<Operation> operations = Parser(lines).Parse();
        Apply(operations, registry);
        return true;
    } catch (const ParseError& failure) {
        if (error) *error = "line " + std::to_string(failure.line) + ": " + failure.message;
        return false;
    }
}

std::string SaveRegFile(const Registry& registry, RegFileEncoding encoding, std::vector<std::string>* leftOut) {
    const bool utf8 = encoding == RegFileEncoding::Utf8;
    std::string out = (utf8 ? Utf8Bom : "") + "REGEDIT4" + LineEnd;
    for (const RegKey& key : registry.Keys()) {
        std::string why;
        if (!KeyWritable(key, &why)) {
            if (leftOut) leftOut->push_back(why + "; the key and its values are left out");
            continue;
        }
        out += LineEnd;
        out += "[" + (utf8 ? Latin1ToUtf8(key.path) : key.path) + "]" + LineEnd;
        for (const RegValue& value : key.values) {
            if (!ValueNameWritable(key, value, &why)) {
                if (leftOut) leftOut->push_back(why + "; the value is left out");
                continue;
            }
            out += ValueLine(value, encoding) + LineEnd;
        }
    }
    out += LineEnd;
    return out;
}

bool CanSaveRegFile(const Registry& registry, std::string* error) {
    for (const RegKey& key : registry.Keys()) {
        std::string why;
        bool writable = KeyWritable(key, &why);
        for (size_t i = 0; writable && i < key.values.size(); ++i) writable = ValueNameWritable(key, key.values[i], &why);
        if (!writable) {
            if (error) *error = why;
            return false;
        }
    }
    return true;
}

bool LoadRegFileFromPath(const std::string& path, Registry& registry, std::string* error, RegFileEncoding* encoding) {
    std::string text;
    std::string message;
    if (!ReadWholeFile(path, &text, &message)) {
        if (error) *error = message;
        return false;
    }
    if (!LoadRegFile(text, registry, &message, encoding)) {
        if (error) *error = TerminalText(path) + ": " + message;
        return false;
    }
    return true;
}

bool SaveRegFileToPath(const std::string& path, const Registry& registry, std::string* error,
                       RegFileEncoding encoding, std::vector<std::string>* leftOut) {
    if (path.empty()) {
        if (error) *error = "no file name to save the registry to";
        return false;
    }
    std::vector<std::string> omitted;
    std::string text = SaveRegFile(registry, encoding, &omitted);
    if (leftOut) {
        for (const std::string& why : omitted) leftOut->push_back(TerminalText(path) + ": " + why);
    }
    return SaveFile(path, text, RegFileSavePolicy(), error);
}

SavePolicy RegFileSavePolicy() {
    SavePolicy policy;
    policy.writeThroughFifo = false;
    return policy;
}

}  // namespace sim
