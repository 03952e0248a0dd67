// Feeds a text to the hot-configuration parser, serialises what it stored, and merges and reads
// modules of it; the first byte picks the buffer sizes.
#include "zel_control/hot_config/zel_hot_config.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return -1;
    const uint8_t pick = data[0];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const unsigned room = 1 + (pick & 0x0f) * 64;

    zel_hot_config_t cfg{};
    zel_hot_config_str_to_object(&cfg, text.c_str());
    zel_hot_config_str_to_object(&cfg, text.c_str());  // again, over the texts it stored
    std::vector<char> out(room);
    if (zel_hot_config_object_to_str(out.data(), room, cfg) == 0 && strlen(out.data()) >= room)
        abort();
    zel_hot_config_free_osd(&cfg);

    std::vector<char> json(room + 16);
    std::strcpy(json.data(), "{\"ver\":\"1\"}");
    char module[4] = {};
    zel_hot_config_add_obj_to_obj(json.data(), static_cast<unsigned>(json.size()), text.c_str(), module,
                                  1 + (pick >> 6));
    if (strlen(json.data()) >= json.size() || strlen(module) >= 4)
        abort();
    zel_record_hot_config_add_obj_to_obj(json.data(), static_cast<unsigned>(json.size()), text.c_str(), nullptr, 0);
    for (const char *name : {"video", "audio", "osd", "record"}) {
        std::vector<char> member(room);
        if (zel_hot_config_str_get_module(text.c_str(), name, member.data(), static_cast<int>(room)) == 0 &&
            strlen(member.data()) >= room)
            abort();
    }
    return 0;
}
