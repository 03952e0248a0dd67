// OSD pixel formats, YUV conversion and the BMP snapshot.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "zel_control/log/zel_log.h"
#include "zel_osd.h"
#include "zel_osd_font.h"

namespace {

const char *const kTag = "OSD";

struct Canvas {
    int height, width;
};
constexpr Canvas k1555[] = {{20, 192}, {24, 200}, {32, 276}, {48, 420}, {64, 552}, {92, 716}};
constexpr Canvas k888[] = {{20, 192}, {24, 200}, {48, 420}, {64, 552}, {92, 716}};
constexpr Canvas kArgb1111[] = {{20, 192}, {24, 200}, {32, 276}, {48, 420}, {64, 550}, {80, 600}, {92, 716}, {102, 796}};
constexpr Canvas kRgba1111[] = {{20, 192}, {24, 200}, {32, 400}, {48, 420}, {64, 552}, {80, 600}, {92, 716}};
constexpr Canvas kOther = {16, 140};

template <size_t N> Canvas canvas_for(const Canvas (&table)[N], int pixel_height)
{
    for (const Canvas &c : table)
        if (c.height == pixel_height)
            return c;
    return kOther;
}

void *alloc_or_log(size_t bytes, const char *function)
{
    void *p = calloc(1, bytes ? bytes : 1);
    if (!p)
        fprintf(stderr, "[%s], %d: malloc failed\n", function, __LINE__);
    return p;
}

// The 8-bit coverage of the text, or empty without a font.
std::vector<uint8_t> coverage(const char *text, int pixel_height, Canvas c)
{
    const unsigned char *font = zel_osd_font();
    if (!font || !text || pixel_height <= 0)
        return {};
    std::vector<uint8_t> canvas(static_cast<size_t>(c.width) * c.height);
    if (stbtt_BakeFontBitmap1(font, 0, static_cast<float>(pixel_height), canvas.data(), c.width, c.height, text) < 0)
        return {};
    return canvas;
}

int source_row(int row, int height, int bottom_up) { return bottom_up ? height - 1 - row : row; }

// The 4-bit formats: two pixels per byte, the even pixel in the low nibble.
uint8_t *pack_nibbles(const std::vector<uint8_t> &cov, Canvas c, const char *function)
{
    size_t stride = (static_cast<size_t>(c.width) + 1) / 2;
    auto *out = static_cast<uint8_t *>(alloc_or_log(stride * c.height, function));
    if (!out)
        return nullptr;
    for (int y = 0; y < c.height; y++)
        for (int x = 0; x < c.width; x++)
            if (cov[static_cast<size_t>(y) * c.width + x])
                out[y * stride + x / 2] |= static_cast<uint8_t>(x % 2 ? 0xF0 : 0x0F);
    return out;
}

struct Yuv {
    uint8_t y, u, v;
};

Yuv bt601(int r, int g, int b)
{
    return {static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16),
            static_cast<uint8_t>(((112 * b - 38 * r - 74 * g + 128) >> 8) + 128),
            static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128)};
}

// Fills Y and the interleaved UV of the even part from a pixel reader (x, y) -> R, G, B.
template <typename Pixel> int to_yuv(int width, int height, uint8_t *yuv, Pixel pixel)
{
    int ew = width & ~1, eh = height & ~1;
    uint8_t *uv = yuv + static_cast<size_t>(ew) * eh;
    for (int y = 0; y < eh; y++)
        for (int x = 0; x < ew; x++) {
            int r, g, b;
            pixel(x, y, r, g, b);
            Yuv p = bt601(r, g, b);
            yuv[static_cast<size_t>(y) * ew + x] = p.y;
            if (!(x & 1) && !(y & 1)) {
                uint8_t *pair = uv + static_cast<size_t>(y / 2) * ew + x;
                pair[0] = p.u;
                pair[1] = p.v;
            }
        }
    return ew * eh * 3 / 2;
}

} // namespace

extern "C" int Utf82Unicode(const char *text, uint8_t *out)
{
    if (!text || !out)
        return -1;
    auto cont = [](unsigned char b) { return b >= 0x80 && b <= 0xBF; };
    int n = 0;
    for (auto *p = reinterpret_cast<const unsigned char *>(text); *p;) {
        unsigned char a = p[0];
        if (a < 0x80) {
            out[n] = a, out[n + 1] = 0, p += 1;
        } else if ((a & 0xE0) == 0xC0 && cont(p[1])) {
            out[n] = static_cast<uint8_t>((a << 6) | (p[1] & 0x3F)), out[n + 1] = (a >> 2) & 7, p += 2;
        } else if ((a & 0xF0) == 0xE0 && cont(p[1]) && cont(p[2])) {
            out[n] = static_cast<uint8_t>((p[1] << 6) | (p[2] & 0x3F));
            out[n + 1] = static_cast<uint8_t>((a << 4) | ((p[1] >> 2) & 0x0F));
            p += 3;
        } else {
            return -1;
        }
        n += 2;
    }
    return n;
}

