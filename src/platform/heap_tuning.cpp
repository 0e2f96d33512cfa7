#include "platform/heap_tuning.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qelm::platform {

namespace {

constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;
// Blocks up to this size come from the heap; larger ones are mapped on their own.
constexpr int kLargestHeapBlock = 4 << 20;
// The C library's own limit of mapped blocks, restored after the reserve is laid out.
constexpr int kMappedBlocksLimit = 65536;

}  // namespace

bool heapTuningApplies() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

void tuneHeap() {
  if (!heapTuningApplies()) return;
  // Whoever sets the allocator's own tunables has chosen: theirs hold.
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables != nullptr && std::strstr(tunables, "glibc.malloc.") != nullptr) return;
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  // The reserve, freed below, stays the top of the heap instead of going back to the system.
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(kHeapReserveBytes + kHugePageBytes));
  // The reserve is taken from the heap, never mapped on its own, and given back to it at once:
  // the blocks the program allocates next are carved out of it.
  mallopt(M_MMAP_MAX, 0);
  void* reserve = std::malloc(kHeapReserveBytes);
  mallopt(M_MMAP_MAX, kMappedBlocksLimit);
  if (reserve == nullptr) return;
  const auto start = reinterpret_cast<std::uintptr_t>(reserve);
  const std::uintptr_t first = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::uintptr_t end = (start + kHeapReserveBytes) & ~(kHugePageBytes - 1);
  // Refused where the kernel has no transparent huge pages: the heap is then as it was.
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  std::free(reserve);
}

}  // namespace qelm::platform
