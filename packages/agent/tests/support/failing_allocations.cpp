#include "support/failing_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace quillon::testing {
namespace {

// 0: off; otherwise the allocations still to go before the failing one.
std::atomic<long> countdown{0};
std::atomic<bool> failForGood{false};
std::atomic<bool> failed{false};

bool nextAllocationFails() {
    if (failed && failForGood) return true;
    long left = countdown.load();
    while (left > 0 && !countdown.compare_exchange_weak(left, left - 1)) {
    }
    if (left != 1) return false;
    failed = true;
    return true;
}

}  // namespace

FailingAllocations::FailingAllocations(long nth, bool forGood) {
    failed = false;
    failForGood = forGood;
    countdown = nth;
}

FailingAllocations::~FailingAllocations() {
    countdown = 0;
    failForGood = false;
}

bool FailingAllocations::reached() const { return failed; }

}  // namespace quillon::testing

void* operator new(std::size_t size) {
    if (quillon::testing::nextAllocationFails()) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// The nothrow forms, as the standard library defines them (through the two
// above), stated here so that they pair with these two in every build: under
// AddressSanitizer the library's own would take its allocator instead, and a
// block from it, freed above, is a mismatch (std::stable_sort's buffer).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }
