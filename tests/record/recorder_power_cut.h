// The power-cut fixture of the recorder on a 5 GiB test card. A child process runs the recorder from
// the card's arrival on and tells the parent on a side pipe of each period it committed (its start,
// file, frames, picture and events). The file layer's seam ends the child at its N-th card-changing
// operation, and the parent then stops the card's file system without flushing anything (what was not
// synced is lost, as in a power cut) and mounts it again; or the seam fails that operation with
// ENOSPC, EROFS or EIO and the recorder goes on; or the child is killed at a random moment. The parent
// then checks what a phone would find: the pool whole, every listed period in its file, every reported
// commit listed, decodable and with its picture and events, and a restarted recorder committing the
// next period.
//
// ZELMAR_RECORD_FULL_SWEEP=1 visits every seam position; otherwise the sweeps visit positions spread
// over the run plus those around each commit (fewer under an emulator), and
// ZELMAR_RECORD_SWEEP_AT=N,M,... visits only those.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "app/record/ko_local_storage.h"
#include "app/record/ko_local_storage_test.h"
#include "app/record/pic_index.h"
#include "app/record/record_index.h"
#include "app/record/sd_index_log.h"
#include "app/record/sd_io_test.h"
#include "app/record/sd_names.h"
#include "recorder_card.h"

namespace rectest {

inline constexpr uint64_t kDataFileSize = 134217728;
inline constexpr int kChildFailed = 90;

struct Commit {
    uint32_t start = 0;
    std::string file;
    uint64_t frames = 0;
    bool picture = false;
    std::vector<int64_t> events; // event types recorded for the period
    uint64_t op = 0;             // seam operations counted when it was seen
};

struct ChildRun {
    int code = -1; // exit code; SD_IO_FAULT_EXIT when the seam ended it
    std::vector<Commit> commits;
    uint64_t ops = 0; // seam operations of a run that finished
    int writer_failed = 0;     // the recording's writer met a failure
    std::vector<int> statuses; // what the recorder told the application of the card
    bool cut() const { return code == SD_IO_FAULT_EXIT; }
};

inline int append_piece(int, uint32_t, uint32_t, const uint8_t *buf, uint32_t len, void *user)
{
    auto *out = static_cast<std::vector<uint8_t> *>(user);
    out->insert(out->end(), buf, buf + len);
    return 0;
}

// Video samples of the fragments inside an entry's [position, position + length), by the walker.
inline uint64_t walked_frames(json_object *walk_report, json_object *entry)
{
    const int64_t from = json_int(entry, "position"), to = from + json_int(entry, "length");
    uint64_t frames = 0;
    json_object *fragments = zeltest::member(walk_report, "fragments");
    for (size_t i = 0; fragments && i < json_object_array_length(fragments); i++) {
        json_object *f = json_object_array_get_idx(fragments, i);
        if (json_int(f, "pos") < from || json_int(f, "pos") >= to)
            continue;
        json_object *tracks = zeltest::member(f, "tracks");
        for (size_t k = 0; tracks && k < json_object_array_length(tracks); k++)
            if (json_int(json_object_array_get_idx(tracks, k), "id") == 1)
                frames += static_cast<uint64_t>(json_int(json_object_array_get_idx(tracks, k), "count"));
    }
    return frames;
}

inline json_object *entry_at(json_object *walk_report, uint32_t start)
{
    json_object *index = zeltest::member(walk_report, "index");
    for (size_t i = 0; index && i < json_object_array_length(index); i++) {
        json_object *e = json_object_array_get_idx(index, i);
        if (json_int(e, "start") == start && json_int(e, "length") != 0)
            return e;
    }
    return nullptr;
}

// Whether the walker finds one box of free space in place of the period's fragments.
inline bool blanked(json_object *walk_report, json_object *entry)
{
    json_object *top = zeltest::member(walk_report, "top");
    for (size_t j = 0; top && j < json_object_array_length(top); j++) {
        json_object *b = json_object_array_get_idx(top, j);
        if (json_int(b, "pos") == json_int(entry, "position") + FMP4_INDEX_BOX_SIZE)
            return std::string(json_object_get_string(zeltest::member(b, "type"))) == "free" &&
                   json_int(b, "size") == json_int(entry, "length") - FMP4_INDEX_BOX_SIZE;
    }
    return false;
}

class RecorderPowerCut : public RecorderCard {
protected:
    RecorderPowerCut() { start_sdk_in_setup_ = false; }

