// Share records, NAS codes and the operations built on a record's own table.
#include "app/nas/nas_share_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace {

constexpr const char *kModule = "KO NAS";
constexpr int kStopped = 4;

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

nas_share_ops_t *nas_share_new(int type)
{
    if (type != NAS_SHARE_TYPE_SMB)
        return nullptr;
    auto *s = static_cast<nas_share_ops_t *>(std::malloc(sizeof(nas_share_ops_t)));
    if (s)
        *s = g_nas_share_samba;
    return s;
}

void nas_share_free(nas_share_ops_t *s)
{
    if (!s)
        return;
    s->release(s);
    std::free(s);
}

const char *nas_share_error_text(int code)
{
    switch (code) {
    case NAS_ERR_UPGRADE: return "Fail to upgrade lumo_smb to lumo_nas";
    case NAS_ERR_SLOW: return "Network connection is too slow";
    case NAS_ERR_SDCARD: return "SDCard error";
    case NAS_ERR_SERVER: return "NAS server error";
    case NAS_ERR_NAME: return "Name invalid";
    default: return code > 0 && code < 256 ? std::strerror(code) : "Unknown Error";
    }
}

std::string nas_share_norm_path(const char *path)
{
    std::string out;
    for (const char *p = path ? path : ""; *p; ++p) {
        const char c = *p == '\\' ? '/' : *p;
        if (c == '/' && (out.empty() || out.back() == '/'))
            continue;
        out += c;
    }
    if (!out.empty() && out.back() == '/')
        out.pop_back();
    return out;
}

int nas_share_common_writefile(nas_share_ops_t *s, const char *local, const char *remote, const int *stop,
                               nas_share_rename_fn rename)
{
    if (!s || !local || !remote || !rename)
        return EINVAL;
    const uint64_t start_ms = vexa_time_tick_ms();
    const std::string final_name = nas_share_norm_path(remote);
    const std::string part_name = final_name + ".part";
    FdCloser in{::open(local, O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) {
        KO_LOGE(kModule, "[writefile]: can not open %s: %s\n", local, std::strerror(errno));
        return NAS_ERR_SDCARD;
    }
    nas_share_file_t *out = nullptr;
    int rc = s->file_open(s, part_name.c_str(), 1, &out);
    if (rc != 0) {
        KO_LOGE(kModule, "[writefile]: upload %s, 0.0s, result: %d\n", final_name.c_str(), rc);
        return rc;
    }
    const size_t piece = s->max_buf(s);
    std::unique_ptr<char[]> buf(new (std::nothrow) char[piece]);
    if (!buf)
        rc = ENOMEM;
    while (rc == 0) {
        if (stop && __atomic_load_n(stop, __ATOMIC_ACQUIRE) != 0) {
            rc = kStopped;
            break;
        }
        const ssize_t got = ::read(in.fd, buf.get(), piece);
        if (got == 0) {
            KO_LOGD(kModule, "read file end.\n");
            break;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            KO_LOGE(kModule, "read file err.\n");
            rc = NAS_ERR_SDCARD;
            break;
        }
        for (ssize_t done = 0; done < got && rc == 0;) {
            const ssize_t put = s->file_write(s, out, buf.get() + done, static_cast<size_t>(got - done));
            if (put <= 0)
                rc = put < 0 ? static_cast<int>(-put) : NAS_ERR_SERVER;
            else
                done += put;
        }
    }
    const int closed = s->file_close(s, out);
    if (rc == 0)
        rc = closed;
    if (rc == 0) {
        // SMB refuses to rename over an existing name.
        s->unlink(s, final_name.c_str());
        rc = rename(s, part_name.c_str(), final_name.c_str());
    }
    if (rc != 0)
        s->unlink(s, part_name.c_str());
    const uint64_t cost = vexa_time_tick_ms() - start_ms;
    KO_LOGI(kModule, "[writefile]: upload %s, %ld.%lds, result: %d\n", final_name.c_str(), static_cast<long>(cost / 1000),
            static_cast<long>(cost % 1000), rc);
    return rc;
}

int nas_share_common_rmdir_recursive(nas_share_ops_t *s, const char *path)
{
    if (!s || !path)
        return EINVAL;
    const std::string base = nas_share_norm_path(path);
    int err = 0;
    nas_share_dir_t *dir = s->opendir(s, base.empty() ? "\\" : base.c_str(), &err);
    if (!dir)
        return err ? err : NAS_ERR_SERVER;
    std::vector<nas_share_entry_t> entries;
    nas_share_entry_t entry;
    int got;
    while ((got = s->readdir(s, dir, &entry)) == 1)
        entries.push_back(entry);
    s->closedir(s, dir);
    if (got < 0)
        return -got;
    int rc = 0;
    for (const nas_share_entry_t &e : entries) {
        const std::string child = base.empty() ? e.name : base + "/" + e.name;
        const int one = e.kind == NAS_ENTRY_DIR ? nas_share_common_rmdir_recursive(s, child.c_str())
                                                : s->unlink(s, child.c_str());
        if (one != 0)
            rc = one;
    }
    if (rc != 0 || base.empty())
        return rc;
    return s->rmdir(s, base.c_str());
}
