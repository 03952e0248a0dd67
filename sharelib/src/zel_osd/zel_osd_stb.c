/* The stb implementations the OSD uses, compiled once: the TrueType rasteriser and stb.h's file loader. */
#define STB_DEFINE
#include <stb.h>
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb_truetype.h>
