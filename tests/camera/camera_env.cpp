// The camera set-up of the whole-camera tests.
#include "camera_env.h"

#include <signal.h>

namespace cameratest {

using namespace std::chrono_literals;

Ran run(const std::string &command)
{
    Ran r{-1, {}};
    r.status = zeltest::run_command(command + " 2>&1", &r.out);
    return r;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string quoted(const std::string &path)
{
    return "'" + path + "'";
}

std::string streams_of(const std::string &path)
{
    return run("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 " + quoted(path)).out;
}

std::vector<std::string> printed_commands(const std::string &out)
{
    std::vector<std::string> commands;
    size_t at = 0;
    for (size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = out.substr(at, end - at);
        if (line.rfind("  $ ", 0) == 0)
            commands.push_back(line.substr(4));
    }
    return commands;
}

Camera::Camera(zeltest::TempRoot &root, std::vector<std::string> options, const std::vector<std::string> &env)
    : root_(root)
{
    std::vector<std::string> no_env;
    options.insert(options.begin(), {"--sound", ZEL_BOARD_SOUND_DIR});
    options.insert(options.end(), {root.dir(), "--"});
    for (const std::string &word : zeltest::exec_command({ZELMAR_APP_PATH}, no_env))
        options.push_back(word);
    process_ = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("camera_env.py", options), env,
                                                       root.path("/camera_env.log"));
    up_ = zeltest::wait_until([&] { return contains(out(), "Ctrl-C stops everything.") || !process_->running(); },
                              240s) &&
          process_->running();
}

Camera::~Camera()
{
    if (process_->running())
        kill(process_->pid(), SIGTERM);
    process_->wait_exit(60s);
}

std::string Camera::command(const std::string &name) const
{
    const std::string words = " " + root_.dir() + " " + name;
    for (const std::string &c : printed_commands(out())) {
        const size_t at = c.find(words);
        const size_t end = at + words.size();
        if (at != std::string::npos && (end == c.size() || c[end] == ' '))
            return c;
    }
    return {};
}

} // namespace cameratest
