// Random numbers: one descriptor of "/dev/urandom" (below the path root when a root is set and holds
// one, so tests can script the bytes), opened on first use.
#include "zelmar/zel_rand.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "CORE_DEV";

int random_fd()
{
    static std::once_flag once;
    static int fd = -1;
    std::call_once(once, [] {
        fd = open(zel_path("/dev/urandom").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && *zel_path_root())
            fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    });
    return fd;
}

} // namespace

void rand_bytes(void *buf, int size)
{
    const int fd = random_fd();
    if (fd < 0) {
        ZEL_LOGA(TAG, "cannot open the random source: %s", std::strerror(errno));
        zel_log_uninit();
        std::abort();
    }
    auto *out = static_cast<unsigned char *>(buf);
    int got = 0;
    while (got < size) {
        const ssize_t n = read(fd, out + got, static_cast<size_t>(size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ZEL_LOGA(TAG, "random source gave %d of %d bytes", got, size);
            zel_log_uninit();
            std::abort();
        }
        got += static_cast<int>(n);
    }
}

uint32_t rand_long(void)
{
    uint32_t r;
    rand_bytes(&r, sizeof r);
    return r;
}

int32_t rand_int(void)
{
    return static_cast<int32_t>(rand_long());
}

unsigned rand_range(unsigned a, unsigned b)
{
    const unsigned r = rand_long();
    return b == a ? a + r : a + r % (b - a);
}

void rand_str(const char *set, int set_len, char *dst, int n)
{
    if (!set || !dst || set_len <= 0 || n <= 0)
        return;
    for (int i = 0; i < n; ++i)
        dst[i] = set[rand_range(0, static_cast<unsigned>(set_len))];
    dst[n] = '\0';
}

unsigned generate_random_id(void)
{
    return rand_range(1, 10000000);
}
