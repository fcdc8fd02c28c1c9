#include "RegistryHive.h"

#include <algorithm>

#include "CaseFold.h"

namespace winport::registry {
namespace {

DWORD Length(const std::wstring& text) {
    return static_cast<DWORD>(text.size());
}

// The predefined roots, in the order of their handle values (0x80000000 upwards).
constexpr const wchar_t* kRootNames[] = {L"HKEY_CLASSES_ROOT", L"HKEY_CURRENT_USER",
                                         L"HKEY_LOCAL_MACHINE", L"HKEY_USERS"};
// HKEY_CLASSES_ROOT: the 32-bit value 0x80000000, sign-extended as on 64-bit Windows.
constexpr uintptr_t kFirstRootHandle = static_cast<uintptr_t>(intptr_t{INT32_MIN});

}  // namespace

Key::Key(std::wstring name, std::wstring keyClass, size_t depth)
    : name_(std::move(name)), class_(std::move(keyClass)), depth_(depth) {
    Touch();
}

Key::~Key() {
    std::vector<std::shared_ptr<Key>> pending = std::move(subkeys_);
    while (!pending.empty()) {
        std::shared_ptr<Key> key = std::move(pending.back());
        pending.pop_back();
        // A key an open handle still holds keeps its subkeys; the others give theirs up here.
        if (key.use_count() == 1) {
            for (auto& subkey : key->subkeys_) pending.push_back(std::move(subkey));
            key->subkeys_.clear();
        }
    }
}

void Key::Touch() {
    GetSystemTimeAsFileTime(&lastWrite_);
}

std::optional<size_t> NameIndex::Find(std::wstring_view name) const {
    const auto found = positions_.find(Folded(name));
    if (found == positions_.end()) return std::nullopt;
    return found->second;
}

void NameIndex::Add(std::wstring_view name, size_t position) {
    positions_.emplace(Folded(name), position);
}

void NameIndex::Erase(std::wstring_view name, size_t position) {
    positions_.erase(Folded(name));
    for (auto& entry : positions_) {
        if (entry.second > position) --entry.second;
    }
}

std::shared_ptr<Key> Key::FindSubkey(std::wstring_view name) const {
    const std::optional<size_t> found = subkeyIndex_.Find(name);
    return found ? subkeys_[*found] : nullptr;
}

std::shared_ptr<Key> Key::AddSubkey(std::wstring_view name, std::wstring_view keyClass) {
    auto key = std::make_shared<Key>(std::wstring(name), std::wstring(keyClass), depth_ + 1);
    subkeyIndex_.Add(name, subkeys_.size());
    subkeys_.push_back(key);
    Touch();
    return key;
}

bool Key::DeleteSubkey(std::wstring_view name) {
    const std::optional<size_t> found = subkeyIndex_.Find(name);
    if (!found) return false;
    subkeys_[*found]->MarkDeleted();
    subkeyIndex_.Erase(name, *found);
    subkeys_.erase(subkeys_.begin() + static_cast<std::ptrdiff_t>(*found));
    Touch();
    return true;
}

void Key::DeleteContents() {
    for (const auto& subkey : subkeys_) subkey->MarkDeleted();
    subkeys_.clear();
    values_.clear();
    subkeyIndex_.Clear();
    valueIndex_.Clear();
    Touch();
}

void Key::MarkDeleted() {
    std::vector<Key*> pending = {this};  // iterative, as the destructor
    while (!pending.empty()) {
        Key* key = pending.back();
        pending.pop_back();
        key->deleted_ = true;
        for (const auto& subkey : key->subkeys_) pending.push_back(subkey.get());
    }
}

const Value* Key::FindValue(std::wstring_view name) const {
    const std::optional<size_t> found = valueIndex_.Find(name);
    return found ? &values_[*found] : nullptr;
}

void Key::SetValue(std::wstring_view name, DWORD type, const BYTE* data, DWORD size) {
    std::optional<size_t> found = valueIndex_.Find(name);
    if (!found) {
        found = values_.size();
        valueIndex_.Add(name, *found);
        values_.push_back(Value{std::wstring(name), {}, {}});
    }
    Value& value = values_[*found];
    value.type = type;
    value.data.assign(data, data + size);
    Touch();
}

bool Key::DeleteValue(std::wstring_view name) {
    const std::optional<size_t> found = valueIndex_.Find(name);
    if (!found) return false;
    valueIndex_.Erase(name, *found);
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(*found));
    Touch();
    return true;
}

KeyInfo Key::Info() const {
    KeyInfo info;
    info.subkeys = static_cast<DWORD>(subkeys_.size());
    info.values = static_cast<DWORD>(values_.size());
    for (const auto& subkey : subkeys_) {
        info.maxSubkeyName = std::max(info.maxSubkeyName, Length(subkey->Name()));
        info.maxSubkeyClass = std::max(info.maxSubkeyClass, Length(subkey->Class()));
    }
    for (const Value& value : values_) {
        info.maxValueName = std::max(info.maxValueName, Length(value.name));
        info.maxValueData = std::max(info.maxValueData, static_cast<DWORD>(value.data.size()));
    }
    return info;
}

Hive::Hive() {
    Reset();
}

// Never destroyed: other libraries' destructors may still close keys during exit.
Hive& Hive::Instance() {
    static auto* hive = new Hive();
    return *hive;
}

std::shared_ptr<Key> Hive::Resolve(HKEY handle) const {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value - kFirstRootHandle < kRoots) return roots_[value - kFirstRootHandle];
    const auto it = handles_.find(value);
    return it != handles_.end() ? it->second : nullptr;
}

HKEY Hive::AddHandle(std::shared_ptr<Key> key) {
    const uintptr_t value = nextHandle_;
    nextHandle_ += kHandleStep;  // never reused, so a stale handle is always detected
    handles_.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

bool Hive::CloseHandle(HKEY handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value - kFirstRootHandle < kRoots) return true;
    return handles_.erase(value) == 1;
}

void Hive::Reset() {
    for (size_t i = 0; i < kRoots; ++i) {
        if (roots_[i]) roots_[i]->MarkDeleted();
        roots_[i] = std::make_shared<Key>(kRootNames[i], L"");
    }
}

}  // namespace winport::registry
