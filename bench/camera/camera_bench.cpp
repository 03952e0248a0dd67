// What the whole camera costs: zelmar_app with the outside parties of scripts/run
// (tests/peers/camera_env.py: the daemon simulator with its server time, the cloud, the P2P servers
// and, where root allows, a loop-mounted test card, so that the main stream and audio are recorded),
// measured as this program's child over a fixed window once it is ready and the card's pool is made:
// CPU ms per second of stream (user and system time of the window, from /proc/<pid>/stat), its
// wake-ups per second (voluntary context switches of all its threads, the busiest printed), its RSS
// at the end of the window, the part of it beyond the frame rings' configured sizes (the SDK logs
// each ring's size as it sets it up), and getrusage's peak RSS after the SIGTERM. Beside it the same
// figures of the bare board read loop (camera_board_loop, three threads reading the board's frames)
// over the same window. The program's frame path, apps, recording and cloud clips all count; the
// board's share is the baseline's. No phone watches.
// With ZELMAR_BENCH_CALLGRIND=1 (the long run: the program starts under valgrind in about a minute)
// and valgrind installed, both also run under callgrind, instrumented over a window once ready, for
// instructions per second of stream; the stream's seconds are the frames the board handed out in the
// window (calls of get_video_stream and get_audio_stream_ex in the profile) over the board's 65
// frames a second, so that valgrind's slowdown does not count.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "proc_load.h"

extern char **environ;

namespace {

constexpr auto kWindow = std::chrono::seconds(8);
constexpr auto kWarmUp = std::chrono::seconds(4); // the card's pool files are made in this time
constexpr auto kReady = std::chrono::seconds(60);

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

using procload::cpu_ms;
using procload::file_text;

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

// A fresh folder /tmp/zelmar-<what>-XXXXXX, or "" when none could be made.
std::string temp_dir(const std::string &what)
{
    std::string templ = "/tmp/zelmar-" + what + "-XXXXXX";
    return mkdtemp(templ.data()) ? templ : "";
}

// The frame rings' configured sizes in MiB, from the SDK's "Init Ring Buffer success: channel:%d
// size:%u" lines in the program's log.
double ring_mb(const std::string &log)
{
    const std::string mark = "Init Ring Buffer success: channel:";
    double bytes = 0;
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
        const size_t size = log.find("size:", at);
        if (size != std::string::npos)
            bytes += std::strtod(log.c_str() + size + 5, nullptr);
    }
    return bytes / 1048576.0;
}

