// The byte layout of the shared frame ring ("SHAREBUF") and of the pre-record buffer ("PREBUFF"):
// a header, a table of 32-byte index entries and a data area, every integer little-endian at a fixed
// offset. Only the lock objects after offset 48 are native (process-shared) objects, so their size,
// and with it the header size, is the host's: 72 and 144 bytes on the 32-bit camera.
//
// The functions here are pure: they read and write a block under the caller's lock. A block may come
// from another process, so every check that keeps a reader inside the block lives here.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

namespace zel_ring {

enum : uint32_t {
    kMagic = 0,
    kTotal = 8,
    kHead = 12,
    kTail = 16,
    kCount = 20,
    kCapacity = 24,
    kReadOffset = 28,
    kWriteOffset = 32,
    kDataSize = 36,
    kSequence = 40,
    kLockArea = 48,
};

enum : uint32_t { kEntrySize = 32, kEntType = 0, kEntKind = 2, kEntOffset = 4, kEntHeaderLen = 8,
                  kEntPayloadLen = 12, kEntSequence = 16, kEntTime = 24 };
static_assert(kEntTime + 8 == kEntrySize, "index entry is 32 bytes");

constexpr uint32_t slot(size_t native) { return static_cast<uint32_t>((native + 7) / 8 * 8); }
constexpr uint32_t kMutexSlot = slot(sizeof(pthread_mutex_t));
constexpr uint32_t kCondSlot = slot(sizeof(pthread_cond_t));

enum class Kind { shared, prerecord };

constexpr uint32_t header_size(Kind kind)
{
    return kind == Kind::shared ? kLockArea + kMutexSlot : kLockArea + 2 * kMutexSlot + kCondSlot;
}
constexpr uint32_t ready_mutex_offset() { return kLockArea + kMutexSlot; }
constexpr uint32_t cond_offset() { return kLockArea + 2 * kMutexSlot; }
#if UINTPTR_MAX == 0xffffffffu
static_assert(header_size(Kind::shared) == 72 && header_size(Kind::prerecord) == 144,
              "the camera's header sizes");
#endif

// The fixed geometry of a checked block.
struct View {
    uint8_t *base = nullptr;
    Kind kind = Kind::shared;
    uint32_t total = 0;
    uint32_t capacity = 0;
    uint32_t data_size = 0;
    uint8_t *entry(uint32_t i) const { return base + header_size(kind) + kEntrySize * i; }
    uint8_t *data() const { return base + header_size(kind) + kEntrySize * capacity; }
    pthread_mutex_t *mutex() const { return reinterpret_cast<pthread_mutex_t *>(base + kLockArea); }
};

// One index entry, decoded.
struct Entry {
    uint32_t type;
    uint32_t media; // pre-record buffer: non-zero = video
    uint32_t offset;
    uint32_t header_len;
    uint32_t payload_len;
    uint64_t sequence;
    uint64_t time;
};

// The mutable header fields, decoded.
struct State {
    uint32_t head, tail, count, read, write;
    uint64_t sequence;
};

// Writes an empty ring over `size` bytes; false when the data area would be empty or the geometry
// does not fit in 32 bits. Lock objects are left to the caller.
bool format(uint8_t *block, size_t size, uint32_t capacity, Kind kind, View *out);
// Accepts a block of `available` bytes whose header claims a geometry that fits in it exactly as
// 72 + 32 x capacity + data size = total (with this host's header size) and whose state is in range.
bool check_header(const uint8_t *block, size_t available, Kind kind, View *out);
// Reads the live state and refuses it when another process left it out of range or changed the
// geometry.
bool read_state(const View &v, State *s);
void write_state(const View &v, const State &s);
Entry read_entry(const View &v, uint32_t i);
// An entry whose bytes lie inside the data area.
bool entry_fits(const View &v, const Entry &e);

// The producer's step: room is made by dropping the oldest entries, then the frame is copied and
// indexed. 0, or -22 when the frame can never fit (nothing is dropped then).
int put(const View &v, uint32_t type, uint32_t media, uint64_t time, const void *header, uint32_t header_len,
        const void *payload, uint32_t payload_len);
// put in three steps, so that a producer can copy the bytes without holding the lock: reserve makes
// room (the offset, or -22) and records the drops; the region is then free of any entry and only the
// producer writes it; commit indexes the frame.
int64_t reserve(const View &v, uint32_t need);
void copy_frame(const View &v, uint32_t offset, const void *header, uint32_t header_len, const void *payload,
                uint32_t payload_len);
void commit(const View &v, uint32_t offset, uint32_t type, uint32_t media, uint64_t time, uint32_t header_len,
            uint32_t payload_len);
// Empties the ring (sequence kept unless reset_sequence).
void clear(const View &v, bool reset_sequence);

// The entry slot of the place'th oldest entry.
uint32_t index_of(const View &v, const State &s, uint32_t place);
// Every entry inside the data area, with contiguous sequences ending before the next one and the
// read offset at the oldest: what a producer checks before it writes into a ring it did not format.
bool check_entries(const View &v, const State &s);
// The place (0 = oldest) of the first entry whose sequence is >= `sequence`; count when none.
uint32_t find_sequence(const View &v, const State &s, uint64_t sequence);
// The sequence a reader starting at `time` takes: the newest key frame at or before it, else the
// oldest key frame after it, else the next sequence to be written.
uint64_t start_sequence(const View &v, const State &s, uint64_t time, bool *found);

} // namespace zel_ring
