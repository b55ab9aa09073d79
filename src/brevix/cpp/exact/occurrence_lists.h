// Ascending lists of corpus positions, one per pair record, stored together
// in one byte arena as LEB128-encoded gaps. On real text a gap takes about
// 1.5 bytes where a plain int takes 4, and one arena saves the allocation
// header and slack of a vector per pair. A list takes at most about one
// byte per corpus position, so 32-bit sizes suffice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/record_array.h"

namespace bytepairtokenizer {

class OccurrenceLists {
public:
    // Where one list lives in the arena. Entries before `head` are consumed;
    // `headPrev` is the position the entry at `head` is a gap from. While
    // the list is sized or filled, headPrev is its last entry instead.
    struct List {
        std::uint64_t begin = 0;
        std::uint32_t size = 0;     // bytes in use from begin
        std::uint32_t head = 0;     // byte offset of the first stored entry
        std::uint32_t entries = 0;  // entries stored from head on
        int headPrev = -1;
    };

    // Reads a list from its head on. A cursor is valid until the arena is
    // next written to.
    class Cursor {
    public:
        Cursor(const OccurrenceLists& lists, const List& list)
            : at_(lists.data_ + list.begin + list.head), end_(lists.data_ + list.begin + list.size),
              pos_(list.headPrev) {}
        bool done() const { return at_ == end_; }
        // The next position; only when !done().
        int next() {
            std::uint32_t gap = 0;
            unsigned shift = 0;
            std::uint8_t byte;
            do {
                byte = *at_++;
                gap |= static_cast<std::uint32_t>(byte & 0x7f) << shift;
                shift += 7;
            } while (byte & 0x80);
            pos_ += static_cast<int>(gap);
            return pos_;
        }
        // Byte offset of the entry next() would read, from the arena start.
        std::uint64_t offset(const OccurrenceLists& lists) const {
            return static_cast<std::uint64_t>(at_ - lists.data_);
        }
        int position() const { return pos_; }

    private:
        const std::uint8_t* at_;
        const std::uint8_t* end_;
        int pos_;
    };

    OccurrenceLists() = default;
    ~OccurrenceLists();
    OccurrenceLists(const OccurrenceLists&) = delete;
    OccurrenceLists& operator=(const OccurrenceLists&) = delete;

    // Drops every list; the arena keeps its memory for the next build.
    void clear();
    // Drops every list and frees the arena.
    void freeAll();
    // A new empty list; lists are numbered 0, 1, ... like the pair records.
    void addList() { lists_.emplace_back(); }
    const List& operator[](int r) const { return lists_[static_cast<std::size_t>(r)]; }
    Cursor cursor(int r) const { return Cursor(*this, lists_[static_cast<std::size_t>(r)]); }

    // Bytes an entry takes when it follows `prev`.
    static std::uint32_t entryBytes(int prev, int pos) {
        std::uint32_t gap = static_cast<std::uint32_t>(pos - prev);
        std::uint32_t n = 1;
        while (gap >= 0x80) {
            gap >>= 7;
            ++n;
        }
        return n;
    }

    // Lists are filled in two passes over their entries: countEntry() sizes
    // them, layOut(first, last) gives lists [first, last) their space at the
    // arena end, then append() writes the same entries.
    std::uint32_t countEntry(int r, int pos) {
        List& list = lists_[static_cast<std::size_t>(r)];
        const std::uint32_t bytes = entryBytes(list.headPrev, pos);
        list.size += bytes;
        list.headPrev = pos;
        return bytes;
    }
    void layOut(int first, int last);
    // Ends the filling of lists [first, last): reads start at their first entry.
    void finishFilling(int first, int last) {
        for (int r = first; r < last; ++r) lists_[static_cast<std::size_t>(r)].headPrev = -1;
    }

