// The OSD font, read once per process from ZEL_OSD_FONT_PATH (null, logged, when it cannot be read).
#pragma once

#include "zel_osd.h"

const unsigned char *zel_osd_font();
