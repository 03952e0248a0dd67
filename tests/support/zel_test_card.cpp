#include "zel_test_card.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

#include "zel_test_support.h"

namespace zeltest {

namespace {

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string loop_name(const std::string &device)
{
    const size_t slash = device.rfind('/');
    return slash == std::string::npos ? device : device.substr(slash + 1);
}

} // namespace

TestCard::TestCard(const TempRoot &root, uint64_t size_bytes)
{
    if (geteuid() != 0) {
        reason_ = "the test card needs root (loop mount)";
        return;
    }
    if (run_command("command -v mkfs.ext4 losetup >/dev/null 2>&1") != 0) {
        reason_ = "mkfs.ext4 or losetup missing";
        return;
    }
    // The card is mounted in a mount namespace of the calling thread's own: a namespace another
    // process makes while the card is mounted would otherwise keep a copy of the mount, and with it
    // the file system, alive after our unmount, so that mounting the device again would not read it.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        reason_ = "cannot make a mount namespace";
        return;
    }
    image_ = root.dir() + "/../" + loop_name(root.dir()) + ".card.img";
    mount_ = root.path("/mnt/sdcard");
    if (run_command("truncate -s " + std::to_string(size_bytes) + " '" + image_ + "' && mkfs.ext4 -q -F -m 0 "
                    "-E lazy_itable_init=1,lazy_journal_init=1 '" + image_ + "' >/dev/null 2>&1") != 0) {
        reason_ = "cannot make the card image";
        return;
    }
    std::string out;
    for (int attempt = 0; attempt < 5 && loop_.empty(); attempt++) {
        out.clear();
        if (run_command("losetup -f --show '" + image_ + "' 2>/dev/null", &out) == 0)
            loop_ = trim(out);
        else
            usleep(100000);
    }
    if (loop_.empty()) {
        reason_ = "no free loop device";
        return;
    }
    if (run_command("mount -t ext4 -o errors=remount-ro '" + loop_ + "' '" + mount_ + "' 2>/dev/null") != 0) {
        reason_ = "cannot mount the card";
        return;
    }
    mounted_ = true;
}

TestCard::~TestCard()
{
    if (mounted_ && !removed_)
        run_command("umount '" + mount_ + "' 2>/dev/null || umount -l '" + mount_ + "' 2>/dev/null");
    if (!loop_.empty())
        run_command("losetup -d '" + loop_ + "' 2>/dev/null");
    if (!image_.empty()) {
        unlink(image_.c_str());
        unlink((image_ + ".saved").c_str());
        unlink((image_ + ".pulled").c_str());
    }
}

bool TestCard::fill(uint64_t leave)
{
    std::string out;
    if (run_command("df -B1 --output=avail '" + mount_ + "' | tail -1", &out) != 0)
        return false;
    const uint64_t avail = std::stoull(trim(out));
    const uint64_t size = avail > leave ? avail - leave : 0;
    return run_command("fallocate -l " + std::to_string(size) + " '" + mount_ + "/filler' 2>/dev/null") == 0 &&
           run_command("sync -f '" + mount_ + "/filler'") == 0;
}

bool TestCard::make_read_only()
{
    return run_command("echo 1 > /sys/fs/ext4/" + loop_name(loop_) + "/trigger_fs_error") == 0;
}

bool TestCard::remove()
{
    removed_ = true;
    return run_command("cp --sparse=always '" + image_ + "' '" + image_ + ".pulled' && umount -l '" + mount_ +
                       "' && truncate -s 0 '" + image_ + "' && losetup -c '" + loop_ + "'") == 0;
}

bool TestCard::reinsert()
{
    // On a loop device of its own: the pulled one may still carry the old file system.
    std::string out;
    if (run_command("mv '" + image_ + ".pulled' '" + image_ + "'") != 0 ||
        run_command("losetup -f --show '" + image_ + "' 2>/dev/null", &out) != 0)
        return false;
    run_command("losetup -d '" + loop_ + "' 2>/dev/null");
    loop_ = trim(out);
    removed_ = false;
    mounted_ = run_command("mount -t ext4 -o errors=remount-ro '" + loop_ + "' '" + mount_ + "' 2>/dev/null") == 0;
    return mounted_;
}

uint64_t TestCard::sectors_written() const
{
    std::ifstream stat("/sys/block/" + loop_name(loop_) + "/stat");
    uint64_t fields[7] = {};
    for (uint64_t &f : fields)
        stat >> f;
    return fields[6];
}

void TestCard::flush() const { run_command("sync -f '" + mount_ + "/.'"); }

bool TestCard::remount(const std::string &between)
{
    // The device's own buffer cache is dropped too: it must not outlive the image's contents.
    if (run_command("umount '" + mount_ + "'") != 0 || (!between.empty() && run_command(between) != 0) ||
        run_command("blockdev --flushbufs '" + loop_ + "'") != 0) {
        mounted_ = false;
        return false;
    }
    mounted_ = run_command("mount -t ext4 -o errors=remount-ro '" + loop_ + "' '" + mount_ + "' 2>/dev/null") == 0;
    return mounted_;
}

bool TestCard::power_cut()
{
    // FS_IOC_SHUTDOWN with flag 2 (neither data nor journal flushed), from a host process: an emulator
    // running this program does not pass the request on.
    const std::string shutdown = "import fcntl, os, struct; fd = os.open('" + mount_ +
                                 "', os.O_RDONLY | os.O_DIRECTORY); fcntl.ioctl(fd, (2 << 30) | (4 << 16) | "
                                 "(ord('X') << 8) | 125, struct.pack('I', 2))";
    return run_command("'" ZEL_PYTHON "' -c \"" + shutdown + "\"") == 0 && remount("");
}

bool TestCard::save()
{
    return remount("cp --sparse=always '" + image_ + "' '" + image_ + ".saved'");
}

bool TestCard::restore()
{
    return remount("cp --sparse=always '" + image_ + ".saved' '" + image_ + "'");
}

} // namespace zeltest
