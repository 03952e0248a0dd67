// The algorithm app tests' helpers.
#include "algo_test_env.h"

#include <cstring>

#include "zel_detection_test.h"
#include "zel_test_support.h"

namespace algotest {

int threads_named(const std::string &name)
{
    int n = 0;
    for (const auto &t : zeltest::tasks())
        n += t.second == name;
    return n;
}

int param_int(int id)
{
    const std::vector<uint8_t> bytes = detection_test_param(id);
    int32_t value = 0;
    if (bytes.size() == sizeof value)
        memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::vector<float> param_floats(int id)
{
    const std::vector<uint8_t> bytes = detection_test_param(id);
    std::vector<float> out(bytes.size() / sizeof(float));
    memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

std::string param_text(int id)
{
    const std::vector<uint8_t> bytes = detection_test_param(id);
    return {bytes.begin(), bytes.end()};
}

} // namespace algotest
