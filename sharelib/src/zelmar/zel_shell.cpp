#include "zelmar/zel_shell.h"

#include "zelmar/zel_path.h"

std::string zel_shell_quote(std::string_view text)
{
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string zel_shell_path(std::string_view device_path)
{
    return zel_shell_quote(zel_path(device_path));
}
