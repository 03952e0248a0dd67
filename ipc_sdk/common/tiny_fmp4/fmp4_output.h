// Positioned writes into a pool file that never grows it: every write must end at or before the file
// size, the stream is only moved when a write lands somewhere else than where the last one ended,
// and a failed write with the stream's error indicator set marks the card gone for good.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

namespace fmp4 {

class Output {
public:
    // Takes the stream (opened "rb+" through the recording file layer) and its length.
    void attach(FILE *fp, uint64_t size)
    {
        fp_ = fp;
        size_ = size;
        at_ = UINT64_MAX;
    }
    FILE *stream() const { return fp_; }
    uint64_t size() const { return size_; }
    bool card_gone() const { return gone_; }

    // 0, -3 when [pos, pos + n) passes the file size, or the card status code of the failure.
    int write_at(uint64_t pos, const void *data, size_t n);
    int read_at(uint64_t pos, void *data, size_t n);
    // A tail "mdat" header at pos covering the rest of the file.
    int put_tail(uint64_t pos);
    // Writes a whole box at pos so that the file stays walkable if the writing stops anywhere: first
    // the tail header behind it, then its body, its 8-byte header last (pos must hold a tail header).
    int put_box(uint64_t pos, const uint8_t *box, size_t n);
    // Flush and fdatasync.
    int sync();
    // Closes the stream: 0 or the close's code.
    int close();

private:
    int fail(const char *what);

    FILE *fp_ = nullptr;
    uint64_t size_ = 0;
    uint64_t at_ = UINT64_MAX; // where the stream stands, when known
    bool gone_ = false;
};

} // namespace fmp4
