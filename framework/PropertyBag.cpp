// CORE::PropertyBag. The entries are shared between copies until one of them changes
// (copy on write), so passing bags by value — requests, replies, nested lists — costs a
// reference count, while every copy still behaves as an independent deep copy.
#include "quillmesh/PropertyBag.h"

#include <atomic>
#include <utility>
#include <variant>
#include <vector>

namespace CORE {

namespace {

const std::wstring& EmptyText() {
    static const std::wstring* empty = new std::wstring();
    return *empty;
}

const PropertyBag& EmptyBag() {
    static const PropertyBag* empty = new PropertyBag();
    return *empty;
}

std::wstring KeyText(const wchar_t* key) {
    return key ? std::wstring(key) : std::wstring();
}

}  // namespace

struct PropertyBag::Impl {
    struct Entry {
        std::wstring key;
        std::variant<std::wstring, int32_t, int64_t, bool, PropertyBag> value;
    };

    std::atomic<long> references{1};
    std::vector<Entry> entries;
    bool error = false;
    int32_t errorCode = 0;
    std::wstring errorText;

    Impl() = default;
    Impl(const Impl& other)
        : entries(other.entries),
          error(other.error),
          errorCode(other.errorCode),
          errorText(other.errorText) {}

    const Entry* Find(const std::wstring& key) const {
        for (const Entry& entry : entries) {
            if (entry.key == key) return &entry;
        }
        return nullptr;
    }
    template <typename T>
    const T* FindValue(const wchar_t* key) const {
        const Entry* entry = Find(KeyText(key));
        return entry ? std::get_if<T>(&entry->value) : nullptr;
    }

    static Impl* Share(Impl* impl) {
        if (impl) impl->references.fetch_add(1, std::memory_order_relaxed);
        return impl;
    }
    static void Unshare(Impl* impl) {
        if (impl && impl->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete impl;
    }
    // The entries of a bag, owned by it alone, ready to change. Only the holder of the last
    // reference can see a count of 1, so no other copy can be sharing them at that moment.
    static Impl& Writable(Impl*& impl) {
        if (!impl) {
            impl = new Impl();
        } else if (impl->references.load(std::memory_order_acquire) != 1) {
            Impl* own = new Impl(*impl);
            Unshare(impl);
            impl = own;
        }
        return *impl;
    }
};

PropertyBag::PropertyBag() : m_impl(nullptr) {}
PropertyBag::PropertyBag(const PropertyBag& other) : m_impl(Impl::Share(other.m_impl)) {}
PropertyBag::PropertyBag(PropertyBag&& other) noexcept
    : m_impl(std::exchange(other.m_impl, nullptr)) {}
PropertyBag::~PropertyBag() {
    Impl::Unshare(m_impl);
}

PropertyBag& PropertyBag::operator=(const PropertyBag& other) {
    Impl* shared = Impl::Share(other.m_impl);  // before letting go of ours: other may be *this
    Impl::Unshare(m_impl);
    m_impl = shared;
    return *this;
}

PropertyBag& PropertyBag::operator=(PropertyBag&& other) noexcept {
    if (this != &other) {
        Impl::Unshare(m_impl);
        m_impl = std::exchange(other.m_impl, nullptr);
    }
    return *this;
}

void PropertyBag::add(const wchar_t* key, const wchar_t* text) {
    Impl::Writable(m_impl).entries.push_back({KeyText(key), std::wstring(text ? text : L"")});
}
void PropertyBag::add(const wchar_t* key, const std::wstring& text) {
    Impl::Writable(m_impl).entries.push_back({KeyText(key), text});
}
void PropertyBag::addInt(const wchar_t* key, int32_t value) {
    Impl::Writable(m_impl).entries.push_back({KeyText(key), value});
}
void PropertyBag::addInt64(const wchar_t* key, int64_t value) {
    Impl::Writable(m_impl).entries.push_back({KeyText(key), value});
}
void PropertyBag::addBool(const wchar_t* key, bool value) {
    Impl::Writable(m_impl).entries.push_back({KeyText(key), value});
}
void PropertyBag::addBag(const wchar_t* key, const PropertyBag& bag, bool replace) {
    PropertyBag copy(bag);  // taken first: `bag` may be this bag or live inside it
    if (replace) remove(key, true);
    Impl::Writable(m_impl).entries.push_back({KeyText(key), std::move(copy)});
}

corestring<wchar_t> PropertyBag::get(const wchar_t* key, const wchar_t* fallback) const {
    const std::wstring* text = m_impl ? m_impl->FindValue<std::wstring>(key) : nullptr;
    return text ? corestring<wchar_t>(*text) : corestring<wchar_t>(fallback);
}

int32_t PropertyBag::getInt(const wchar_t* key, int32_t fallback) const {
    if (!m_impl) return fallback;
    if (const int32_t* value = m_impl->FindValue<int32_t>(key)) return *value;
    // A 64-bit entry gives its low 32 bits, as a cast does: a tick count beyond 2^31 that went
    // out as a 64-bit number comes back as the same 32 bits.
    const int64_t* wide = m_impl->FindValue<int64_t>(key);
    return wide ? static_cast<int32_t>(static_cast<uint32_t>(*wide)) : fallback;
}

int64_t PropertyBag::getInt64(const wchar_t* key, int64_t fallback) const {
    if (!m_impl) return fallback;
    if (const int64_t* value = m_impl->FindValue<int64_t>(key)) return *value;
    const int32_t* narrow = m_impl->FindValue<int32_t>(key);
    return narrow ? *narrow : fallback;
}

bool PropertyBag::getBool(const wchar_t* key, bool fallback) const {
    const bool* value = m_impl ? m_impl->FindValue<bool>(key) : nullptr;
    return value ? *value : fallback;
}

PropertyBag PropertyBag::getBag(const wchar_t* key) const {
    const PropertyBag* bag = m_impl ? m_impl->FindValue<PropertyBag>(key) : nullptr;
    return bag ? *bag : PropertyBag();
}

size_t PropertyBag::getNextBag(const wchar_t* key, PropertyBag& out, size_t position) const {
    if (!m_impl) return 0;
    std::wstring wanted = KeyText(key);
    const std::vector<Impl::Entry>& entries = m_impl->entries;
    for (size_t index = position; index < entries.size(); ++index) {
        const auto* bag = std::get_if<PropertyBag>(&entries[index].value);
        if (bag && entries[index].key == wanted) {
            out = *bag;
            return index + 1;
        }
    }
    return 0;
}

bool PropertyBag::remove(const wchar_t* key, bool all) {
    if (!contains(key)) return false;
    std::wstring wanted = KeyText(key);
    std::vector<Impl::Entry>& entries = Impl::Writable(m_impl).entries;
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->key != wanted) {
            ++it;
            continue;
        }
        it = entries.erase(it);
        if (!all) break;
    }
    return true;
}

