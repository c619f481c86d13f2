// The size-class allocator: class figures, slab carving, stack-order reuse,
// refused requests and headers, a starved system allocator, and many threads
// at once.  Every figure follows from the header size H, so the same suite
// holds for the 64-bit build (H = 16) and the 32-bit one (H = 8).
#include "memory_internal.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <latch>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using namespace talvo::memory;

constexpr int H = header_size;

chunk_t *chunk_of(void *block) { return reinterpret_cast<chunk_t *>(static_cast<char *>(block) - H); }

std::array<chunk_t *, bucket_count> heads() {
    std::array<chunk_t *, bucket_count> all;
    for (int bucket = 0; bucket < bucket_count; ++bucket) all[bucket] = list_head(bucket);
    return all;
}

// Blocks that a test took, given back at its end so that no slab is lost.
std::vector<void *> held;
void *take(int size) { return held.emplace_back(tuk_malloc(size)); }

// Takes every chunk listed for the class of `size`, so that its next request
// starts a fresh slab or gets a fresh large block.
void drain(int size) {
    while (list_head(get_bucket(size)) != nullptr) take(size);
}

class Memory : public testing::Test {
protected:
    void TearDown() override {
        for (void *block : held) tuk_free(block);
        held.clear();
    }
};

// Both edges of the small classes, the 4096-byte chunk that is large by the
// bucket rule, the first large class and one from the middle, the largest
// request and the first refused one.
TEST(MemorySizes, ClassEdgesFollowFromTheHeader) {
    const std::array<int, 3> table[] = {
        {0, 1, 256},          {256 - H, 1, 256},         {257 - H, 2, 512},          {3841 - H, 16, 4096},
        {4095 - H, 16, 4096}, {4096 - H, 17, 4096},      {4097 - H, 18, 8192},       {69000, 33, 69632},
        {largest_request, 1023, 4124672}};
    for (auto [size, bucket, chunk] : table) {
        EXPECT_EQ(get_bucket(size), bucket) << size;
        EXPECT_EQ(get_chunk_size(size), chunk) << size;
    }
    EXPECT_EQ(largest_request, 4124672 - H);
    EXPECT_EQ(get_bucket(largest_request + 1), 1024);
    EXPECT_EQ(get_bucket(INT_MAX), 524305);
}

// The first request after the list ran dry gets the highest whole chunk of a
// new slab, the following ones step down one chunk at a time to offset 0.
// The classes at both ends of the slab range, and 3, whose chunks do not
// divide the slab.
TEST_F(Memory, SlabsAreCarvedUpwardAndHandedOutFromTheTop) {
    for (int bucket : {1, 3, 16, 17}) {
        SCOPED_TRACE(bucket);
        int chunk = bucket <= 16 ? 256 * bucket : 4096, size = chunk - H - (bucket == 16), count = 65536 / chunk;
        drain(size);
        auto *first = static_cast<char *>(take(size));
        ASSERT_NE(first, nullptr);
        char *slab = reinterpret_cast<char *>(chunk_of(first)) - (count - 1) * chunk;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(slab) % alignof(std::max_align_t), 0u);
        memset(first, bucket, size);
        for (int index = count - 2; index >= 0; --index) {
            void *block = take(size);
            ASSERT_EQ(block, slab + index * chunk + H) << index;
            ASSERT_EQ(chunk_of(block)->bucket, bucket);
            memset(block, bucket, size);
        }
        EXPECT_EQ(list_head(bucket), nullptr);
    }
}

TEST_F(Memory, FreedChunksComeBackInStackOrderAndLargeBlocksWhole) {
    // Both ends of bucket 2: one class, one list.
    void *a = tuk_malloc(512 - H), *b = tuk_malloc(257 - H), *c = tuk_malloc(300);
    for (void *block : {a, b, c}) tuk_free(block);
    EXPECT_EQ(list_head(2), chunk_of(c));
    EXPECT_EQ(take(257 - H), c);
    EXPECT_EQ(take(512 - H), b);
    EXPECT_EQ(take(400), a);

    for (auto [lowest, bucket, chunk] : {std::array{4097 - H, 18, 8192}, std::array{65537 - H, 33, 69632}}) {
        SCOPED_TRACE(bucket);
        drain(lowest);
        void *block = tuk_malloc(chunk - H);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(chunk_of(block)->bucket, bucket);
        EXPECT_EQ(list_head(bucket), nullptr);  // no slab, no spare chunk
        memset(block, 0x5a, chunk - H);
        tuk_free(block);
        EXPECT_EQ(list_head(bucket), chunk_of(block));
        EXPECT_EQ(tuk_malloc(lowest), block);  // any request of the class gets the very block
        tuk_free(block);
    }
    void *largest = tuk_malloc(largest_request);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(chunk_of(largest)->bucket, 1023);
    static_cast<char *>(largest)[largest_request - 1] = 1;
    tuk_free(largest);
}