extern "C" uint8_t *Ascii2Bitmap888(const char *text, int pixel_height, int *width, int *height, int bottom_up)
{
    Canvas c = canvas_for(k888, pixel_height);
    std::vector<uint8_t> cov = coverage(text, pixel_height, c);
    if (cov.empty() || !width || !height)
        return nullptr;
    auto *out = static_cast<uint8_t *>(alloc_or_log(cov.size() * 3, __func__));
    if (!out)
        return nullptr;
    for (int y = 0; y < c.height; y++)
        for (int x = 0; x < c.width; x++)
            if (cov[static_cast<size_t>(source_row(y, c.height, bottom_up)) * c.width + x])
                memset(out + (static_cast<size_t>(y) * c.width + x) * 3, 0xFF, 3);
    *width = c.width;
    *height = c.height;
    return out;
}

extern "C" uint16_t *Ascii2Bitmap1555(const char *text, int pixel_height, int *width, int *height, int bottom_up)
{
    Canvas c = canvas_for(k1555, pixel_height);
    std::vector<uint8_t> cov = coverage(text, pixel_height, c);
    if (cov.empty() || !width || !height)
        return nullptr;
    auto *out = static_cast<uint16_t *>(alloc_or_log(cov.size() * 2, __func__));
    if (!out)
        return nullptr;
    for (int y = 0; y < c.height; y++)
        for (int x = 0; x < c.width; x++)
            if (cov[static_cast<size_t>(source_row(y, c.height, bottom_up)) * c.width + x])
                out[static_cast<size_t>(y) * c.width + x] = 0xFFFF; // opaque white
    *width = c.width;
    *height = c.height;
    return out;
}

extern "C" uint16_t *Ascii2Bitmap1555_ASC(const char *text, const char *font_dir, int pixel_height, int *width,
                                          int *height, int bottom_up)
{
    if (!text || !font_dir || pixel_height <= 0 || pixel_height > 256 || !width || !height)
        return nullptr;
    std::string path = std::string(font_dir) + "/ASC" + std::to_string(pixel_height);
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        ZEL_LOGE(kTag, "open %s failed", path.c_str());
        return nullptr;
    }
    std::vector<uint8_t> file;
    uint8_t chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0 && file.size() < (1u << 20);)
        file.insert(file.end(), chunk, chunk + n);
    fclose(f);
    int gw = pixel_height / 2;
    size_t glyph_bits = static_cast<size_t>(pixel_height) * gw;
    size_t glyph_bytes = (glyph_bits + 7) / 8;
    int w = gw * static_cast<int>(strlen(text)), h = pixel_height;
    auto *out = static_cast<uint16_t *>(alloc_or_log(static_cast<size_t>(w) * h * 2, __func__));
    if (!out)
        return nullptr;
    for (size_t i = 0; text[i]; i++) {
        size_t at = static_cast<unsigned char>(text[i]) * glyph_bytes;
        if (at + glyph_bytes > file.size())
            continue; // a glyph beyond the file is left blank
        for (int r = 0; r < h; r++)
            for (int c = 0; c < gw; c++) {
                size_t bit = static_cast<size_t>(r) * gw + c;
                if (file[at + bit / 8] & (0x80 >> (bit % 8)))
                    out[static_cast<size_t>(source_row(r, h, bottom_up)) * w + i * gw + c] = 0xFFFF;
            }
    }
    *width = w;
    *height = h;
    return out;
}

namespace {

uint8_t *nibble_bitmap(const char *text, int pixel_height, Canvas c, int *width, int *height, const char *function)
{
    std::vector<uint8_t> cov = coverage(text, pixel_height, c);
    if (cov.empty() || !width || !height)
        return nullptr;
    uint8_t *out = pack_nibbles(cov, c, function);
    if (out)
        *width = c.width, *height = c.height;
    return out;
}

} // namespace

