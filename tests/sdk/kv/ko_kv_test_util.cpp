#include "ko_kv_test_util.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/ipc/ko_message.h"
#include "common/kv/ko_kv.h"
#include "common/utils/ko_crc32.h"

namespace kvtest {

namespace {

void start()
{
    ko_kv_init_param p{};
    snprintf(p.path, sizeof p.path, "/mnt/data");
    snprintf(p.mac, sizeof p.mac, "%s", kMac);
    ASSERT_EQ(ko_kv_init(&p), 0);
}

} // namespace

Store::Store()
{
    ko_message_init(nullptr);
    start();
}

Store::~Store()
{
    ko_kv_deinit();
    ko_message_deinit();
}

void Store::restart()
{
    ASSERT_EQ(ko_kv_deinit(), 0);
    start();
}

std::vector<std::string> Store::files() const
{
    std::vector<std::string> names;
    DIR *d = opendir(data_dir().c_str());
    if (!d)
        return names;
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 && strcmp(e->d_name, "operator") != 0)
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string Store::copy_path(const std::string &base) const
{
    for (const auto &n : files())
        if (n == base || n.rfind(base + "_", 0) == 0)
            return data_dir() + "/" + n;
    return "";
}

std::string Store::read(const std::string &path) const
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Store::write(const std::string &path, const std::string &bytes) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool crc_name_matches(const std::string &path)
{
    const size_t us = path.rfind('_');
    if (us == std::string::npos)
        return false;
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string bytes = ss.str();
    return std::to_string(ko_crc32_total(bytes.data(), bytes.size())) == path.substr(us + 1);
}

} // namespace kvtest
