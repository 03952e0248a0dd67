// The streaming ustar writer: header, data and padding of each file, then two zero blocks, one
// piece per read. A file's data is exactly the size recorded at init, whatever the file does since.
#include "common/utils/ko_tar.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/utils/ko_log.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *kModule = "KO TAR";
constexpr size_t kBlock = 512;

struct TarEntry {
    std::string path; // real location
    uint64_t size = 0;
    uint64_t padding = 0;
    bool directory = false;
    FILE *stream = nullptr;
    bool header_sent = false;
    uint64_t sent = 0;
    bool padding_pending = false;
};

// Octal text with its NUL; a value too wide for its field (an id beyond 7 digits) is written as 0.
void put_octal(char *field, size_t width, uint64_t value)
{
    char text[24];
    const int n = std::snprintf(text, sizeof(text), "%llo", static_cast<unsigned long long>(value));
    if (n > 0 && static_cast<size_t>(n) < width)
        std::memcpy(field, text, static_cast<size_t>(n) + 1);
    else
        std::memcpy(field, "0", 2);
}

} // namespace

struct ko_tar {
    TarEntry files[KO_TAR_MAX_FILES];
    int count = 0;
    int current = 0;
    int error = 0; // errno of the first failure; sticky
    bool end_sent = false;

    ~ko_tar()
    {
        for (auto &f : files)
            if (f.stream)
                std::fclose(f.stream);
    }
};

namespace {

int fail(ko_tar *tar, int err)
{
    tar->error = err ? err : EIO;
    return -1;
}

int build_header(ko_tar *tar, TarEntry &f, char *buf)
{
    struct stat st {};
    if (stat(f.path.c_str(), &st) != 0) {
        const int err = errno;
        KO_LOGE(kModule, "could not stat file \"%s\": %s\n", f.path.c_str(), std::strerror(err));
        return fail(tar, err);
    }
    if (!f.directory) {
        f.stream = std::fopen(f.path.c_str(), "rbe");
        if (!f.stream) {
            const int err = errno;
            KO_LOGE(kModule, "could not open file \"%s\": %s\n", f.path.c_str(), std::strerror(err));
            return fail(tar, err);
        }
    }
    std::memset(buf, 0, kBlock);
    const size_t slash = f.path.find_last_of('/');
    std::string name = slash == std::string::npos ? f.path : f.path.substr(slash + 1);
    if (f.directory)
        name += '/';
    std::memcpy(buf, name.data(), std::min<size_t>(name.size(), 99));
    put_octal(buf + 100, 8, st.st_mode & 0xfff);
    put_octal(buf + 108, 8, st.st_uid);
    put_octal(buf + 116, 8, st.st_gid);
    // The header announces the size recorded at init: that is what the archive carries.
    put_octal(buf + 124, 12, f.size);
    put_octal(buf + 136, 12, static_cast<uint64_t>(st.st_mtime));
    buf[156] = f.directory ? '5' : '0';
    std::memcpy(buf + 257, "ustar", 6);
    std::memcpy(buf + 263, "00", 2);
    std::memcpy(buf + 265, "root", 4);
    std::memcpy(buf + 297, "root", 4);
    std::memcpy(buf + 329, "0", 1);
    std::memcpy(buf + 337, "0", 1);
    unsigned sum = 256;
    for (size_t i = 0; i < kBlock; ++i)
        if (i < 148 || i >= 156)
            sum += static_cast<unsigned char>(buf[i]);
    put_octal(buf + 148, 8, sum);
    f.header_sent = true;
    if (f.size == 0)
        f.padding_pending = true;
    return static_cast<int>(kBlock);
}

int read_data(ko_tar *tar, TarEntry &f, char *buf, size_t len)
{
    const size_t want = static_cast<size_t>(std::min<uint64_t>(len, f.size - f.sent));
    size_t got = std::fread(buf, 1, want, f.stream);
    if (got < want && std::ferror(f.stream)) {
        const int err = errno;
        KO_LOGE(kModule, "could not read tar file %s: %s\n", f.path.c_str(), std::strerror(err));
        return fail(tar, err);
    }
    if (got == 0) {
        // The file shrank since init: zeros stand in for the missing bytes.
        got = static_cast<size_t>(std::min<uint64_t>(std::min<size_t>(len, 1024), f.size - f.sent));
        std::memset(buf, 0, got);
    }
    f.sent += got;
    if (f.sent >= f.size) {
        std::fclose(f.stream);
        f.stream = nullptr;
        f.padding_pending = true;
    }
    return static_cast<int>(got);
}

} // namespace

ko_tar *ko_tar_init(const char (*paths)[KO_TAR_PATH_LEN], int count)
{
    if (count < 0 || count > KO_TAR_MAX_FILES || (count > 0 && !paths)) {
        KO_LOGE(kModule, "too much files for tar %d\n", count);
        return nullptr;
    }
    std::unique_ptr<ko_tar> tar(new (std::nothrow) ko_tar);
    if (!tar) {
        KO_LOGE(kModule, "could not malloc to tar handle : %s\n", std::strerror(ENOMEM));
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        TarEntry &f = tar->files[i];
        f.path = zel_path(std::string(paths[i], strnlen(paths[i], KO_TAR_PATH_LEN)));
        struct stat st {};
        if (stat(f.path.c_str(), &st) == 0) {
            f.directory = S_ISDIR(st.st_mode);
            f.size = f.directory ? 0 : static_cast<uint64_t>(st.st_size);
        }
        f.padding = (kBlock - f.size % kBlock) % kBlock;
    }
    tar->count = count;
    return tar.release();
}

int64_t ko_tar_total_size(const ko_tar *tar)
{
    if (!tar)
        return -1;
    int64_t total = 1024;
    for (int i = 0; i < tar->count; ++i)
        total += static_cast<int64_t>(kBlock + tar->files[i].size + tar->files[i].padding);
    return total;
}

int ko_tar_read(ko_tar *tar, void *out, int len)
{
    if (!tar || !out || len < KO_TAR_MIN_READ) {
        KO_LOGE(kModule, "tar_output : invalid input param %p -- %d\n", static_cast<void *>(tar), len);
        return -1;
    }
    if (tar->error)
        return -1;
    auto *buf = static_cast<char *>(out);
    while (tar->current < tar->count) {
        TarEntry &f = tar->files[tar->current];
        if (f.padding_pending) {
            ++tar->current;
            if (f.padding > 0) {
                std::memset(buf, 0, f.padding);
                return static_cast<int>(f.padding);
            }
            continue;
        }
        if (!f.header_sent)
            return build_header(tar, f, buf);
        return read_data(tar, f, buf, static_cast<size_t>(len));
    }
    if (tar->end_sent)
        return 0;
    KO_LOGD(kModule, "all tar over\n");
    std::memset(buf, 0, 1024);
    tar->end_sent = true;
    return 1024;
}

void ko_tar_finish(ko_tar *tar)
{
    delete tar;
}
