// The registry: keys holding typed values. Key paths and value names compare without regard to
// case as the platform's kernel compares them: upper-cased as RtlUpcaseUnicodeChar does, over the
// Latin-1 characters that names hold. "\Registry\Machine\" and "HKEY_LOCAL_MACHINE\" name the same
// root; "\Registry\User\" is HKEY_USERS, whose hives are named by security identifier. The simulated
// user's hive, "\Registry\User\<SimulatedUserSid>\", is what user-mode programs (and .reg files)
// call HKEY_CURRENT_USER. There is no key "\Registry\User\CurrentUser" unless one is created under
// HKEY_USERS.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

namespace regtype {
constexpr uint32_t None = 0;
constexpr uint32_t Sz = 1;
constexpr uint32_t ExpandSz = 2;
constexpr uint32_t Binary = 3;
constexpr uint32_t Dword = 4;
constexpr uint32_t MultiSz = 7;
}  // namespace regtype

struct RegValue {
    std::string name;
    uint32_t type = regtype::Binary;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::string path;            // as first created, in the HKEY_ form
    std::vector<RegValue> values;  // in the order they were first set
    // FoldName of each value's name -> its place in values, so that finding and setting a value
    // cost the same however many values the key holds. Kept by Registry.
    std::unordered_map<std::string, size_t> valueIndex;
};

// The security identifier of the simulated user: "\Registry\User\" followed by it is the hive that
// user-mode programs call HKEY_CURRENT_USER.
constexpr const char* SimulatedUserSid = "S-1-5-21-1085031214-1563985344-725345543-1003";

// A name as the kernel compares it: every character upper-cased as RtlUpcaseUnicodeChar does (a-z,
// and the Latin-1 letters U+00E0-U+00FE other than U+00F7). U+00FF and U+00B5 upper-case to
// characters beyond Latin-1, which no name holds, so they match only themselves.
std::string FoldName(std::string name);
bool SameName(const std::string& a, const std::string& b);

// Keys are kept in the order they were created, with an index by path, so that finding, creating
// and deleting a key cost O(log n) whatever the number of keys.
class Registry {
public:
    Registry() = default;
    Registry(const Registry& other);
    Registry& operator=(const Registry& other);
    Registry(Registry&& other) noexcept;
    Registry& operator=(Registry&& other) noexcept;

    // Two registries of the same version hold the same keys and values: a copy keeps the version of
    // what it copies, and every change, or hand-out of a key that can be changed, takes a version
    // no registry had before. A machine's restore skips copying a registry that did not change.
    uint64_t Version() const { return version_; }

    // The HKEY_ form of a path given in either form, without a trailing backslash: the simulated
    // user's hive, under either of its names, is HKEY_CURRENT_USER.
    static std::string Canonical(const std::string& path);

    RegKey* FindKey(const std::string& path);
    const RegKey* FindKey(const std::string& path) const;
    RegKey& CreateKey(const std::string& path);
    // Removes the key and every key below it, keeping the order of the rest; false when there was
    // nothing to remove.
    bool DeleteKeyTree(const std::string& path);
    // A key exists when it was created, when a key below it was, or when it is a root key.
    bool KeyExists(const std::string& path) const;
    const RegValue* GetValue(const std::string& path, const std::string& name) const;
    void SetValue(const std::string& path, const std::string& name, uint32_t type, std::vector<uint8_t> data);
    // Removes the value, keeping the order of the rest; costs time in the number of values the key
    // holds.
    bool DeleteValue(const std::string& path, const std::string& name);
    // The same as DeleteKeyTree.
    bool DeleteKey(const std::string& path);

    // Every key, in the order of creation.
    const std::list<RegKey>& Keys() const { return keys_; }

    // Convenience for text and numbers.
    void SetDword(const std::string& path, const std::string& name, uint32_t value);
    void SetString(const std::string& path, const std::string& name, const std::string& text);

private:
    void Reindex();
    static uint64_t NewVersion();
    void Changed() { version_ = NewVersion(); }

    std::list<RegKey> keys_;
    // FoldName of the canonical path -> its key in keys_. Keys below a key follow it in this order.
    std::map<std::string, std::list<RegKey>::iterator> index_;
    uint64_t version_ = NewVersion();
};

// Text of a REG_SZ value stored as UTF-16 with its terminating zero (ASCII only).
std::vector<uint8_t> Utf16Bytes(const std::string& text);
// The text of UTF-16 bytes up to the first zero character; other than ASCII becomes '?'.
std::string TextOfUtf16(const std::vector<uint8_t>& bytes);

}  // namespace sim
