// A real, unprivileged smbd on 127.0.0.1 and a free port, with one writable share "share", one
// read-only share "readonly" holding the directory "videos", and one account, for the NAS tests.
// Skips (returns false from start) where smbd or pdbedit is missing.
#pragma once

#include <memory>
#include <string>

#include "zel_test_support.h"

namespace zeltest {

class SmbdServer {
public:
    SmbdServer();
    ~SmbdServer();
    SmbdServer(const SmbdServer &) = delete;
    SmbdServer &operator=(const SmbdServer &) = delete;

    // Writes the configuration, adds the account and starts smbd; true once it accepts connections.
    // `why` tells what is missing when it returns false.
    bool start(std::string *why = nullptr);
    void stop();
    void pause();  // SIGSTOP: a server that stops answering
    void resume();

    int port() const { return port_; }
    const std::string &user() const { return user_; }
    const std::string &password() const { return password_; }
    // The directory the share "share" serves.
    std::string share_dir() const { return dir_ + "/share"; }
    std::string conf() const { return dir_ + "/smb.conf"; }
    // `smbclient` against this server: "smbclient //127.0.0.1/share -p <port> -U user%pw -c '<cmd>'".
    int smbclient(const std::string &commands, std::string *out = nullptr) const;

private:
    std::string dir_;
    int port_ = 0;
    std::string user_;
    std::string password_ = "zelmar-pw";
    std::unique_ptr<ChildProcess> process_; // the shell that waits on smbd
    long smbd_pid_ = 0;
    bool account_added_ = false;
    void stop_dcerpcd();
};

} // namespace zeltest
