// The test smbd (see smbd_server.h).
#include "smbd_server.h"

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace zeltest {

namespace {

bool accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

std::string user_name()
{
    const passwd *pw = getpwuid(getuid());
    return pw ? pw->pw_name : "root";
}

} // namespace

SmbdServer::SmbdServer()
{
    std::string templ = "/tmp/zel_smbd_XXXXXX";
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    user_ = user_name();
}

SmbdServer::~SmbdServer()
{
    stop();
    run_command("rm -rf '" + dir_ + "'");
}

bool SmbdServer::start(std::string *why)
{
    if (access("/usr/sbin/smbd", X_OK) != 0 || access("/usr/bin/pdbedit", X_OK) != 0) {
        if (why)
            *why = "smbd or pdbedit is not installed";
        return false;
    }
    for (const char *sub : {"private", "lock", "state", "cache", "pid", "ncalrpc", "log", "share", "readonly/videos"})
        run_command("mkdir -p '" + dir_ + "/" + sub + "'");
    if (port_ == 0)
        port_ = free_tcp_port();
    std::ofstream conf(this->conf());
    const std::string &r = dir_;
    conf << "[global]\n"
         << "  smb ports = " << port_ << "\n"
         << "  interfaces = 127.0.0.1\n  bind interfaces only = yes\n  disable netbios = yes\n"
         << "  server role = standalone server\n  server min protocol = SMB2_10\n  map to guest = never\n"
         << "  private dir = " << r << "/private\n  lock directory = " << r << "/lock\n"
         << "  state directory = " << r << "/state\n  cache directory = " << r << "/cache\n"
         << "  pid directory = " << r << "/pid\n  ncalrpc dir = " << r << "/ncalrpc\n"
         << "  passdb backend = tdbsam:" << r << "/private/passdb.tdb\n  log file = " << r << "/log/log.%m\n"
         << "  load printers = no\n  printing = bsd\n  printcap name = /dev/null\n  disable spoolss = yes\n"
         << "[share]\n  path = " << r << "/share\n  read only = no\n  valid users = " << user_ << "\n"
         << "[readonly]\n  path = " << r << "/readonly\n  read only = yes\n  valid users = " << user_ << "\n";
    conf.close();
    // The shell reports the status in the output: a process that reaps its children for itself
    // (the SDK's does) leaves pclose no status to give.
    std::string added;
    if (!account_added_)
        run_command("printf '" + password_ + "\\n" + password_ + "\\n' | pdbedit -s '" + this->conf() + "' -a -u '" +
                        user_ + "' -t >/dev/null 2>&1; echo status=$?",
                    &added);
    if (!account_added_ && added.find("status=0") == std::string::npos) {
        if (why)
            *why = "pdbedit could not add the account";
        return false;
    }
    account_added_ = true;
    // smbd makes a session of its own, which a process-group leader cannot: a shell starts it and
    // waits on it, and smbd's own group (its pid) takes the signals.
    const std::string pid_path = dir_ + "/log/smbd.pid";
    unlink(pid_path.c_str()); // a restart must not read the last run's pid
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "/usr/sbin/smbd --foreground -s '" + this->conf() + "' & echo $! > '" + pid_path +
                                     "'; wait"},
        std::vector<std::string>{}, dir_ + "/log/smbd.out");
    wait_until(
        [&] {
            std::ifstream in(pid_path);
            return static_cast<bool>(in >> smbd_pid_) && smbd_pid_ > 1;
        },
        std::chrono::milliseconds(5000));
    if (!wait_until([&] { return accepts(port_); }, std::chrono::milliseconds(10000))) {
        if (why) {
            *why = "smbd did not start listening: ";
            run_command("tail -c 600 '" + dir_ + "/log/smbd.out' '" + dir_ + "/log/log.smbd' 2>&1", why);
        }
        return false;
    }
    return true;
}

void SmbdServer::stop_dcerpcd()
{
    std::ifstream pid_file(dir_ + "/pid/samba-dcerpcd.pid");
    long pid = 0;
    if (pid_file >> pid && pid > 1)
        kill(static_cast<pid_t>(pid), SIGTERM);
}

void SmbdServer::stop()
{
    if (smbd_pid_ > 1) {
        resume();
        kill(-smbd_pid_, SIGTERM);
        kill(smbd_pid_, SIGTERM);
    }
    if (process_) {
        if (process_->wait_exit(std::chrono::milliseconds(5000)) == -1 && smbd_pid_ > 1) {
            kill(-smbd_pid_, SIGKILL);
            kill(smbd_pid_, SIGKILL);
        }
        process_.reset();
    }
    smbd_pid_ = 0;
    stop_dcerpcd();
}

void SmbdServer::pause()
{
    // The whole group: each connection is served by a child of its own.
    if (smbd_pid_ > 1)
        kill(-smbd_pid_, SIGSTOP);
}

void SmbdServer::resume()
{
    if (smbd_pid_ > 1)
        kill(-smbd_pid_, SIGCONT);
}

int SmbdServer::smbclient(const std::string &commands, std::string *out) const
{
    return run_command("smbclient //127.0.0.1/share -p " + std::to_string(port_) + " -U '" + user_ + "%" + password_ +
                           "' -m SMB3 -c '" + commands + "' 2>&1",
                       out);
}

} // namespace zeltest
