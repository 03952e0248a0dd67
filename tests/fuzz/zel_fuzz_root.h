// A temporary ZELMAR_ROOT for fuzz targets whose parsers read files or open device paths: made once
// with the device folders, removed when the fuzzer exits.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace zelfuzz {

inline int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

class Root {
public:
    Root()
    {
        const char *base = getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/zelmar-fuzz-XXXXXX";
        if (!mkdtemp(templ.data())) {
            perror("mkdtemp");
            abort();
        }
        dir_ = templ;
        setenv("ZELMAR_ROOT", dir_.c_str(), 1);
        for (const char *d : {"/mnt", "/mnt/data", "/mnt/sdcard", "/tmp", "/var", "/var/run", "/run", "/dev", "/proc"})
            if (mkdir((dir_ + d).c_str(), 0755) != 0) {
                perror("mkdir");
                abort();
            }
    }
    ~Root() { nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
    Root(const Root &) = delete;
    Root &operator=(const Root &) = delete;

    const std::string &dir() const { return dir_; }
    std::string path(const char *device_path) const { return dir_ + device_path; }

    // Writes `size` bytes to the real location of `device_path`; false when it cannot.
    bool write(const char *device_path, const void *data, size_t size) const
    {
        FILE *f = fopen(path(device_path).c_str(), "wb");
        if (!f)
            return false;
        const bool ok = fwrite(data, 1, size, f) == size;
        return fclose(f) == 0 && ok;
    }

private:
    std::string dir_;
};

// The one root of the process (the fuzzer runs every input in one process).
inline Root &root()
{
    static Root r;
    return r;
}

} // namespace zelfuzz
