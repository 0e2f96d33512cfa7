#include "platform/heap_tuning.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace qelm::platform {
namespace {

/// Whether `address` lies in a mapping of this process advised for transparent huge pages
/// ("hg" among the VmFlags of /proc/self/smaps).
bool inHugePageMapping(const void* address) {
  const auto wanted = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::istringstream fields(line);
    if (fields >> std::hex >> start >> dash >> end && dash == '-' && line.find(' ') > 8) {
      inside = wanted >= start && wanted < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return (line + ' ').find(" hg ") != std::string::npos;
    }
  }
  return false;
}

TEST(HeapTuningTest, EveryThreadAllocatesFromTheMainHeapLaidOutForHugePages) {
  if (!heapTuningApplies()) GTEST_SKIP() << "a sanitizer's allocator is its own";
  if (access("/sys/kernel/mm/transparent_hugepage", F_OK) != 0) {
    GTEST_SKIP() << "the kernel has no transparent huge pages";
  }
  // The tuning is for a program's start: a process of its own, started afresh. A block of 3 MB
  // comes from the heap, not a mapping of its own, and reaches past the reserve's first
  // huge-page boundary; another thread's block comes after it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto tunedBlocks = [](const char* tunables) {
    if (tunables != nullptr) setenv("GLIBC_TUNABLES", tunables, 1);
    tuneHeap();
    const std::unique_ptr<char[]> mine(new char[3 << 20]);
    std::unique_ptr<char[]> theirs;
    std::thread([&theirs] { theirs.reset(new char[64 << 10]); }).join();
    const bool advised =
        inHugePageMapping(mine.get() + (3 << 20) - 1) && inHugePageMapping(theirs.get());
    std::exit(advised ? 0 : 1);
  };
  EXPECT_EXIT(tunedBlocks(nullptr), testing::ExitedWithCode(0), "");
  // The allocator's own tunables, set by the user, hold instead.
  EXPECT_EXIT(tunedBlocks("glibc.malloc.tcache_count=7"), testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace qelm::platform
