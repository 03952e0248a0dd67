// The settings database fixture: a temporary root, an optional factory partition, and the database
// closed again after every case.
#pragma once

#include "zel_db/zel_db.h"
#include "zel_db_test_factory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace zeltest {

constexpr const char *TEST_MODEL = "ZX-PT200-CAMERA";

class DbTest : public ::testing::Test {
protected:
    void TearDown() override { zel_api_db_deinit(); }

    // A factory partition holding `model` (and a few identity entries).
    void add_factory(const std::string &model = TEST_MODEL, bool erased_end = false)
    {
        factory_ = std::make_unique<FakeFactory>(
            root_, factory_image({{"model", model}, {"did", "1234567890"}, {"key", "s3cr3t"}, {"mac", "AA:BB"}},
                                 65536, 256, erased_end));
        ASSERT_TRUE(factory_->ok()) << "no pseudo terminal for the factory partition";
    }

    // The value of `key`, or "<rc>" for a failure.
    static std::string get(const std::string &key)
    {
        char buf[2048] = {};
        const int rc = zel_api_db_get_value(key.c_str(), buf, sizeof buf);
        return rc == 0 ? std::string(buf) : "<" + std::to_string(rc) + ">";
    }

    static int set(const std::string &key, const std::string &value, bool save_now = false)
    {
        return zel_api_db_set_value(key.c_str(), value.c_str(), static_cast<int>(value.size()), save_now);
    }

    TempRoot root_;
    std::unique_ptr<FakeFactory> factory_;
};

} // namespace zeltest
