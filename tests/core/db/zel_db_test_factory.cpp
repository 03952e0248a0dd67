#include "zel_db_test_factory.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>

namespace zeltest {

namespace {

void put_le32(std::string &s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

} // namespace

std::string factory_image(const FactoryEntries &entries, size_t size, size_t offset, bool erased_end)
{
    std::string image(size, '\xff');
    std::string list;
    for (const auto &[name, value] : entries)
        list += name + "=" + value + std::string(1, '\0');
    if (!erased_end)
        list.push_back('\0');
    put_le32(image, offset, 0x48534C46);
    put_le32(image, offset + 4, static_cast<uint32_t>(list.size()));
    put_le32(image, offset + 8, 0);
    put_le32(image, offset + 12, 0);
    put_le32(image, offset + 16, 0);
    image.replace(offset + 20, list.size(), list);
    return image;
}

FakeFactory::FakeFactory(const TempRoot &root, std::string image) : image_(std::move(image))
{
    char line[128];
    std::snprintf(line, sizeof line,
                  "dev:    size   erasesize  name\nmtd0: 00040000 00010000 \"boot\"\nmtd3: %08zx 00010000 \"Factory\"\n",
                  image_.size());
    root.write_file("/proc/mtd", line);
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return;
    const char *name = ptsname(master_);
    if (!name)
        return;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio {};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXON);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(slave_, TCSANOW, &tio) != 0 || symlink(name, root.path("/dev/mtdblock3").c_str()) != 0)
        return;
    ok_ = true;
    feeder_ = std::thread([this] { feed(); });
}

FakeFactory::~FakeFactory()
{
    stop_ = true;
    if (feeder_.joinable())
        feeder_.join();
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

void FakeFactory::feed()
{
    size_t pos = 0;
    while (!stop_) {
        pollfd pfd {master_, POLLOUT, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t n = write(master_, image_.data() + pos, image_.size() - pos);
        if (n > 0)
            pos = (pos + static_cast<size_t>(n)) % image_.size();
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}

std::string keytext_of(const std::string &model)
{
    std::string key;
    while (key.size() < 32)
        key += model;
    return key.substr(0, 32);
}

std::string hex_of(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

} // namespace zeltest
