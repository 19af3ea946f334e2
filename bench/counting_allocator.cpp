// Replaces the global operator new so that the clients can count the heap allocations an
// exchange makes. Every form of new ends in CountedAllocate; delete is plain free.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace OrvaneBench {
namespace {
std::atomic<unsigned long> allocations{0};

void* CountedAllocate(std::size_t size, std::size_t alignment) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) {
        size = 1;
    }
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else if (posix_memalign(&p, alignment, size) != 0) {
        p = nullptr;
    }
    return p;
}
}  // namespace

unsigned long AllocationCount() {
    return allocations.load(std::memory_order_relaxed);
}
}  // namespace OrvaneBench

using OrvaneBench::CountedAllocate;

void* operator new(std::size_t size) {
    if (void* p = CountedAllocate(size, 0)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, std::align_val_t a) {
    if (void* p = CountedAllocate(size, static_cast<std::size_t>(a))) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return operator new(size, a);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedAllocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedAllocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
