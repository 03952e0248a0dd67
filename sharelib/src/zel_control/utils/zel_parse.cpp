// Number and boolean parsing with defaults.
#include "zel_control/utils/zel_parse.h"

#include <stdio.h>
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

int zel_parse_point(const char *text, int *x, int *y)
{
    if (!text || !x || !y)
        return -1;
    int px = 0, py = 0, end = 0;
    if (sscanf(text, "[%d,%d]%n", &px, &py, &end) != 2 || end == 0 || text[end] != '\0')
        return -1;
    *x = px;
    *y = py;
    return 0;
}

int zel_parse_position(const char *text, int *x, int *y)
{
    int px = 0, py = 0;
    if (!x || !y || zel_parse_point(text, &px, &py) != 0 || px < 0 || px > 100 || py < 0 || py > 100)
        return -1;
    *x = px;
    *y = py;
    return 0;
}

} // extern "C"
