// The size-class allocator: class boundaries, slab carving, stack-order
// reuse, refused requests and headers, a starved system allocator, and many
// threads at once.  Every figure follows from the header size H, so the same
// suite holds for the 64-bit build (H = 16) and the 32-bit one (H = 8).
#include "memory_internal.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

char *chunk_of(void *block) { return static_cast<char *>(block) - H; }
int bucket_of(void *block) { return reinterpret_cast<chunk_t *>(chunk_of(block))->bucket; }
void set_bucket_of(void *block, int bucket) { reinterpret_cast<chunk_t *>(chunk_of(block))->bucket = bucket; }

using heads_t = std::array<chunk_t *, bucket_count>;

heads_t heads() {
    heads_t all;
    for (int bucket = 0; bucket < bucket_count; ++bucket) all[bucket] = list_head(bucket);
    return all;
}

// The largest request of every slab-carved bucket 1..17 (bucket 16 ends at
// need 4095, bucket 17 holds need 4096 alone) and its chunk size.
int top_size(int bucket) { return bucket <= 16 ? std::min(256 * bucket, 4095) - H : 4096 - H; }
int slab_chunk(int bucket) { return bucket <= 16 ? 256 * bucket : 4096; }

class MemoryTest : public ::testing::Test {
protected:
    // Takes every chunk listed for the class of `size`, so that its next
    // request starts a fresh slab or gets a fresh large block.
    void drain(int size) {
        int bucket = get_bucket(size);
        while (list_head(bucket) != nullptr) take(size);
    }

    void *take(int size) {
        void *block = tuk_malloc(size);
        if (block != nullptr) held_.push_back(block);
        return block;
    }

    void give_back(void *block) {
        held_.erase(std::find(held_.begin(), held_.end(), block));
        tuk_free(block);
    }

    void TearDown() override {
        for (void *block : held_) tuk_free(block);
    }

    std::vector<void *> held_;
};

TEST(MemorySizes, ClassBoundariesFollowFromTheHeader) {
    for (int bucket = 1; bucket <= 16; ++bucket) {
        int lowest = bucket == 1 ? 0 : 256 * (bucket - 1) - H + 1;
        for (int size : {lowest, top_size(bucket)}) {
            EXPECT_EQ(get_bucket(size), bucket) << size;
            EXPECT_EQ(get_chunk_size(size), 256 * bucket) << size;
        }
    }
    // need 4096 is large by the bucket rule but still a 4096-byte chunk.
    EXPECT_EQ(get_bucket(4096 - H), 17);
    EXPECT_EQ(get_chunk_size(4096 - H), 4096);
    for (int bucket = 18; bucket < bucket_count; ++bucket) {
        for (int size : {4096 * (bucket - 17) - H + 1, 4096 * (bucket - 16) - H}) {
            EXPECT_EQ(get_bucket(size), bucket) << size;
            EXPECT_EQ(get_chunk_size(size), 4096 * (bucket - 16)) << size;
        }
    }
    EXPECT_EQ(largest_request, 4124672 - H);
    EXPECT_EQ(get_bucket(largest_request), 1023);
    EXPECT_EQ(get_bucket(largest_request + 1), 1024);
    EXPECT_EQ(get_bucket(INT_MAX), 524305);
}

// The first request after the list ran dry gets the highest chunk of a new
// slab, the following ones step down one chunk at a time to offset 0, and the
// slab then is used up with no chunk past its end.  The classes at both ends
// of the slab range, and 3, whose chunks do not divide the slab.
TEST_F(MemoryTest, SlabsAreCarvedUpwardAndHandedOutFromTheTop) {
    for (int bucket : {1, 3, 16, 17}) {
        SCOPED_TRACE(bucket);
        int size = top_size(bucket), chunk = slab_chunk(bucket), count = slab_size / chunk;
        drain(size);
        char *first = static_cast<char *>(take(size));
        ASSERT_NE(first, nullptr);
        char *slab = chunk_of(first) - (count - 1) * chunk;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(slab) % alignof(std::max_align_t), 0u);
        // The block reaches the chunk's end, the slab's last whole chunk.
        memset(first, bucket, size);
        EXPECT_LE(first + size, slab + slab_size);
        for (int index = count - 2; index >= 0; --index) {
            void *block = take(size);
            ASSERT_EQ(block, slab + index * chunk + H) << index;
            ASSERT_EQ(bucket_of(block), bucket);
            memset(block, bucket, size);
        }
        EXPECT_EQ(list_head(bucket), nullptr);
    }
}

