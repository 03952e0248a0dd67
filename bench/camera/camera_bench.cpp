// What the whole camera costs: zelmar_app with the outside parties of scripts/run
// (tests/peers/camera_env.py: the daemon simulator with its server time, the cloud, the P2P servers
// and, where root allows, a loop-mounted test card, so that the main stream and audio are recorded),
// measured as this program's child over a fixed window once it is ready and the card's pool is made:
// CPU ms per second of stream (user and system time of the window, from /proc/<pid>/stat), its RSS
// at the end of the window, and getrusage's peak RSS after the SIGTERM. Beside it the same figures of
// the bare board read loop (camera_board_loop, three threads reading the board's frames) over the same
// window. The program's frame path, apps, recording and cloud clips all count; the board's share is
// the baseline's.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

constexpr auto kWindow = std::chrono::seconds(8);
constexpr auto kWarmUp = std::chrono::seconds(4); // the card's pool files are made in this time
constexpr auto kReady = std::chrono::seconds(60);

std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts argv with the extra environment entries, its output appended to `log`.
pid_t spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extra,
            const std::string &log)
{
    std::vector<std::string> env_text;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        if (!extra.count(entry.substr(0, entry.find('='))))
            env_text.push_back(entry);
    }
    for (const auto &[name, value] : extra)
        env_text.push_back(name + "=" + value);
    std::vector<char *> args, envs;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (std::string &e : env_text)
        envs.push_back(e.data());
    envs.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envs.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool wait_for(const std::function<bool()> &done, std::chrono::seconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// User and system CPU of a running process, in ms.
double cpu_ms(pid_t pid)
{
    const std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; i++)
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double rss_mb(pid_t pid)
{
    std::istringstream status(file_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

struct rusage stop(pid_t pid, int sig)
{
    struct rusage usage {};
    int status = 0;
    kill(pid, sig);
    wait4(pid, &status, 0, &usage);
    return usage;
}

double seconds_of(std::chrono::seconds d)
{
    return static_cast<double>(d.count());
}

void BM_BareBoardReadLoop(benchmark::State &state)
{
    for (auto _ : state) {
        const std::string log = "/dev/null";
        const pid_t loop = spawn({CAMERA_BOARD_LOOP, std::to_string(kWindow.count())}, {}, log);
        if (loop < 0) {
            state.SkipWithError("camera_board_loop did not start");
            return;
        }
        struct rusage usage {};
        int status = 0;
        wait4(loop, &status, 0, &usage);
        const double cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
        state.counters["cpu_ms_per_s"] = cpu / seconds_of(kWindow);
        state.counters["peak_rss_mb"] = usage.ru_maxrss / 1024.0;
    }
}
BENCHMARK(BM_BareBoardReadLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WholeCamera(benchmark::State &state)
{
    for (auto _ : state) {
        char templ[] = "/tmp/zelmar-camera-bench-XXXXXX";
        if (!mkdtemp(templ)) {
            state.SkipWithError("no temporary root");
            return;
        }
        const std::string root = templ;
        const pid_t env = spawn({"/usr/bin/python3", CAMERA_PEERS "/camera_env.py", "--sound", CAMERA_SOUND_DIR, root},
                                {}, root + ".env.log");
        std::map<std::string, std::string> vars;
        const bool parties = env > 0 && wait_for([&] { return file_text(root + ".env.log").find("env: ") !=
                                                               std::string::npos; },
                                                 std::chrono::seconds(30));
        std::istringstream lines(file_text(root + "/tmp/camera.env"));
        for (std::string line; std::getline(lines, line);) {
            line = line.substr(line.find(' ') + 1);
            vars[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
        const std::string app_log = root + "/tmp/zelmar_app.log";
        const pid_t app = parties ? spawn({ZELMAR_APP_PATH}, vars, app_log) : -1;
        const bool ready = app > 0 && wait_for(
                                          [&] {
                                              const std::string text = file_text(app_log);
                                              return text.find("zel_tolk_sdk_start end") != std::string::npos &&
                                                     text.find("<app_algo>") != std::string::npos;
                                          },
                                          kReady);
        const bool card = vars["CAMERA_CARD"] == "1";
        if (ready && card)
            std::system(("/usr/bin/python3 " CAMERA_PEERS "/camera_ctl.py " + root + " card-formatted >/dev/null").c_str());
        if (ready) {
            std::this_thread::sleep_for(kWarmUp);
            const double before = cpu_ms(app);
            std::this_thread::sleep_for(kWindow);
            state.counters["cpu_ms_per_s"] = (cpu_ms(app) - before) / seconds_of(kWindow);
            state.counters["rss_mb"] = rss_mb(app);
            state.counters["recording"] = card ? 1 : 0;
        }
        if (app > 0)
            state.counters["peak_rss_mb"] = stop(app, SIGTERM).ru_maxrss / 1024.0;
        if (env > 0)
            stop(env, SIGTERM);
        if (!ready) {
            state.SkipWithError(("zelmar_app did not get ready; see " + app_log).c_str());
        } else {
            std::filesystem::remove_all(root);
            std::filesystem::remove(root + ".env.log");
        }
    }
}
BENCHMARK(BM_WholeCamera)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
