#include "kernel/registry.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsWithText(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

}  // namespace

std::string Registry::Canonical(const std::string& path) {
    static const std::pair<const char*, const char*> roots[] = {
        {"\\Registry\\Machine\\", "HKEY_LOCAL_MACHINE\\"},
        // The kernel's stand-in for the calling user's hive.
        {"\\Registry\\User\\CurrentUser\\", "HKEY_CURRENT_USER\\"},
        {"\\Registry\\User\\", "HKEY_USERS\\"},
        {"HKLM\\", "HKEY_LOCAL_MACHINE\\"},
    };
    std::string out = path;
    for (const auto& [from, to] : roots) {
        if (StartsWithText(out, from)) {
            out = std::string(to) + out.substr(std::string(from).size());
            break;
        }
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

RegKey* Registry::FindKey(const std::string& path) {
    std::string canonical = Canonical(path);
    for (RegKey& key : keys_) {
        if (SameText(key.path, canonical)) return &key;
    }
    return nullptr;
}

const RegKey* Registry::FindKey(const std::string& path) const {
    return const_cast<Registry*>(this)->FindKey(path);
}

bool Registry::KeyExists(const std::string& path) const {
    std::string canonical = Canonical(path);
    if (canonical.find('\\') == std::string::npos) return true;   // a root key
    for (const RegKey& key : keys_) {
        if (SameText(key.path, canonical) || StartsWithText(key.path, canonical + "\\")) return true;
    }
    return false;
}

RegKey& Registry::CreateKey(const std::string& path) {
    if (RegKey* key = FindKey(path)) return *key;
    keys_.push_back(RegKey{Canonical(path), {}});
    return keys_.back();
}

const RegValue* Registry::GetValue(const std::string& path, const std::string& name) const {
    const RegKey* key = FindKey(path);
    if (!key) return nullptr;
    for (const RegValue& value : key->values) {
        if (SameText(value.name, name)) return &value;
    }
    return nullptr;
}

void Registry::SetValue(const std::string& path, const std::string& name, uint32_t type, std::vector<uint8_t> data) {
    RegKey& key = CreateKey(path);
    for (RegValue& value : key.values) {
        if (SameText(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key.values.push_back(RegValue{name, type, std::move(data)});
}

bool Registry::DeleteValue(const std::string& path, const std::string& name) {
    RegKey* key = FindKey(path);
    if (!key) return false;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const RegValue& value) { return SameText(value.name, name); });
    if (it == key->values.end()) return false;
    key->values.erase(it);
    return true;
}

bool Registry::DeleteKey(const std::string& path) {
    std::string canonical = Canonical(path);
    size_t before = keys_.size();
    keys_.erase(std::remove_if(keys_.begin(), keys_.end(),
                               [&](const RegKey& key) {
                                   return SameText(key.path, canonical) || StartsWithText(key.path, canonical + "\\");
                               }),
                keys_.end());
    return keys_.size() != before;
}

void Registry::SetDword(const std::string& path, const std::string& name, uint32_t value) {
    SetValue(path, name, regtype::Dword,
             {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
              static_cast<uint8_t>(value >> 24)});
}

void Registry::SetString(const std::string& path, const std::string& name, const std::string& text) {
    SetValue(path, name, regtype::Sz, Utf16Bytes(text));
}

std::vector<uint8_t> Utf16Bytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (unsigned char c : text) {
        bytes.push_back(c);
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::string TextOfUtf16(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned unit = bytes[i] | bytes[i + 1] << 8;
        if (unit == 0) break;
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

}  // namespace sim
