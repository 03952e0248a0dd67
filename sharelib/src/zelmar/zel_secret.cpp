#include "zelmar/zel_secret.h"

#include <cctype>
#include <string>

bool zel_is_secret_name(std::string_view name)
{
    std::string lower(name);
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char *word : {"pwd", "passwd", "password", "token", "secret", "key"})
        if (lower.find(word) != std::string::npos)
            return true;
    return false;
}
