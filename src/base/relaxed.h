#pragma once

#include <atomic>

// A single word shared between threads without a lock. Each reader needs only
// some recent value, never an ordering with other words, so relaxed access is
// enough; wrapping it keeps the call sites as plain as the word they replace.
template <typename T>
class Relaxed {
    // A word that needs a hidden lock would be neither cheap nor free of the
    // waits this wrapper is meant to avoid, on either platform.
    static_assert(std::atomic<T>::is_always_lock_free, "Relaxed<T> needs a lock-free word");

public:
    constexpr Relaxed() noexcept : m_value(T{}) {}
    constexpr Relaxed(T value) noexcept : m_value(value) {}
    Relaxed(const Relaxed& other) noexcept : m_value(other.load()) {}

    Relaxed& operator=(const Relaxed& other) noexcept
    {
        store(other.load());
        return *this;
    }
    Relaxed& operator=(T value) noexcept
    {
        store(value);
        return *this;
    }
    operator T() const noexcept { return load(); }

    T load() const noexcept { return m_value.load(std::memory_order_relaxed); }
    void store(T value) noexcept { m_value.store(value, std::memory_order_relaxed); }
    T exchange(T value) noexcept { return m_value.exchange(value, std::memory_order_relaxed); }

private:
    std::atomic<T> m_value;
};
