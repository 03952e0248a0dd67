// The whole camera for its tests: tests/peers/camera_env.py, the set-up scripts/run starts, with this
// tree's zelmar_app in a fresh root, and the shell that runs the commands it prints.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "zel_test_support.h"

namespace cameratest {

struct Ran {
    int status;
    std::string out; // with its standard error
};

Ran run(const std::string &command);
bool contains(const std::string &text, const std::string &part);
std::string quoted(const std::string &path);
// "codec,width,height" of each stream, a line each.
std::string streams_of(const std::string &path);
// The commands printed after the ready lines, in their order.
std::vector<std::string> printed_commands(const std::string &out);

// The camera set-up in `root`, started with camera_env.py's `options` and ready (or gone) when made;
// stopped with SIGTERM at the end when still running.
class Camera {
public:
    Camera(zeltest::TempRoot &root, std::vector<std::string> options, const std::vector<std::string> &env = {});
    ~Camera();

    bool up() const { return up_; }
    zeltest::ChildProcess &process() { return *process_; }
    std::string out() const { return root_.read_file("/camera_env.log"); }
    std::string app_log() const { return root_.read_file("/tmp/zelmar_app.log"); }
    bool has_card() const { return contains(out(), "ready: test card "); }
    // The printed command of camera_ctl.py's `name` ("" when none was printed).
    std::string command(const std::string &name) const;

private:
    zeltest::TempRoot &root_;
    std::unique_ptr<zeltest::ChildProcess> process_;
    bool up_ = false;
};

} // namespace cameratest