extern "C" uint8_t *Ascii2BitmapARGB1111(const char *text, int pixel_height, int *width, int *height)
{
    Canvas c = canvas_for(kArgb1111, pixel_height);
    if (pixel_height == 92 || pixel_height == 102) {
        int measured = get_osd_str_length(text, pixel_height);
        if (measured + 1 > c.width)
            c.width = measured + 1;
    }
    return nibble_bitmap(text, pixel_height, c, width, height, __func__);
}

extern "C" uint8_t *Ascii2BitmapRGBA1111(const char *text, int pixel_height, int *width, int *height)
{
    return nibble_bitmap(text, pixel_height, canvas_for(kRgba1111, pixel_height), width, height, __func__);
}

extern "C" int Bitmap888ToI4(const uint8_t *bgr, int width, int height, uint8_t *out)
{
    if (!bgr || !out || width <= 0 || height <= 0)
        return -1;
    size_t stride = (static_cast<size_t>(width) + 1) / 2;
    memset(out, 0, stride * height);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const uint8_t *p = bgr + (static_cast<size_t>(y) * width + x) * 3;
            uint8_t index = (p[0] | p[1] | p[2]) == 0 ? 12 : ((p[2] > 7) << 2 | (p[1] > 7) << 1 | (p[0] > 7));
            out[y * stride + x / 2] |= static_cast<uint8_t>(x % 2 ? index << 4 : index);
        }
    return static_cast<int>(stride * height);
}

extern "C" int Bitmap888ToYUV(const uint8_t *bmp, int width, int height, uint8_t *yuv)
{
    if (!bmp || !yuv || width <= 0 || height <= 0)
        return -1;
    size_t line = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
    ZEL_LOGD(kTag, "{bitmapLineByte is %d}", static_cast<int>(line));
    return to_yuv(width, height, yuv, [&](int x, int y, int &r, int &g, int &b) {
        const uint8_t *p = bmp + (height - 1 - y) * line + static_cast<size_t>(x) * 3;
        b = p[0], g = p[1], r = p[2];
    });
}

extern "C" int Bitmap1555ToYUV(const uint8_t *bitmap, int width, int height, uint8_t *yuv, int flip)
{
    if (!bitmap || !yuv || width <= 0 || height <= 0)
        return -1;
    size_t line = (static_cast<size_t>(width) * 2 + 3) / 4 * 4;
    return to_yuv(width, height, yuv, [&](int x, int y, int &r, int &g, int &b) {
        const uint8_t *p = bitmap + source_row(y, height, flip) * line + static_cast<size_t>(x) * 2;
        unsigned v = p[0] | (p[1] << 8);
        r = (v & 0x7c00) >> 7, g = (v & 0x3e0) >> 2, b = (v << 3) & 0xff;
    });
}

extern "C" uint8_t *Ascii2yuv(const char *text, int pixel_height, int *width, int *height)
{
    int w, h;
    uint8_t *bgr = Ascii2Bitmap888(text, pixel_height, &w, &h, 1);
    if (!bgr || !width || !height) {
        free(bgr);
        return nullptr;
    }
    size_t line = (static_cast<size_t>(w) * 3 + 3) / 4 * 4; // the 888 canvas widths are multiples of 4
    auto *yuv = static_cast<uint8_t *>(alloc_or_log(static_cast<size_t>(w) * h * 3 / 2 + line, __func__));
    if (yuv) {
        Bitmap888ToYUV(bgr, w, h, yuv);
        *width = w & ~1;
        *height = h & ~1;
    }
    free(bgr);
    return yuv;
}

extern "C" int Snapshot(const uint16_t *rows, int width, int height, const char *path)
{
    if (!rows || !path || width <= 0 || height <= 0)
        return 0;
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    uint32_t image = 2u * width * height;
    uint8_t head[54] = {'B', 'M'};
    auto le32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; i++)
            head[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    le32(2, image + 54);
    head[6] = 1; // reserved words 1 and 0
    le32(10, 54);
    le32(14, 40);
    le32(18, static_cast<uint32_t>(width));
    le32(22, static_cast<uint32_t>(height));
    head[26] = 1;
    head[28] = 16;
    le32(34, image);
    std::vector<uint8_t> body(image);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; i++)
        body[2 * i] = static_cast<uint8_t>(rows[i]), body[2 * i + 1] = static_cast<uint8_t>(rows[i] >> 8);
    bool ok = fwrite(head, 1, sizeof head, f) == sizeof head && fwrite(body.data(), 1, image, f) == image;
    ok = fclose(f) == 0 && ok;
    return ok ? 1 : 0;
}
