// Size-class allocator for the library's records.  Blocks of up to one page
// are carved from 64 KiB slabs; larger ones come one by one from malloc.
// Nothing is ever given back to the system: a freed block waits on its
// bucket's list for the next request of the same class.
#include "talvo.h"

#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace {

constexpr int header_size = sizeof(chunk_t);
constexpr int bucket_count = 1024;
constexpr int slab_size = 65536;
constexpr int small_unit = 256;
constexpr int large_unit = 4096;
constexpr int large_bucket_base = 16;

chunk_t *buckets[bucket_count];
pthread_mutex_t mem_lock = PTHREAD_MUTEX_INITIALIZER;

// Computed in 64 bits so that no int request can overflow the arithmetic.
long long need_of(int size) { return static_cast<long long>(size) + header_size; }

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

chunk_t *pop(int bucket) {
    pthread_mutex_lock(&mem_lock);
    chunk_t *chunk = buckets[bucket];
    if (chunk != nullptr) buckets[bucket] = chunk->next;
    pthread_mutex_unlock(&mem_lock);
    return chunk;
}

// Cuts a fresh slab into chunks of the bucket's size; the highest one is the
// caller's, the rest go on the list below whatever it already held.
chunk_t *refill_from_slab(int bucket, int chunk_size) {
    pthread_mutex_lock(&mem_lock);
    char *slab = static_cast<char *>(malloc(slab_size));
    if (slab == nullptr) {
        pthread_mutex_unlock(&mem_lock);
        return nullptr;
    }
    chunk_t *previous = buckets[bucket];
    chunk_t *chunk = nullptr;
    for (int offset = 0; offset + chunk_size <= slab_size; offset += chunk_size) {
        chunk = reinterpret_cast<chunk_t *>(slab + offset);
        chunk->bucket = bucket;
        chunk->next = previous;
        previous = chunk;
    }
    buckets[bucket] = chunk->next;
    pthread_mutex_unlock(&mem_lock);
    return chunk;
}

}  // namespace

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
    unsigned bucket = static_cast<unsigned>(chunk->bucket);
    if (bucket >= bucket_count) {
        fputs("no bucket\n", stderr);
        return;
    }
    pthread_mutex_lock(&mem_lock);
    chunk->next = buckets[bucket];
    buckets[bucket] = chunk;
    pthread_mutex_unlock(&mem_lock);
}
