// Codec ids of the recording configurations (the SDK's stream encode ids).
#pragma once

enum { FMP4_CODEC_H264 = 33, FMP4_CODEC_H265 = 35, FMP4_CODEC_ALAW = 1027, FMP4_CODEC_OPUS = 1032 };
