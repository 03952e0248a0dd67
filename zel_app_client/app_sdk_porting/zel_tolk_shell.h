// Device paths in shell commands: mapped below the path root and quoted, so that a root with blanks
// or quotes in it stays one word.
#pragma once

#include <string>
#include <string_view>

std::string zel_tolk_shell_quote(std::string_view text);
// zel_path(device_path), quoted.
std::string zel_tolk_shell_path(std::string_view device_path);
