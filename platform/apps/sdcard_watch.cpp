// The watch thread lives as long as the process (like the real card library's) and sends only while
// the app is connected; after a reconnection it reports the current state again.
#include "sdcard_watch.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "zel_app_agent_client/agent_client.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

namespace sdcard_watch {

namespace {

constexpr const char *kModule = "sdcard_app";
constexpr int kKeySdcardStatus = 15;
constexpr int kKeySdcardCmd = 42;

bool is_mount_point(const std::string &dir)
{
    struct stat self, parent;
    return stat(dir.c_str(), &self) == 0 && stat((dir + "/..").c_str(), &parent) == 0 && self.st_dev != parent.st_dev;
}

void watch(const std::function<int()> &fd)
{
    bool was_mounted = false;
    int last_status = -1, last_presence = -1, last_fd = -1;
    for (;;) {
        const int status = card_status(&was_mounted);
        const int presence = status == STATUS_ABSENT ? CARD_OUT : CARD_IN;
        const int link = fd();
        if (link != last_fd) { // a new connection hears the state afresh
            last_status = last_presence = -1;
            last_fd = link;
        }
        if (link >= 0 && status != last_status) {
            ZEL_LOGI(kModule, "sdcard_status %d", status);
            if (send_request_api(kKeySdcardStatus, &status, nullptr, nullptr, 0, link) == 0)
                last_status = status;
        }
        if (link >= 0 && presence != last_presence && last_presence != -1) {
            if (send_request_api(kKeySdcardCmd, &presence, nullptr, nullptr, 0, link) == 0)
                last_presence = presence;
        } else if (link >= 0 && last_presence == -1) {
            last_presence = presence; // the first look is a state, not an insertion
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

} // namespace

int card_status(bool *was_mounted)
{
    const std::string dir = zel_path("/mnt/sdcard");
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *was_mounted = false;
        return STATUS_ABSENT;
    }
    const bool mounted = is_mount_point(dir);
    if (*was_mounted && !mounted)
        return STATUS_ABSENT; // pulled: stays absent until a card is mounted again
    *was_mounted = mounted;
    struct statvfs fs;
    if (statvfs(dir.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY))
        return STATUS_READ_ONLY;
    // A file system the kernel turned read-only after an error may still show writable flags: a
    // create tells.
    const std::string probe = dir + "/.sdcard_probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EROFS || errno == EACCES || errno == EIO ? STATUS_READ_ONLY : STATUS_WRITABLE;
    close(fd);
    unlink(probe.c_str());
    return STATUS_WRITABLE;
}

void start(std::function<int()> fd)
{
    static std::once_flag once;
    std::call_once(once, [&fd] { std::thread(watch, std::move(fd)).detach(); });
}

} // namespace sdcard_watch