    void SetUp() override
    {
        RecorderCard::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (!have_tool("ffmpeg"))
            GTEST_SKIP() << "ffmpeg missing";
        // The card as the recorder's format leaves it, kept for every run.
        const ChildRun format = run_child(0, 0, 0, [this] { format_card(); });
        ASSERT_EQ(format.code, 0);
        save_card();
    }

    // Keeps the card as it is for every run, with what a restore must bring back.
    void save_card()
    {
        ASSERT_TRUE(card_->save());
        saved_files_ = card_files("video_");
        const auto index = card_files("videoi_");
        ASSERT_EQ(index.size(), 1u);
        Json report = walk_index("video", card_path(index[0]));
        saved_records_ = live(report.get()).size();
    }

    // The pool number of a data file ("video_0003_..." gives "0003").
    static std::string number_of(const std::string &name)
    {
        const size_t at = name.find('_');
        return at == std::string::npos ? name : name.substr(at + 1, 4);
    }

    static std::vector<int64_t> event_types_at(json_object *event_report, uint32_t start)
    {
        std::vector<int64_t> types;
        for (json_object *r : live(event_report))
            if (json_int(r, "time") == start)
                types.push_back(json_int(r, "type"));
        std::sort(types.begin(), types.end());
        return types;
    }

    // Runs `scenario` in a child on a recorder that finds the card present, with the seam armed at
    // operation n (0: not armed); kill_after_ms > 0 ends it with SIGKILL that long after its start.
    ChildRun run_child(uint64_t n, int action, int err, const std::function<void()> &scenario, int kill_after_ms = 0)
    {
        // Each child's clocks start after everything an earlier child recorded (unless a test steps
        // them back).
        clock_.advance_to(std::max(RecorderClock::tick_us(), child_tick_us_) + advance_s_ * 1000000);
        // A fork beside a thread that is still ending (the last check's pool threads, joined but
        // slow to go under an emulator) can leave the child stuck on a lock that thread held.
        const auto settled = [this] { return zeltest::task_count() <= tasks_at_start_; };
        if (!zeltest::wait_until(settled, std::chrono::milliseconds(5000)))
            printf("forking beside %d threads, %d at the start\n", zeltest::task_count(), tasks_at_start_);
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            side_ = fds[1];
            sd_io_fault_set(n, action, err);
            child(scenario);
        }
        close(fds[1]);
        ChildRun run;
        std::string text;
        char buf[4096];
        const auto kill_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(kill_after_ms);
        for (bool killed = kill_after_ms <= 0;;) {
            int wait_ms = -1;
            if (!killed) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    kill_at - std::chrono::steady_clock::now());
                wait_ms = static_cast<int>(std::max<int64_t>(0, left.count()));
            }
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, wait_ms) == 0) {
                kill(pid, SIGKILL);
                killed = true;
                continue;
            }
            const ssize_t got = read(fds[0], buf, sizeof buf);
            if (got <= 0)
                break;
            text.append(buf, static_cast<size_t>(got));
        }
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream in(line);
            std::string what;
            in >> what;
            if (what == "end") {
                uint64_t tick_us = 0;
                in >> run.ops >> run.writer_failed >> tick_us;
                child_tick_us_ = std::max(child_tick_us_, tick_us);
                for (int status; in >> status;)
                    run.statuses.push_back(status);
                continue;
            }
            Commit c;
            int picture = 0;
            in >> c.start >> c.frames >> picture >> c.op >> c.file;
            c.picture = picture != 0;
            for (int64_t type; in >> type;)
                c.events.push_back(type);
            run.commits.push_back(c);
        }
        return run;
    }

    [[noreturn]] void child(const std::function<void()> &scenario)
    {
        start_sdk();
        if (!HasFatalFailure())
            init_recorder(0);
        if (!HasFatalFailure())
            scenario();
        // The end line: operations counted, whether the recording's writer failed, the child's clock, the
        // statuses.
        char stats[2048] = {};
        ko_local_storage_statistics(stats, sizeof stats);
        Json parsed(json_tokener_parse(stats), &json_object_put);
        std::string end = "end " + std::to_string(sd_io_ops()) + " " +
                          std::to_string(parsed && json_int(parsed.get(), "mp4_err_video_frame") > 0 ? 1 : 0) +
                          " " + std::to_string(RecorderClock::tick_us());
        for (int status : statuses())
            end += " " + std::to_string(status);
        end += "\n";
        if (write(side_, end.data(), end.size()) < 0)
            _exit(kChildFailed);
        _exit(HasFailure() ? kChildFailed : 0);
    }

    // The recorder's instance for channels 0 and 4.
    void create()
    {
        ASSERT_EQ(ko_local_storage_create(0, 4), 0);
    }

    // Plays like RecorderCard::play and reports each period the video index gains.
    void play_watching(double seconds)
    {
        const int n = static_cast<int>(seconds * kFps);
        for (int i = 0; i < n && !HasFatalFailure(); i++) {
            play_frame();
            report_commits();
        }
    }

    void report_commits()
    {
        std::vector<uint8_t> list;
        const int rc = record_get_index_all(0, append_piece, 4096, &list);
        if (rc == -2)
            return; // not started yet
        // The periods listed when the index is first seen were committed before this run.
        const bool earlier = !seeded_;
        seeded_ = true;
        if (rc != 0)
            return;
        for (size_t at = RECORD_LIST_HEAD_SIZE; at + 8 <= list.size(); at += 8) {
            const uint32_t start = sd::get_u32(list.data() + at);
            if (!reported_.insert(start).second || earlier)
                continue;
            record_index_record_t r{};
            ASSERT_EQ(record_find_record_info(0, start, &r, 0), 1);
            // A closing file is renamed first and its records follow: a name read in between is
            // looked up again once they have.
            struct stat st;
            for (int i = 0; i < 200 && stat(card_path(r.name).c_str(), &st) != 0; i++) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                ASSERT_EQ(record_find_record_info(0, start, &r, 0), 1);
            }
            Commit c;
            c.start = start;
            c.file = r.name;
            c.op = sd_io_ops();
            Json file = walk(card_path(c.file));
            json_object *e = entry_at(file.get(), start);
            ASSERT_NE(e, nullptr) << "listed without its entry: " << start << " in " << c.file << ": "
                                  << json_object_to_json_string(zeltest::member(file.get(), "index"))
                                  << "; the list: " << json_object_to_json_string(video_index().get());
            c.frames = walked_frames(file.get(), e);
            std::vector<uint8_t> jpeg;
            c.picture = pic_get_data(0, start, append_piece, 4096, &jpeg) == 0 && jpeg.size() > 12 &&
                        std::equal(jpeg.begin() + 12, jpeg.end(), jpeg_.begin(), jpeg_.end());
            Json events = event_index();
            c.events = event_types_at(events.get(), start);
            std::string line = std::to_string(c.start) + " " + std::to_string(c.frames) + " " +
                               std::to_string(c.picture ? 1 : 0) + " " + std::to_string(c.op) + " " + c.file;
            for (int64_t t : c.events)
                line += " " + std::to_string(t);
            line = "commit " + line + "\n";
            ASSERT_EQ(write(side_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
    }

    // A fresh file through two period closes, a snapshot at its start and an event in each period.
    void scenario_fresh_file()
    {
        create();
        play_watching(10);
        trigger_event(3);
        play_watching(60);
        trigger_event(1);
        play_watching(60);
    }

    // The recorder's own thread takes the frames, played at 1.6 times real time.
    void scenario_real_time()
    {
        manual_passes_ = false;
        ko_local_storage_set_manual(0);
        create();
        auto next = std::chrono::steady_clock::now();
        while (!HasFatalFailure()) {
            play_frame();
            if (frames_ == 10 * kFps)
                trigger_event(3);
            report_commits();
            next += std::chrono::microseconds(1000000 / kFps * 10 / 16);
            std::this_thread::sleep_until(next);
        }
    }

    // A recorder started on the card as it is records one more period.
    void scenario_restart()
    {
        create();
        play_watching(66);
    }

    // The prepared card again: its recordings and its video index.
    void restore_card()
    {
        ASSERT_TRUE(card_->restore());
        ASSERT_EQ(card_files("video_"), saved_files_) << "the card was not restored";
        const auto index = card_files("videoi_");
        ASSERT_EQ(index.size(), 1u);
        Json report = walk_index("video", card_path(index[0]));
        ASSERT_EQ(live(report.get()).size(), saved_records_) << "the card was not restored";
    }

    // The walker's report on a recording; one of `unwritten_` (which no scenario writes) is walked
    // again only when its name, size or times changed.
    Json walk_unless_seen(const std::string &name)
    {
        struct stat st{};
        if (!unwritten_.count(number_of(name)) || stat(card_path(name).c_str(), &st) != 0)
            return walk(card_path(name));
        const std::string key = name + "/" + std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) +
                                "." + std::to_string(st.st_mtim.tv_nsec) + "/" + std::to_string(st.st_ctim.tv_sec) +
                                "." + std::to_string(st.st_ctim.tv_nsec);
        auto seen = walked_.find(key);
        if (seen == walked_.end())
            seen = walked_.emplace(key, walk(card_path(name))).first;
        return Json(seen->second ? json_object_get(seen->second.get()) : nullptr, &json_object_put);
    }

    // What ffmpeg says of one period of a recording: the file's head up to its "moov" and the period's
    // bytes, copied into a file of their own (a whole 128 MiB file would take a minute to decode).
    std::string period_decode_errors(const std::string &name, json_object *walk_report, json_object *entry)
    {
        int64_t head = 0;
        json_object *top = zeltest::member(walk_report, "top");
        for (size_t i = 0; top && i < json_object_array_length(top) && head == 0; i++) {
            json_object *box = json_object_array_get_idx(top, i);
            if (std::string(json_object_get_string(zeltest::member(box, "type"))) == "moov")
                head = json_int(box, "pos") + json_int(box, "size");
        }
        std::ifstream in(card_path(name), std::ios::binary);
        std::vector<char> bytes(static_cast<size_t>(head + json_int(entry, "length")));
        in.read(bytes.data(), head);
        in.seekg(json_int(entry, "position"));
        in.read(bytes.data() + head, json_int(entry, "length"));
        if (head == 0 || !in)
            return "no head or period in " + name;
        const std::string period = root_.path("/period.mp4");
        std::ofstream(period, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return ffmpeg_decode_errors(period);
    }

    // The seam positions a sweep visits.
    static bool full_sweep()
    {
        const char *full = getenv("ZELMAR_RECORD_FULL_SWEEP");
        return full && std::string(full) == "1";
    }

    // The seam positions a sweep visits: every one in a full sweep; else `spread` positions evenly
    // apart, the `window` positions up to each commit (and the one after it) and four more spread over
    // the `after` positions that follow it (one under an emulator).
    static std::vector<uint64_t> positions(const ChildRun &dry, uint64_t spread, uint64_t window,
                                           uint64_t after = 0)
    {
        std::set<uint64_t> at;
        if (const char *only = getenv("ZELMAR_RECORD_SWEEP_AT")) {
            std::istringstream in(only);
            for (std::string n; std::getline(in, n, ',');)
                at.insert(std::strtoull(n.c_str(), nullptr, 10));
            return {at.begin(), at.end()};
        }
        // The emulated build runs about ten times slower: an eighth of the positions.
        uint64_t after_steps = 4;
        if (!zeltest::emulator().empty()) {
            spread = std::max<uint64_t>(1, spread / 8);
            window = std::max<uint64_t>(1, window / 8);
            after_steps = 1;
        }
        const uint64_t step = full_sweep() ? 1 : std::max<uint64_t>(1, dry.ops / spread);
        for (uint64_t n = 1; n <= dry.ops; n += step)
            at.insert(n);
        for (const Commit &c : dry.commits) {
            for (uint64_t n = c.op > window ? c.op - window : 1; n <= c.op + 1 && n <= dry.ops; n++)
                at.insert(n);
            for (uint64_t k = 1; k <= after_steps && after >= after_steps; k++)
                if (c.op + k * after / after_steps <= dry.ops)
                    at.insert(c.op + k * after / after_steps);
        }
        return {at.begin(), at.end()};
    }

    // What the card holds after the cut.
    // With `failed_op` an operation failed in the run: a period's event or picture record whose add
    // failed then (logged and counted) may be missing, but what is there must be right.
    void check_card(const std::vector<Commit> &commits, uint64_t n, uint64_t since_s, bool failed_op = false)
    {
        SCOPED_TRACE("cut at operation " + std::to_string(n));
        ASSERT_EQ(sd_init("/mnt/sdcard", 1, 256ull << 20, 4ull << 30, 0, [](int) {}), 0);
        // The pool: every data file once, whole.
        std::set<std::string> numbers;
        for (const char *prefix : {"zreserved_", "video_", "pic_"})
            for (const std::string &name : card_files(prefix)) {
                EXPECT_TRUE(numbers.insert(number_of(name)).second) << name;
                struct stat st{};
                EXPECT_EQ(stat(card_path(name).c_str(), &st), 0) << name;
                EXPECT_EQ(static_cast<uint64_t>(st.st_size), kDataFileSize) << name;
            }
        // Every recording walks to its end with its periods in order (a box left of a file's earlier
        // use would follow newer ones), and a file first used in this run shows nothing older.
        std::set<std::string> earlier;
        for (const std::string &name : saved_files_)
            earlier.insert(number_of(name));
        std::map<std::string, Json> files;
        for (const std::string &name : card_files("video_")) {
            Json w = walk_unless_seen(name);
            ASSERT_TRUE(w) << name;
            EXPECT_TRUE(json_object_get_boolean(zeltest::member(w.get(), "ok"))) << name << " walks to its end";
            // So does the file a run takes back once its name says it is open again.
            sd_file_info_t info{};
            const bool taken_now = earlier.count(number_of(name)) == 0 ||
                                   (number_of(name) == reused_number_ && sd::parse_name(name.c_str(), &info) &&
                                    info.end == SD_TIME_OPEN);
            // Only the last entry may still be open (no length yet).
            json_object *index = zeltest::member(w.get(), "index");
            const size_t entries = index ? json_object_array_length(index) : 0;
            int64_t previous = 0;
            for (size_t i = 0; i < entries; i++) {
                json_object *e = json_object_array_get_idx(index, i);
                if (json_int(e, "length") == 0) {
                    EXPECT_EQ(i + 1, entries) << name << ": an open entry before another";
                    continue;
                }
                EXPECT_GT(json_int(e, "start"), previous) << name << ": a period out of order (a stale one)";
                previous = json_int(e, "start");
                if (taken_now) {
                    EXPECT_GE(previous, static_cast<int64_t>(since_s)) << name << ": a stale period";
                }
            }
            files.emplace(name, std::move(w));
        }
        // Every listed period has its entry; seqs are unique and times ascend with them.
        Json index = video_index();
        const auto records = live(index.get());
        std::set<int64_t> seqs;
        int64_t last_time = 0;
        for (json_object *r : records) {
            EXPECT_TRUE(seqs.insert(json_int(r, "seq")).second) << "seq " << json_int(r, "seq") << " twice";
            EXPECT_GT(json_int(r, "time"), last_time) << "times ascend";
            last_time = json_int(r, "time");
            const std::string name = json_object_get_string(zeltest::member(r, "name"));
            auto f = files.find(name);
            ASSERT_NE(f, files.end()) << "listed in a missing file " << name;
            EXPECT_NE(entry_at(f->second.get(), static_cast<uint32_t>(last_time)), nullptr)
                << "listed period " << last_time << " has no entry in " << name;
        }
        // Every commit the recorder made before the cut is still there, in the same pool file (whose
        // closing rename may not have outlived the cut).
        Json events = event_index();
        for (const Commit &c : commits) {
            SCOPED_TRACE("period " + std::to_string(c.start) + " in " + c.file);
            auto record = std::find_if(records.begin(), records.end(),
                                       [&](json_object *r) { return json_int(r, "time") == c.start; });
            ASSERT_NE(record, records.end()) << "listed";
            const std::string name = json_object_get_string(zeltest::member(*record, "name"));
            EXPECT_EQ(number_of(name), number_of(c.file)) << name;
            auto f = files.find(name);
            ASSERT_NE(f, files.end());
            json_object *e = entry_at(f->second.get(), c.start);
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(walked_frames(f->second.get(), e), c.frames);
            const std::vector<int64_t> types = event_types_at(events.get(), c.start);
            if (!failed_op || !types.empty()) {
                EXPECT_EQ(types, c.events);
            }
            std::vector<uint8_t> jpeg;
            if (c.picture && (pic_get_data(0, c.start, append_piece, 4096, &jpeg) == 0 || !failed_op)) {
                EXPECT_TRUE(jpeg.size() > 12 && std::equal(jpeg.begin() + 12, jpeg.end(), jpeg_.begin(), jpeg_.end()))
                    << "its picture";
            }
            if (decoded_.insert(name + std::to_string(c.start) + "/" + std::to_string(commits.size())).second) {
                EXPECT_EQ(period_decode_errors(name, f->second.get(), e), "");
            }
        }
        sd_uninit();
    }

    // Sweeps the scenario's seam positions with power cuts; `dry_check` looks at a run without cut.
    // `spread`, `window` and `after` choose the positions (see positions()).
    void sweep(const std::function<void()> &scenario, const std::function<void(const ChildRun &)> &dry_check,
               uint64_t spread = 20, uint64_t window = 12, uint64_t after = 0)
    {
        const ChildRun dry = run_child(0, 0, 0, scenario);
        ASSERT_EQ(dry.code, 0);
        dry_check(dry);
        if (HasFatalFailure())
            return;
        const std::vector<uint64_t> at = positions(dry, spread, window, after);
        int runs = 0;
        for (uint64_t n : at) {
            restore_card();
            if (HasFatalFailure())
                return;
            const uint64_t since = RecorderClock::wall_us() / 1000000;
            const ChildRun run = run_child(n, SD_IO_FAULT_KILL, 0, scenario);
            if (run.code == 0)
                break; // the scenario ended before the seam
            ASSERT_TRUE(run.cut()) << "child at " << n << " ended with " << run.code;
            ASSERT_TRUE(card_->power_cut());
            check_card(run.commits, n, since);
            if (HasFailure())
                return;
            printf("cut at %llu of %llu: %zu commits kept\n", static_cast<unsigned long long>(n),
                   static_cast<unsigned long long>(dry.ops), run.commits.size());
            if (++runs % 8 == 1) {
                const ChildRun again = run_child(0, 0, 0, [this] { scenario_restart(); });
                EXPECT_EQ(again.code, 0) << "restart after the cut at " << n;
                EXPECT_GE(again.commits.size(), 1u) << "restart after the cut at " << n;
                for (const Commit &c : again.commits)
                    EXPECT_GT(c.frames, 0u);
            }
        }
        if (!getenv("ZELMAR_RECORD_SWEEP_AT")) {
            EXPECT_GT(runs, 5);
        }
    }

    // Fails the seam's operations one at a time with each errno, the recorder going on after it.
    void error_sweep(const std::function<void()> &scenario, size_t commits_expected)
    {
        const ChildRun dry = run_child(0, 0, 0, scenario);
        ASSERT_EQ(dry.code, 0);
        ASSERT_EQ(dry.commits.size(), commits_expected);
        const int errors[] = {ENOSPC, EROFS, EIO};
        int runs = 0;
        for (uint64_t n : positions(dry, 8, 10)) {
            const int err = errors[n % 3];
            SCOPED_TRACE("operation " + std::to_string(n) + " fails with " + strerror(err));
            restore_card();
            if (HasFatalFailure())
                return;
            const uint64_t since = RecorderClock::wall_us() / 1000000;
            const ChildRun run = run_child(n, SD_IO_FAULT_ERRNO, err, scenario);
            ASSERT_EQ(run.code, 0);
            // A failure of the recording's writer is reported (one of an index or picture file is
            // logged and counted only, and costs at most that period's listing).
            const int status = err == ENOSPC ? 2 : 12;
            if (run.writer_failed) {
                EXPECT_NE(std::find(run.statuses.begin(), run.statuses.end(), status), run.statuses.end())
                    << "no status " << status << " for a failure that cost a period";
            }
            printf("operation %llu failed with %d: statuses", static_cast<unsigned long long>(n), err);
            for (int st : run.statuses)
                printf(" %d", st);
            printf(", %zu commits\n", run.commits.size());
            ASSERT_TRUE(card_->power_cut());
            check_card(run.commits, n, since, true);
            if (HasFailure())
                return;
            runs++;
        }
        if (!getenv("ZELMAR_RECORD_SWEEP_AT")) {
            EXPECT_GT(runs, 5);
        }
    }

    int side_ = -1;
    std::vector<std::string> saved_files_;
    size_t saved_records_ = 0;
    std::string reused_number_; // the pool number of a recording the scenario takes back
    uint64_t child_tick_us_ = 0; // the latest clock a child reported at its end
    const int tasks_at_start_ = zeltest::task_count();
    uint64_t advance_s_ = 600;   // how far each child's clock starts after that
    std::set<uint32_t> reported_;
    bool seeded_ = false;
    std::set<std::string> decoded_;
    std::set<std::string> unwritten_;    // pool numbers of recordings the scenario leaves alone
    std::map<std::string, Json> walked_; // their walker reports by file name, size and times
};

} // namespace rectest
