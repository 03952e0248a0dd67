// MD5 as RFC 1321 lays it out: buffering, padding and the bit count here, blocks through the crypto
// adapter.
#include "zelmar/zel_md5.h"

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_crypto.h"

void MD5Init(MD5_CTX *context)
{
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void MD5Transform(uint32_t state[4], const unsigned char block[64])
{
    if (zel_crypto_md5_block(state, block) != 0)
        ZEL_LOGE("CORE_DEV", "md5 block failed");
}

void MD5Update(MD5_CTX *context, const unsigned char *input, unsigned int input_len)
{
    unsigned int index = (context->count[0] >> 3) & 0x3f;
    if ((context->count[0] += input_len << 3) < (input_len << 3))
        context->count[1]++;
    context->count[1] += input_len >> 29;
    const unsigned int part_len = 64 - index;
    unsigned int i = 0;
    if (input_len >= part_len) {
        std::memcpy(&context->buffer[index], input, part_len);
        MD5Transform(context->state, context->buffer);
        for (i = part_len; i + 63 < input_len; i += 64)
            MD5Transform(context->state, &input[i]);
        index = 0;
    }
    if (input_len > i)
        std::memcpy(&context->buffer[index], &input[i], input_len - i);
}

void MD5Encode(unsigned char *output, const uint32_t *input, unsigned int len)
{
    for (unsigned int i = 0, j = 0; j < len; ++i, j += 4) {
        output[j] = static_cast<unsigned char>(input[i] & 0xff);
        output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xff);
        output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xff);
        output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xff);
    }
}

void MD5Final(unsigned char digest[16], MD5_CTX *context)
{
    static const unsigned char padding[64] = {0x80};
    unsigned char bits[8];
    MD5Encode(bits, context->count, 8);
    const unsigned int index = (context->count[0] >> 3) & 0x3f;
    const unsigned int pad_len = index < 56 ? 56 - index : 120 - index;
    MD5Update(context, padding, pad_len);
    MD5Update(context, bits, 8);
    MD5Encode(digest, context->state, 16);
    std::memset(context, 0, sizeof *context);
}
