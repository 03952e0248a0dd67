// The audio codec interface: handle life cycle and argument checks, G.711 against sox and ffmpeg on
// the same PCM, and an Opus round trip of a tone.
#include "common/audio/ko_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/audio/ko_g711.h"
#include "zel_test_support.h"

namespace {

ko_audio_param param(uint32_t codec, uint32_t rate = 16000) { return ko_audio_param{rate, 16, codec}; }

std::vector<uint8_t> to_le(const std::vector<int16_t> &pcm)
{
    std::vector<uint8_t> b(pcm.size() * 2);
    for (size_t i = 0; i < pcm.size(); i++) {
        b[2 * i] = (uint8_t)((uint16_t)pcm[i] & 0xFF);
        b[2 * i + 1] = (uint8_t)((uint16_t)pcm[i] >> 8);
    }
    return b;
}

std::vector<int16_t> from_le(const uint8_t *b, size_t bytes)
{
    std::vector<int16_t> pcm(bytes / 2);
    for (size_t i = 0; i < pcm.size(); i++)
        pcm[i] = (int16_t)(b[2 * i] | (b[2 * i + 1] << 8));
    return pcm;
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

bool have(const char *tool) { return zeltest::run_command(std::string("command -v ") + tool + " >/dev/null") == 0; }

std::vector<uint8_t> encode_all(uint32_t codec, const std::vector<uint8_t> &pcm)
{
    ko_audio_param p = param(codec, 8000);
    ko_audio_codec *h = ko_audio_encode_init(&p);
    EXPECT_NE(h, nullptr);
    std::vector<uint8_t> out(pcm.size() / 2);
    // In frames of 320 samples, as the camera would.
    for (size_t off = 0; off < pcm.size(); off += 640) {
        const int n = (int)std::min<size_t>(640, pcm.size() - off);
        EXPECT_EQ(ko_audio_encode_frame(&h, pcm.data() + off, n, out.data() + off / 2, n / 2), n / 2);
    }
    EXPECT_EQ(ko_audio_encode_deinit(&h), 0);
    return out;
}

// Every input value the codec distinguishes (14-bit for mu-law, 13-bit for A-law), then a tone.
// G.711 works on those magnitudes; encoders differ only in how they drop the 2 or 3 extra bits of a
// 16-bit sample (sox rounds, ffmpeg picks the nearest level, G.711 truncates), so the PCM carries none.
std::vector<uint8_t> test_pcm(int drop_bits)
{
    std::vector<int16_t> pcm;
    const int step = 1 << drop_bits;
    for (int v = -32768; v < 32768; v += step)
        pcm.push_back((int16_t)v);
    for (int i = 0; i < 8000; i++) {
        const int v = (int)(20000 * std::sin(2 * M_PI * 440 * i / 8000.0));
        pcm.push_back((int16_t)(v & ~(step - 1)));
    }
    return to_le(pcm);
}

void expect_same_bytes(const std::vector<uint8_t> &ours, const std::vector<uint8_t> &theirs, const char *who)
{
    ASSERT_EQ(ours.size(), theirs.size()) << who;
    size_t diff = 0;
    for (size_t i = 0; i < ours.size(); i++)
        diff += ours[i] != theirs[i];
    EXPECT_EQ(diff, 0u) << who;
}

// Frequency as the strongest Goertzel bin (1 Hz steps around 1 kHz), level as RMS in dBFS.
void tone_of(const std::vector<int16_t> &x, double rate, double *freq, double *dbfs)
{
    double best = 0, best_f = 0, energy = 0;
    for (int16_t s : x)
        energy += (double)s * s;
    for (double f = 800; f <= 1200; f += 1) {
        const double k = 2 * std::cos(2 * M_PI * f / rate);
        double s1 = 0, s2 = 0;
        for (int16_t v : x) {
            const double s0 = v + k * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (power > best) {
            best = power;
            best_f = f;
        }
    }
    *freq = best_f;
    *dbfs = 10 * std::log10(energy / (double)x.size() / (32768.0 * 32768.0));
}

} // namespace

TEST(AudioCodec, InitRefusesUnknownCodecsAndNullRecords)
{
    EXPECT_EQ(ko_audio_encode_init(nullptr), nullptr);
    EXPECT_EQ(ko_audio_decode_init(nullptr), nullptr);
    ko_audio_param p = param(1028);
    EXPECT_EQ(ko_audio_encode_init(&p), nullptr);
    EXPECT_EQ(ko_audio_decode_init(&p), nullptr);
    p = param(KO_AUDIO_CODEC_OPUS, 11025); // no Opus rate
    EXPECT_EQ(ko_audio_encode_init(&p), nullptr);
    EXPECT_EQ(ko_audio_decode_init(&p), nullptr);
}

TEST(AudioCodec, FrameArgumentsAndDeinitClearTheHandle)
{
    ko_audio_param p = param(KO_AUDIO_CODEC_G711U);
    ko_audio_codec *h = ko_audio_encode_init(&p);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> pcm(320, 0x11), out(2560);
    EXPECT_EQ(ko_audio_encode_frame(&h, pcm.data(), 320, out.data(), 2560), 160);
    EXPECT_EQ(ko_audio_encode_frame(nullptr, pcm.data(), 320, out.data(), 2560), -5);
    EXPECT_EQ(ko_audio_encode_frame(&h, nullptr, 320, out.data(), 2560), -5);
    EXPECT_EQ(ko_audio_encode_frame(&h, pcm.data(), 0, out.data(), 2560), -5);
    EXPECT_EQ(ko_audio_encode_frame(&h, pcm.data(), 320, out.data(), 0), -5);
    EXPECT_EQ(ko_audio_encode_frame(&h, pcm.data(), 320, out.data(), 159), -8); // output too small
    EXPECT_EQ(ko_audio_encode_deinit(&h), 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(ko_audio_encode_deinit(&h), -1);
    EXPECT_EQ(ko_audio_encode_frame(&h, pcm.data(), 320, out.data(), 2560), -1);

    ko_audio_codec *d = ko_audio_decode_init(&p);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ko_audio_decode_frame(&d, out.data(), 160, pcm.data(), 320), 320);
    EXPECT_EQ(ko_audio_decode_frame(&d, out.data(), 160, pcm.data(), 319), -8);
    EXPECT_EQ(ko_audio_decode_deinit(&d), 0);
    EXPECT_EQ(ko_audio_decode_deinit(&d), -1);
    EXPECT_EQ(ko_audio_decode_deinit(nullptr), -1);
}

TEST(AudioCodec, G711EncodingMatchesSoxAndFfmpeg)
{
    if (!have("sox") || !have("ffmpeg"))
        GTEST_SKIP() << "sox and ffmpeg are needed";
    zeltest::TempRoot root;
    const std::string dir = root.dir();
    const struct {
        uint32_t codec;
        int drop_bits;
        const char *sox_enc, *ff_fmt;
    } cases[] = {{KO_AUDIO_CODEC_G711U, 2, "u-law", "mulaw"}, {KO_AUDIO_CODEC_G711A, 3, "a-law", "alaw"}};
    for (const auto &c : cases) {
        const std::vector<uint8_t> pcm = test_pcm(c.drop_bits);
        write_file(dir + "/in.raw", pcm);
        const std::vector<uint8_t> ours = encode_all(c.codec, pcm);
        ASSERT_EQ(zeltest::run_command("sox -D -t raw -r 8000 -e signed -b 16 -c 1 " + dir + "/in.raw -t raw -e " +
                                       c.sox_enc + " -b 8 " + dir + "/sox.raw 2>/dev/null"),
                  0);
        expect_same_bytes(ours, read_file(dir + "/sox.raw"), c.sox_enc);

        // Decoding: every code against both tools.
        std::vector<uint8_t> codes(256);
        for (int i = 0; i < 256; i++)
            codes[i] = (uint8_t)i;
        write_file(dir + "/codes.raw", codes);
        ASSERT_EQ(zeltest::run_command(std::string("ffmpeg -loglevel error -y -f ") + c.ff_fmt + " -ar 8000 -ac 1 -i " +
                                       dir + "/codes.raw -f s16le " + dir + "/ff.raw"),
                  0);
        ASSERT_EQ(zeltest::run_command(std::string("sox -D -t raw -r 8000 -e ") + c.sox_enc + " -b 8 -c 1 " + dir +
                                       "/codes.raw -t raw -e signed -b 16 " + dir + "/soxd.raw"),
                  0);
        ko_audio_param p = param(c.codec, 8000);
        ko_audio_codec *d = ko_audio_decode_init(&p);
        ASSERT_NE(d, nullptr);
        std::vector<uint8_t> decoded(512);
        ASSERT_EQ(ko_audio_decode_frame(&d, codes.data(), 256, decoded.data(), 512), 512);
        ko_audio_decode_deinit(&d);
        expect_same_bytes(decoded, read_file(dir + "/ff.raw"), c.ff_fmt);
        expect_same_bytes(decoded, read_file(dir + "/soxd.raw"), c.sox_enc);
    }
}

TEST(AudioCodec, G711EncodesWhatItDecodesBackToTheSameCode)
{
    for (int code = 0; code < 256; code++) {
        EXPECT_EQ(linear2ulaw(ulaw2linear((unsigned char)code)), code == 0x7F ? 0xFF : code) << code;
        EXPECT_EQ(linear2alaw(alaw2linear((unsigned char)code)), code) << code;
    }
}

TEST(AudioCodec, OpusRefusesOversizedInputAndFullOutput)
{
    ko_audio_param p = param(KO_AUDIO_CODEC_OPUS);
    ko_audio_codec *enc = ko_audio_encode_init(&p);
    ko_audio_codec *dec = ko_audio_decode_init(&p);
    ASSERT_NE(enc, nullptr);
    ASSERT_NE(dec, nullptr);
    std::vector<uint8_t> pcm(6400, 0), packet(2560), out(2560);
    EXPECT_EQ(ko_audio_encode_frame(&enc, pcm.data(), 6400, packet.data(), 2560), -8);
    const int n = ko_audio_encode_frame(&enc, pcm.data(), 640, packet.data(), 2560); // 20 ms
    ASSERT_GT(n, 0);
    EXPECT_EQ(ko_audio_decode_frame(&dec, packet.data(), n, out.data(), 640), -8); // would fill it exactly
    EXPECT_EQ(ko_audio_decode_frame(&dec, packet.data(), n, out.data(), 2560), 640);
    const uint8_t broken[2] = {0x03, 0x00}; // a code-3 packet that holds no frame
    EXPECT_EQ(ko_audio_decode_frame(&dec, broken, 2, out.data(), 2560), -8);
    EXPECT_EQ(ko_audio_encode_deinit(&enc), 0);
    EXPECT_EQ(ko_audio_decode_deinit(&dec), 0);
}

// 1 kHz at -10 dBFS through 40 ms Opus frames: the tone must come back within 10 Hz in frequency and
// 1.5 dB in level (the first 200 ms, where the codec settles, are left out).
TEST(AudioCodec, OpusRoundTripKeepsFrequencyAndLevel)
{
    ko_audio_param p = param(KO_AUDIO_CODEC_OPUS);
    ko_audio_codec *enc = ko_audio_encode_init(&p);
    ko_audio_codec *dec = ko_audio_decode_init(&p);
    ASSERT_NE(enc, nullptr);
    ASSERT_NE(dec, nullptr);
    const double rate = 16000, amp = 32767 * std::pow(10, -10 / 20.0) * std::sqrt(2.0);
    std::vector<int16_t> tone(16000 * 2);
    for (size_t i = 0; i < tone.size(); i++)
        tone[i] = (int16_t)std::lround(amp * std::sin(2 * M_PI * 1000 * i / rate));
    const std::vector<uint8_t> pcm = to_le(tone);
    std::vector<int16_t> back;
    std::vector<uint8_t> packet(2560), out(2560);
    for (size_t off = 0; off < pcm.size(); off += 1280) {
        const int n = ko_audio_encode_frame(&enc, pcm.data() + off, 1280, packet.data(), (int)packet.size());
        ASSERT_GT(n, 0);
        const int m = ko_audio_decode_frame(&dec, packet.data(), n, out.data(), (int)out.size());
        ASSERT_EQ(m, 1280);
        const std::vector<int16_t> s = from_le(out.data(), (size_t)m);
        back.insert(back.end(), s.begin(), s.end());
    }
    ko_audio_encode_deinit(&enc);
    ko_audio_decode_deinit(&dec);
    const std::vector<int16_t> steady(back.begin() + 3200, back.end());
    double in_f, in_db, out_f, out_db;
    tone_of(std::vector<int16_t>(tone.begin() + 3200, tone.end()), rate, &in_f, &in_db);
    tone_of(steady, rate, &out_f, &out_db);
    EXPECT_NEAR(in_db, -10.0, 0.1);
    EXPECT_NEAR(out_f, 1000.0, 10.0);
    EXPECT_NEAR(out_db, in_db, 1.5);
}
