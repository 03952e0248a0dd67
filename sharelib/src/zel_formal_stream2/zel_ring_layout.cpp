// Ring layout: format, checks, room finding, indexing and search.
#include "zel_ring_layout.h"

#include <string.h>

#include "zelmar/zel_le.h"

namespace zel_ring {

namespace {

const char *magic(Kind kind) { return kind == Kind::shared ? "SHAREBUF" : "PREBUFF"; }

// Drops the oldest entry; the read offset follows the new oldest entry, or the write offset when the
// ring ran empty.
void drop_oldest(const View &v, State &s)
{
    s.head = (s.head + 1) % v.capacity;
    s.count--;
    if (s.count == 0) {
        s.read = s.write;
        return;
    }
    Entry oldest = read_entry(v, s.head);
    if (entry_fits(v, oldest))
        s.read = oldest.offset;
    else
        s.count = 0, s.read = s.write = 0; // a damaged index: start over rather than write past the area
}

// Where `need` bytes fit without splitting them at the end of the data area, or -1.
int64_t find_room(const View &v, State &s, uint32_t need)
{
    if (s.count == 0) {
        s.read = s.write = 0;
        return need <= v.data_size ? 0 : -1;
    }
    if (s.read > s.write)
        return s.read - s.write >= need ? static_cast<int64_t>(s.write) : -1;
    if (s.read < s.write) {
        if (static_cast<uint64_t>(s.write) + need <= v.data_size)
            return s.write;
        return s.read >= need ? 0 : -1;
    }
    return -1; // read == write with entries: the data area is full
}

} // namespace

bool format(uint8_t *block, size_t size, uint32_t capacity, Kind kind, View *out)
{
    uint64_t fixed = header_size(kind) + static_cast<uint64_t>(kEntrySize) * capacity;
    if (!block || capacity == 0 || size > UINT32_MAX || size <= fixed)
        return false;
    memset(block, 0, header_size(kind));
    memcpy(block + kMagic, magic(kind), 8);
    zel_put_le32(block + kTotal, static_cast<uint32_t>(size));
    zel_put_le32(block + kCapacity, capacity);
    zel_put_le32(block + kDataSize, static_cast<uint32_t>(size - fixed));
    return check_header(block, size, kind, out);
}

bool check_header(const uint8_t *block, size_t available, Kind kind, View *out)
{
    if (!block || available < header_size(kind) || memcmp(block + kMagic, magic(kind), 8) != 0)
        return false;
    View v;
    v.base = const_cast<uint8_t *>(block);
    v.kind = kind;
    v.total = zel_get_le32(block + kTotal);
    v.capacity = zel_get_le32(block + kCapacity);
    v.data_size = zel_get_le32(block + kDataSize);
    uint64_t claimed = header_size(kind) + static_cast<uint64_t>(kEntrySize) * v.capacity + v.data_size;
    if (v.capacity == 0 || v.data_size == 0 || claimed != v.total || v.total > available)
        return false;
    State s;
    if (!read_state(v, &s))
        return false;
    *out = v;
    return true;
}

bool read_state(const View &v, State *s)
{
    const uint8_t *b = v.base;
    if (zel_get_le32(b + kTotal) != v.total || zel_get_le32(b + kCapacity) != v.capacity ||
        zel_get_le32(b + kDataSize) != v.data_size)
        return false;
    s->head = zel_get_le32(b + kHead);
    s->tail = zel_get_le32(b + kTail);
    s->count = zel_get_le32(b + kCount);
    s->read = zel_get_le32(b + kReadOffset);
    s->write = zel_get_le32(b + kWriteOffset);
    s->sequence = zel_get_le64(b + kSequence);
    return s->head < v.capacity && s->tail < v.capacity && s->count <= v.capacity && s->read <= v.data_size &&
           s->write <= v.data_size && (s->count == 0 || (s->head + s->count - 1) % v.capacity == s->tail);
}

void write_state(const View &v, const State &s)
{
    uint8_t *b = v.base;
    zel_put_le32(b + kHead, s.head);
    zel_put_le32(b + kTail, s.tail);
    zel_put_le32(b + kCount, s.count);
    zel_put_le32(b + kReadOffset, s.read);
    zel_put_le32(b + kWriteOffset, s.write);
    zel_put_le64(b + kSequence, s.sequence);
}

Entry read_entry(const View &v, uint32_t i)
{
    const uint8_t *p = v.entry(i);
    Entry e;
    if (v.kind == Kind::shared) {
        e.type = zel_get_le32(p + kEntType);
        e.media = 1;
    } else {
        e.type = zel_get_le16(p + kEntType);
        e.media = zel_get_le16(p + kEntKind);
    }
    e.offset = zel_get_le32(p + kEntOffset);
    e.header_len = zel_get_le32(p + kEntHeaderLen);
    e.payload_len = zel_get_le32(p + kEntPayloadLen);
    e.sequence = zel_get_le64(p + kEntSequence);
    e.time = zel_get_le64(p + kEntTime);
    return e;
}

bool entry_fits(const View &v, const Entry &e)
{
    return static_cast<uint64_t>(e.offset) + e.header_len + e.payload_len <= v.data_size;
}

int64_t reserve(const View &v, uint32_t need)
{
    if (need > v.data_size)
        return -22; // refused before anything held is dropped
    State s;
    if (!read_state(v, &s))
        return -22;
    int64_t at;
    while ((at = find_room(v, s, need)) < 0)
        drop_oldest(v, s); // terminates: an empty ring always has room for need <= data size
    write_state(v, s);
    return at;
}

void commit(const View &v, uint32_t offset, uint32_t type, uint32_t media, uint64_t time, uint32_t header_len,
            uint32_t payload_len)
{
    State s;
    if (!read_state(v, &s))
        return;
    s.write = offset + header_len + payload_len;
    if (s.count == v.capacity)
        drop_oldest(v, s);
    if (s.count == 0) {
        s.head = s.tail = 0;
        s.read = offset;
    } else {
        s.tail = (s.tail + 1) % v.capacity;
    }
    s.count++;
    uint8_t *p = v.entry(s.tail);
    if (v.kind == Kind::shared) {
        zel_put_le32(p + kEntType, type);
    } else {
        zel_put_le16(p + kEntType, static_cast<uint16_t>(type));
        zel_put_le16(p + kEntKind, static_cast<uint16_t>(media));
    }
    zel_put_le32(p + kEntOffset, offset);
    zel_put_le32(p + kEntHeaderLen, header_len);
    zel_put_le32(p + kEntPayloadLen, payload_len);
    zel_put_le64(p + kEntSequence, s.sequence);
    zel_put_le64(p + kEntTime, time);
    s.sequence++;
    write_state(v, s);
}

void copy_frame(const View &v, uint32_t offset, const void *header, uint32_t header_len, const void *payload,
                uint32_t payload_len)
{
    if (header_len)
        memcpy(v.data() + offset, header, header_len);
    if (payload_len)
        memcpy(v.data() + offset + header_len, payload, payload_len);
}

int put(const View &v, uint32_t type, uint32_t media, uint64_t time, const void *header, uint32_t header_len,
        const void *payload, uint32_t payload_len)
{
    uint64_t need = static_cast<uint64_t>(header_len) + payload_len;
    int64_t at = need > v.data_size ? -22 : reserve(v, static_cast<uint32_t>(need));
    if (at < 0)
        return -22;
    auto offset = static_cast<uint32_t>(at);
    copy_frame(v, offset, header, header_len, payload, payload_len);
    commit(v, offset, type, media, time, header_len, payload_len);
    return 0;
}

void clear(const View &v, bool reset_sequence)
{
    State s = {};
    if (!reset_sequence)
        s.sequence = zel_get_le64(v.base + kSequence);
    write_state(v, s);
}

uint32_t index_of(const View &v, const State &s, uint32_t place) { return (s.head + place) % v.capacity; }

bool check_entries(const View &v, const State &s)
{
    for (uint32_t k = 0; k < s.count; k++) {
        Entry e = read_entry(v, index_of(v, s, k));
        if (!entry_fits(v, e) || e.sequence != s.sequence - s.count + k)
            return false;
    }
    return s.count == 0 || read_entry(v, s.head).offset == s.read;
}

uint32_t find_sequence(const View &v, const State &s, uint64_t sequence)
{
    uint32_t lo = 0, hi = s.count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (read_entry(v, index_of(v, s, mid)).sequence < sequence)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

uint64_t start_sequence(const View &v, const State &s, uint64_t time, bool *found)
{
    const Entry *later = nullptr;
    Entry remembered;
    for (uint32_t k = s.count; k-- > 0;) {
        Entry e = read_entry(v, index_of(v, s, k));
        if (e.type != 0 || e.media == 0)
            continue; // only video key frames start a reader
        if (e.time <= time) {
            *found = true;
            return e.sequence;
        }
        remembered = e;
        later = &remembered;
    }
    *found = later != nullptr;
    return later ? later->sequence : s.sequence;
}

} // namespace zel_ring
