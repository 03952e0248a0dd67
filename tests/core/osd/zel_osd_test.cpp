// OSD rendering with the DejaVu Sans font: UTF-8 conversion against Python's UTF-16LE, canvas
// sizes, the row each class of character starts at, clipping of long texts, pixel formats, and YUV
// bytes against the BT.601 formulas computed by Python; the BMP snapshot is read back with ffprobe.
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zel_osd/zel_osd.h"
#include "zel_test_support.h"

namespace {

const char *const kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

class ZelOsd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream in(kDejaVu, std::ios::binary);
        if (!in)
            GTEST_SKIP() << "DejaVuSans.ttf is not installed (fonts-dejavu-core)";
        std::string font((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(zeltest::run_command("mkdir -p '" + root.path("/mnt/data/data/font") + "'"), 0);
        root.write_file(ZEL_OSD_FONT_PATH, font);
    }
    zeltest::TempRoot root;
};

std::string python(const std::string &code)
{
    std::string out;
    EXPECT_EQ(zeltest::run_command(std::string(ZEL_PYTHON) + " -c '" + code + "'", &out), 0) << code;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

TEST(ZelOsdText, Utf8ToUnicodeMatchesUtf16le)
{
    for (const std::string &text : {std::string("2024-01-01 12:00:00"), std::string("\xc3\xa9t\xc3\xa9"),
                                    std::string("\xe4\xb8\xad\xe6\x96\x87 \xe6\x97\xb6\xe9\x97\xb4"),
                                    std::string("\xdf\xbf\xef\xbf\xbd")}) {
        std::vector<uint8_t> out(text.size() * 2);
        int n = Utf82Unicode(text.c_str(), out.data());
        std::string want = python("import sys; print(bytes.fromhex(sys.argv[1]).decode(\"utf-8\").encode(\"utf-16-le\").hex())' '" +
                                  zeltest::hex(reinterpret_cast<const unsigned char *>(text.data()), text.size()));
        ASSERT_GE(n, 0) << text;
        EXPECT_EQ(zeltest::hex(out.data(), static_cast<size_t>(n)), want) << text;
    }
    uint8_t out[32];
    EXPECT_EQ(Utf82Unicode("\xf0\x9f\x98\x80", out), -1); // 4-byte sequence
    EXPECT_EQ(Utf82Unicode("a\xc3\x28", out), -1);        // bad continuation
    EXPECT_EQ(Utf82Unicode("\x80", out), -1);             // lone continuation
    EXPECT_EQ(Utf82Unicode("\xe4\xb8", out), -1);         // cut sequence
}

TEST_F(ZelOsd, CanvasSizesFollowThePixelHeight)
{
    struct Case {
        int height, w, h;
    };
    for (Case c : {Case{20, 192, 20}, Case{24, 200, 24}, Case{32, 276, 32}, Case{48, 420, 48}, Case{64, 552, 64},
                   Case{92, 716, 92}, Case{40, 140, 16}}) {
        int w = 0, h = 0;
        uint16_t *b = Ascii2Bitmap1555("12:00", c.height, &w, &h, 0);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(w, c.w) << c.height;
        EXPECT_EQ(h, c.h) << c.height;
        free(b);
    }
    int w, h;
    free(Ascii2Bitmap888("1", 32, &w, &h, 0));
    EXPECT_EQ(w, 140);
    EXPECT_EQ(h, 16);
    free(Ascii2BitmapRGBA1111("1", 32, &w, &h));
    EXPECT_EQ(w, 400);
    free(Ascii2BitmapARGB1111("1", 64, &w, &h));
    EXPECT_EQ(w, 550);
    free(Ascii2BitmapARGB1111(std::string(40, '8').c_str(), 102, &w, &h));
    EXPECT_EQ(w, get_osd_str_length(std::string(40, '8').c_str(), 102) + 1); // widened to the text
}

int top_ink_row(const uint16_t *b, int w, int h)
{
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (b[y * w + x])
                return y;
    return -1;
}

TEST_F(ZelOsd, EachClassOfCharacterStartsAtItsRow)
{
    struct Case {
        int height;
        const char *text;
        int row;
    };
    for (Case c : {Case{48, ":", 15}, Case{48, "-", 24}, Case{48, "7", 10}, Case{32, ":", 10}, Case{32, "-", 12},
                   Case{32, "7", 7}, Case{40, ":", 5}, Case{40, "-", 8}, Case{40, "7", 3}}) {
        int w, h;
        uint16_t *b = Ascii2Bitmap1555(c.text, c.height, &w, &h, 0);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(top_ink_row(b, w, h), c.row) << c.text << " at " << c.height;
        free(b);
    }
}

TEST_F(ZelOsd, LongTextIsClippedAtTheCanvasEdge)
{
    std::string sixty(60, 'W');
    int w, h;
    uint16_t *b = Ascii2Bitmap1555(sixty.c_str(), 40, &w, &h, 0); // 140 x 16 canvas, 40 px glyphs
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(w, 140);
    EXPECT_EQ(h, 16);
    free(b);
    const char *stamp = "2024-01-01 12:00:00";
    EXPECT_GT(get_osd_str_length(stamp, 48), 420);
    b = Ascii2Bitmap1555(stamp, 48, &w, &h, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(w, 420); // cut, not widened, and drawn inside the canvas
    free(b);
}

TEST_F(ZelOsd, PixelFormatsAgreeWithEachOther)
{
    int w, h, w2, h2, w3, h3;
    uint16_t *argb = Ascii2Bitmap1555("12:34", 24, &w, &h, 0);
    uint16_t *flipped = Ascii2Bitmap1555("12:34", 24, &w2, &h2, 1);
    uint8_t *bgr = Ascii2Bitmap888("12:34", 24, &w3, &h3, 0);
    uint8_t *nib = Ascii2BitmapRGBA1111("12:34", 24, &w3, &h3);
    ASSERT_TRUE(argb && flipped && bgr && nib);
    int set = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint16_t v = argb[y * w + x];
            ASSERT_TRUE(v == 0 || v == 0xFFFF);
            set += v != 0;
            EXPECT_EQ(flipped[(h - 1 - y) * w + x], v);
            EXPECT_EQ(bgr[(y * w + x) * 3], v ? 0xFF : 0);
            EXPECT_EQ((nib[y * ((w + 1) / 2) + x / 2] >> (x % 2 ? 4 : 0)) & 0xF, v ? 0xF : 0);
        }
    EXPECT_GT(set, 50);
    free(argb);
    free(flipped);
    free(bgr);
    free(nib);
}

TEST(ZelOsdYuv, ConvertersMatchTheBt601FormulasForOddSizes)
{
    zeltest::TempRoot root;
    const int w = 7, h = 5;
    std::vector<uint8_t> p1555((w * 2 + 2) * h), p888(((w * 3 + 3) / 4 * 4) * h);
    unsigned seed = 12345;
    for (auto &b : p1555)
        b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    for (auto &b : p888)
        b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    std::vector<uint8_t> y1(64), y2(64), y3(64);
    ASSERT_EQ(Bitmap1555ToYUV(p1555.data(), w, h, y1.data(), 0), 6 * 4 * 3 / 2);
    ASSERT_EQ(Bitmap1555ToYUV(p1555.data(), w, h, y2.data(), 1), 36);
    ASSERT_EQ(Bitmap888ToYUV(p888.data(), w, h, y3.data()), 36);
    std::string script = R"PY(
import sys
w, h = 7, 5
def yuv(px):
    ew, eh = w & ~1, h & ~1
    Y = bytearray(ew * eh); UV = bytearray(ew * eh // 2)
    for y in range(eh):
        for x in range(ew):
            r, g, b = px(x, y)
            Y[y * ew + x] = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16
            if x % 2 == 0 and y % 2 == 0:
                UV[(y // 2) * ew + x] = ((112 * b - 38 * r - 74 * g + 128) >> 8) + 128
                UV[(y // 2) * ew + x + 1] = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128
    return (bytes(Y) + bytes(UV)).hex()
a = bytes.fromhex(sys.argv[1]); c = bytes.fromhex(sys.argv[2])
def p1555(flip):
    def px(x, y):
        row = (h - 1 - y) if flip else y
        v = a[row * 16 + 2 * x] | (a[row * 16 + 2 * x + 1] << 8)
        return ((v & 0x7c00) >> 7, (v & 0x3e0) >> 2, (v << 3) & 0xff)
    return px
def p888(x, y):
    o = (h - 1 - y) * 24 + 3 * x
    return (c[o + 2], c[o + 1], c[o])
print(yuv(p1555(False)), yuv(p1555(True)), yuv(p888))
)PY";
    std::string path = root.path("/tmp/yuv.py");
    std::ofstream(path) << script;
    std::string out;
    ASSERT_EQ(zeltest::run_command(std::string(ZEL_PYTHON) + " " + path + " " + zeltest::hex(p1555.data(), p1555.size()) +
                                       " " + zeltest::hex(p888.data(), p888.size()),
                                   &out),
              0);
    EXPECT_EQ(out, zeltest::hex(y1.data(), 36) + " " + zeltest::hex(y2.data(), 36) + " " + zeltest::hex(y3.data(), 36) +
                       "\n");
}

TEST(ZelOsdAsc, BitmapFontGlyphsAreReadByUnsignedByteWithinTheFile)
{
    zeltest::TempRoot root;
    // ASC8: 8 x 4 bits = 4 bytes per glyph; glyphs for bytes 0 to 'B' only.
    std::string font(('B' + 1) * 4, '\0');
    font['A' * 4] = static_cast<char>(0x90); // row 0 of the 4-wide glyph: pixels 0 and 3
    font['B' * 4 + 3] = 0x01;                // the last bit: row 7, pixel 3
    root.write_file("/mnt/data/data/font/ASC8", font);
    std::string dir = root.path("/mnt/data/data/font");
    int w, h;
    uint16_t *b = Ascii2Bitmap1555_ASC("AB\xe9", dir.c_str(), 8, &w, &h, 0); // 0xE9 lies beyond the file
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(w, 12);
    EXPECT_EQ(h, 8);
    std::vector<int> set;
    for (int i = 0; i < w * h; i++)
        if (b[i])
            set.push_back(i);
    EXPECT_EQ(set, (std::vector<int>{0, 3, 7 * 12 + 4 + 3}));
    free(b);
    b = Ascii2Bitmap1555_ASC("A", dir.c_str(), 8, &w, &h, 1);
    EXPECT_EQ(b[7 * 4], 0xFFFF); // bottom up
    free(b);
    EXPECT_EQ(Ascii2Bitmap1555_ASC("A", dir.c_str(), 12, &w, &h, 0), nullptr); // no ASC12
}

TEST(ZelOsdYuv, I4IndexesFollowTheColourBits)
{
    const uint8_t bgr[] = {0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 8, 255, 255, 255};
    uint8_t out[3];
    ASSERT_EQ(Bitmap888ToI4(bgr, 5, 1, out), 3);
    EXPECT_EQ(out[0], 0x1C); // black -> 12, blue -> 1
    EXPECT_EQ(out[1], 0x42); // green -> 2, red -> 4
    EXPECT_EQ(out[2], 0x07);
}

TEST_F(ZelOsd, SnapshotIsABmpThatFfprobeReads)
{
    if (zeltest::run_command("command -v ffprobe >/dev/null") != 0)
        GTEST_SKIP() << "ffprobe is not installed";
    int w, h;
    uint16_t *b = Ascii2Bitmap1555("08:15", 24, &w, &h, 1);
    ASSERT_NE(b, nullptr);
    for (int i = 0; i < w * h; i++)
        b[i] = b[i] ? static_cast<uint16_t>(0x7C00 | (i & 0x3FF)) : 0x001F; // colour every pixel apart
    std::string path = root.path("/tmp/osd.bmp");
    ASSERT_EQ(Snapshot(b, w, h, path.c_str()), 1);
    std::string out;
    ASSERT_EQ(zeltest::run_command("ffprobe -v error -show_entries stream=width,height,pix_fmt -of csv=p=0 '" + path + "'",
                                   &out),
              0);
    EXPECT_EQ(out, "200,24,rgb555le\n");
    std::string raw = root.path("/tmp/osd.raw");
    ASSERT_EQ(zeltest::run_command("ffmpeg -v error -y -i '" + path + "' -f rawvideo -pix_fmt rgb555le '" + raw + "'"), 0);
    std::string pixels = root.read_file("/tmp/osd.raw");
    ASSERT_EQ(pixels.size(), static_cast<size_t>(w * h * 2));
    for (int y = 0; y < h; y++) // ffmpeg gives the top row first; the BMP holds the bottom row first
        for (int x = 0; x < w; x++) {
            auto *p = reinterpret_cast<const uint8_t *>(pixels.data()) + (y * w + x) * 2;
            ASSERT_EQ(p[0] | (p[1] << 8), b[(h - 1 - y) * w + x] & 0x7FFF) << x << "," << y;
        }
    free(b);
    EXPECT_EQ(Snapshot(b, w, h, root.path("/nonexistent/dir/x.bmp").c_str()), 0);
}

} // namespace
