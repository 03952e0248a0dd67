// Helpers of the kv store tests: a started store in a temporary root, and the copies on disk.
#pragma once

#include <string>
#include <vector>

#include "zel_test_support.h"

namespace kvtest {

inline constexpr const char *kMac = "a4:c1:38:5e:90:0f";

// Starts the message bus and the store on "/mnt/data" of a fresh root; stops both at the end.
class Store {
public:
    Store();
    ~Store();
    void restart();
    const zeltest::TempRoot &root() const { return root_; }
    std::string data_dir() const { return root_.path("/mnt/data"); }
    // Names in the data directory, sorted.
    std::vector<std::string> files() const;
    // Full path of the copy with this base name ("ko_kv_db_src"), or "" when there is none.
    std::string copy_path(const std::string &base) const;
    std::string read(const std::string &path) const;
    void write(const std::string &path, const std::string &bytes) const;

private:
    zeltest::TempRoot root_;
};

// True when the copy's name carries the CRC-32 of its contents.
bool crc_name_matches(const std::string &path);

} // namespace kvtest
