#pragma once

namespace velbor {

// The daemon runs dozens of short-lived and pooled threads (workers, crypto pool, queues):
// glibc gives each a malloc arena of its own, and the freed memory they keep made a device
// hold 70-85 MB after a pull of many small files instead of about 50. Call first in `main`,
// before any thread starts; MALLOC_ARENA_MAX in the environment still decides when set.
// Large blocks (file parts) stay in the heaps rather than being mapped and unmapped each
// time; MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_ still decide when set.
void limitMallocArenas();

// Hands the free pages inside the heaps back to the system, not only those at their top:
// after a burst of large blocks has been freed, the holes it leaves would otherwise stay
// resident for as long as the process lives. Walks every heap: for after large frees, not
// for every free.
void releaseFreeHeapMemory();

}  // namespace velbor
