// Read by ThreadSanitizer at start-up; an unused function in other builds.
//
// Boost.Lockfree's node freelist is a tagged-index stack: a thread that lost
// a race may read the link of a node another thread is reusing, and the tag
// in the compare-and-swap then discards what it read. Those plain reads of
// memory that is also accessed atomically are the design, not a fault here.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
  return "race:boost::lockfree::detail::fixed_size_freelist\n";
}