// zelmar_app, behind `prefix` (valgrind or nothing), with the outside parties in a fresh root: ready,
// and with its card's pool made where there is a card. Both are stopped when it ends, and the root is
// removed unless the program did not get ready.
class CameraRun {
public:
    CameraRun(const std::vector<std::string> &prefix, std::chrono::seconds ready_limit)
    {
        root_ = temp_dir("camera-bench");
        if (root_.empty())
            return;
        app_log_ = root_ + "/tmp/zelmar_app.log";
        env_ = spawn({"/usr/bin/python3", CAMERA_PEERS "/camera_env.py", "--sound", CAMERA_SOUND_DIR, root_}, {},
                     root_ + ".env.log");
        const bool parties = env_ > 0 && wait_for([&] { return file_text(root_ + ".env.log").find("env: ") !=
                                                               std::string::npos; },
                                                  std::chrono::seconds(30));
        std::map<std::string, std::string> vars;
        std::istringstream lines(file_text(root_ + "/tmp/camera.env"));
        for (std::string line; std::getline(lines, line);) {
            line = line.substr(line.find(' ') + 1);
            vars[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
        std::vector<std::string> argv = prefix;
        argv.push_back(ZELMAR_APP_PATH);
        app_ = parties ? spawn(argv, vars, app_log_) : -1;
        ready_ = app_ > 0 && wait_for(
                                 [&] {
                                     const std::string text = file_text(app_log_);
                                     return text.find("zel_tolk_sdk_start end") != std::string::npos &&
                                            text.find("<app_algo>") != std::string::npos;
                                 },
                                 ready_limit);
        card_ = vars["CAMERA_CARD"] == "1";
        if (ready_ && card_)
            std::system(("/usr/bin/python3 " CAMERA_PEERS "/camera_ctl.py " + root_ + " card-formatted >/dev/null").c_str());
        if (ready_)
            std::this_thread::sleep_for(kWarmUp);
    }
    ~CameraRun()
    {
        stop_app();
        if (env_ > 0)
            stop(env_, SIGTERM);
        if (ready_ && !root_.empty()) {
            std::filesystem::remove_all(root_);
            std::filesystem::remove(root_ + ".env.log");
        }
    }
    bool ready() const { return ready_; }
    bool card() const { return card_; }
    pid_t app() const { return app_; }
    const std::string &root() const { return root_; }
    const std::string &app_log() const { return app_log_; }
    // SIGTERM to the program: its peak RSS in MiB.
    double stop_app()
    {
        if (app_ <= 0)
            return 0;
        const double peak = stop(app_, SIGTERM).ru_maxrss / 1024.0;
        app_ = -1;
        return peak;
    }

private:
    std::string root_, app_log_;
    pid_t env_ = -1, app_ = -1;
    bool ready_ = false, card_ = false;
};

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
        state.counters["wakeups_per_s"] = static_cast<double>(usage.ru_nvcsw) / seconds_of(kWindow);
        state.counters["peak_rss_mb"] = usage.ru_maxrss / 1024.0;
    }
}
BENCHMARK(BM_BareBoardReadLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WholeCamera(benchmark::State &state)
{
    for (auto _ : state) {
        CameraRun run({}, kReady);
        if (!run.ready()) {
            state.SkipWithError(("zelmar_app did not get ready; see " + run.app_log()).c_str());
            return;
        }
        const double before = cpu_ms(run.app());
        const auto wakes_before = procload::thread_wakes(run.app());
        std::this_thread::sleep_for(kWindow);
        state.counters["cpu_ms_per_s"] = (cpu_ms(run.app()) - before) / seconds_of(kWindow);
        const auto wakes = procload::wakes_since(wakes_before, procload::thread_wakes(run.app()));
        state.counters["wakeups_per_s"] = static_cast<double>(procload::total(wakes)) / seconds_of(kWindow);
        std::printf("busiest threads, wake-ups: %s\n", procload::busiest(wakes, seconds_of(kWindow), 12).c_str());
        const double rss = rss_mb(run.app());
        const double rings = ring_mb(file_text(run.app_log()));
        state.counters["rss_mb"] = rss;
        state.counters["rings_mb"] = rings;
        state.counters["rss_beyond_rings_mb"] = rss - rings;
        state.counters["recording"] = run.card() ? 1 : 0;
        state.counters["peak_rss_mb"] = run.stop_app();
    }
}
BENCHMARK(BM_WholeCamera)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Callgrind: the long run, asked for with ZELMAR_BENCH_CALLGRIND=1 where valgrind is installed.
constexpr char kValgrind[] = "/usr/bin/valgrind";
constexpr char kCallgrindControl[] = "/usr/bin/callgrind_control";
constexpr auto kProfileWindow = std::chrono::seconds(10);
constexpr auto kReadyUnderValgrind = std::chrono::seconds(300);
constexpr double kBoardFramesPerSecond = 20 + 20 + 25; // main and sub video, 40 ms audio frames

bool callgrind_asked()
{
    const char *asked = getenv("ZELMAR_BENCH_CALLGRIND");
    return asked && std::string(asked) == "1" && access(kValgrind, X_OK) == 0 && access(kCallgrindControl, X_OK) == 0;
}

std::vector<std::string> under_callgrind(const std::string &out)
{
    return {kValgrind, "--tool=callgrind", "--instr-atstart=no", "--callgrind-out-file=" + out};
}

struct Profile {
    double instructions = 0;
    double board_frames = 0; // calls of the board's frame reads
};

// A callgrind profile: its total instructions and the calls into the board's frame reads.
Profile read_profile(const std::string &path)
{
    Profile p;
    std::ifstream in(path);
    std::map<std::string, std::string> names; // "(id)" -> function, shared by fn= and cfn= lines
    std::string callee;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("totals:", 0) == 0) {
            p.instructions = std::strtod(line.c_str() + 7, nullptr);
        } else if (line.rfind("fn=(", 0) == 0 || line.rfind("cfn=(", 0) == 0) {
            const size_t open = line.find('('), close = line.find(')');
            const std::string id = line.substr(open, close - open + 1);
            if (close + 2 <= line.size())
                names[id] = line.substr(close + 2);
            if (line[0] == 'c')
                callee = names[id];
        } else if (line.rfind("calls=", 0) == 0 &&
                   (callee == "get_video_stream" || callee == "get_audio_stream_ex")) {
            p.board_frames += std::strtod(line.c_str() + 6, nullptr);
        }
    }
    return p;
}

