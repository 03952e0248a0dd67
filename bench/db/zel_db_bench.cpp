// Settings database speed: get and set on a 150-key store next to std::unordered_map, and one NVM
// save (dump, encrypt, write, fsync, rename) next to a raw write+fsync of the same number of bytes.
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_db/zel_db_files.h"
#include "zel_db/zel_db_store.h"
#include "zelmar/zel_path.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int STORE_KEYS = 150;
const char KEYIV[] = "0123456789abcdefFEDCBA9876543210";

// Every get, set and save logs at debug level: keep the output to the numbers and real errors.
void quiet_logging(const std::string &root)
{
    const std::string ini = root + "/zel_log.ini";
    FILE *f = std::fopen(ini.c_str(), "w");
    if (!f || std::fputs("[console]\ntype = stderr\ncolor = false\n"
                         "[bench]\nappender = console\nlevel = error\nasync = false\ndefault = true\n",
                         f) < 0 || std::fclose(f) != 0 || zel_log_init(ini.c_str()) != 0)
        std::fprintf(stderr, "logging not configured: the numbers come with debug lines\n");
}

// A temporary root with the database open and its NVM store grown to 150 keys.
struct Database {
    std::string root;
    std::vector<std::string> keys;
    Database()
    {
        char templ[] = "/tmp/zel-db-bench-XXXXXX";
        root = mkdtemp(templ);
        setenv("ZELMAR_ROOT", root.c_str(), 1);
        for (const char *d : {"/mnt", "/mnt/data", "/var", "/var/run", "/tmp", "/proc", "/dev"})
            mkdir((root + d).c_str(), 0755);
        quiet_logging(root);
        zel_api_db_init();
        // This host has no factory model to form the key from; a fixed key lets the timed save succeed.
        std::memcpy(zel_db_state().keyiv, KEYIV, sizeof KEYIV);
        for (int i = 0; i < db_keys_num; ++i)
            if (std::string(db_keys[i].key).rfind("NVM.", 0) == 0)
                keys.push_back(db_keys[i].key);
        for (int i = 0; keys.size() < STORE_KEYS; ++i) {
            keys.push_back("NVM.BENCH:key_" + std::to_string(i));
            zel_api_db_set_value(keys.back().c_str(), "value of moderate length", 24, 0);
        }
    }
    ~Database()
    {
        zel_api_db_deinit();
        std::system(("rm -rf " + root).c_str());
    }
};

Database &db()
{
    static Database instance;
    return instance;
}

void BM_DbGet(benchmark::State &state)
{
    Database &d = db();
    char buf[256];
    size_t i = 0;
    for (auto _ : state) {
        buf[0] = '\0';
        benchmark::DoNotOptimize(zel_api_db_get_value(d.keys[i++ % d.keys.size()].c_str(), buf, sizeof buf));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DbSet(benchmark::State &state)
{
    Database &d = db();
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(zel_api_db_set_value(d.keys[i++ % d.keys.size()].c_str(), "42", 2, 0));
    state.SetItemsProcessed(state.iterations());
}

std::unordered_map<std::string, std::string> &map_store()
{
    static std::unordered_map<std::string, std::string> m = [] {
        std::unordered_map<std::string, std::string> init;
        for (const std::string &k : db().keys)
            init[k] = "value of moderate length";
        return init;
    }();
    return m;
}

void BM_MapGet(benchmark::State &state)
{
    auto &m = map_store();
    const auto &keys = db().keys;
    char buf[256];
    size_t i = 0;
    for (auto _ : state) {
        const auto it = m.find(keys[i++ % keys.size()]);
        if (it != m.end())
            it->second.copy(buf, sizeof buf - 1);
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MapSet(benchmark::State &state)
{
    auto &m = map_store();
    const auto &keys = db().keys;
    size_t i = 0;
    for (auto _ : state)
        m[keys[i++ % keys.size()]] = "42";
    state.SetItemsProcessed(state.iterations());
}

void BM_NvmSave(benchmark::State &state)
{
    db();
    std::lock_guard<std::mutex> lock(zel_db_state().stores[ZEL_DB_NVM].lock);
    for (auto _ : state)
        if (chiper_db_iniparser_dump(ZEL_DB_NVM, KEYIV, 0) != 0)
            state.SkipWithError("save failed");
    struct stat st {};
    stat(zel_path("/mnt/data/.zel_db.ini").c_str(), &st);
    state.counters["bytes"] = static_cast<double>(st.st_size);
}

void BM_RawWriteFsync(benchmark::State &state)
{
    db();
    struct stat st {};
    const std::string main = zel_path("/mnt/data/.zel_db.ini");
    if (stat(main.c_str(), &st) != 0)
        chiper_db_iniparser_dump(ZEL_DB_NVM, KEYIV, 0), stat(main.c_str(), &st);
    const std::string bytes(static_cast<size_t>(st.st_size), 'x');
    const std::string path = zel_path("/mnt/data/raw.bin");
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || fsync(fd) != 0)
            state.SkipWithError("raw write failed");
        if (fd >= 0)
            close(fd);
    }
    state.counters["bytes"] = static_cast<double>(bytes.size());
}

} // namespace

BENCHMARK(BM_DbGet);
BENCHMARK(BM_MapGet);
BENCHMARK(BM_DbSet);
BENCHMARK(BM_MapSet);
BENCHMARK(BM_NvmSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawWriteFsync)->Unit(benchmark::kMillisecond);
