// A test SD card: a sparse ext4 image loop-mounted on the root's "/mnt/sdcard" with errors=remount-ro,
// and the card faults a camera meets (full, read-only, removed). The mount is made in a mount namespace
// of the constructing thread's own (threads and processes it starts later share it; others do not see
// the card). Needs root and a free loop device;
// tests check ready() and skip with reason() otherwise. Loop devices are shared with other test runs
// on the machine: the card takes whichever is free and detaches it when destroyed.
#pragma once

#include <cstdint>
#include <string>

namespace zeltest {

class TempRoot;

class TestCard {
public:
    TestCard(const TempRoot &root, uint64_t size_bytes);
    ~TestCard();
    TestCard(const TestCard &) = delete;
    TestCard &operator=(const TestCard &) = delete;

    bool ready() const { return mounted_; }
    const std::string &reason() const { return reason_; }
    const std::string &mount_point() const { return mount_; }
    const std::string &device() const { return loop_; }

    // Fills the card's free space with a filler file, leaving about `leave` bytes.
    bool fill(uint64_t leave = 0);
    // The file system turns read-only at once (even with files open).
    bool make_read_only();
    // The card is pulled: writes and syncs fail with EIO from then on.
    bool remove();
    // The pulled card is put back as it was when pulled and mounted again (its journal replays). Every
    // file of the card must be closed by then.
    bool reinsert();
    // Sectors written to the device since it was attached (/sys/block/<loop>/stat).
    uint64_t sectors_written() const;
    // Drops the page cache of the card's files so that sectors_written counts what they wrote.
    void flush() const;
    // A power cut: the file system stops at once and drops what it had not written (the shutdown
    // ioctl without flushing data or journal), then the card is mounted again, replaying its journal.
    bool power_cut();
    // Keeps a copy of the card as it is (unmounted for the copy) and puts that copy back later.
    bool save();
    bool restore();

private:
    bool remount(const std::string &between);

    std::string image_, mount_, loop_, reason_;
    bool mounted_ = false;
    bool removed_ = false;
};

} // namespace zeltest
