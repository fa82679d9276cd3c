#include "inf_file.h"

#include <cctype>

namespace inf {

namespace {

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Splits at the separator outside quotes, dropping the comment and the quotes; false when a quote
// is left open.
bool Split(const std::string& text, char separator, std::vector<std::string>* fields, bool* sawSeparator) {
    std::string field;
    bool quoted = false;
    bool quotedField = false;
    *sawSeparator = false;
    auto finish = [&] {
        fields->push_back(quotedField ? field : Trim(field));
        field.clear();
        quotedField = false;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
                continue;
            }
            if (!quoted && Trim(field).empty()) field.clear();
            quoted = !quoted;
            quotedField = true;
            continue;
        }
        if (!quoted && c == ';') break;
        if (!quoted && c == separator) {
            *sawSeparator = true;
            finish();
            continue;
        }
        if (quotedField && !quoted) continue;   // blanks after a closing quote
        field += c;
    }
    if (quoted) return false;
    finish();
    return true;
}

}  // namespace

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const std::vector<Line>* File::Section(const std::string& name) const {
    auto it = sections.find(Lower(name));
    return it == sections.end() ? nullptr : &it->second;
}

const std::vector<std::string>* File::Values(const std::string& section, const std::string& key) const {
    const std::vector<Line>* lines = Section(section);
    if (!lines) return nullptr;
    for (const Line& line : *lines) {
        if (Lower(line.key) == Lower(key)) return &line.values;
    }
    return nullptr;
}

std::string File::Expand(const std::string& text, std::vector<std::string>* undefined) const {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close == std::string::npos) {
            out += text[i];
            continue;
        }
        std::string name = text.substr(i + 1, close - i - 1);
        i = close;
        if (name.empty()) {
            out += '%';
            continue;
        }
        // Numbers name directories (%11%, %12%), which setup supplies.
        if (name.find_first_not_of("0123456789") == std::string::npos) {
            out += "%" + name + "%";
            continue;
        }
        const std::vector<std::string>* value = Values("Strings", name);
        if (value && !value->empty()) out += value->front();
        else if (undefined) undefined->push_back(name);
    }
    return out;
}

bool Parse(const std::string& text, File* file, std::string* error) {
    *file = File{};
    std::vector<Line>* current = nullptr;
    size_t number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(start, end - start);
        start = end + 1;
        ++number;
        std::string line = Trim(raw);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) return *error = "line " + std::to_string(number) + ": no ']'", false;
            current = &file->sections[Lower(Trim(line.substr(1, close - 1)))];
            continue;
        }
        if (!current) return *error = "line " + std::to_string(number) + ": outside any section", false;
        Line parsed;
        parsed.number = number;
        bool hasKey = false;
        size_t equals = std::string::npos;
        bool quoted = false;
        for (size_t i = 0; i < line.size() && equals == std::string::npos; ++i) {
            if (line[i] == '"') quoted = !quoted;
            else if (!quoted && line[i] == ';') break;
            else if (!quoted && line[i] == '=') equals = i;
        }
        std::string rest = line;
        if (equals != std::string::npos) {
            parsed.key = Trim(line.substr(0, equals));
            rest = line.substr(equals + 1);
        }
        if (!Split(rest, ',', &parsed.values, &hasKey)) {
            return *error = "line " + std::to_string(number) + ": a quote is left open", false;
        }
        current->push_back(parsed);
    }
    return true;
}

std::string DriverVersion(const File& file) {
    const std::vector<std::string>* values = file.Values("Version", "DriverVer");
    return values && values->size() == 2 ? (*values)[1] : "";
}

}  // namespace inf
