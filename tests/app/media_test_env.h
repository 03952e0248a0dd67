// The shared set-up of the media app's tests: the app tests' environment with the factory keys a test
// asks for ("ROM.hid", "ROM.language", ...), the prompt sounds under "/mnt/data/sound/", the settings
// database and the agent server running; and helpers over the board's files and the recorded calls.
#pragma once

#include "app_test_apps.h"

#include "boardav_test.h"
#include "zel_db_test_factory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mediatest {

class Env {
public:
    // `with_model` false leaves "ROM.model" out of the factory keys.
    explicit Env(const zeltest::FactoryEntries &rom = {}, bool with_model = true);
    ~Env();
    const zeltest::TempRoot &root() const { return app_.root; }

private:
    apptest::Env app_;
};

// A setting's stored text, or "<absent>".
std::string setting(const char *key);
// Stores a setting (without saving at once); a test failure when refused.
void store(const char *key, const std::string &value);
std::vector<uint8_t> read_bytes(const std::string &path);
// Runs the Python agent peer on the test's bus with `args` (options, then messages); its output.
std::string agent_send(const std::vector<std::string> &args);
// The prompt file the build made for `name` ("" or "en").
std::vector<uint8_t> prompt_bytes(const std::string &name, const std::string &language = "");
// Monotonic microseconds of the first recorded board call that begins with `prefix` at or after
// `from_us`, or -1.
int64_t call_time(const std::string &prefix, int64_t from_us = 0);
// How many recorded board calls begin with `prefix`.
size_t call_count(const std::string &prefix);
int64_t now_us();

} // namespace mediatest
