// Whether a setting or message member holds a secret (a password, token or key), so that log lines
// show "******" in its place.
#pragma once

#include <string_view>

bool zel_is_secret_name(std::string_view name);
