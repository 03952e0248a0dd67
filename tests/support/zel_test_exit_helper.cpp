// Helper program of the support tests: writes $ZELTEST_MARK and its arguments to the file named by
// its first argument, then exits with status 7.
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    FILE *out = std::fopen(argv[1], "w");
    if (!out)
        return 3;
    const char *mark = std::getenv("ZELTEST_MARK");
    std::fprintf(out, "%s", mark ? mark : "(none)");
    for (int i = 2; i < argc; ++i)
        std::fprintf(out, " %s", argv[i]);
    return std::fclose(out) == 0 ? 7 : 4;
}
