// OSD text rendering: a short text (time stamp, labels) rasterised from the OSD TrueType font into
// the pixel formats that the encoders' OSD regions take, and conversions of such bitmaps to YUV
// 4:2:0 semi-planar. Glyphs are clipped to the canvas; a text that does not fit is cut at the edge.
// Bitmaps returned by the Ascii2* routines are allocated with malloc: the caller frees them.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The one font file, under the device's font folder.
#define ZEL_OSD_FONT_PATH "/mnt/data/data/font/zel_osd.ttf"

// UTF-8 to 16-bit code units, low byte first (out holds 2 bytes per input byte): the bytes written,
// or -1 for a 4-byte sequence, a bad lead byte or a bad continuation.
int Utf82Unicode(const char *text, uint8_t *out);

// Clears the canvas and draws the text at `pixel_height`: the x after the last glyph drawn, or -1
// when the font cannot be read.
int stbtt_BakeFontBitmap1(const unsigned char *font, int offset, float pixel_height, unsigned char *canvas,
                          int width, int height, const char *text);
// The width the text takes at that height on a canvas of canvas_height rows; -1 without a font.
int stbtt_GetFontBitmap_length(const unsigned char *font, int offset, float pixel_height, int canvas_height,
                               const char *text);
// The same with the OSD font and a canvas as high as the pixel height.
int get_osd_str_length(const char *text, int pixel_height);

// Canvas chosen by pixel height, returned through width and height. bottom_up writes the last row first.
uint8_t *Ascii2Bitmap888(const char *text, int pixel_height, int *width, int *height, int bottom_up);
uint16_t *Ascii2Bitmap1555(const char *text, int pixel_height, int *width, int *height, int bottom_up);
// From the fixed-size bitmap font "<dir>/ASC<pixel height>": pixel_height x pixel_height / 2 bits per
// glyph, indexed by the unsigned byte.
uint16_t *Ascii2Bitmap1555_ASC(const char *text, const char *font_dir, int pixel_height, int *width, int *height,
                               int bottom_up);
uint8_t *Ascii2BitmapARGB1111(const char *text, int pixel_height, int *width, int *height);
uint8_t *Ascii2BitmapRGBA1111(const char *text, int pixel_height, int *width, int *height);

// 3-byte B, G, R pixels (width x height, no padding) to 4-bit indexes, two per byte (even pixel low).
int Bitmap888ToI4(const uint8_t *bgr, int width, int height, uint8_t *out);
// YUV 4:2:0 semi-planar of the even part (width and height rounded down to even): the bytes written.
// A BMP-order source: B, G, R, rows padded to 4 bytes, bottom row first.
int Bitmap888ToYUV(const uint8_t *bmp, int width, int height, uint8_t *yuv);
// ARGB1555 little-endian, rows padded to 4 bytes, top row first (bottom first when flip is set).
int Bitmap1555ToYUV(const uint8_t *bitmap, int width, int height, uint8_t *yuv, int flip);
// The text rendered into the 888 canvas and converted: an allocated YUV buffer of the even part.
uint8_t *Ascii2yuv(const char *text, int pixel_height, int *width, int *height);

// A 16-bit BMP of `height` rows of 2 x width bytes as given: 1, or 0 when the file cannot be written.
int Snapshot(const uint16_t *rows, int width, int height, const char *path);

#ifdef __cplusplus
}
#endif
