// main() of the test programs. Under an emulator, GoogleTest's death tests must re-run this program
// through the emulator as well (they exec their own argv[0] afresh), so argv starts with it there.
#include <gtest/gtest.h>

#include "zel_test_support.h"

#include <string>
#include <vector>

int main(int argc, char **argv)
{
    std::vector<std::string> env;
    std::vector<std::string> words = zeltest::exec_command(std::vector<std::string>(argv, argv + argc), env);
    std::vector<char *> args;
    for (auto &w : words)
        args.push_back(w.data());
    args.push_back(nullptr);
    int count = static_cast<int>(words.size());
    testing::InitGoogleTest(&count, args.data());
    return RUN_ALL_TESTS();
}
