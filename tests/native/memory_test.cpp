// The size-class allocator: class figures, slab carving, stack-order reuse,
// refusals, and many threads at once.  Every figure follows from the header
// size H: the suite holds for H = 16 and H = 8.
#include "memory_internal.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <latch>
#include <random>
#include <thread>
#include <unordered_map>
#include <utility>
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
void drain(int size) { while (list_head(get_bucket(size)) != nullptr) take(size); }

class Memory : public testing::Test {
    void TearDown() override { for (void *block : std::exchange(held, {})) tuk_free(block); }
};

// Both edges of the small classes, the 4096-byte chunk that is large by the bucket rule,
// the first large class and one from the middle, the largest request and the first refused.
TEST(MemorySizes, ClassEdgesFollowFromTheHeader) {
    const std::array<int, 3> table[] = {
        {0, 1, 256},          {256 - H, 1, 256},         {257 - H, 2, 512},          {3841 - H, 16, 4096},
        {4095 - H, 16, 4096}, {4096 - H, 17, 4096},      {4097 - H, 18, 8192},       {69000, 33, 69632},
        {largest_request, 1023, 4124672}};
    for (auto [size, bucket, chunk] : table) {
        EXPECT_EQ(get_bucket(size), bucket) << size;
        EXPECT_EQ(get_chunk_size(size), chunk) << size;
    }
    EXPECT_EQ(get_bucket(largest_request + 1), 1024);
    EXPECT_EQ(get_bucket(INT_MAX), 524305);
}

// After the list ran dry a request gets the highest whole chunk of a new slab, the next ones
// step down to offset 0: the classes at both ends of the slab range, and 3, which leaves a rest.
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

// Both ends of bucket 2 share one list, last freed first out.  A large block
// is carved alone and comes back whole to any request of its class.
TEST_F(Memory, FreedChunksComeBackInStackOrderAndLargeBlocksWhole) {
    void *a = tuk_malloc(512 - H), *b = tuk_malloc(257 - H), *c = tuk_malloc(300);
    for (void *block : {a, b, c}) tuk_free(block);
    EXPECT_EQ(list_head(2), chunk_of(c));
    EXPECT_EQ(take(257 - H), c);
    EXPECT_EQ(take(512 - H), b);
    EXPECT_EQ(take(400), a);
    for (auto [bucket, chunk] : {std::pair{18, 8192}, {33, 69632}, {1023, 4124672}}) {
        SCOPED_TRACE(bucket);
        int lowest = chunk - 4095 - H;
        drain(lowest);
        auto *block = static_cast<char *>(tuk_malloc(chunk - H));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(chunk_of(block)->bucket, bucket);
        EXPECT_EQ(list_head(bucket), nullptr);  // no slab, no spare chunk
        memset(block, 0x5a, chunk - H);
        tuk_free(block);
        EXPECT_EQ(list_head(bucket), chunk_of(block));
        EXPECT_EQ(take(lowest), block);
    }
}

// Requests out of range and frees of a block whose header names no list are
// refused (and logged), and no list changes.
TEST_F(Memory, RefusedRequestsAndCorruptHeadersTouchNoList) {
    void *block = take(100);
    tuk_free(tuk_malloc(100));  // list 1 is not empty: a refusal must not pop it
    auto before = heads();
    testing::internal::CaptureStderr();
    for (int size : {largest_request + 1, INT_MAX, -1}) EXPECT_EQ(tuk_malloc(size), nullptr);
    tuk_free(nullptr);
    for (int bad : {5000, 1024, -1, INT_MIN}) {
        chunk_of(block)->bucket = bad;
        tuk_free(block);
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(heads(), before);
    chunk_of(block)->bucket = 1;  // mended, so that the tear-down gives it back
}

// Four threads take and give back blocks of mixed classes at random.  Each block carries its
// owner's tag at both ends and the tag's low byte between, so a block handed to two owners at
// once shows as a broken tag.  At the end every chunk handed out is back on its class's list.
TEST(MemoryThreads, MixedClassesStayDistinctAndNothingIsLost) {
    constexpr int thread_count = 4, rounds = 50000;
    const int sizes[] = {8, 100, 256 - H, 257 - H, 700, 1000, 3000, 4095 - H, 4096 - H, 4097 - H, 20000, 69000};
    struct block_t {
        unsigned char *data;
        int size;
        uint64_t tag;
        bool intact() const {
            bool ok = memcmp(data, &tag, 8) == 0 && memcmp(data + size - 8, &tag, 8) == 0;
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
            std::vector<block_t> mine;
            for (uint64_t round = 0; round < rounds || !mine.empty(); ++round) {
                if (round < rounds && (mine.empty() || (mine.size() < 48 && random() % 2 == 0))) {
                    int size = sizes[random() % std::size(sizes)];
                    block_t b{static_cast<unsigned char *>(tuk_malloc(size)), size, uint64_t(t + 1) << 32 | round};
                    if (b.data == nullptr) { ++refused; continue; }
                    memset(b.data, static_cast<unsigned char>(b.tag), size);
                    memcpy(b.data, &b.tag, 8);
                    memcpy(b.data + size - 8, &b.tag, 8);
                    mine.push_back(b);
                    handed_out[t][b.data] = get_bucket(size);
                } else {
                    size_t index = random() % mine.size();
                    broken += !mine[index].intact();
                    tuk_free(mine[index].data);
                    mine[index] = mine.back();
                    mine.pop_back();
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(broken, 0);

    std::unordered_map<chunk_t *, int> listed;  // chunk -> its list, or -1 if its header names another
    for (int bucket = 0; bucket < bucket_count; ++bucket)
        for (chunk_t *chunk = list_head(bucket); chunk != nullptr; chunk = chunk->next)
            ASSERT_TRUE(listed.emplace(chunk, chunk->bucket == bucket ? bucket : -1).second) << "listed twice";
    size_t missing = 0;
    for (const auto &blocks : handed_out)
        for (const auto &[data, bucket] : blocks) {
            auto found = listed.find(chunk_of(data));
            missing += found == listed.end() || found->second != bucket;
        }
    EXPECT_EQ(missing, 0u);
}

}  // namespace
