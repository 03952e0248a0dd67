// A picture data file of the pool: a 128-byte head {u32 kind word, u32 1, zeros, CRC}, then records
// {u32 time, u8 delete, u32 size, size bytes, u32 CRC-32 of the 9 header bytes} back to back. A record
// is written in two steps: its bytes (pending, time 0), then its time and CRC (stamped). The pool kind
// and the head word are parameters so that other record stores reuse the layout.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace sd {

constexpr uint32_t kPicRecordOverhead = 13;

struct PicDataFile {
    int kind;          // pool kind of the data files
    uint32_t head_word;
    int channel = -1;
    std::string name;  // pool name, empty when none is open
    FILE *file = nullptr;
    int64_t capacity = 0;
    int64_t pending_pos = -1; // record start of a picture written but not stamped
    uint32_t pending_size = 0;
    uint64_t first = 0, last = 0; // picture times of the open file

    PicDataFile(int pool_kind, uint32_t head) : kind(pool_kind), head_word(head) {}
    void close();
};

// Opens the channel's data file to write on when none is open; one that cannot be opened now (logged)
// is opened by the next record.
void pic_data_open(PicDataFile &df);
// Makes room for a record of `size` bytes: opens the channel's data file when none is open, and hands
// a file without room back to the pool with its picture times before taking the next.
int pic_data_ensure_room(PicDataFile &df, uint32_t size);
// Writes the bytes of a pending record (replacing a pending one).
int pic_data_write(PicDataFile &df, const uint8_t *data, uint32_t size);
// Stamps the pending record with its time; *offset is the record's start.
int pic_data_stamp(PicDataFile &df, uint32_t time, uint32_t *offset);
// Reads the stamped record at `offset` of an open data file, checking its time, size and CRC:
// 0 with the bytes, or -6.
int pic_data_read(FILE *fp, int64_t cap, uint32_t offset, uint32_t time, std::vector<uint8_t> &out);

// Marks the stamped record at `offset` deleted: its header gets delete byte 1 and the CRC after its
// data is recomputed. The file position is kept. 0, or -6 when the record there is not of `time`.
int pic_data_mark_deleted(FILE *fp, int64_t cap, uint32_t offset, uint32_t time);

struct PicRecordInfo {
    uint32_t offset, time, size;
    uint8_t del;
};
// Calls visit for every stamped, CRC-checked record from offset 128 up to the first that is not;
// returns the offset after the last one.
int64_t pic_data_walk(FILE *fp, int64_t cap, void (*visit)(const PicRecordInfo &, void *), void *user);

} // namespace sd
