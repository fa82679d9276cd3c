// The registry: keys holding typed values. Key paths and value names compare without regard to
// case, as the platform's registry does. "\Registry\Machine\" and "HKEY_LOCAL_MACHINE\" name the
// same root; "\Registry\User\CurrentUser\" names HKEY_CURRENT_USER, the hive of the user on whose
// behalf the driver runs.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
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
};

// Keys are kept in the order they were created, with an index by path, so that finding, creating
// and deleting a key cost O(log n) whatever the number of keys.
class Registry {
public:
    Registry() = default;
    Registry(const Registry& other);
    Registry& operator=(const Registry& other);
    Registry(Registry&&) = default;
    Registry& operator=(Registry&&) = default;

    // The HKEY_ form of a path given in either form, without a trailing backslash.
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

    std::list<RegKey> keys_;
    // Canonical path in lower case -> its key in keys_. Keys below a key follow it in this order.
    std::map<std::string, std::list<RegKey>::iterator> index_;
};

// Text of a REG_SZ value stored as UTF-16 with its terminating zero (ASCII only).
std::vector<uint8_t> Utf16Bytes(const std::string& text);
// The text of UTF-16 bytes up to the first zero character; other than ASCII becomes '?'.
std::string TextOfUtf16(const std::vector<uint8_t>& bytes);

}  // namespace sim
