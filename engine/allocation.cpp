// The allocation seam: one place through which the engine and the transport
// obtain memory, so that every out-of-memory path can be exercised.
#include <atomic>
#include <cstdlib>

#include "LCMP_comm.h"

namespace lcmp {
namespace {
// Off until a test first calls FailAllocation: then allocations are counted
// (and failed when asked). Production pays one relaxed load per allocation.
std::atomic<bool> gTesting{false};
std::atomic<std::size_t> gFailAt{0};
std::atomic<bool> gPersistent{false};
std::atomic<std::size_t> gCount{0};
}  // namespace

void *Allocate(std::size_t size) noexcept {
    if (!gTesting.load(std::memory_order_relaxed)) return std::malloc(size == 0 ? 1 : size);
    if (gFailAt.load(std::memory_order_relaxed) != 0) {
        const std::size_t n = gCount.fetch_add(1, std::memory_order_relaxed) + 1;
        const std::size_t k = gFailAt.load(std::memory_order_relaxed);
        if (n == k || (gPersistent.load(std::memory_order_relaxed) && n >= k)) return nullptr;
    } else {
        gCount.fetch_add(1, std::memory_order_relaxed);
    }
    return std::malloc(size == 0 ? 1 : size);
}

void Release(void *p) noexcept { std::free(p); }

namespace testing {
void FailAllocation(std::size_t k, bool persistent) noexcept {
    gTesting.store(true, std::memory_order_relaxed);
    gCount.store(0, std::memory_order_relaxed);
    gPersistent.store(persistent, std::memory_order_relaxed);
    gFailAt.store(k, std::memory_order_relaxed);
}
std::size_t AllocationCount() noexcept { return gCount.load(std::memory_order_relaxed); }
}  // namespace testing

}  // namespace lcmp
