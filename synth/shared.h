#pragma once
// A field that the main thread and the stream thread both touch.
//
// Reads and writes are single relaxed atomic accesses: each one sees either
// the old or the new value, never a torn one, and neither thread ever waits.
#include <atomic>

template <typename T>
class Shared {
public:
    Shared(T initial = T()) : value_(initial) {}
    Shared(const Shared& other) : value_(other.load()) {}
    Shared& operator=(const Shared& other) { store(other.load()); return *this; }
    Shared& operator=(T v) { store(v); return *this; }

    operator T() const { return load(); }
    T load() const { return value_.load(std::memory_order_relaxed); }
    void store(T v) { value_.store(v, std::memory_order_relaxed); }

private:
    static_assert(std::atomic<T>::is_always_lock_free, "shared fields must be lock-free");
    std::atomic<T> value_;
};
