// Words of shell commands: a text quoted so that the shell takes it as one word whatever it holds
// (blanks, quotes, "$", ";"), and a device path mapped below the path root and quoted.
#pragma once

#include <string>
#include <string_view>

std::string zel_shell_quote(std::string_view text);
// zel_path(device_path), quoted.
std::string zel_shell_path(std::string_view device_path);
