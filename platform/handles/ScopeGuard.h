// Undoes something on every way out of a scope, written once where the thing is taken: a slot
// taken, a counter bumped. dismiss() keeps it when the work went through.
#pragma once

#include <utility>

template <typename Action>
class [[nodiscard]] ScopeGuard {
  public:
    explicit ScopeGuard(Action action) : m_action(std::move(action)) {}
    ~ScopeGuard() {
        if (m_armed) m_action();
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;

    void dismiss() { m_armed = false; }

  private:
    Action m_action;
    bool m_armed = true;
};
