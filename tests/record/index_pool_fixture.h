// A pool on a directory of the temporary root (a card of 4 GiB as the porting-hooks double reports
// it) with its own indexes. Data files are sparse.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <unistd.h>

#include "app/record/sd_pool.h"
#include "ko_porting_hooks_double.h"
#include "zel_test_support.h"

namespace rectest {

class IndexPool : public ::testing::Test {
protected:
    static constexpr uint64_t kGiB = 1024ull * 1024 * 1024;
    void SetUp() override
    {
        zeltest::porting_hooks_reset();
        zeltest::PortingHooksScript script;
        script.card_size = 4 * kGiB;
        script.card_other_used = 4 * kGiB - 64 * 1024 * 1024;
        zeltest::porting_hooks_script(script);
        for (int i = 1; i <= 3; i++)
            sparse("zreserved_000" + std::to_string(i) + "_9999_0_19700101000000_19700101000000.bin");
    }
    void TearDown() override { sd_uninit(); }
    int init(int cameras = 1) { return sd_init("/mnt/sdcard", cameras, 0, 0, 0, [](int) {}); }
    std::string card(const std::string &file = "") const
    {
        return root_.path("/mnt/sdcard") + (file.empty() ? "" : "/" + file);
    }
    void sparse(const std::string &file) const
    {
        std::ofstream(card(file)).close();
        ASSERT_EQ(truncate(card(file).c_str(), 134217728), 0);
    }
    // The real path of the channel's index file of a kind.
    std::string index_path(int kind, int channel) const
    {
        sd_file_info_t *f = sd_get_path_and_set_channel(kind, channel, nullptr);
        return f ? card(f->path) : "";
    }

    zeltest::TempRoot root_;
};

} // namespace rectest
