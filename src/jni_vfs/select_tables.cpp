#include "select_tables.h"

#include <algorithm>
#include <iterator>

namespace talvo::select_set {

namespace {

unsigned home_of(int fd) { return (static_cast<uint32_t>(fd) * 0x9E3779B1u) >> (32 - table_bits); }

// The slot of fd's record in the table, or of the empty place where it would go.
int table_slot(const select_t *s, int fd) {
    unsigned i = home_of(fd);
    while (s->table[i] >= 0 && s->records[s->table[i]].fd != fd) i = (i + 1) & (table_size - 1);
    return static_cast<int>(i);
}

// Empties a table slot, moving back the entries that probed past it.
void table_erase(select_t *s, int i) {
    for (;;) {
        s->table[i] = -1;
        int j = i;
        for (;;) {
            j = (j + 1) & (table_size - 1);
            if (s->table[j] < 0) return;
            int k = static_cast<int>(home_of(s->records[s->table[j]].fd));
            bool between = i < j ? (i < k && k <= j) : (i < k || k <= j);
            if (!between) {
                s->table[i] = s->table[j];
                i = j;
                break;
            }
        }
    }
}

}  // namespace

void clear_tables(select_t *s) {
    s->head = s->tail = -1;
    std::fill(std::begin(s->table), std::end(s->table), -1);
}

int record_of(const select_t *s, int fd) { return s->table[table_slot(s, fd)]; }

int add_entry(select_t *s, int fd) {
    int slot = table_slot(s, fd);
    int r = s->table[slot];
    if (r < 0) {
        r = s->free_record_count > 0 ? s->free_records[--s->free_record_count] : s->records_used++;
        s->table[slot] = r;
        s->records[r] = record_t{fd, 0, -1, -1, 0, 0, ++s->next_id, 0, 0};
    }
    record_t &rec = s->records[r];
    int e = s->free_entry_count > 0 ? s->free_entries[--s->free_entry_count] : s->entries_used++;
    s->entries[e] = entry_t{++s->next_seq, r, s->tail, -1, rec.newest, -1};
    (s->tail >= 0 ? s->entries[s->tail].next : s->head) = e;
    s->tail = e;
    (rec.newest >= 0 ? s->entries[rec.newest].newer : rec.oldest) = e;
    rec.newest = e;
    ++rec.count;
    s->max.store(s->max.load() + 1);
    return r;
}

void drop_entry(select_t *s, int e) {
    entry_t &entry = s->entries[e];
    (entry.prev >= 0 ? s->entries[entry.prev].next : s->head) = entry.next;
    (entry.next >= 0 ? s->entries[entry.next].prev : s->tail) = entry.prev;
    record_t &rec = s->records[entry.record];
    (entry.older >= 0 ? s->entries[entry.older].newer : rec.oldest) = entry.newer;
    (entry.newer >= 0 ? s->entries[entry.newer].older : rec.newest) = entry.older;
    entry.seq = 0;
    s->free_entries[s->free_entry_count++] = e;
    s->max.store(s->max.load() - 1);
    if (--rec.count > 0) return;
    leave_fresh(s, entry.record);
    table_erase(s, table_slot(s, rec.fd));
    s->free_records[s->free_record_count++] = entry.record;
}

void make_fresh(select_t *s, int r) {
    record_t &rec = s->records[r];
    if (rec.state == fresh) return;
    rec.state = fresh;
    rec.fresh_pos = s->fresh_count;
    s->fresh_list[s->fresh_count++] = r;
}

void leave_fresh(select_t *s, int r) {
    record_t &rec = s->records[r];
    if (rec.state != fresh) return;
    int last = s->fresh_list[--s->fresh_count];
    s->fresh_list[rec.fresh_pos] = last;
    s->records[last].fresh_pos = rec.fresh_pos;
    rec.state = 0;
}

}  // namespace talvo::select_set
