// The registry tree of the simulated device, shared by the registry API (registry.cpp)
// and the .reg text reader and writer (regfile.cpp). Every function here expects the
// caller to hold TreeMutex().
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin::regtree {

// Limits of the platform's registry: a key name has 1..255 characters and the tree is
// at most 512 keys deep below a root.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxDepth = 512;

struct Value {
    std::u16string name;  // spelling of the first creation
    DWORD type = REG_NONE;
    std::vector<BYTE> data;  // exactly the bytes stored, whatever the type
};

struct Key : std::enable_shared_from_this<Key> {
    std::u16string name;  // spelling of the first creation
    Key *parent = nullptr;  // meaningful only while !deleted; null for a root
    size_t depth = 0;  // 0 for a root
    bool deleted = false;  // removed from the tree; open handles still hold it
    std::vector<std::shared_ptr<Key>> subkeys;  // insertion order
    std::vector<Value> values;  // insertion order
};

std::mutex &TreeMutex();

// The key of a predefined root (HKEY_LOCAL_MACHINE, ...), or null for any other value.
Key *RootKey(HKEY root);

// The roots in the order a whole-registry dump lists them, with their names in files.
struct RootName {
    HKEY root;
    const char *longName;
    const char *shortName;
};
std::span<const RootName> Roots();

// ASCII case-insensitive comparison, the platform's rule for key and value names.
bool SameName(std::u16string_view a, std::u16string_view b);

// Splits a key path at '\\'; one leading and one trailing backslash are ignored, so ""
// and "\\" give no components. Null when a component is empty, longer than 255
// characters or holds a control character.
std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view path);

Key *FindPath(Key *from, std::span<const std::u16string> path);
// Creates what is missing; null (and nothing created) when the result would lie deeper
// than kMaxDepth. *created tells whether the last key is new.
Key *CreatePath(Key *from, std::span<const std::u16string> path, bool *created);
// Removes a non-root key and its whole subtree; handles to any of them go stale.
void DeleteKey(Key *key);
// Empties a root: every key below it goes, and its values.
void ClearKey(Key *root);

Value *FindValue(Key *key, std::u16string_view name);
void SetValue(Key *key, std::u16string_view name, DWORD type, std::vector<BYTE> data);
bool DeleteValue(Key *key, std::u16string_view name);

}  // namespace standin::regtree
