// Voice prompts: the table of the 34 prompt names, the language folder, and the loading of a prompt
// file (memory-mapped, then copied once into the speaker queue).
#include "zel_sound_play.h"
#include "zel_sound_prompt.h"

#include "zel_media_state.h"

#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

using media::kTag;

const sound_info_t sound_info[SOUND_PROMPT_COUNT] = {
    {0, "binding_fail"},
    {1, "wait_device_online"},
    {2, "waiting_connection"},
    {3, "connecting_pease_wait"},
    {4, "wifi_connected"},
    {5, "wlan_passwd_err"},
    {6, "pincode_input"},
    {7, "pincode_supported1"},
    {8, "pincode_supported2"},
    {9, "numb_zero"},
    {10, "numb_one"},
    {11, "numb_two"},
    {12, "numb_three"},
    {13, "numb_four"},
    {14, "numb_five"},
    {15, "numb_six"},
    {16, "numb_seven"},
    {17, "numb_eight"},
    {18, "numb_nine"},
    {19, "reset_success"},
    {20, "booting"},
    {21, "ota"},
    {22, "alarm1"},
    {23, "alarm2"},
    {24, "alarm3"},
    {25, "ding"},
    {26, "qrcode_success"},
    {27, "qrcode_fail"},
    {28, "dingding"},
    {29, "wifi_connection_failed"},
    {30, "connect_cloud_fail"},
    {31, "sdcard_in"},
    {32, "sdcard_out"},
    {33, "sdcard_not_used"},
};

namespace {

constexpr const char *kSoundDir = "/mnt/data/sound/";
constexpr size_t kMaxLanguage = 6;
constexpr size_t kMaxPath = 255;
constexpr size_t kPage = 4096;
constexpr uint64_t kMaxPromptBytes = 64u << 20; // a queued item must fit an int length

std::mutex g_language_lock;
std::string g_language;

std::string language()
{
    std::lock_guard<std::mutex> l(g_language_lock);
    return g_language;
}

// The folder of the prompts: the language's when it exists, else the default one.
std::string prompt_dir()
{
    const std::string lang = language();
    if (lang.empty()) {
        ZEL_LOGW(kTag, "sound play language is NULL, set default path!\n");
        return kSoundDir;
    }
    const std::string dir = std::string(kSoundDir) + lang + "/";
    if (DIR *d = opendir(zel_path(dir).c_str())) {
        closedir(d);
        return dir;
    }
    ZEL_LOGE(kTag, "sound path: %s does not exist, set default path!\n", dir.c_str());
    return kSoundDir;
}

// A prompt file mapped read-only; unmapped when it goes.
class Sound {
public:
    ~Sound()
    {
        if (map_ != MAP_FAILED)
            munmap(map_, mapped_);
    }
    bool load(const std::string &path);
    const void *data() const { return map_; }
    size_t size() const { return size_; }

private:
    void *map_ = MAP_FAILED;
    size_t mapped_ = 0;
    size_t size_ = 0;
};

bool Sound::load(const std::string &path)
{
    const std::string real = zel_path(path);
    const int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ZEL_LOGW(kTag, "sound: Can not open %s for read: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    bool ok = false;
    if (fstat(fd, &st) != 0) {
        ZEL_LOGW(kTag, "sound: Can not stat %s: %s\n", path.c_str(), strerror(errno));
    } else if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > kMaxPromptBytes) {
        ZEL_LOGW(kTag, "sound: Can not map %s into memory: %lld bytes\n", path.c_str(),
                 static_cast<long long>(st.st_size));
    } else {
        size_ = static_cast<size_t>(st.st_size);
        mapped_ = (size_ + kPage - 1) / kPage * kPage;
        map_ = mmap(nullptr, mapped_, PROT_READ, MAP_SHARED, fd, 0);
        ok = map_ != MAP_FAILED;
        if (!ok)
            ZEL_LOGW(kTag, "sound: Can not map %s into memory: %s\n", path.c_str(), strerror(errno));
    }
    close(fd);
    return ok;
}

} // namespace

namespace sound {

void read_language()
{
    char value[128];
    memset(value, 0, sizeof value);
    zel_api_db_get_value("ROM.language", value, sizeof value);
    const size_t n = strlen(value);
    std::lock_guard<std::mutex> l(g_language_lock);
    g_language.clear();
    if (n > kMaxLanguage)
        ZEL_LOGE(kTag, "language msg is too long: %zu!\n", n);
    else
        g_language = value;
    ZEL_LOGI(kTag, "language: %s\n", g_language.c_str());
}

} // namespace sound

int zel_api_sound_play_file(int id)
{
    if (id < 0 || id >= SOUND_PROMPT_COUNT) {
        ZEL_LOGE(kTag, "%s(): no prompt %d (0 to %d)\n", __func__, id, SOUND_PROMPT_COUNT - 1);
        return -1;
    }
    if (!sound::queue_open()) {
        ZEL_LOGE(kTag, "sound app don't init ");
        return -1;
    }
    const std::string path = prompt_dir() + sound_info[id].name;
    if (path.size() > kMaxPath) {
        ZEL_LOGE(kTag, "%s(): prompt path of %zu characters (at most %zu): %s\n", __func__, path.size(), kMaxPath,
                 path.c_str());
        return -1;
    }
    Sound sound;
    if (!sound.load(path)) {
        ZEL_LOGW(kTag, "sound: %s receiver has not created.\n", sound_info[id].name);
        return -1;
    }
    ZEL_LOGI(kTag, "sound: sending %s in addr %p size %lu", sound_info[id].name, sound.data(),
             static_cast<unsigned long>(sound.size()));
    return zel_api_play_audio_data(sound.data(), static_cast<int>(sound.size()));
}

void set_motor_run_status(int status)
{
    ZEL_LOGI(kTag, " set_motor_run_status to %d \n", status);
}
