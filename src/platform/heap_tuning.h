// The C library's allocator, set for a program that builds its whole model at start-up.
#pragma once

#include <cstddef>

namespace qelm::platform {

/// How much of the main heap is laid out for transparent huge pages at the start: more than a
/// plant's panel (999 devices, 32,000 targets, 32 loudness monitors) holds before its first
/// screen.
inline constexpr std::size_t kHeapReserveBytes = std::size_t{32} << 20;

/// Called first in main, before any thread starts. Every thread then allocates from the one main
/// heap, whose first `kHeapReserveBytes` are advised for transparent huge pages; blocks up to
/// 4 MB come from it too. The engine thread builds the model: in an arena of its own, which
/// grows a page at a time, each page was a fault of its own, some 7,300 for a plant's panel,
/// the larger part of its start-up on a virtual machine; 1,200 so. Where the system has no huge
/// pages the heap is as before, shared by the threads. Nothing is done when GLIBC_TUNABLES sets
/// any of the allocator's tunables ("glibc.malloc."), the user's choice, nor under a sanitizer,
/// whose allocator is its own.
void tuneHeap();

/// Whether `tuneHeap` does anything in this build: not when a sanitizer's allocator replaces the
/// C library's.
bool heapTuningApplies();

}  // namespace qelm::platform
