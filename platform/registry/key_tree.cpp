#include "platform/registry/key_tree.h"

#include "platform/base/text_case.h"

namespace platform::registry {
namespace {

bool HasControlCharacter(std::u16string_view name) {
    for (WCHAR c : name)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

}  // namespace

Key* Key::Find(std::u16string_view name) const {
    const auto it = subkeys.find(UpperCase(name));
    return it == subkeys.end() ? nullptr : it->second.get();
}

const Value* Key::FindValue(std::u16string_view name) const {
    const auto it = values.find(UpperCase(name));
    return it == values.end() ? nullptr : &it->second;
}

Key& Key::Ensure(std::u16string_view name, bool* created) {
    auto& slot = subkeys[UpperCase(name)];
    if (created) *created = !slot;
    if (!slot) {
        slot = std::make_unique<Key>();
        slot->name = name;
    }
    return *slot;
}

Key* FindPath(const Key& root, const Path& path) {
    const Key* key = &root;
    for (const auto& name : path) {
        key = key->Find(name);
        if (key == nullptr) return nullptr;
    }
    return const_cast<Key*>(key);
}

bool ValidKeyName(std::u16string_view name) {
    return !name.empty() && name.size() <= kMaxKeyNameLength && name.find(u'\\') == std::u16string_view::npos &&
           !HasControlCharacter(name);
}

bool ValidValueName(std::u16string_view name) {
    return name.size() <= kMaxValueNameLength && !HasControlCharacter(name);
}

bool SplitPath(std::u16string_view text, Path* path) {
    path->clear();
    if (text.empty()) return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(u'\\', start);
        const auto name =
            text.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (!ValidKeyName(name)) return false;
        path->emplace_back(name);
        if (path->size() > kMaxDepth) return false;
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

}  // namespace platform::registry
