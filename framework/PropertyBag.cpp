// CORE::PropertyBag. The entries are shared between copies until one of them changes
// (copy on write), so passing bags by value — requests, replies, nested lists — costs a
// reference count, while every copy still behaves as an independent deep copy.
#include "quillmesh/PropertyBag.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
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

std::wstring_view KeyView(const wchar_t* key) {
    return key ? std::wstring_view(key) : std::wstring_view();
}

// Bags use few keys, over and over ("process", "cpu", "metric"): each is kept once, process-wide,
// and entries point at it instead of holding a copy. The first kMaxKeys distinct keys are kept;
// later ones are not, so keys made from data cannot grow the table without end. The table is
// never freed: a thread may still point into it while the process ends.
class SharedKeys {
  public:
    // The shared copy of `key`; null when it is not kept.
    static const std::wstring* Find(std::wstring_view key) {
        // Each thread remembers recent keys, so a key seen before costs neither a lock nor a copy.
        thread_local const std::wstring* recent[kRecentSlots] = {};
        const std::wstring*& slot = recent[Slot(key)];
        if (slot != nullptr && *slot == key) return slot;
        const std::wstring* shared = Instance().FindOrAdd(key);
        if (shared != nullptr) slot = shared;
        return shared;
    }

  private:
    static constexpr size_t kMaxKeys = 4096;
    static constexpr size_t kRecentSlots = 128;

    // A cheap spread of keys over the slots; a clash only costs a look into the table.
    static size_t Slot(std::wstring_view key) {
        size_t hash = key.size();
        for (wchar_t c : key) hash = hash * 33 + static_cast<size_t>(c);
        return hash % kRecentSlots;
    }

    static SharedKeys& Instance() {
        static SharedKeys* keys = new SharedKeys();
        return *keys;
    }

    const std::wstring* FindOrAdd(std::wstring_view key) {
        const std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_keys.find(key);
        if (found != m_keys.end()) return found->second.get();
        if (m_keys.size() >= kMaxKeys) return nullptr;
        auto text = std::make_unique<const std::wstring>(key);
        const std::wstring* shared = text.get();
        m_keys.emplace(std::wstring_view(*shared), std::move(text));
        return shared;
    }

    std::mutex m_lock;
    std::unordered_map<std::wstring_view, std::unique_ptr<const std::wstring>> m_keys;
};

// An entry's key: the shared copy, or its own when the key is not shared.
class EntryKey {
  public:
    explicit EntryKey(const wchar_t* key) : m_text(SharedKeys::Find(KeyView(key))) {
        if (m_text == nullptr) {
            m_own = std::make_unique<const std::wstring>(KeyView(key));
            m_text = m_own.get();
        }
    }
    EntryKey(const EntryKey& other)
        : m_own(other.m_own ? std::make_unique<const std::wstring>(*other.m_own) : nullptr),
          m_text(m_own ? m_own.get() : other.m_text) {}
    // A moved key keeps pointing at the same text: an own text stays where it is.
    EntryKey(EntryKey&&) noexcept = default;
    EntryKey& operator=(EntryKey other) noexcept {
        std::swap(m_own, other.m_own);
        std::swap(m_text, other.m_text);
        return *this;
    }

    const std::wstring& Text() const { return *m_text; }
    bool Is(std::wstring_view key) const { return *m_text == key; }

  private:
    std::unique_ptr<const std::wstring> m_own;
    const std::wstring* m_text;
};

}  // namespace

struct PropertyBag::Impl {
    using Value = std::variant<std::wstring, int32_t, int64_t, bool, PropertyBag>;
    struct Entry {
        EntryKey key;
        Value value;
    };
    // Room for a typical bag's entries (a process's eight), so that filling it is one allocation.
    static constexpr size_t kFirstCapacity = 8;

    std::atomic<long> references{1};
    std::vector<Entry> entries;
    bool error = false;
    int32_t errorCode = 0;
    std::wstring errorText;

    Impl() { entries.reserve(kFirstCapacity); }
    Impl(const Impl& other)
        : entries(other.entries),
          error(other.error),
          errorCode(other.errorCode),
          errorText(other.errorText) {}

    const Entry* Find(const wchar_t* key) const {
        const std::wstring_view wanted = KeyView(key);
        for (const Entry& entry : entries) {
            if (entry.key.Is(wanted)) return &entry;
        }
        return nullptr;
    }
    template <typename T>
    const T* FindValue(const wchar_t* key) const {
        const Entry* entry = Find(key);
        return entry ? std::get_if<T>(&entry->value) : nullptr;
    }
    void Add(const wchar_t* key, Value value) {
        entries.push_back(Entry{EntryKey(key), std::move(value)});
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
    Impl::Writable(m_impl).Add(key, std::wstring(text ? text : L""));
}
void PropertyBag::add(const wchar_t* key, const std::wstring& text) {
    Impl::Writable(m_impl).Add(key, text);
}
void PropertyBag::addInt(const wchar_t* key, int32_t value) {
    Impl::Writable(m_impl).Add(key, value);
}
void PropertyBag::addInt64(const wchar_t* key, int64_t value) {
    Impl::Writable(m_impl).Add(key, value);
}
void PropertyBag::addBool(const wchar_t* key, bool value) {
    Impl::Writable(m_impl).Add(key, value);
}
void PropertyBag::addBag(const wchar_t* key, const PropertyBag& bag, bool replace) {
    PropertyBag copy(bag);  // taken first: `bag` may be this bag or live inside it
    if (replace) remove(key, true);
    Impl::Writable(m_impl).Add(key, std::move(copy));
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
    const std::wstring_view wanted = KeyView(key);
    const std::vector<Impl::Entry>& entries = m_impl->entries;
    for (size_t index = position; index < entries.size(); ++index) {
        const auto* bag = std::get_if<PropertyBag>(&entries[index].value);
        if (bag && entries[index].key.Is(wanted)) {
            out = *bag;
            return index + 1;
        }
    }
    return 0;
}

bool PropertyBag::remove(const wchar_t* key, bool all) {
    if (!contains(key)) return false;
    const std::wstring_view wanted = KeyView(key);
    std::vector<Impl::Entry>& entries = Impl::Writable(m_impl).entries;
    for (auto it = entries.begin(); it != entries.end();) {
        if (!it->key.Is(wanted)) {
            ++it;
            continue;
        }
        it = entries.erase(it);
        if (!all) break;
    }
    return true;
}

bool PropertyBag::contains(const wchar_t* key) const {
    return m_impl && m_impl->Find(key) != nullptr;
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
    return index < size() ? m_impl->entries[index].key.Text() : EmptyText();
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
