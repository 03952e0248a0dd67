// A factory partition for settings tests: an image in the "FLSH" format served from a pseudo
// terminal (a real character device, so the device check passes without root), with the fake
// "/proc/mtd" line that points the database at it.
#pragma once

#include "zel_test_support.h"

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zeltest {

using FactoryEntries = std::vector<std::pair<std::string, std::string>>;

// The partition bytes: erased flash with the header at `offset`, then the entries and an end mark
// (a NUL, or 0xFF when `erased_end`).
std::string factory_image(const FactoryEntries &entries, size_t size = 65536, size_t offset = 256,
                          bool erased_end = false);

class FakeFactory {
public:
    // Writes "/proc/mtd" in `root` and links "/dev/mtdblock3" to a pty that serves `image` again
    // and again (each reader takes exactly one image, the partition size).
    FakeFactory(const TempRoot &root, std::string image);
    ~FakeFactory();
    FakeFactory(const FakeFactory &) = delete;
    FakeFactory &operator=(const FakeFactory &) = delete;
    bool ok() const { return ok_; }

private:
    void feed();
    std::string image_;
    int master_ = -1;
    int slave_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
};

// The key text the database forms from a model: the model repeated and cut to 32 characters.
std::string keytext_of(const std::string &model);
// Hex of the key (first 16 characters) and the IV (last 16), as openssl takes them.
std::string hex_of(const std::string &bytes);

} // namespace zeltest
