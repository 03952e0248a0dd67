// The bare board read loop: the simulated board's main and sub video and its audio, each read by a
// thread of its own as fast as the board hands frames out, for the given seconds. The baseline of
// the whole-camera benchmark, which measures this process as its child.
#include "boardav.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? atoi(argv[1]) : 10;
    if (seconds <= 0 || board_system_init(1, 0) != 0) {
        fprintf(stderr, "usage: camera_board_loop SECONDS (and a board that starts)\n");
        return 1;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> readers;
    for (int chn = 0; chn < 2; chn++)
        readers.emplace_back([chn, until] {
            std::vector<uint8_t> buffer(524288);
            while (std::chrono::steady_clock::now() < until) {
                board_video_frame_info_t info{};
                get_video_stream(chn, buffer.data(), static_cast<int>(buffer.size()), &info);
            }
        });
    readers.emplace_back([until] {
        std::vector<uint8_t> buffer(4096);
        while (std::chrono::steady_clock::now() < until) {
            board_audio_frame_info_t info{};
            if (get_audio_stream_ex(buffer.data(), static_cast<int>(buffer.size()), &info) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (std::thread &t : readers)
        t.join();
    board_system_exit();
    return 0;
}
