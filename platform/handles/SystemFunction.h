// Functions of system libraries (ntdll.dll, kernel32.dll) that not every system has, or that not
// every SDK declares: looked up by name at their first use, in one way, and kept.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

// What one lookup came to.
enum class SystemFunctionLookup {
    Found,
    Absent,         // the library has no such function (ERROR_PROC_NOT_FOUND)
    ModuleMissing,  // GetModuleHandleW failed
    LookupFailed,   // GetProcAddress failed for another reason
};

// Absent is a final answer for a function the caller can do without; for one it needs, the
// next use looks again.
enum class IfAbsent { Keep, LookAgain };

// The answer is kept once it is final: found, or absent when `IfAbsent::Keep`. Any other failure
// is looked up again at the next use. Safe to use from any thread.
template <typename Function>
class SystemFunction {
  public:
    struct Result {
        Function function = nullptr;  // null unless found
        SystemFunctionLookup lookup = SystemFunctionLookup::LookupFailed;
        DWORD error = ERROR_SUCCESS;  // GetLastError() of the step that failed
        bool lookedUp = false;        // this use made the lookup; false for a kept answer
    };

    constexpr SystemFunction(const wchar_t* module, const char* name,
                             IfAbsent ifAbsent = IfAbsent::Keep)
        : m_moduleName(module), m_name(name), m_ifAbsent(ifAbsent) {}
    SystemFunction(const SystemFunction&) = delete;
    SystemFunction& operator=(const SystemFunction&) = delete;

    Result Get() {
        if (m_final.load(std::memory_order_acquire)) return Kept();
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_final.load(std::memory_order_relaxed)) return Kept();
        Result result = LookUp();
        const bool final =
            result.lookup == SystemFunctionLookup::Found ||
            (result.lookup == SystemFunctionLookup::Absent && m_ifAbsent == IfAbsent::Keep);
        if (final) {
            m_function.store(result.function, std::memory_order_relaxed);
            m_final.store(true, std::memory_order_release);
        }
        return result;
    }

    // The function, or null when it is absent or cannot be looked up now.
    Function Find() { return Get().function; }

    // The next use looks up again (tests that make the lookup fail).
    void Forget() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_final.store(false, std::memory_order_relaxed);
        m_function.store(nullptr, std::memory_order_relaxed);
        m_module = nullptr;
    }

  private:
    Result Kept() const {
        const Function function = m_function.load(std::memory_order_relaxed);
        return {function,
                function != nullptr ? SystemFunctionLookup::Found : SystemFunctionLookup::Absent,
                ERROR_SUCCESS, false};
    }

    // Under the lock. The module handle is kept once found: system libraries stay loaded.
    Result LookUp() {
        if (m_module == nullptr) {
            m_module = GetModuleHandleW(m_moduleName);
            if (m_module == nullptr) {
                return {nullptr, SystemFunctionLookup::ModuleMissing, GetLastError(), true};
            }
        }
        // GetProcAddress hands back a generic function pointer; `Function` is the real type.
        const auto function = reinterpret_cast<Function>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_module, m_name)));
        if (function != nullptr)
            return {function, SystemFunctionLookup::Found, ERROR_SUCCESS, true};
        const DWORD error = GetLastError();
        return {nullptr,
                error == ERROR_PROC_NOT_FOUND ? SystemFunctionLookup::Absent
                                              : SystemFunctionLookup::LookupFailed,
                error, true};
    }

    const wchar_t* const m_moduleName;
    const char* const m_name;
    const IfAbsent m_ifAbsent;
    std::mutex m_lock;
    HMODULE m_module = nullptr;
    std::atomic<Function> m_function{nullptr};
    std::atomic<bool> m_final{false};
};
