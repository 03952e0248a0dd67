// Helpers of the algorithm app's tests: the threads of this process by name, and the parameters the
// detection library holds as numbers and text.
#pragma once

#include <string>
#include <vector>

namespace algotest {

// How many threads of this process carry `name`.
int threads_named(const std::string &name);
// Parameter `id` of the detection library as an s32 (0 when not 4 bytes), as floats, as text.
int param_int(int id);
std::vector<float> param_floats(int id);
std::string param_text(int id);

} // namespace algotest