TEST_F(MemoryTest, FreedChunksComeBackInStackOrder) {
    // Both ends of bucket 2: one class, one list.
    void *a = take(512 - H), *b = take(256 - H + 1), *c = take(300);
    ASSERT_TRUE(a && b && c);
    for (void *block : {a, b, c}) give_back(block);
    EXPECT_EQ(list_head(2), reinterpret_cast<chunk_t *>(chunk_of(c)));
    EXPECT_EQ(take(256 - H + 1), c);
    EXPECT_EQ(take(512 - H), b);
    EXPECT_EQ(take(400), a);
}

TEST_F(MemoryTest, LargeBlocksAreOwnedAndReusedWhole) {
    // The first class past the slabs and one from the middle of the table.
    for (auto [size, bucket, chunk] : {std::array{4097 - H, 18, 8192}, std::array{69000, 33, 69632}}) {
        SCOPED_TRACE(size);
        drain(size);
        void *block = take(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(bucket_of(block), bucket);
        EXPECT_EQ(list_head(bucket), nullptr);  // no slab, no spare chunk
        memset(block, 0x5a, chunk - H);
        give_back(block);
        EXPECT_EQ(list_head(bucket), reinterpret_cast<chunk_t *>(chunk_of(block)));
        // Any request of the class gets the very block back.
        int lowest = 4096 * (bucket - 17) - H + 1;
        EXPECT_EQ(take(lowest), block);
        give_back(block);
        EXPECT_EQ(take(chunk - H), block);
    }
    void *largest = take(largest_request);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(bucket_of(largest), 1023);
    static_cast<char *>(largest)[largest_request - 1] = 1;
}

TEST_F(MemoryTest, RefusedRequestsTouchNoList) {
    void *listed = take(100);
    give_back(listed);  // list 1 is not empty: a refusal must not pop it
    heads_t before = heads();
    testing::internal::CaptureStderr();
    EXPECT_EQ(tuk_malloc(largest_request + 1), nullptr);
    EXPECT_EQ(tuk_malloc(INT_MAX), nullptr);
    EXPECT_EQ(tuk_malloc(-1), nullptr);
    tuk_free(nullptr);
    std::string lines = testing::internal::GetCapturedStderr();
    std::string expected = "bad bucket size:" + std::to_string(largest_request + 1) +
                           " bucket:1024\nbad bucket size:2147483647 bucket:524305\n";
    EXPECT_EQ(lines.substr(0, expected.size()), expected);
    EXPECT_EQ(lines.substr(expected.size()).rfind("bad bucket size:-1 bucket:", 0), 0u) << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3);
    EXPECT_EQ(heads(), before);
}

TEST_F(MemoryTest, CorruptHeaderIsDroppedWithNoBucket) {
    void *block = take(100);
    ASSERT_NE(block, nullptr);
    heads_t before = heads();
    for (int bad : {5000, 1024, -1, INT_MIN}) {
        set_bucket_of(block, bad);
        testing::internal::CaptureStderr();
        tuk_free(block);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "no bucket\n") << bad;
        EXPECT_EQ(heads(), before) << bad;
    }
    set_bucket_of(block, 1);  // mended, so that the fixture frees it normally
}

// In a child whose address space is capped and filled, so that no slab and
// no large block can be had: refills fail with null and change no list, a
// listed chunk is still handed out, and slabs come again once memory is back.
void *volatile filler;  // volatile: the mallocs that fill memory cannot be dropped

