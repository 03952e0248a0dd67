// The NAS configuration in the kv store, and the share directory's suffix.
#include <cctype>
#include <cstring>

#include "app/nas/ko_nas_internal.h"
#include "app/nas/nas_share_common.h"
#include "common/kv/ko_kv.h"
#include "common/utils/ko_log.h"

namespace ko_nas {

namespace {

constexpr const char *kFolder = "varnel_camera_videos";

const char *dir_of(const json_object *cfg)
{
    json_object *value = nullptr;
    if (!cfg || !json_object_object_get_ex(const_cast<json_object *>(cfg), "dir", &value) ||
        !json_object_is_type(value, json_type_string))
        return nullptr;
    return json_object_get_string(value);
}

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string mac_with_colons(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (!out.empty())
            out += ':';
        out += hex.substr(i, 2);
    }
    return out;
}

} // namespace

std::string strip_video_dir(const Nas &n, const std::string &dir)
{
    const std::string folder = std::string("\\") + kFolder + "\\";
    for (const std::string &mac : {n.mac_hex, mac_with_colons(n.mac_hex)}) {
        // The MAC as the camera knows it, in either case.
        std::string lower = dir;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!mac.empty() && ends_with(lower, folder + mac))
            return dir.substr(0, dir.size() - folder.size() - mac.size());
    }
    return dir;
}

std::string video_dir(const Nas &n, const std::string &dir)
{
    std::string base = strip_video_dir(n, dir);
    while (!base.empty() && (base.back() == '\\' || base.back() == '/'))
        base.pop_back();
    return base + '\\' + kFolder + '\\' + n.mac_hex;
}

std::string share_root(const json_object *share_cfg)
{
    const std::string norm = nas_share_norm_path(dir_of(share_cfg));
    const size_t slash = norm.find('/');
    return slash == std::string::npos ? "" : norm.substr(slash + 1);
}

int save_config(Nas &n)
{
    uint8_t bytes[KO_NAS_CONFIG_LEN];
    ko_nas_config_encode(n.rec, bytes);
    int rc = 0;
    if (ko_kv_set_value(kSpace, "config", bytes, sizeof bytes) < 0) {
        KO_LOGE(kModule, "save nas config   fail\n");
        ++n.save_err;
        rc = -1;
    }
    if (n.share_cfg) {
        const char *text = json_object_to_json_string_ext(n.share_cfg, JSON_C_TO_STRING_PLAIN);
        const size_t len = std::strlen(text);
        if (len > KO_NAS_SHARE_CFG_MAX || ko_kv_set_value(kSpace, "share_cfg", text, static_cast<int>(len)) < 0) {
            KO_LOGE(kModule, "save nas cfg share_cfg fail\n");
            ++n.save_err;
            rc = -1;
        }
    } else {
        ko_kv_del_value(kSpace, "share_cfg");
    }
    return rc;
}

void reset_config(Nas &n)
{
    n.rec = ko_nas_record{};
    if (n.share_cfg)
        json_object_put(n.share_cfg);
    n.share_cfg = nullptr;
}

void load_config(Nas &n)
{
    uint8_t bytes[KO_NAS_CONFIG_LEN];
    const int got = ko_kv_get_value(kSpace, "config", reinterpret_cast<char *>(bytes), sizeof bytes);
    if (got != KO_NAS_CONFIG_LEN || ko_nas_config_decode(bytes, sizeof bytes, &n.rec) != 0) {
        KO_LOGE(kModule, "get nas config   fail\n");
        ++n.load_err;
        reset_config(n);
        save_config(n);
        return;
    }
    char text[KO_NAS_SHARE_CFG_MAX + 1];
    const int len = ko_kv_get_value(kSpace, "share_cfg", text, KO_NAS_SHARE_CFG_MAX);
    if (len <= 0)
        return; // no share set
    text[len] = '\0';
    json_object *cfg = json_tokener_parse(text);
    if (!cfg || !json_object_is_type(cfg, json_type_object)) {
        KO_LOGE(kModule, "get nas cfg share_cfg fail\n");
        json_object_put(cfg);
        ++n.load_err;
        reset_config(n);
        save_config(n);
        return;
    }
    // A share stored with the MAC text's colons gets the name SMB accepts.
    if (const char *dir = dir_of(cfg))
        json_object_object_add(cfg, "dir", json_object_new_string(video_dir(n, dir).c_str()));
    n.share_cfg = cfg;
}

} // namespace ko_nas
