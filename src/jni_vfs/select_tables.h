// The select manager's record and the tables in it: a fixed pool of entries
// linked in the order of their addition and per descriptor, one record per
// watched descriptor, an open-addressing map from descriptor to record, and
// the list of fresh records.  Nothing is allocated after the record is made.
// Every function here runs under the record's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>

namespace talvo::select_set {

constexpr int capacity = 8191;               // watched entries; 8192 with the wake-up pipe
constexpr int table_bits = 14;
constexpr int table_size = 1 << table_bits;  // descriptor -> record, at most half full
// Epoll data other than the wake-up pipe's: the arming's number above the record's index.
constexpr int index_bits = 13;
static_assert(capacity < (1 << index_bits));

// A record's state: fresh (polled directly by the next wait) or armed in epoll.
enum : int { fresh = 1, armed = 2 };

struct entry_t {
    uint64_t seq;      // order of addition; 0 while the slot is free
    int record;
    int prev, next;    // the whole set in the order of addition
    int older, newer;  // the entries of the same descriptor
};

struct record_t {
    int fd;
    int count;          // live entries; 0: the record is free
    int oldest, newest;
    int state;          // fresh or armed
    int fresh_pos;      // index in fresh_list while fresh
    uint64_t made;        // tells a reused record from the one a wait looked at
    uint64_t arm_id;      // in the epoll data, so that events of an older arming are ignored
    uint64_t ready_wait;  // the last wait that found it ready
};

struct ready_t {
    uint64_t seq;
    int entry;
};

struct select_t {
    std::atomic<int> max;         // 0 before init, -1 once closed, else 1 + live entries
    int has_more;                 // the selecting thread's alone
    std::atomic<int> has_update;  // a wake-up byte is pending
    int pipe[2];
    pthread_t thread_id;
    pthread_mutex_t lock;
    int epfd;
    std::atomic<int> pipe_state;  // made | closing | users, see select_manager.cpp

    // Everything below is guarded by the lock.
    bool waiting;  // a wait runs over the snapshot
    uint64_t next_seq;
    uint64_t next_id, wait_no;  // never wrap
    int head, tail;
    int entries_used, free_entry_count, records_used, free_record_count, fresh_count;
    int table[table_size];
    entry_t entries[capacity];
    int free_entries[capacity];
    record_t records[capacity];
    int free_records[capacity];
    int fresh_list[capacity];
    // The ready entries of the last wait in the order of addition, from ready_pos on.
    ready_t ready[capacity];
    int ready_count, ready_pos;
    int ready_records[capacity];
    // The selecting thread's, also while it waits without the lock.
    pollfd poll_items[capacity + 1];
    int snap_record[capacity];
    uint64_t snap_made[capacity];
    epoll_event events[capacity + 1];
};

// Empties the set of a zeroed record.
void clear_tables(select_t *s);

// The record of a watched descriptor, or -1.
int record_of(const select_t *s, int fd);

// Adds an entry for fd after all others, making its record if it has none;
// the set must hold fewer than `capacity` entries.  Returns the record.
int add_entry(select_t *s, int fd);

// Takes one entry out of the set; the last entry of a descriptor frees its
// record (an armed registration is left to fire at most once, ignored).
void drop_entry(select_t *s, int e);

// Puts a record on the fresh list, or takes it off (its state then 0).
void make_fresh(select_t *s, int r);
void leave_fresh(select_t *s, int r);

}  // namespace talvo::select_set
