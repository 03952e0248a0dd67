// Feeds the firmware image verifier and the tag parser arbitrary bytes. The input is a u16
// little-endian root length, the root certificate, then the image; the image goes to the verifier in
// chunks whose sizes come from its own bytes, and its tail to the tag parser on its own (with the
// length field made to fit, so that the fields behind it are reached).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/ota/ko_ota_tag.h"
#include "app/ota/ko_ota_verify.h"
#include "ko_sdk_fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t root_len = std::min<size_t>(data[0] | data[1] << 8, size - 2);
    const std::string root(reinterpret_cast<const char *>(data + 2), root_len);
    const uint8_t *image = data + 2 + root_len;
    const size_t image_len = size - 2 - root_len;

    std::vector<uint8_t> tag(image, image + image_len);
    if (tag.size() >= KO_OTA_TAG_HEAD_MIN) {
        std::memcpy(tag.data(), KO_OTA_TAG_MAGIC, KO_OTA_TAG_MAGIC_LEN);
        for (int i = 0; i < 4; ++i)
            tag[20 + i] = static_cast<uint8_t>(tag.size() >> (8 * i));
    }
    ko_ota_tag parsed;
    if (ko_ota_tag_parse(tag.data(), tag.size(), &parsed) == 0 &&
        parsed.signature.data() + parsed.signature.size() != reinterpret_cast<const char *>(tag.data() + tag.size()))
        std::abort();

    ko_ota_verify *v = nullptr;
    if (ko_ota_verify_init(&v, root.data(), root.size(), "00", true) != 0)
        return 0;
    ko_ota_verify_set_total(v, image_len);
    size_t handed = 0;
    auto sink = [](const uint8_t *, size_t n, void *user) { *static_cast<size_t *>(user) += n; };
    for (size_t at = 0; at < image_len;) {
        const size_t n = std::min<size_t>(image_len - at, 1 + image[at] * 37u);
        if (ko_ota_verify_update(v, image + at, n, sink, &handed) != n)
            std::abort();
        at += n;
    }
    const ko_ota_expect expect{"zelmar.camera.c1", "1.2.3_4600", false};
    const long long rc = ko_ota_verify_finish(v, &expect, sink, &handed);
    ko_ota_verify_free(v);
    if (handed > image_len || (rc >= 0 && static_cast<size_t>(rc) != handed))
        std::abort();
    return 0;
}
