#include "ztp_loopback.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ztp_peer_vectors.h"

namespace ztptest {

using zeltest::Json;

Loopback::Loopback(const std::string &login_key)
{
    const unsigned pid = static_cast<unsigned>(getpid());
    a_ = static_cast<int>(1 + (pid >> 8) % 254);
    b_ = static_cast<int>(pid & 0xFF);
    lan_port_ = zeltest::free_udp_port();
    tcp_port_ = zeltest::free_tcp_port();
    setenv("ZELMAR_ZTP_LAN_PORT", std::to_string(lan_port_).c_str(), 1);
    setenv("ZELMAR_ZTP_TCP_PORT", std::to_string(tcp_port_).c_str(), 1);
    const std::string ctl = root_.path("/tmp/servers.ctl");
    std::vector<std::string> args{
        "--udp", ip(2) + "," + ip(3) + "," + ip(4), "--port", std::to_string(tcp_port_), "--control", ctl};
    if (!login_key.empty()) {
        args.push_back("--login-key");
        args.push_back(login_key);
    }
    server_proc_ = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("ztp_server.py", args),
                                                           std::vector<std::string>{}, root_.path("/tmp/servers.log"));
    servers_ = std::make_unique<zeltest::PeerControl>(ctl, "ztp_server.py");
    for (int k = 0; k < 2; ++k) {
        const std::string name = "/tmp/phone" + std::to_string(k);
        phone_proc_[k] = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("ztp_phone.py",
                                 {"--host", ip(k == 0 ? 6 : 8), "--control", root_.path(name + ".ctl")}),
            std::vector<std::string>{}, root_.path(name + ".log"));
    }
}

Loopback::~Loopback()
{
    unsetenv("ZELMAR_ZTP_LAN_PORT");
    unsetenv("ZELMAR_ZTP_TCP_PORT");
}

std::string Loopback::ip(int x) const
{
    return "127." + std::to_string(a_) + "." + std::to_string(b_) + "." + std::to_string(x);
}

std::string Loopback::init_string(int count) const
{
    std::string names;
    for (int i = 0; i < count; ++i)
        names += ip(2 + i) + ",";
    std::string out = run_wire_peer("initstring " + names + " KEYSTR");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

Json Loopback::phone(const std::string &json, int which)
{
    auto &ctl = phone_[which];
    if (!ctl)
        ctl = std::make_unique<zeltest::PeerControl>(root_.path("/tmp/phone" + std::to_string(which) + ".ctl"),
                                                     "ztp_phone.py");
    return ctl->command(json);
}

void Loopback::start_relay(const std::vector<std::string> &args)
{
    std::vector<std::string> all{"--host", ip(5), "--log", root_.path("/tmp/relay.jsonl")};
    all.insert(all.end(), args.begin(), args.end());
    relay_proc_ = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("ztp_relay.py", all),
                                                          std::vector<std::string>{}, root_.path("/tmp/relay.log"));
    zeltest::wait_until([&] { return root_.exists("/tmp/relay.jsonl"); }, std::chrono::milliseconds(5000));
    usleep(200 * 1000); // the UDP socket binds right after the log file is made
}

std::string Loopback::relay_log() const
{
    return root_.exists("/tmp/relay.jsonl") ? root_.read_file("/tmp/relay.jsonl") : "";
}

int Loopback::start_impair(const std::string &peer, const std::vector<std::string> &args)
{
    const std::string n = std::to_string(impairs_.size());
    const std::string ctl = root_.path("/tmp/impair" + n + ".ctl");
    std::vector<std::string> all{"--host", ip(9), "--phone", peer, "--control", ctl};
    all.insert(all.end(), args.begin(), args.end());
    impair_procs_.push_back(std::make_unique<zeltest::ChildProcess>(
        zeltest::python_peer("udp_impair.py", all), std::vector<std::string>{}, root_.path("/tmp/impair" + n + ".log")));
    impairs_.push_back(std::make_unique<zeltest::PeerControl>(ctl, "udp_impair.py"));
    return member_int(impairs_.back()->command(R"({"cmd":"state"})").get(), "port");
}

namespace {

Json wait_in(zeltest::PeerControl &ctl, const std::string &match, int since, int timeout_ms)
{
    const int ms = static_cast<int>(zeltest::scaled(std::chrono::milliseconds(timeout_ms)).count());
    Json answer = ctl.command(R"({"cmd":"wait","since":)" + std::to_string(since) + R"(,"timeout_ms":)" +
                              std::to_string(ms) + R"(,"match":)" + match + "}");
    json_object *e = zeltest::member(answer.get(), "entry");
    return Json(e ? json_object_get(e) : nullptr);
}

} // namespace

Json Loopback::server_wait(const std::string &match, int since, int timeout_ms)
{
    return wait_in(*servers_, match, since, timeout_ms);
}

Json Loopback::phone_wait(const std::string &match, int since, int timeout_ms, int which)
{
    phone(R"({"cmd":"state"})", which);
    return wait_in(*phone_[which], match, since, timeout_ms);
}

int Loopback::server_log_size()
{
    Json answer = server(R"({"cmd":"log","since":0})");
    return member_int(answer.get(), "next");
}

Json Loopback::server_log(int since)
{
    Json answer = server(R"({"cmd":"log","since":)" + std::to_string(since) + "}");
    return Json(json_object_get(zeltest::member(answer.get(), "log")));
}

int member_int(json_object *obj, const char *key)
{
    json_object *m = zeltest::member(obj, key);
    return m ? json_object_get_int(m) : 0;
}

std::string member_string(json_object *obj, const char *key)
{
    json_object *m = zeltest::member(obj, key);
    return m ? json_object_get_string(m) : "";
}

sockaddr_in member_addr(json_object *obj, const char *key)
{
    json_object *m = zeltest::member(obj, key);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (m && json_object_is_type(m, json_type_array) && json_object_array_length(m) == 2) {
        inet_pton(AF_INET, json_object_get_string(json_object_array_get_idx(m, 0)), &a.sin_addr);
        a.sin_port = htons(static_cast<uint16_t>(json_object_get_int(json_object_array_get_idx(m, 1))));
    }
    return a;
}

std::string json_addr(const std::string &ip, int port)
{
    return "[\"" + ip + "\"," + std::to_string(port) + "]";
}

} // namespace ztptest
