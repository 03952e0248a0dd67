// The phone lab of the P2P service's session tests.
#include "p2p_phone_lab.h"

#include <gtest/gtest.h>
#include <string.h>

namespace p2ptest {

using namespace std::chrono_literals;

namespace {

const uint8_t kToken[] = {0x5a, 0x4c, 0x4d, 0x52, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};

} // namespace

PhoneLab::PhoneLab() : net_(vasqtest::kCrcKey)
{
    keys_.did = vasqtest::kDid;
    keys_.token_hex = zeltest::hex(kToken, sizeof kToken);
}

PhoneLab::~PhoneLab()
{
    phones_.clear();
    if (listening_)
        daemon_unlisten();
}

void PhoneLab::identify(ko_sdk_info &info)
{
    strcpy(info.device_id, vasqtest::kDid);
    memcpy(info.token, kToken, sizeof kToken);
    info.token_len = sizeof kToken;
    ASSERT_EQ(daemon_listen(), 0);
    listening_ = true;
}

void PhoneLab::answer_vendor_request()
{
    ASSERT_EQ(p2ptest::answer_vendor_request(net_, keys_), "");
}

bool PhoneLab::authorised(int index)
{
    while (phones_.size() <= static_cast<size_t>(index))
        phones_.push_back(std::make_unique<vasqtest::Phone>(net_, static_cast<int>(phones_.size())));
    const int online = phones_online();
    return link_and_authorise(phone_at(index), keys_) &&
           zeltest::wait_until([&] { return phones_online() > online; }, 10s);
}

bool PhoneLab::wait_reply(int index, int code, size_t n)
{
    return zeltest::wait_until([&] { return replies(index, code).size() >= n; }, 10s);
}

} // namespace p2ptest