bool PropertyBag::contains(const wchar_t* key) const {
    return m_impl && m_impl->Find(KeyText(key)) != nullptr;
}

void PropertyBag::clear() {
    Impl::Unshare(m_impl);
    m_impl = nullptr;
}

void PropertyBag::setError(const wchar_t* text) {
    setError(0, text);
}

void PropertyBag::setError(int32_t code, const wchar_t* text) {
    Impl& impl = Impl::Writable(m_impl);
    impl.error = true;
    impl.errorCode = code;
    impl.errorText = text ? text : L"";
}

bool PropertyBag::isError() const {
    return m_impl && m_impl->error;
}
int32_t PropertyBag::getErrorCode() const {
    return m_impl ? m_impl->errorCode : 0;
}
corestring<wchar_t> PropertyBag::getErrorText() const {
    return m_impl ? corestring<wchar_t>(m_impl->errorText) : corestring<wchar_t>();
}

size_t PropertyBag::size() const {
    return m_impl ? m_impl->entries.size() : 0;
}
bool PropertyBag::empty() const {
    return size() == 0;
}

const std::wstring& PropertyBag::keyAt(size_t index) const {
    return index < size() ? m_impl->entries[index].key : EmptyText();
}

PropertyBag::ValueType PropertyBag::typeAt(size_t index) const {
    static const ValueType byIndex[] = {ValueType::Text, ValueType::Int, ValueType::Int64,
                                        ValueType::Bool, ValueType::Bag};
    return index < size() ? byIndex[m_impl->entries[index].value.index()] : ValueType::Text;
}

const std::wstring& PropertyBag::textAt(size_t index) const {
    const std::wstring* text =
        index < size() ? std::get_if<std::wstring>(&m_impl->entries[index].value) : nullptr;
    return text ? *text : EmptyText();
}

int64_t PropertyBag::intAt(size_t index) const {
    if (index >= size()) return 0;
    const auto& value = m_impl->entries[index].value;
    if (const int32_t* narrow = std::get_if<int32_t>(&value)) return *narrow;
    if (const int64_t* wide = std::get_if<int64_t>(&value)) return *wide;
    return 0;
}

bool PropertyBag::boolAt(size_t index) const {
    const bool* value = index < size() ? std::get_if<bool>(&m_impl->entries[index].value) : nullptr;
    return value && *value;
}

const PropertyBag& PropertyBag::bagAt(size_t index) const {
    const PropertyBag* bag =
        index < size() ? std::get_if<PropertyBag>(&m_impl->entries[index].value) : nullptr;
    return bag ? *bag : EmptyBag();
}

}  // namespace CORE
