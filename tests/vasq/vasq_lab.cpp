#include "vasq_lab.h"

namespace vasqtest {

void VasqLab::start(int max_sessions, int servers, std::vector<int> sizes)
{
    server_ = server_new(max_sessions, sizes[0], sizes[1], sizes[2], sizes[3]);
    ASSERT_EQ(zt_server_init(server_, kDid, kCrcKey, net_.init_string(servers).c_str()), 0);
    // Listening: the servers have the login.
    ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})", 0, 8000));
}

Phone &VasqLab::phone(int index)
{
    while (phones_.size() <= static_cast<size_t>(index))
        phones_.push_back(std::make_unique<Phone>(net_, static_cast<int>(phones_.size())));
    return *phones_[static_cast<size_t>(index)];
}

bool VasqLab::wait_sessions(size_t n, int timeout_ms)
{
    return zeltest::wait_until([&] { return Record::get().sessions().size() >= n; },
                               std::chrono::milliseconds(timeout_ms));
}

vasq_session *VasqLab::session_of(int index, bool authorise)
{
    Phone &p = phone(index);
    const size_t before = Record::get().sessions().size();
    // The servers punch towards the socket of the newest login: the listen after the last accept.
    if (!net_.server_wait(R"({"type":18,"server":0})", login_since_, 8000))
        return nullptr;
    // A new command thread, told apart by its task id: one of an ending session may still be there.
    const std::set<std::string> before_tasks = tasks_named("command_");
    p.connect();
    auto started = [&] {
        for (const std::string &t : tasks_named("command_"))
            if (!before_tasks.count(t))
                return true;
        return false;
    };
    if (!zeltest::wait_until(started, std::chrono::milliseconds(8000)))
        return nullptr;
    login_since_ = net_.server_log_size();
    if (!authorise)
        return nullptr;
    // The phone's side is ready once it has the camera's P2PRdy.
    zeltest::wait_until(
        [&] {
            zeltest::Json r = p.received();
            json_object *ready = zeltest::member(r.get(), "ready");
            return ready && json_object_get_boolean(ready);
        },
        std::chrono::milliseconds(3000));
    p.command(R"({"cmd":"command","code":256,"text":"{\"public_key\":\"00\",\"sign\":\"00\"}"})");
    if (!wait_sessions(before + 1))
        return nullptr;
    return Record::get().sessions().back();
}

void VasqLab::TearDown()
{
    if (server_) {
        if (!finished_)
            zt_server_finish(server_);
        server_free(server_);
    }
    phones_.clear();
    Record::get().clear();
}

} // namespace vasqtest
