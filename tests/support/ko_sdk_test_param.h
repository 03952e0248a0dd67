// The SDK start parameters the tests and benchmarks use: a security-chip camera with every text set.
#pragma once

#include <cstring>

#include "common/sdk/ko_sdk.h"

namespace zeltest {

inline ko_ipc_sdk_param sdk_test_param()
{
    ko_ipc_sdk_param p{};
    p.chip_type = 0;
    std::strcpy(p.qelt_i2c, "/dev/i2c-1");
    std::strcpy(p.qelt_gpio, "gpio12");
    std::strcpy(p.oob, "OOB-0123456789");
    std::strcpy(p.vendor, "zelmar");
    std::strcpy(p.model, "zelmar.camera.c1");
    std::strcpy(p.data_dir, "/mnt/data");
    std::strcpy(p.fw_ver, "1.2.3_0042");
    std::strcpy(p.wpa_intf, "/var/run/wpa_supplicant/wlan0");
    std::strcpy(p.mac, "AA:BB:CC:DD:EE:FF");
    p.sc_type = KO_SC_TYPE_16;
    p.auto_ota = 1;
    p.wpa_required = 1;
    return p;
}

} // namespace zeltest
