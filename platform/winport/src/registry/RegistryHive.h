// The in-memory registry: one tree of keys per predefined root, and the table of open key
// handles. Names compare without regard to case and keep the case they were created with;
// subkeys and values keep their creation order.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace winport::registry {

struct Value {
    std::wstring name;  // empty: the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// What RegQueryInfoKeyW reports: lengths in characters without the NUL, data in bytes.
struct KeyInfo {
    DWORD subkeys = 0;
    DWORD maxSubkeyName = 0;
    DWORD maxSubkeyClass = 0;
    DWORD values = 0;
    DWORD maxValueName = 0;
    DWORD maxValueData = 0;
};

// Positions of names, ignoring case as the registry compares them: found in constant time
// however many subkeys or values a key holds.
class NameIndex {
  public:
    std::optional<size_t> Find(std::wstring_view name) const;
    void Add(std::wstring_view name, size_t position);
    // After the item at `position` was taken out: the later ones move down by one.
    void Erase(std::wstring_view name, size_t position);
    void Clear() { positions_.clear(); }

  private:
    std::unordered_map<std::wstring, size_t> positions_;  // by the folded name
};

// Keys nest at most this deep below their root, as on Windows.
inline constexpr size_t kMaxKeyDepth = 512;

class Key {
  public:
    Key(std::wstring name, std::wstring keyClass, size_t depth = 0);
    // Takes the subkeys apart one level at a time: a deep tree must not recurse through the
    // destructors of its keys.
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    const std::wstring& Name() const { return name_; }
    const std::wstring& Class() const { return class_; }
    FILETIME LastWrite() const { return lastWrite_; }
    size_t Depth() const { return depth_; }  // 0 for a root
    // A deleted key stays alive while handles refer to it, but every operation on it fails.
    bool IsDeleted() const { return deleted_; }

    std::shared_ptr<Key> FindSubkey(std::wstring_view name) const;
    std::shared_ptr<Key> AddSubkey(std::wstring_view name, std::wstring_view keyClass);
    bool DeleteSubkey(std::wstring_view name);  // with everything below it
    void DeleteContents();                      // every subkey and value
    void MarkDeleted();                         // this key and everything below it

    const Value* FindValue(std::wstring_view name) const;
    // Replaces the data of an existing value in place, so it keeps its enumeration position.
    void SetValue(std::wstring_view name, DWORD type, const BYTE* data, DWORD size);
    bool DeleteValue(std::wstring_view name);

    const std::vector<std::shared_ptr<Key>>& Subkeys() const { return subkeys_; }
    const std::vector<Value>& Values() const { return values_; }
    KeyInfo Info() const;

  private:
    void Touch();

    std::wstring name_;
    std::wstring class_;
    std::vector<std::shared_ptr<Key>> subkeys_;
    std::vector<Value> values_;
    NameIndex subkeyIndex_;
    NameIndex valueIndex_;
    size_t depth_;
    FILETIME lastWrite_{};
    bool deleted_ = false;
};

// The process-wide hive. Callers hold Mutex() (shared to read, exclusive to change keys or
// handles) around every use of it and of the keys it hands out.
class Hive {
  public:
    static Hive& Instance();

    std::shared_mutex& Mutex() { return mutex_; }

    // The key a handle refers to, predefined roots included; null for a handle that is not open.
    std::shared_ptr<Key> Resolve(HKEY handle) const;
    HKEY AddHandle(std::shared_ptr<Key> key);
    bool CloseHandle(HKEY handle);  // closing a predefined root succeeds and changes nothing
    size_t OpenHandleCount() const { return handles_.size(); }

    // Empties every root; handles stay open on the keys that were deleted.
    void Reset();

  private:
    Hive();

    static constexpr size_t kRoots = 4;
    static constexpr uintptr_t kFirstHandle = 0x100;
    static constexpr uintptr_t kHandleStep = 4;

    mutable std::shared_mutex mutex_;
    std::shared_ptr<Key> roots_[kRoots];
    std::unordered_map<uintptr_t, std::shared_ptr<Key>> handles_;
    uintptr_t nextHandle_ = kFirstHandle;
};

}  // namespace winport::registry
