#include "kernel/registry.h"
#include "support/text_format.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <iterator>

namespace sim {

std::string FoldName(std::string name) {
    for (char& c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        bool lower = (u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7);
        if (lower) c = static_cast<char>(u - 0x20);
    }
    return name;
}

bool SameName(const std::string& a, const std::string& b) { return a.size() == b.size() && FoldName(a) == FoldName(b); }

namespace {

// Whether `path` starts with the key `root` (a whole key name: followed by a backslash or nothing).
bool UnderRoot(const std::string& path, const std::string& root) {
    return path.size() >= root.size() && SameName(path.substr(0, root.size()), root) &&
           (path.size() == root.size() || path[root.size()] == '\\');
}

}  // namespace

std::string Registry::Canonical(const std::string& path) {
    static const std::string user = SimulatedUserSid;
    static const std::pair<std::string, std::string> roots[] = {
        {"\\Registry\\Machine", "HKEY_LOCAL_MACHINE"},
        // The simulated user's hive under both its names.
        {"\\Registry\\User\\" + user, "HKEY_CURRENT_USER"},
        {"HKEY_USERS\\" + user, "HKEY_CURRENT_USER"},
        {"\\Registry\\User", "HKEY_USERS"},
        {"HKLM", "HKEY_LOCAL_MACHINE"},
    };
    std::string out = path;
    for (const auto& [from, to] : roots) {
        if (UnderRoot(out, from)) {
            out = to + out.substr(from.size());
            break;
        }
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

uint64_t Registry::NewVersion() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

Registry::Registry(const Registry& other) : keys_(other.keys_), version_(other.version_) { Reindex(); }

Registry& Registry::operator=(const Registry& other) {
    if (this != &other) {
        keys_ = other.keys_;
        Reindex();
        version_ = other.version_;
    }
    return *this;
}

// The list's nodes move with it, so the index stays valid; what is left behind is another registry.
Registry::Registry(Registry&& other) noexcept
    : keys_(std::move(other.keys_)), index_(std::move(other.index_)), version_(other.version_) {
    other.keys_.clear();
    other.index_.clear();
    other.Changed();
}

Registry& Registry::operator=(Registry&& other) noexcept {
    if (this != &other) {
        keys_ = std::move(other.keys_);
        index_ = std::move(other.index_);
        version_ = other.version_;
        other.keys_.clear();
        other.index_.clear();
        other.Changed();
    }
    return *this;
}

void Registry::Reindex() {
    index_.clear();
    for (auto it = keys_.begin(); it != keys_.end(); ++it) index_.emplace(FoldName(it->path), it);
}

RegKey* Registry::FindKey(const std::string& path) {
    Changed();
    return const_cast<RegKey*>(static_cast<const Registry*>(this)->FindKey(path));
}

const RegKey* Registry::FindKey(const std::string& path) const {
    auto found = index_.find(FoldName(Canonical(path)));
    return found == index_.end() ? nullptr : &*found->second;
}

bool Registry::KeyExists(const std::string& path) const {
    std::string folded = FoldName(Canonical(path));
    if (folded.find('\\') == std::string::npos) return true;   // a root key
    if (index_.count(folded)) return true;
    std::string below = folded + "\\";
    auto it = index_.lower_bound(below);
    return it != index_.end() && it->first.compare(0, below.size(), below) == 0;
}

RegKey& Registry::CreateKey(const std::string& path) {
    Changed();
    std::string canonical = Canonical(path);
    std::string folded = FoldName(canonical);
    auto found = index_.find(folded);
    if (found != index_.end()) return *found->second;
    keys_.push_back(RegKey{canonical, {}, {}});
    index_.emplace(std::move(folded), std::prev(keys_.end()));
    return keys_.back();
}

bool Registry::DeleteKeyTree(const std::string& path) {
    Changed();
    std::string folded = FoldName(Canonical(path));
    std::string below = folded + "\\";
    bool removed = false;
    auto it = index_.find(folded);
    if (it != index_.end()) {
        keys_.erase(it->second);
        index_.erase(it);
        removed = true;
    }
    for (it = index_.lower_bound(below); it != index_.end() && it->first.compare(0, below.size(), below) == 0;) {
        keys_.erase(it->second);
        it = index_.erase(it);
        removed = true;
    }
    return removed;
}

const RegValue* Registry::GetValue(const std::string& path, const std::string& name) const {
    const RegKey* key = FindKey(path);
    if (!key) return nullptr;
    auto found = key->valueIndex.find(FoldName(name));
    return found == key->valueIndex.end() ? nullptr : &key->values[found->second];
}

void Registry::SetValue(const std::string& path, const std::string& name, uint32_t type, std::vector<uint8_t> data) {
    RegKey& key = CreateKey(path);
    auto [found, added] = key.valueIndex.emplace(FoldName(name), key.values.size());
    if (!added) {
        RegValue& value = key.values[found->second];
        value.type = type;
        value.data = std::move(data);
        return;
    }
    key.values.push_back(RegValue{name, type, std::move(data)});
}

bool Registry::DeleteValue(const std::string& path, const std::string& name) {
    RegKey* key = FindKey(path);
    if (!key) return false;
    auto found = key->valueIndex.find(FoldName(name));
    if (found == key->valueIndex.end()) return false;
    size_t place = found->second;
    key->valueIndex.erase(found);
    key->values.erase(key->values.begin() + static_cast<std::ptrdiff_t>(place));
    for (auto& [folded, index] : key->valueIndex) {
        if (index > place) --index;
    }
    return true;
}

bool Registry::DeleteKey(const std::string& path) { return DeleteKeyTree(path); }

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
