// Internals of the size-class allocator (memory.cpp), visible to its own
// tests only: nothing here leaves the library.
#ifndef TALVO_MEMORY_INTERNAL_H
#define TALVO_MEMORY_INTERNAL_H

#include "talvo.h"

namespace talvo::memory {

inline constexpr int header_size = sizeof(chunk_t);
inline constexpr int bucket_count = 1024;
inline constexpr int slab_size = 65536;
inline constexpr int small_unit = 256;         // chunk step of buckets 1 to 16
inline constexpr int large_unit = 4096;        // chunk step from bucket 17 on
inline constexpr int large_bucket_base = 16;
inline constexpr int largest_request = large_unit * (bucket_count - 1 - large_bucket_base) - header_size;

__attribute__((visibility("hidden"))) int get_bucket(int size);
__attribute__((visibility("hidden"))) int get_chunk_size(int size);
// The head of a bucket's free list, read under the allocator's lock.
__attribute__((visibility("hidden"))) chunk_t *list_head(int bucket);

}  // namespace talvo::memory

#endif
