// Number and boolean parsing with defaults.
#include "zel_control/utils/zel_parse.h"

#include <stdlib.h>
#include <strings.h>

extern "C" {

int zel_parse_int(const char *text, int default_value)
{
    return text ? atoi(text) : default_value;
}

long long zel_parse_longlong(const char *text, long long default_value)
{
    return text ? atoll(text) : default_value;
}

float zel_parse_float(const char *text, float default_value)
{
    return text ? static_cast<float>(atof(text)) : default_value;
}

int zel_parse_bool(const char *text, int default_value)
{
    if (!text)
        return default_value;
    if (strcasecmp(text, "true") == 0)
        return 1;
    if (strcasecmp(text, "false") == 0)
        return 0;
    return default_value;
}

} // extern "C"
