// Feeds ko_ipc_bind_info_decode the bind information text a phone hands over ("b=..&t=..&s=..").
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/sdk/ko_sdk.h"
#include "ko_sdk_fuzz_support.h"

namespace {

ko_sdk_info g_record;

bool terminated(const char *field, size_t width)
{
    return std::memchr(field, 0, width) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    std::memset(&g_record, 0, sizeof g_record);
    pthread_mutex_init(&g_record.mutex, nullptr);
    g_sdk_info = &g_record;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    ko_bind_info info;
    if (ko_ipc_bind_info_decode(text.c_str(), &info) == 0) {
        if (!terminated(info.ssid, sizeof info.ssid) || !terminated(info.passwd, sizeof info.passwd))
            std::abort();
    }
    return 0;
}
