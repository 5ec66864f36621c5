// Makes the test binary's operator new fail on demand, to drive code through
// the allocation failures it must survive. Only allocations through operator
// new of this binary count (not malloc, not other modules' own allocators).
#pragma once

namespace quillon::testing {

// While alive, the `nth` allocation from its construction on (1: the next
// one) throws std::bad_alloc; with `forGood`, so does every one after it.
class FailingAllocations {
public:
    explicit FailingAllocations(long nth, bool forGood = false);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;

    // Whether an allocation has been made to fail.
    bool reached() const;
};

}  // namespace quillon::testing
