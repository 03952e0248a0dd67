// Test app objects for the app ids whose modules later builds add (client 4, media 6, status 7,
// algorithm 8), the record of the order in which the manager created apps, and the shared set-up of
// the app tests: a temporary root with a synchronous stderr log and a private agent-bus address.
#pragma once

#include "zel_app_object.h"
#include "zel_db_test_factory.h"
#include "zel_test_support.h"

#include <memory>
#include <string>
#include <vector>

namespace apptest {

// Ids in the order their create functions ran (test apps and wrapped platform apps alike).
std::vector<int> created();
void note_created(int id);
// How many test app objects of `id` were destroyed.
int destroyed(int id);
// The current app object of a test app id, or nullptr.
app_object_t *test_app(int id);
// Makes one test app object for `id`, noted in created().
app_object_t *make_test_app(int id);

// TempRoot with "/mnt/data/operator/zel_log.ini" (debug lines to stderr, synchronous), the /proc
// files the start-up writes, a factory partition with a model (so settings can be saved), and a
// private ZELMAR_AGENT_SOCK.
// TMPDIR points into the root while it lives, so that the roots of death-test children (which end
// without clean-up) are removed with it.
struct Env {
    Env();
    ~Env();
    zeltest::TempRoot root;
    std::unique_ptr<zeltest::FakeFactory> factory;

private:
    std::string old_tmpdir_;
    bool had_tmpdir_ = false;
};

// For a test of the real program: the Python flash peer serves the factory partition in place of
// env's fake one (keys of a camera with the device id 424242), and "/etc/os-release" names the
// firmware. Null (a test failure noted) when the peer does not come up.
std::unique_ptr<zeltest::ChildProcess> serve_factory(Env &env);

// Sends "set_dev_status" (17) with `value` from a client of its own until the manager acknowledges it;
// true when acknowledged within the time-out.
bool send_dev_status(const std::string &value);

} // namespace apptest