TEST_F(Memory, RefusedRequestsAndCorruptHeadersTouchNoList) {
    void *block = take(100);
    tuk_free(tuk_malloc(100));  // list 1 is not empty: a refusal must not pop it
    auto before = heads();
    testing::internal::CaptureStderr();
    EXPECT_EQ(tuk_malloc(largest_request + 1), nullptr);
    EXPECT_EQ(tuk_malloc(INT_MAX), nullptr);
    EXPECT_EQ(tuk_malloc(-1), nullptr);
    tuk_free(nullptr);
    for (int bad : {5000, 1024, -1, INT_MIN}) {
        chunk_of(block)->bucket = bad;
        tuk_free(block);
    }
    std::string lines = testing::internal::GetCapturedStderr();
    std::string expected = "bad bucket size:" + std::to_string(largest_request + 1) +
                           " bucket:1024\nbad bucket size:2147483647 bucket:524305\nbad bucket size:-1 bucket:";
    EXPECT_EQ(lines.substr(0, expected.size()), expected);
    EXPECT_EQ(lines.substr(lines.find('\n', expected.size())), "\nno bucket\nno bucket\nno bucket\nno bucket\n");
    EXPECT_EQ(heads(), before);
    chunk_of(block)->bucket = 1;  // mended, so that the tear-down gives it back
}

// In a child whose address space is capped and filled, so that no slab and
// no large block can be had: refills fail with null and change no list, a
// listed chunk is still handed out, and slabs come again once memory is back.
void *volatile filler;  // volatile: the mallocs that fill memory cannot be dropped

bool starved_allocator_behaves() {
    constexpr int small = 2000, large = 100000;
    void *listed = tuk_malloc(100);
    tuk_free(listed);
    drain(small);
    drain(large);
    auto before = heads();
    rlimit old_limit{};
    getrlimit(RLIMIT_AS, &old_limit);
    rlimit limit = old_limit;
    FILE *statm = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1) return false;
    fclose(statm);
    limit.rlim_cur = pages * sysconf(_SC_PAGESIZE) + (1 << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
    for (size_t size = 1 << 20; size >= 16; size /= 16)
        for (void *p = malloc(size); p != nullptr; p = malloc(size)) filler = p;
    bool ok = tuk_malloc(small) == nullptr && tuk_malloc(large) == nullptr && heads() == before;
    void *again = tuk_malloc(100);
    tuk_free(again);
    ok = ok && again == listed && heads() == before;
    setrlimit(RLIMIT_AS, &old_limit);
    void *block = tuk_malloc(small);
    return ok && block != nullptr && chunk_of(block)->bucket == get_bucket(small);
}

TEST(MemoryStarved, FailingSystemAllocatorGivesNullAndLeavesListsIntact) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory does not fit under an address-space cap";
#endif
    EXPECT_EXIT(_exit(starved_allocator_behaves() ? 0 : 1), testing::ExitedWithCode(0), "");
}

// Four threads take and give back blocks of mixed classes at random.  Each
// block carries its owner's tag at both ends and a fill byte between; a block
// handed to two owners at once shows as a broken tag.  At the end every chunk
// ever handed out is back on its own class's list.
TEST(MemoryThreads, MixedClassesStayDistinctAndNothingIsLost) {
    constexpr int thread_count = 4, rounds = 50000;
    const int sizes[] = {8, 100, 256 - H, 257 - H, 700, 1000, 3000, 4095 - H, 4096 - H, 4097 - H, 20000, 69000};
    struct block_t {
        unsigned char *data;
        int size;
        uint64_t tag;
        bool intact() const {
            uint64_t head, tail;
            memcpy(&head, data, 8);
            memcpy(&tail, data + size - 8, 8);
            bool ok = head == tag && tail == tag;
            for (int i = 8; ok && i < size - 8; i += 97) ok = data[i] == static_cast<unsigned char>(tag);
            return ok;
        }
    };
    std::atomic<int> broken{0}, refused{0};
    std::vector<std::unordered_map<void *, int>> handed_out(thread_count);
    std::vector<std::thread> threads;
    std::latch start(thread_count);  // all at once, or the first may be done before the last begins
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            std::mt19937 random(t + 1);
            std::vector<block_t> held;
            for (uint64_t round = 0; round < rounds || !held.empty(); ++round) {
                if (round < rounds && (held.empty() || (held.size() < 48 && random() % 2 == 0))) {
                    int size = sizes[random() % std::size(sizes)];
                    auto *data = static_cast<unsigned char *>(tuk_malloc(size));
                    if (data == nullptr) {
                        ++refused;
                        continue;
                    }
                    block_t b{data, size, uint64_t(t + 1) << 32 | round};
                    memset(data, static_cast<unsigned char>(b.tag), size);
                    memcpy(data, &b.tag, 8);
                    memcpy(data + size - 8, &b.tag, 8);
                    held.push_back(b);
                    handed_out[t][data] = get_bucket(size);
                } else {
                    size_t index = random() % held.size();
                    broken += !held[index].intact();
                    tuk_free(held[index].data);
                    held[index] = held.back();
                    held.pop_back();
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(broken, 0);

    std::unordered_map<chunk_t *, int> listed;
    for (int bucket = 0; bucket < bucket_count; ++bucket) {
        size_t length = 0;
        for (chunk_t *chunk = list_head(bucket); chunk != nullptr; chunk = chunk->next) {
            ASSERT_LT(++length, size_t{1} << 24) << "list " << bucket << " loops";
            listed.emplace(chunk, chunk->bucket == bucket ? bucket : -1);
        }
    }
    size_t missing = 0;
    for (const auto &blocks : handed_out)
        for (const auto &[data, bucket] : blocks) {
            auto found = listed.find(chunk_of(data));
            missing += found == listed.end() || found->second != bucket;
        }
    EXPECT_EQ(missing, 0u);
}

}  // namespace
