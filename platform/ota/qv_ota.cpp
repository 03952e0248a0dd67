// The simulated OTA install library: chunks go into a bounded staging buffer; only the install writes
// the partition file, in pieces, with the progress following; reboots are recorded, never done.
#include "qv_ota.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qv_ota_test.h"
#include "zelmar/zel_file.h"
#include "zelmar/zel_path.h"

namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr const char *kRebootLog = "/tmp/qv_ota_reboots";

struct Context {
    std::vector<unsigned char> staged;
    size_t capacity = 0;
};

struct Library {
    std::mutex lock;
    std::condition_variable rebooted;
    QvOtaScript script;
    bool script_set = false;
    int progress = 0;
    int reboots = 0;
    std::vector<std::string> installs;
    std::vector<std::unique_ptr<Context>> contexts; // a reboot would free them; tests do
};

Library &library()
{
    static Library l;
    return l;
}

QvOtaScript script_from_env()
{
    QvOtaScript s;
    const char *env = std::getenv("ZELMAR_QV_OTA");
    std::string text = env ? env : "";
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        if (item == "fault=no_handle")
            s.fault = QvOtaFault::no_handle;
        else if (item == "fault=refuse_chunk")
            s.fault = QvOtaFault::refuse_chunk;
        else if (item == "fault=install_fail")
            s.fault = QvOtaFault::install_fail;
        else if (item == "fault=stuck60")
            s.fault = QvOtaFault::stuck60;
        else if (item.rfind("piece_ms=", 0) == 0)
            s.piece_ms = std::atoi(item.c_str() + 9);
        at = end + 1;
    }
    return s;
}

QvOtaScript current_script()
{
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    if (!l.script_set) {
        l.script = script_from_env();
        l.script_set = true;
    }
    return l.script;
}

void set_progress(int percent)
{
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    l.progress = percent;
}

} // namespace

void *qv_ota_init(int size)
{
    if (size <= 0 || current_script().fault == QvOtaFault::no_handle)
        return nullptr;
    auto ctx = std::make_unique<Context>();
    ctx->capacity = static_cast<size_t>(size);
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    l.progress = 0;
    l.contexts.push_back(std::move(ctx));
    return l.contexts.back().get();
}

int qv_ota_download_ing(void *handle, const void *data, int len)
{
    auto *ctx = static_cast<Context *>(handle);
    if (!ctx || !data || len <= 0 || current_script().fault == QvOtaFault::refuse_chunk)
        return 0;
    if (ctx->staged.size() + static_cast<size_t>(len) > ctx->capacity)
        return 0;
    const auto *p = static_cast<const unsigned char *>(data);
    ctx->staged.insert(ctx->staged.end(), p, p + len);
    return 1;
}

int qv_ota_download_install(void *handle, const char *hid)
{
    auto *ctx = static_cast<Context *>(handle);
    if (!ctx || !hid)
        return -1;
    const QvOtaScript script = current_script();
    int reboots_before = 0;
    {
        Library &l = library();
        std::lock_guard<std::mutex> guard(l.lock);
        l.installs.emplace_back(hid);
        l.progress = 0;
        reboots_before = l.reboots;
    }
    if (script.fault == QvOtaFault::install_fail || ctx->staged.empty())
        return -1;
    const std::string path = zel_path(QV_OTA_PARTITION);
    const std::string temp = path + ".writing";
    const size_t total = ctx->staged.size();
    for (size_t at = 0; at < total; at += kPiece) {
        const size_t n = std::min(kPiece, total - at);
        if (file_put_contents(temp.c_str(), ctx->staged.data() + at, static_cast<int>(n),
                              at == 0 ? ZEL_FILE_SYNC : ZEL_FILE_APPEND | ZEL_FILE_SYNC) != static_cast<int>(n))
            return -1;
        const int percent = static_cast<int>((at + n) * 100 / total);
        if (script.fault == QvOtaFault::stuck60 && percent >= 60) {
            set_progress(60);
            // The flash never finishes; the install ends only with the reboot.
            Library &l = library();
            std::unique_lock<std::mutex> lock(l.lock);
            l.rebooted.wait(lock, [&] { return l.reboots != reboots_before; });
            return -1;
        }
        set_progress(percent < 100 ? percent : 99);
        if (script.piece_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(script.piece_ms));
    }
    if (rename(temp.c_str(), path.c_str()) != 0)
        return -1;
    set_progress(100);
    return 0;
}

int qv_ota_get_install_progress(int *percent)
{
    if (!percent)
        return -1;
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    *percent = l.progress;
    return 0;
}

int qv_ota_device_reboot(void *)
{
    Library &l = library();
    {
        std::lock_guard<std::mutex> guard(l.lock);
        ++l.reboots;
    }
    l.rebooted.notify_all();
    if (FILE *f = std::fopen(zel_path(kRebootLog).c_str(), "a")) {
        std::fputs("reboot\n", f);
        std::fclose(f);
    }
    return 1;
}

void qv_ota_test_set(const QvOtaScript &script)
{
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    l.script = script;
    l.script_set = true;
}

int qv_ota_test_reboots()
{
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    return l.reboots;
}

std::vector<std::string> qv_ota_test_installs()
{
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    return l.installs;
}

void qv_ota_test_reset()
{
    Library &l = library();
    std::lock_guard<std::mutex> guard(l.lock);
    l.script = QvOtaScript{};
    l.script_set = false;
    l.progress = 0;
    l.reboots = 0;
    l.installs.clear();
    l.contexts.clear();
}
