// Feeds index and picture data files as a card may hold them (damaged, hand-made, from another
// camera) to their readers. The first byte picks the record kind: the circular log's open (head check,
// slot invalidation, scan for the newest record), its walk, a delete before a time and an append, with
// the slot layout the video, event or picture index keeps on the card, and the video record codec on
// every slot the walk visits (decoded and encoded again, byte for byte). Then the same bytes as a
// picture data file: its walk, and a read and a delete of every record it reports. Nothing may read
// or write outside the file or the slot.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/record/record_index.h"
#include "app/record/sd_index_log.h"
#include "app/record/sd_pic_data.h"
#include "app/record/sd_pic_store.h"
#include "ko_sdk_fuzz_support.h"

namespace {

// The slot layouts of the card's video and event indexes: {slot, crc, seq, delete, time} offsets.
constexpr sd::IndexLayout kVideo{RECORD_INDEX_RECORD_SIZE, 140, 8, 7, 0};
constexpr sd::IndexLayout kEvent{45, 41, 32, 40, 0};

struct Picture {
    uint32_t offset, time;
};

void note_picture(const sd::PicRecordInfo &info, void *user)
{
    static_cast<std::vector<Picture> *>(user)->push_back({info.offset, info.time});
}

int memfd_with(const uint8_t *data, size_t size)
{
    const int fd = memfd_create("sd_index_fuzz", 0);
    if (fd >= 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return -1;
    }
    return fd;
}

void index_log(const sd::IndexLayout &l, const uint8_t *data, size_t size)
{
    const int fd = memfd_with(data, size);
    if (fd < 0)
        return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    sd::IndexLog log;
    sd::IndexMode mode;
    if (sd::log_open(log, l, mode, path.c_str(), "fuzz") == 0) {
        if (log.beg_pos < sd::kIndexHeadSize || log.beg_pos > log.capacity)
            std::abort();
        sd::log_walk(log, l, mode, [&](uint8_t *slot, int64_t off) {
            if (off < sd::kIndexHeadSize || off + l.slot > log.capacity)
                std::abort();
            if (&l == &kVideo) { // the codec keeps every byte of a record
                uint8_t again[RECORD_INDEX_RECORD_SIZE];
                sd::encode_record(sd::decode_record(slot), again);
                if (memcmp(again, slot, sizeof again) != 0)
                    std::abort();
            }
            return sd::Walk::Next;
        });
        sd::log_del_before(log, l, mode, size > 8 ? data[1] * 1000000000ull : 0);
        std::vector<uint8_t> slot(l.slot, 0);
        sd::log_append(log, l, mode, slot.data());
    }
    if (log.file)
        fclose(log.file);
    close(fd);
}

void picture_file(const uint8_t *data, size_t size)
{
    const int fd = memfd_with(data, size);
    if (fd < 0)
        return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (FILE *fp = fopen(path.c_str(), "rb+")) {
        std::vector<Picture> pictures;
        const int64_t end = sd::pic_data_walk(fp, static_cast<int64_t>(size), note_picture, &pictures);
        if (end > std::max<int64_t>(static_cast<int64_t>(size), sd::kIndexHeadSize))
            std::abort();
        for (const Picture &p : pictures) {
            std::vector<uint8_t> bytes;
            if (sd::pic_data_read(fp, static_cast<int64_t>(size), p.offset, p.time, bytes) == 0 &&
                p.offset + sd::kPicRecordOverhead + bytes.size() > size)
                std::abort();
            sd::pic_data_mark_deleted(fp, static_cast<int64_t>(size), p.offset, p.time);
        }
        fclose(fp);
    }
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    const sd::IndexLayout *layouts[] = {&kVideo, &kEvent, &sd::kStoreLayout};
    index_log(*layouts[data[0] % 3], data + 1, size - 1);
    picture_file(data + 1, size - 1);
    return 0;
}
