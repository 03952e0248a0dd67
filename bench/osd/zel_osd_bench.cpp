// ARGB1555 rendering of the OSD time stamp "2024-01-01 12:00:00" at 48 px (font loaded once), next
// to stb_truetype alone rasterising the same glyphs into a canvas of the same size. Goal: within
// 1.5 times the bare rasteriser.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <stb_truetype.h>

#include "zel_osd/zel_osd.h"

namespace {

const char *const kText = "2024-01-01 12:00:00";
const char *const kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::string font_bytes()
{
    std::ifstream in(kFont, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A device root holding the OSD font, set up once for the whole run.
bool setup_root()
{
    static bool ok = [] {
        std::string font = font_bytes();
        if (font.empty())
            return false;
        char dir[] = "/tmp/zel_osd_bench_XXXXXX";
        if (!mkdtemp(dir))
            return false;
        std::string root = dir;
        std::string cmd = "mkdir -p " + root + "/mnt/data/data/font";
        if (system(cmd.c_str()) != 0)
            return false;
        std::ofstream(root + ZEL_OSD_FONT_PATH, std::ios::binary) << font;
        setenv("ZELMAR_ROOT", root.c_str(), 1);
        return true;
    }();
    return ok;
}

void BM_Ascii2Bitmap1555(benchmark::State &state)
{
    if (!setup_root()) {
        state.SkipWithError("DejaVuSans.ttf is not installed");
        return;
    }
    int w, h;
    free(Ascii2Bitmap1555(kText, 48, &w, &h, 0)); // the font is read once, before timing
    for (auto _ : state) {
        uint16_t *b = Ascii2Bitmap1555(kText, 48, &w, &h, 0);
        benchmark::DoNotOptimize(b);
        free(b);
    }
}

void BM_StbTruetypeAlone(benchmark::State &state)
{
    std::string font = font_bytes();
    stbtt_fontinfo info;
    if (font.empty() || !stbtt_InitFont(&info, reinterpret_cast<const unsigned char *>(font.data()), 0)) {
        state.SkipWithError("DejaVuSans.ttf is not installed");
        return;
    }
    float scale = stbtt_ScaleForPixelHeight(&info, 48);
    std::vector<unsigned char> canvas(420 * 48);
    for (auto _ : state) {
        std::fill(canvas.begin(), canvas.end(), 0);
        int x = 0;
        for (const char *p = kText; *p; p++) {
            int glyph = stbtt_FindGlyphIndex(&info, static_cast<unsigned char>(*p));
            int x0, y0, x1, y1, adv, lsb;
            stbtt_GetGlyphBitmapBox(&info, glyph, scale, scale, &x0, &y0, &x1, &y1);
            int gw = std::min(x1 - x0, 420 - x);
            if (gw > 0 && y1 > y0)
                stbtt_MakeGlyphBitmap(&info, canvas.data() + 10 * 420 + x, gw, std::min(y1 - y0, 38), 420, scale,
                                      scale, glyph);
            stbtt_GetGlyphHMetrics(&info, glyph, &adv, &lsb);
            x += static_cast<int>(adv * scale + 0.5f);
            if (x >= 420)
                break;
        }
        benchmark::DoNotOptimize(canvas.data());
    }
}

BENCHMARK(BM_Ascii2Bitmap1555)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StbTruetypeAlone)->Unit(benchmark::kMicrosecond);

} // namespace
