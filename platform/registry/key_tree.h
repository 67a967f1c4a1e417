// One store's keys in memory: a tree of keys, each with its values. Names
// are looked up by their upper-case form and keep the case they were first
// written with; subkeys and values are ordered by the upper-case form, which
// is also the order of the stored text.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"

namespace platform::registry {

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr std::size_t kMaxDepth = 512;
constexpr std::size_t kMaxLevelsCreatedAtOnce = 32;

struct Value {
    std::u16string name;  // empty: the key's default value
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;
    std::map<std::u16string, Value> values;                  // by upper-case name
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by upper-case name

    Key* Find(std::u16string_view name) const;
    const Value* FindValue(std::u16string_view name) const;
    // The subkey of that name, created when missing; *created tells which.
    Key& Ensure(std::u16string_view name, bool* created = nullptr);
};

using Path = std::vector<std::u16string>;

// The key at path below root, or null.
Key* FindPath(const Key& root, const Path& path);

// Splits "a\b\c" into its names. False for an empty component or a name
// that breaks the limits above (too long, or with a control character).
bool SplitPath(std::u16string_view text, Path* path);
bool ValidKeyName(std::u16string_view name);
bool ValidValueName(std::u16string_view name);

}  // namespace platform::registry
