// Feeds the custom-record index file ".custom_record_msg" as a card may hold it to its reader and
// editors. The first byte steers: bit 0 seals the rest as a well-formed image (head length, entry
// count and CRC set from the bytes, so the entries themselves are read: unsorted, repeated, any state),
// otherwise the bytes stand as they are; the other bits and the next four bytes give the start time
// that is added, changed and removed after the list is read. Every list handed out must be a whole
// image: a 512-byte head and 8-byte entries, as many as its count says.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/record/custom_record_index.h"
#include "common/tiny_fmp4/fmp4_box.h"
#include "common/utils/ko_crc32.h"
#include "ko_sdk_fuzz_support.h"
#include "zel_fuzz_root.h"

namespace {

constexpr size_t kFullSizeAt = 72, kCrcAt = 504, kCountAt = 508;

using fmp4::le32;
using fmp4::put_le32;

std::vector<uint8_t> sealed_image(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> img(data, data + size);
    img.resize(std::max<size_t>(CUSTOM_INDEX_HEAD_SIZE, img.size() / CUSTOM_INDEX_ENTRY_SIZE * CUSTOM_INDEX_ENTRY_SIZE));
    put_le32(img.data() + kFullSizeAt, static_cast<uint32_t>(img.size()));
    put_le32(img.data() + kCountAt, static_cast<uint32_t>(img.size() / CUSTOM_INDEX_ENTRY_SIZE - 64));
    uint32_t c = ko_crc32_init();
    c = ko_crc32_update(c, img.data(), kCrcAt);
    c = ko_crc32_update(c, img.data() + kCountAt, img.size() - kCountAt);
    put_le32(img.data() + kCrcAt, ko_crc32_finish(c));
    return img;
}

void check_listed()
{
    uint8_t *list = nullptr;
    uint32_t length = 0;
    if (custom_record_index_get(&list, &length) != 0)
        return;
    if (length < CUSTOM_INDEX_HEAD_SIZE ||
        length != (static_cast<uint64_t>(le32(list + kCountAt)) + 64) * CUSTOM_INDEX_ENTRY_SIZE)
        std::abort();
    free(list);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    mkdir(zelfuzz::root().path("/mnt/sdcard/DORVI_CUSTOM_RECORD").c_str(), 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5 || size > CUSTOM_INDEX_MAX_SIZE)
        return 0;
    const uint8_t steer = data[0];
    const uint32_t start = le32(data + 1) ^ (steer >> 1);
    std::vector<uint8_t> file = (steer & 1) ? sealed_image(data + 5, size - 5)
                                            : std::vector<uint8_t>(data + 5, data + size);
    if (!zelfuzz::root().write("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg", file.data(), file.size()))
        return 0;
    check_listed();
    const custom_record_index_entry_t entry{start, CUSTOM_RECORD_SET_UP, CUSTOM_RECORD_NO_FRAME, {0, 0}};
    custom_record_index_add(&entry);
    const custom_record_index_entry_t written{start, CUSTOM_RECORD_WRITTEN, CUSTOM_RECORD_HAS_FRAMES, {0, 0}};
    custom_record_index_mod(&written);
    check_listed();
    custom_record_index_del(start);
    check_listed();
    return 0;
}
