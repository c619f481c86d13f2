// Size-class allocator for the library's records.  Blocks of up to one page
// are carved from 64 KiB slabs; larger ones come one by one from malloc.
// Nothing is ever given back to the system: a freed block waits on its
// bucket's list for the next request of the same class.
#include "memory_internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/single_threaded.h>

namespace talvo::memory {

namespace {

// Tells the core that this is a spin-wait loop.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The one lock over every list.  It is held for a few instructions (or one
// slab refill), so taking it is a single exchange and giving it back a plain
// release store: one locked instruction per operation, where a futex mutex
// needs two.  A waiter backs off with growing pauses, then yields its CPU to
// whoever holds the lock.  While the process has a single thread nobody can
// compete, and the locked instruction is skipped as glibc's own locks do.
class spin_lock {
public:
    void lock() {
        if (__libc_single_threaded) {
            held_.store(true, std::memory_order_relaxed);
            return;
        }
        if (held_.exchange(true, std::memory_order_acquire)) lock_contended();
    }

    void unlock() { held_.store(false, std::memory_order_release); }

private:
    static constexpr int max_pauses = 64;

    void lock_contended() {
        int pauses = 1;
        do {
            while (held_.load(std::memory_order_relaxed)) {
                if (pauses <= max_pauses) {
                    for (int i = 0; i < pauses; ++i) cpu_relax();
                    pauses *= 2;
                } else {
                    sched_yield();
                }
            }
        } while (held_.exchange(true, std::memory_order_acquire));
    }

    std::atomic<bool> held_{false};
};

constinit spin_lock mem_lock;
chunk_t *buckets[bucket_count];

class mem_guard {
public:
    mem_guard() { mem_lock.lock(); }
    ~mem_guard() { mem_lock.unlock(); }
    mem_guard(const mem_guard &) = delete;
    mem_guard &operator=(const mem_guard &) = delete;
};

// Computed in 64 bits so that no int request can overflow the arithmetic.
long long need_of(int size) { return static_cast<long long>(size) + header_size; }

chunk_t *pop(int bucket) {
    mem_guard guard;
    chunk_t *chunk = buckets[bucket];
    if (chunk != nullptr) buckets[bucket] = chunk->next;
    return chunk;
}

// Cuts a fresh slab into chunks of the bucket's size from offset 0 upward;
// the highest one is the caller's, the rest go on the list on top of
// whatever it holds by now.  The lock covers the malloc too, so two threads
// that find the list empty cost at most one extra slab.
chunk_t *refill_from_slab(int bucket, int chunk_size) {
    mem_guard guard;
    char *slab = static_cast<char *>(malloc(slab_size));
    if (slab == nullptr) return nullptr;
    chunk_t *previous = buckets[bucket];
    chunk_t *chunk = nullptr;
    for (int offset = 0; offset + chunk_size <= slab_size; offset += chunk_size) {
        chunk = reinterpret_cast<chunk_t *>(slab + offset);
        chunk->bucket = bucket;
        chunk->next = previous;
        previous = chunk;
    }
    buckets[bucket] = chunk->next;
    return chunk;
}

}  // namespace

int get_bucket(int size) {
    long long need = need_of(size);
    if (need < large_unit) return static_cast<int>((need + small_unit - 1) / small_unit);
    return static_cast<int>(large_bucket_base + (need + large_unit - 1) / large_unit);
}

int get_chunk_size(int size) {
    int bucket = get_bucket(size);
    if (need_of(size) < large_unit) return small_unit * bucket;
    return large_unit * (bucket - large_bucket_base);
}

chunk_t *list_head(int bucket) {
    mem_guard guard;
    return buckets[bucket];
}

}  // namespace talvo::memory

using namespace talvo::memory;

extern "C" void *tuk_malloc(int size) {
    int bucket = get_bucket(size);
    if (size < 0 || bucket >= bucket_count) {
        fprintf(stderr, "bad bucket size:%d bucket:%d\n", size, bucket);
        return nullptr;
    }
    chunk_t *chunk = pop(bucket);
    if (chunk == nullptr) {
        int chunk_size = get_chunk_size(size);
        if (need_of(size) > large_unit) {
            // A large block is the caller's alone until freed: no lock needed.
            chunk = static_cast<chunk_t *>(malloc(chunk_size));
            if (chunk == nullptr) return nullptr;
            chunk->bucket = bucket;
        } else {
            chunk = refill_from_slab(bucket, chunk_size);
            if (chunk == nullptr) return nullptr;
        }
    }
    chunk->next = nullptr;
    return reinterpret_cast<char *>(chunk) + header_size;
}

extern "C" void tuk_free(void *v_data) {
    if (v_data == nullptr) return;
    chunk_t *chunk = reinterpret_cast<chunk_t *>(static_cast<char *>(v_data) - header_size);
    int bucket = chunk->bucket;
    // Unsigned, so that a negative bucket is refused as well.
    if (static_cast<unsigned>(bucket) >= bucket_count) {
        fputs("no bucket\n", stderr);
        return;
    }
    mem_guard guard;
    chunk->next = buckets[bucket];
    buckets[bucket] = chunk;
}
