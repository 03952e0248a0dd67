// The detection switches: the detection objects of the local algorithm and the alarm switches of
// motion, people, loud sound and pets.
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"

namespace zel_rpc {

namespace {

constexpr const char *kDetectionDefault = "{\"switch\":1,\"start_time\":\"00:00\",\"end_time\":\"23:59\"}";

template <int Kind> int alarm_switch(int on)
{
    return set_alarm_switch_status(Kind, on);
}

const ObjectRow kHumanDetection{"NVM.ALGO:human_detection", kDetectionDefault};
const ObjectRow kMotionDetection{"NVM.ALGO:motion_detection", kDetectionDefault};
const BoolRow kLoudDetection{"NVM.ALGO:loud_detection_enable", "WR", nullptr};
const BoolRow kMotionSwitch{"NVM.ALGO:motion_detection", "WRD", alarm_switch<1>};
const BoolRow kHumanSwitch{"NVM.ALGO:human_detection", "WRD", alarm_switch<2>};
const BoolRow kLoudSwitch{"NVM.ALGO:loud_detection_enable", "WRD", alarm_switch<3>};
const BoolRow kPetSwitch{"NVM.ALGO:pet_switch", "WRD", alarm_switch<4>};

} // namespace

const char *detection_default()
{
    return kDetectionDefault;
}

SPEC_INSTANCE(spec_func_local_algo_human_detect, spec_object, kHumanDetection)
SPEC_INSTANCE(spec_func_local_algo_motion_detect, spec_object, kMotionDetection)
SPEC_INSTANCE(spec_func_local_algo_loud_detect, spec_bool, kLoudDetection)
SPEC_INSTANCE(spec_func_algo_motion_switch, spec_bool, kMotionSwitch)
SPEC_INSTANCE(spec_func_algo_human_switch, spec_bool, kHumanSwitch)
SPEC_INSTANCE(spec_func_algo_pet_switch, spec_bool, kPetSwitch)
SPEC_INSTANCE(spec_func_algo_loud_switch, spec_bool, kLoudSwitch)

} // namespace zel_rpc
