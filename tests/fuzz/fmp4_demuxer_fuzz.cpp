// Feeds the recording reader arbitrary files (padded to the smallest size it opens): opening, the index
// list, loading every period and reading, seeking and aligning its frames must stay within the file
// and end, whatever the box sizes say. The same bytes go through the NAL scanner, whose units must
// lie inside the input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_nal.h"
#include "ko_sdk_fuzz_support.h"

namespace {
constexpr size_t kMinFile = 32768;

void read_frames(fmp4_demuxer_t *d)
{
    for (int i = 0; i < 256; i++) {
        fmp4_frame_t f{};
        uint32_t ms = 0;
        if (fmp4_demuxer_read_video(d, &f, &ms) != 0)
            break;
        free(f.data);
        if (fmp4_demuxer_read_audio(d, &f, &ms) == 0)
            free(f.data);
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    fmp4::Nal nal;
    while (fmp4::next_nal(data, size, &pos, &nal))
        if (nal.data < data || nal.data + nal.size > data + size || nal.size == 0)
            std::abort();

    const int fd = memfd_create("fmp4_fuzz", 0);
    if (fd < 0)
        return 0;
    std::vector<uint8_t> file(data, data + size);
    if (file.size() < kMinFile)
        file.resize(kMinFile, 0);
    if (write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size())) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        if (fmp4_demuxer_t *d = fmp4_demuxer_open(path.c_str())) {
            const fmp4_index_entry_t *entries = nullptr;
            uint32_t bytes = 0;
            fmp4_demuxer_read_fileinfo(d, &entries, &bytes);
            for (uint32_t i = 0; i < bytes / FMP4_INDEX_ENTRY_SIZE && i < 64; i++) {
                if (fmp4_demuxer_seek_fragment(d, entries[i].start) != 0)
                    continue;
                read_frames(d);
                fmp4_demuxer_seek(d, size > 0 ? data[size - 1] % 8 : 0);
                fmp4_seek_I_frame_playback(d);
                fmp4_demuxer_sync_video_audio(d);
                read_frames(d);
            }
            fmp4_demuxer_close(d);
        }
    }
    close(fd);
    return 0;
}
