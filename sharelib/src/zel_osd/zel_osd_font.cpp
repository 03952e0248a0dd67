// The OSD font and the text rasteriser: per-height rows for each class of character, clipped glyphs.
#include "zel_osd_font.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include <stb_truetype.h>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

extern "C" void *stb_file(char *filename, size_t *length);

namespace {

const char *const kTag = "OSD";

// Rows at which each class of character starts, by canvas height.
struct Rows {
    int height, colon, dash, digit, letter, other;
};
constexpr Rows kRows[] = {
    {20, 6, 10, 4, 4, 4},     {21, 6, 10, 4, 4, 4},     {24, 7, 12, 5, 5, 5},      {32, 10, 12, 7, 7, 7},
    {48, 15, 24, 10, 10, 10}, {58, 18, 29, 12, 12, 12}, {64, 20, 32, 13, 13, 13}, {80, 25, 40, 17, 17, 17},
    {92, 29, 46, 19, 19, 19}, {102, 32, 51, 21, 21, 21},
};
constexpr Rows kDefaultRows = {0, 5, 8, 3, 3, 3};

const Rows &rows_for(int canvas_height)
{
    for (const Rows &r : kRows)
        if (r.height == canvas_height)
            return r;
    return kDefaultRows;
}

int row_of(const Rows &r, unsigned char c)
{
    if (c == ':')
        return r.colon;
    if (c == '-')
        return r.dash;
    if (c >= '0' && c <= '9')
        return r.digit;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return r.letter;
    return r.other;
}

// The advance after character c: the glyph's own, tightened before a ':' and around separators so
// that a time stamp keeps the compact look of the camera's OSD.
int advance_of(const stbtt_fontinfo &info, float scale, int glyph, const char *p, int canvas_height)
{
    int adv, lsb;
    stbtt_GetGlyphHMetrics(&info, glyph, &adv, &lsb);
    int x = static_cast<int>(adv * scale + 0.5f);
    int tighten = canvas_height / 24;
    unsigned char c = static_cast<unsigned char>(p[0]);
    if (c == '/' || c == '-' || c == ':' || c == ' ' || p[1] == ':')
        x -= tighten;
    return x > 1 ? x : 1;
}

struct Font {
    unsigned char *data = nullptr;
    bool tried = false;
};

} // namespace

const unsigned char *zel_osd_font()
{
    static std::mutex m;
    static Font font;
    std::lock_guard<std::mutex> g(m);
    if (!font.data) {
        std::string path = zel_path(ZEL_OSD_FONT_PATH);
        size_t length = 0;
        font.data = static_cast<unsigned char *>(stb_file(const_cast<char *>(path.c_str()), &length));
        stbtt_fontinfo info;
        if (font.data && !stbtt_InitFont(&info, font.data, stbtt_GetFontOffsetForIndex(font.data, 0))) {
            free(font.data);
            font.data = nullptr;
        }
        if (!font.data && !font.tried)
            ZEL_LOGE(kTag, "failed to load font %s", path.c_str());
        font.tried = true;
    }
    return font.data;
}

extern "C" int stbtt_BakeFontBitmap1(const unsigned char *font, int offset, float pixel_height, unsigned char *canvas,
                                     int width, int height, const char *text)
{
    stbtt_fontinfo info;
    if (!font || !canvas || !text || width <= 0 || height <= 0 || !stbtt_InitFont(&info, font, offset))
        return -1;
    memset(canvas, 0, static_cast<size_t>(width) * height);
    float scale = stbtt_ScaleForPixelHeight(&info, pixel_height);
    const Rows &rows = rows_for(height);
    std::vector<unsigned char> glyph_pixels;
    int x = 0;
    for (const char *p = text; *p; p++) {
        if (x >= width) {
            ZEL_LOGW(kTag, "text \"%s\" cut at %d px", text, width);
            break;
        }
        int glyph = stbtt_FindGlyphIndex(&info, static_cast<unsigned char>(*p));
        int x0, y0, x1, y1;
        stbtt_GetGlyphBitmapBox(&info, glyph, scale, scale, &x0, &y0, &x1, &y1);
        int gw = x1 - x0, gh = y1 - y0;
        if (gw > 0 && gh > 0) {
            glyph_pixels.assign(static_cast<size_t>(gw) * gh, 0);
            stbtt_MakeGlyphBitmap(&info, glyph_pixels.data(), gw, gh, gw, scale, scale, glyph);
            int top = row_of(rows, static_cast<unsigned char>(*p));
            for (int r = 0; r < gh && top + r < height; r++)
                for (int c = 0; c < gw && x + c < width; c++)
                    if (unsigned char v = glyph_pixels[static_cast<size_t>(r) * gw + c])
                        canvas[static_cast<size_t>(top + r) * width + x + c] = v;
            if (x + gw > width)
                ZEL_LOGW(kTag, "text \"%s\" cut at %d px", text, width);
        }
        x += advance_of(info, scale, glyph, p, height);
    }
    return x < width ? x : width;
}

extern "C" int stbtt_GetFontBitmap_length(const unsigned char *font, int offset, float pixel_height,
                                          int canvas_height, const char *text)
{
    stbtt_fontinfo info;
    if (!font || !text || !stbtt_InitFont(&info, font, offset)) {
        ZEL_LOGE(kTag, "failed to load font ");
        return -1;
    }
    float scale = stbtt_ScaleForPixelHeight(&info, pixel_height);
    int x = 0;
    for (const char *p = text; *p; p++)
        x += advance_of(info, scale, stbtt_FindGlyphIndex(&info, static_cast<unsigned char>(*p)), p, canvas_height);
    return x;
}

extern "C" int get_osd_str_length(const char *text, int pixel_height)
{
    const unsigned char *font = zel_osd_font();
    if (!font) {
        ZEL_LOGE(kTag, "failed to load font ");
        return -1;
    }
    return stbtt_GetFontBitmap_length(font, 0, static_cast<float>(pixel_height), pixel_height, text);
}
