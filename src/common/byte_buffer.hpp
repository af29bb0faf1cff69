// The work buffer of a body. Its allocator leaves new bytes uninitialised on resize: a
// decoder sizes the buffer to what the input can produce and writes every byte it keeps,
// so zero-filling first would be a wasted pass over memory.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace native_accel {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* where) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(where)) U;  // default-init: no zeroing for bytes
    }
    template <class U, class... Args>
    void construct(U* where, Args&&... args) {
        ::new (static_cast<void*>(where)) U(std::forward<Args>(args)...);
    }
};

using ByteBuffer = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

}  // namespace native_accel
