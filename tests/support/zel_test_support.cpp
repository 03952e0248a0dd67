#include "zel_test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef ZEL_TEST_EMULATOR
#error "define ZEL_TEST_EMULATOR as \"${ZEL_EMULATOR_COMMAND}\" where this file is built (see tests/CMakeLists.txt)"
#endif

extern char **environ;

namespace zeltest {

namespace {

void make_dirs(const std::string &path)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + part + ": " + std::strerror(errno));
    }
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

int bound_port(int type)
{
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

#if defined(__arm__)
constexpr unsigned kOwnMachine = EM_ARM;
#elif defined(__aarch64__)
constexpr unsigned kOwnMachine = EM_AARCH64;
#elif defined(__x86_64__)
constexpr unsigned kOwnMachine = EM_X86_64;
#elif defined(__i386__)
constexpr unsigned kOwnMachine = EM_386;
#else
#error "add this architecture's ELF machine number"
#endif

// True for an ELF program of the architecture this test was built for: the host kernel cannot run one
// of those by itself when the build is a cross build.
bool is_own_elf(const std::string &path)
{
    unsigned char head[EI_NIDENT + 4] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(head), sizeof head) || std::memcmp(head, ELFMAG, SELFMAG) != 0)
        return false;
    const unsigned char *m = head + EI_NIDENT + 2; // e_machine follows e_type
    const unsigned machine = head[EI_DATA] == ELFDATA2MSB ? (m[0] << 8 | m[1]) : (m[1] << 8 | m[0]);
    return machine == kOwnMachine;
}

std::string find_in_path(const std::string &program)
{
    if (program.find('/') != std::string::npos)
        return program;
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return program;
}

bool steers_loader(const std::string &entry)
{
    return entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("LD_LIBRARY_PATH=", 0) == 0;
}

} // namespace

const std::vector<std::string> &emulator()
{
    static const std::vector<std::string> words = [] {
        std::vector<std::string> list;
        std::istringstream text(ZEL_TEST_EMULATOR);
        for (std::string word; text >> word;)
            list.push_back(word);
        if (!list.empty())
            list[0] = find_in_path(list[0]);
        return list;
    }();
    return words;
}

std::vector<std::string> exec_command(const std::vector<std::string> &argv, std::vector<std::string> &env)
{
    if (emulator().empty() || argv.empty() || !is_own_elf(argv[0]))
        return argv;
    std::vector<std::string> command = emulator();
    for (auto it = env.begin(); it != env.end();) {
        if (steers_loader(*it)) {
            command.insert(command.end(), {"-E", *it});
            it = env.erase(it);
        } else {
            ++it;
        }
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

TempRoot::TempRoot()
{
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/zelmar-test-XXXXXX";
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    if (const char *old = std::getenv("ZELMAR_ROOT")) {
        had_root_ = true;
        old_root_ = old;
    }
    setenv("ZELMAR_ROOT", dir_.c_str(), 1);
    for (const char *d :
         {"/mnt/data/operator", "/mnt/sdcard", "/tmp", "/var/run", "/run", "/dev", "/proc/self", "/proc/sys/vm"})
        make_dirs(dir_ + d);
}

TempRoot::~TempRoot()
{
    if (had_root_)
        setenv("ZELMAR_ROOT", old_root_.c_str(), 1);
    else
        unsetenv("ZELMAR_ROOT");
    nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempRoot::path(const std::string &device_path) const
{
    return dir_ + device_path;
}

void TempRoot::write_file(const std::string &device_path, const std::string &content) const
{
    const std::string real = path(device_path);
    make_dirs(real.substr(0, real.rfind('/')));
    std::ofstream out(real, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + real);
}

std::string TempRoot::read_file(const std::string &device_path) const
{
    std::ifstream in(path(device_path), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool TempRoot::exists(const std::string &device_path) const
{
    return access(path(device_path).c_str(), F_OK) == 0;
}

int free_tcp_port()
{
    return bound_port(SOCK_STREAM);
}

int free_udp_port()
{
    return bound_port(SOCK_DGRAM);
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
                           const std::string &log_path)
{
    std::vector<std::string> added = extra_env;
    const std::vector<std::string> command = exec_command(argv, added);
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), added.begin(), added.end());
    std::vector<char *> cargv, cenv;
    for (const auto &a : command)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto &e : env)
        cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        if (!log_path.empty()) {
            const int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
        }
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (!reaped_)
        stop();
}

bool ChildProcess::running()
{
    if (reaped_)
        return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

int ChildProcess::stop(int sig)
{
    if (!running())
        return status_;
    kill(-pid_, sig);
    kill(pid_, sig);
    if (wait_exit(std::chrono::seconds(5)) == -1) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    return status_;
}

int ChildProcess::wait_exit(std::chrono::milliseconds timeout)
{
    if (!wait_until([this] { return !running(); }, timeout))
        return -1;
    return status_;
}

std::vector<std::string> python_peer(const std::string &script, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{ZEL_PYTHON, "-u", std::string(ZEL_TEST_PEERS_DIR) + "/" + script};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

double time_scale()
{
    static const double scale = [] {
        const char *text = std::getenv("ZELMAR_TEST_TIME_SCALE");
        const double value = text ? std::strtod(text, nullptr) : 1.0;
        return value >= 1.0 ? value : 1.0;
    }();
    return scale;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds d)
{
    return std::chrono::milliseconds(static_cast<int64_t>(static_cast<double>(d.count()) * time_scale()));
}

namespace {

template <typename Fn>
void each_entry(const char *dir, Fn fn)
{
    DIR *d = opendir(dir);
    while (dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            fn(e->d_name);
    if (d)
        closedir(d);
}

int entry_count(const char *dir)
{
    int n = 0;
    each_entry(dir, [&](const char *) { n++; });
    return n;
}

} // namespace

std::map<std::string, std::string> tasks()
{
    std::map<std::string, std::string> out;
    each_entry("/proc/self/task", [&](const char *id) {
        std::ifstream comm(std::string("/proc/self/task/") + id + "/comm");
        std::string name;
        if (std::getline(comm, name))
            out[id] = name;
    });
    return out;
}

int task_count()
{
    return entry_count("/proc/self/task");
}

int descriptor_count()
{
    return entry_count("/proc/self/fd");
}

int64_t wall_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string hex(const unsigned char *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

int run_command(const std::string &command, std::string *out)
{
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        if (out)
            out->append(buf, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool make_https_certs(const TempRoot &root)
{
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    return run_command("cd " + root.dir() + " && openssl req -x509 " + ec +
                       " -keyout ca.key -out ca.pem -days 2 -subj /CN=zel-test-ca 2>/dev/null && openssl req " + ec +
                       " -keyout srv.key -out srv.csr -subj /CN=localhost 2>/dev/null && "
                       "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext.cnf && "
                       "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                       "-out srv.pem -days 2 -extfile ext.cnf 2>/dev/null && cp ca.pem " +
                       root.path("/mnt/data/cacert.pem")) == 0;
}

} // namespace zeltest
