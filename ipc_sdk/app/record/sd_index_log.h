// The circular log under the video, picture and event indexes: a 128-byte head, then fixed-size
// records from offset 128, each carrying a sequence number, a delete byte and a CRC-32 over the bytes
// before the CRC. The file position is the write cursor. The codecs of the three record kinds describe
// where their fields lie (IndexLayout); everything here works on whole slots.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sd_pool.h"

namespace sd {

constexpr int64_t kIndexHeadSize = 128;
constexpr uint32_t kIndexMinTime = 999999999; // record times lie above
constexpr int kIndexMaxSlot = 152;

struct IndexLayout {
    uint32_t slot;       // bytes per record
    uint32_t crc_off;    // the CRC covers [0, crc_off) and is stored there
    uint32_t seq_off;
    uint32_t delete_off;
    uint32_t time_off;   // u32 (the low word of the event index's u64)
};

// The 128-byte head {u32 kind, u32 1, 116 zero bytes, u32 CRC-32 of bytes 0..123}: kind 3 for the
// indexes, 2 for picture data files.
std::array<uint8_t, 128> index_head(uint32_t kind);

uint32_t get_u32(const uint8_t *p);
void put_u32(uint8_t *p, uint32_t v);
void put_u64(uint8_t *p, uint64_t v);

inline uint32_t next_seq(uint32_t seq) { return seq == 0xFFFFFFFFu ? 1 : seq + 1; }
// Serial comparison: a is newer than b (the numbers wrap from 0xFFFFFFFF to 1).
inline bool seq_newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

bool slot_valid(const IndexLayout &l, const uint8_t *slot);
inline uint32_t slot_seq(const IndexLayout &l, const uint8_t *s) { return get_u32(s + l.seq_off); }
inline uint32_t slot_time(const IndexLayout &l, const uint8_t *s) { return get_u32(s + l.time_off); }
inline bool slot_deleted(const IndexLayout &l, const uint8_t *s) { return s[l.delete_off] != 0; }
void slot_seal(const IndexLayout &l, uint8_t *slot);

// One module's access-mode word: 3 after an index opened read-write, 1 read-only.
struct IndexMode {
    int word = 0;
    int need_read() const { return (word & 1) ? 0 : -7; }
    int need_write() const { return (word & 2) ? 0 : SD_ERR_READ_ONLY; }
};

// One channel's log. The recursive lock guards everything; `file`'s position is the write cursor.
struct IndexLog {
    int channel = SD_CHANNEL_NONE;
    std::recursive_mutex lock;
    std::string name; // pool name of the index file, empty until opened
    FILE *file = nullptr;
    int64_t capacity = 0;
    uint32_t max_seq = 0;
    int64_t beg_pos = kIndexHeadSize;
    uint32_t valid_count = 0;

    void reset();
};

// Saves the cursor and seeks back to it when it goes out of scope.
class CursorGuard {
public:
    CursorGuard(IndexLog &log);
    ~CursorGuard();
    int64_t saved() const { return pos_; }

private:
    IndexLog &log_;
    int64_t pos_;
};

// Opens `path` ("rb+", else "rb"; the mode word follows), checks the head and scans the log. A file
// without the head gets every slot invalidated and then the head, and starts empty. *open_failed (when
// given) tells whether the file itself could not be opened.
int log_open(IndexLog &log, const IndexLayout &l, IndexMode &mode, const char *path, const char *who,
             bool *open_failed = nullptr);
// Finds the newest valid record (the cursor goes after it), max_seq, the oldest live record after it
// (beg_pos) and the live count. Records live in one run of consecutive seqs ending at the newest.
int log_scan(IndexLog &log, const IndexLayout &l);
// Offset of the slot following `off`, wrapping to 128 when a whole slot no longer fits.
int64_t log_next(const IndexLog &log, const IndexLayout &l, int64_t off);
int64_t log_prev(const IndexLog &log, const IndexLayout &l, int64_t off);
// Moves the cursor to 128 when the slot there would pass the end of the file.
int log_wrap(IndexLog &log, const IndexLayout &l);
int log_read_at(IndexLog &log, const IndexLayout &l, const IndexMode &mode, int64_t off, uint8_t *slot);
int log_write_at(IndexLog &log, const IndexLayout &l, const IndexMode &mode, int64_t off, const uint8_t *slot);
// Appends the record at the cursor: seq = max_seq + 1, CRC; refuses (-5) a slot holding a live record.
int log_append(IndexLog &log, const IndexLayout &l, const IndexMode &mode, uint8_t *slot);
// Live when valid, not deleted and not newer than max_seq.
bool log_live(const IndexLog &log, const IndexLayout &l, const uint8_t *slot);

enum class Walk { Next, Stop };
// Visits the slots from beg_pos to the newest record (seq = max_seq) or the first invalid slot, at
// most one turn of the file. visit(slot, offset) may rewrite the slot through log_write_at.
// Reads up to `max` whole slots from `off` without passing the end of the file: the count, or an error.
int log_read_run(IndexLog &log, const IndexLayout &l, const IndexMode &mode, int64_t off, int64_t max, uint8_t *buf);
constexpr int64_t kWalkChunkSlots = 128;

template <typename Visit>
int log_walk(IndexLog &log, const IndexLayout &l, const IndexMode &mode, Visit visit)
{
    const int64_t slots = (log.capacity - kIndexHeadSize) / l.slot;
    std::vector<uint8_t> chunk(static_cast<size_t>(kWalkChunkSlots * l.slot));
    int64_t off = log.beg_pos, left = slots;
    while (left > 0) {
        if (off + l.slot > log.capacity)
            off = kIndexHeadSize;
        const int n = log_read_run(log, l, mode, off, std::min(left, kWalkChunkSlots), chunk.data());
        if (n < 0)
            return n;
        for (int i = 0; i < n; i++, off += l.slot, left--) {
            uint8_t *slot = chunk.data() + static_cast<size_t>(i) * l.slot;
            if (!slot_valid(l, slot))
                return 0;
            const bool newest = slot_seq(l, slot) == log.max_seq;
            if (visit(slot, off) == Walk::Stop || newest)
                return 0;
        }
    }
    return 0;
}

// Marks every live record before `end` deleted (new CRC) and moves beg_pos after it.
int log_del_before(IndexLog &log, const IndexLayout &l, const IndexMode &mode, uint64_t end);
// Marks every live record of the file at `path` deleted and leaves its CRC stale, so that no slot
// passes; a file without the head is left alone.
int log_clear_file(const IndexLayout &l, const char *path, const char *who);
// Writes the head at offset 0 and makes the file durable: the last step of a rebuild.
int log_seal_file(FILE *fp, const char *who);
// Visits every valid record of an index file from offset 128 up to the first invalid slot: 0, or a
// read error. A file without the head is not visited: 1 when its first slot holds a valid record, else 0.
// visit returns nonzero to end the scan with that result.
int log_scan_file(FILE *fp, const IndexLayout &l, const std::function<int(const uint8_t *slot)> &visit);

} // namespace sd