// Instruments the callgrind run `pid` for the profile window and reads the dump it then writes.
Profile profile_window(pid_t pid, const std::string &out)
{
    const std::string control = std::string(kCallgrindControl) + " ";
    if (std::system((control + "-i on " + std::to_string(pid) + " >/dev/null").c_str()) != 0)
        return {};
    std::this_thread::sleep_for(kProfileWindow);
    if (std::system((control + "-d " + std::to_string(pid) + " >/dev/null").c_str()) != 0)
        return {};
    return read_profile(out + ".1");
}

// The profile window of the callgrind run `pid` (its output in `dir`) as the benchmark's figures;
// `stop_run` ends the run after the window. The folder is removed once the figures are there.
void profile_run(benchmark::State &state, pid_t pid, const std::string &dir, const std::function<void()> &stop_run)
{
    const Profile p = profile_window(pid, dir + "/callgrind.out");
    stop_run();
    if (p.board_frames <= 0) {
        state.SkipWithError(("no profile; see " + dir).c_str());
        return;
    }
    const double stream_s = p.board_frames / kBoardFramesPerSecond;
    state.counters["stream_s"] = stream_s;
    state.counters["window_s"] = seconds_of(kProfileWindow);
    state.counters["Minstr_per_stream_s"] = p.instructions / 1e6 / stream_s;
    std::filesystem::remove_all(dir);
}

void BM_BareBoardReadLoopCallgrind(benchmark::State &state)
{
    for (auto _ : state) {
        const std::string dir = temp_dir("board-callgrind");
        std::vector<std::string> argv = under_callgrind(dir + "/callgrind.out");
        argv.push_back(CAMERA_BOARD_LOOP);
        argv.push_back(std::to_string((kWarmUp + kProfileWindow + std::chrono::seconds(10)).count()));
        const pid_t loop = dir.empty() ? -1 : spawn(argv, {}, dir + "/valgrind.log");
        if (loop < 0) {
            state.SkipWithError("valgrind did not start");
            return;
        }
        std::this_thread::sleep_for(kWarmUp);
        profile_run(state, loop, dir, [&] { stop(loop, SIGTERM); });
    }
}

void BM_WholeCameraCallgrind(benchmark::State &state)
{
    for (auto _ : state) {
        const std::string dir = temp_dir("camera-callgrind");
        if (dir.empty()) {
            state.SkipWithError("no temporary folder");
            return;
        }
        CameraRun run(under_callgrind(dir + "/callgrind.out"), kReadyUnderValgrind);
        if (!run.ready()) {
            state.SkipWithError(("zelmar_app did not get ready under valgrind; see " + run.app_log()).c_str());
            return;
        }
        profile_run(state, run.app(), dir, [&] { run.stop_app(); });
        state.counters["recording"] = run.card() ? 1 : 0;
    }
}

const bool g_callgrind_registered = [] {
    if (callgrind_asked()) {
        benchmark::RegisterBenchmark("BM_BareBoardReadLoopCallgrind", BM_BareBoardReadLoopCallgrind)
            ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark("BM_WholeCameraCallgrind", BM_WholeCameraCallgrind)
            ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    return true;
}();

} // namespace