bool starved_allocator_behaves() {
    constexpr int small = 2000, large = 100000;
    void *listed = tuk_malloc(100);
    tuk_free(listed);
    while (list_head(get_bucket(small)) != nullptr) tuk_malloc(small);
    while (list_head(get_bucket(large)) != nullptr) tuk_malloc(large);
    heads_t before = heads();
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
    ok = ok && again == listed;
    tuk_free(again);
    ok = ok && heads() == before;
    setrlimit(RLIMIT_AS, &old_limit);
    void *block = tuk_malloc(small);
    return ok && block != nullptr && bucket_of(block) == get_bucket(small);
}

TEST(MemoryStarved, FailingSystemAllocatorGivesNullAndLeavesListsIntact) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory does not fit under an address-space cap";
#endif
    EXPECT_EXIT(_exit(starved_allocator_behaves() ? 0 : 1), testing::ExitedWithCode(0), "");
}

// Four threads take and give back blocks of mixed classes at random.  Each
// block carries its owner's tag at both ends and a fill byte between; a block
// handed to two owners at once shows as a broken tag.
// At the end every chunk ever handed out is back on its own class's list.
TEST(MemoryThreads, MixedClassesStayDistinctAndNothingIsLost) {
    constexpr int thread_count = 4, rounds = 50000;
    constexpr size_t most_held = 48;
    const int sizes[] = {8, 100, 256 - H, 256 - H + 1, 700, 1000, 3000, 4095 - H, 4096 - H, 4097 - H, 20000, 69000};
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
    std::vector<std::vector<block_t>> kept(thread_count);
    std::vector<std::unordered_map<void *, int>> handed_out(thread_count);
    std::vector<std::thread> threads;
    std::latch start(thread_count);
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            std::mt19937 random(t + 1);
            std::vector<block_t> &held = kept[t];
            for (uint64_t round = 0; round < rounds; ++round) {
                if (held.empty() || (held.size() < most_held && random() % 2 == 0)) {
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

    for (const auto &held : kept)
        for (const block_t &b : held) {
            EXPECT_TRUE(b.intact());
            tuk_free(b.data);
        }

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
            auto found = listed.find(reinterpret_cast<chunk_t *>(chunk_of(data)));
            missing += found == listed.end() || found->second != bucket;
        }
    EXPECT_EQ(missing, 0u);
}

// With the 8-byte header of a 32-bit build the allocator gives exactly the
// figures of its size table.
TEST_F(MemoryTest, EightByteHeaderFigures) {
    if (H != 8) GTEST_SKIP() << "header is " << H << " bytes here";
    const std::array<int, 3> table[] = {{0, 1, 256},        {248, 1, 256},         {249, 2, 512},
                                        {4087, 16, 4096},   {4088, 17, 4096},      {4089, 18, 8192},
                                        {69000, 33, 69632}, {4124664, 1023, 4124672}};
    for (auto [size, bucket, chunk] : table) {
        EXPECT_EQ(get_bucket(size), bucket) << size;
        EXPECT_EQ(get_chunk_size(size), chunk) << size;
    }
    EXPECT_EQ(get_bucket(4124665), 1024);

    drain(100);
    char *first = static_cast<char *>(take(100));
    char *second = static_cast<char *>(take(100));
    char *lowest = second;
    while (list_head(1) != nullptr) lowest = static_cast<char *>(take(100));
    char *slab = lowest - 8;  // the chunk at offset 0
    EXPECT_EQ(first - slab, 65280 + 8);
    EXPECT_EQ(second - slab, 65024 + 8);

    drain(600);
    take(600);
    int listed = 0;
    for (chunk_t *chunk = list_head(3); chunk != nullptr; chunk = chunk->next) ++listed;
    EXPECT_EQ(listed, 84);  // 85 chunks of 768 bytes, the top one handed out
}

}  // namespace
