// The SDK functions that the app-client library calls, declared with C linkage in one place.
#pragma once

#include "common/conf_save/ko_config.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/event/ko_event.h"
#include "common/sdk/ko_sdk.h"
#include "common/audio/ko_audio.h"
#include "app/ota/ko_ota.h"
#include "app/p2p/ko_p2p.h"