    // Lists can also be written directly, from several threads at once:
    // reserve(r, bytes) sizes each, layOut(first, last) places them, the
    // writers put gaps (writeGap) from listStart(r) on, and
    // finishDirectFilling(first, last, entries) ends it, entries(r) being
    // the number of entries written into list r.
    void reserve(int r, std::uint32_t bytes) { lists_[static_cast<std::size_t>(r)].size = bytes; }
    std::uint8_t* listStart(int r) { return data_ + lists_[static_cast<std::size_t>(r)].begin; }
    static std::uint8_t* writeGap(std::uint8_t* at, std::uint32_t gap) {
        while (gap >= 0x80) {
            *at++ = static_cast<std::uint8_t>(gap | 0x80);
            gap >>= 7;
        }
        *at++ = static_cast<std::uint8_t>(gap);
        return at;
    }
    template <typename Entries>
    void finishDirectFilling(int first, int last, Entries entries) {
        for (int r = first; r < last; ++r) {
            List& list = lists_[static_cast<std::size_t>(r)];
            list.size = sizes_[static_cast<std::size_t>(r - first)];
            list.entries = entries(r);
            list.headPrev = -1;
        }
    }

    // Whether `bytes` more fit at the arena end without compacting or growing.
    bool fits(std::size_t bytes) const { return used_ + bytes <= capacity_; }
    // Makes room for `bytes` more at the arena end. May compact the arena,
    // which moves the lists: cursors become invalid, and every list placed
    // must have been filled.
    void ensureRoom(std::size_t bytes);
    // Appends `pos` (greater than the last entry) into space reserved by
    // layOut(), before finishFilling().
    void append(int r, int pos);
    // Rewrites list r in place keeping only the entries for which
    // keep(pos) holds; prefetch(pos) is called a few entries ahead of
    // keep(pos). A kept gap is a sum of stored ones and never takes more
    // bytes than they did, so writing never overtakes reading. Returns the
    // bytes freed, which the caller hands to addGarbage(): different lists
    // can be filtered on different threads at once.
    template <typename Keep, typename Prefetch>
    std::uint32_t filter(int r, Keep keep, Prefetch prefetch) {
        List& list = lists_[static_cast<std::size_t>(r)];
        Cursor ahead(*this, list);
        for (int k = 0; k < kFilterAhead && !ahead.done(); ++k) prefetch(ahead.next());
        std::uint8_t* const start = data_ + list.begin + list.head;
        std::uint8_t* out = start;
        int last = list.headPrev;
        std::uint32_t kept = 0;
        for (Cursor at(*this, list); !at.done();) {
            if (!ahead.done()) prefetch(ahead.next());
            const int pos = at.next();
            if (!keep(pos)) continue;
            out = writeGap(out, static_cast<std::uint32_t>(pos - last));
            last = pos;
            ++kept;
        }
        const std::uint32_t end = static_cast<std::uint32_t>(out - (data_ + list.begin));
        const std::uint32_t freed = list.size - end;
        list.size = end;
        list.entries = kept;
        return freed;
    }
    void addGarbage(std::size_t bytes) { garbage_ += bytes; }

    // Marks a list's space as unused and empties it.
    void release(int r);
    // Drops the stored entries before the one `cursor` (reading list r)
    // would read next; `consumed` entries.
    void consumeBefore(int r, const Cursor& cursor, std::uint32_t consumed);

    std::size_t capacity() const { return capacity_; }
    std::size_t bytesInUse() const { return used_; }

private:
    static constexpr int kFilterAhead = 16;

    void compact();
    // Reserves `bytes` at the arena end (room made by ensureRoom) for empty
    // list r, which then receives exactly that many bytes through append().
    void place(int r, std::uint32_t bytes);
    void grow(std::size_t bytes);

    RecordArray<List> lists_;
    std::vector<std::uint32_t> sizes_;  // the sizes the last layOut() placed

    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;     // arena end
    std::size_t garbage_ = 0;  // bytes before used_ that no list owns
};

}  // namespace bytepairtokenizer
