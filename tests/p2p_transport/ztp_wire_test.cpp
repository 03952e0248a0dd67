// Wire messages against the Python peer: each writer's bytes equal the peer's, each reader parses
// the peer's messages, and malformed input is refused with the codes the receive path expects.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "ztp_login_check.h"
#include "ztp_peer_vectors.h"
#include "ztp_tables.h"
#include "ztp_tcp_frame.h"
#include "ztp_wire.h"
#include "ztp_wire_msgs.h"

using namespace ztptest;

namespace {

const sockaddr_in kLocal = addr("10.1.2.3", 40000);

// The plain message of a peer vector, parsed: type and payload.
struct Parsed {
    uint8_t type = 0;
    Bytes payload;
};

Parsed parse(const Bytes &msg)
{
    Parsed p;
    uint8_t buf[ZTP_MAX_DATAGRAM];
    size_t size = sizeof buf;
    EXPECT_EQ(ztp_parse_message(msg.data(), msg.size(), &p.type, buf, &size), 0);
    p.payload.assign(buf, buf + size);
    return p;
}

std::string written(int len, const uint8_t *buf)
{
    return len < 0 ? "write failed" : to_hex(buf, static_cast<size_t>(len));
}

TEST(WireBlocks, AddressAndDidLayouts)
{
    uint8_t wire[16];
    const sockaddr_in a = addr("192.168.1.2", 32100);
    htonAddrZTP(&a, wire);
    EXPECT_EQ(to_hex(wire, 16), "0002647d0201a8c00000000000000000");
    EXPECT_EQ(to_hex(wire, 16), to_hex(vec("addr_192_168_1_2_32100")));
    sockaddr_in back{};
    ntohAddrZTP(wire, &back);
    EXPECT_EQ(addr_text(back), "192.168.1.2:32100");
    EXPECT_EQ(back.sin_family, AF_INET);

    uint8_t did[20];
    const ztp_did d = test_did();
    ztp_write_did(did, &d);
    EXPECT_EQ(to_hex(did, 20), "41424300000000000000007b58595a0000000000");
    EXPECT_EQ(to_hex(did, 20), to_hex(vec("did_ABC_000123_XYZ")));
    ztp_did read{};
    ztp_read_did(did, &read);
    EXPECT_STREQ(read.prefix, "ABC");
    EXPECT_EQ(read.serial, 123u);
    EXPECT_STREQ(read.check, "XYZ");
}

TEST(WireBlocks, LongDidPartsAreCutToSevenCharacters)
{
    ztp_did d{};
    std::strcpy(d.prefix, "ABCDEFG");
    std::strcpy(d.check, "TUVWXYZ");
    d.serial = 0xFFFFFFFF;
    uint8_t did[20];
    ztp_write_did(did, &d);
    EXPECT_EQ(did[7], 0);
    EXPECT_EQ(did[19], 0);
    ztp_did read{};
    ztp_read_did(did, &read);
    EXPECT_STREQ(read.prefix, "ABCDEFG");
    EXPECT_EQ(read.serial, 0xFFFFFFFFu);
}

TEST(WireBlocks, TwentyFourByteFormKeepsItsTailAndTellsTheFamily)
{
    uint8_t tail[16], wire[24], tail_back[16];
    for (int i = 0; i < 16; ++i)
        tail[i] = static_cast<uint8_t>(0xA0 + i);
    const sockaddr_in a = addr("127.0.0.1", 4433);
    ztp_htonAddr(&a, tail, wire);
    sockaddr_in back{};
    EXPECT_EQ(ztp_ntohAddr(wire, &back, tail_back), AF_INET);
    EXPECT_EQ(addr_text(back), "127.0.0.1:4433");
    EXPECT_EQ(std::memcmp(tail, tail_back, 16), 0);
    const sockaddr_in none = addr("0.0.0.0", 1);
    ztp_htonAddr(&none, nullptr, wire);
    EXPECT_EQ(ztp_ntohAddr(wire, &back, nullptr), AF_INET6);
}

TEST(WireWriters, LoginsMatchThePeer)
{
    uint8_t buf[ZTP_MSG_BUFFER];
    ztp_dev_login login{};
    login.did = test_did();
    login.nat_type = 2;
    login.local_addr = kLocal;
    login.dsk = "DSKSECRET";
    EXPECT_EQ(written(ztp_write_DevLgn(ZTP_MSG_DEV_LGN, &login, ztp_login_key, buf, sizeof buf), buf),
              to_hex(vec("dev_lgn")));
    EXPECT_EQ(written(ztp_write_DevLgn(ZTP_MSG_DEV_LGN_CRC, &login, ztp_login_key, buf, sizeof buf), buf),
              to_hex(vec("dev_lgn_crc")));
    EXPECT_EQ(written(ztp_write_DevLgn(ZTP_MSG_DEV_LGN1_CRC, &login, ztp_login_key, buf, sizeof buf), buf),
              to_hex(vec("dev_lgn1_crc")));
    EXPECT_EQ(written(ztp_write_DevLgn(ZTP_MSG_DEV_LGN_DSK, &login, ztp_login_key, buf, sizeof buf), buf),
              to_hex(vec("dev_lgn_dsk")));
    EXPECT_EQ(written(ztp_write_DidLoginCheck(ZTP_MSG_SDEV_LGN_CRC, &login.did, ztp_login_key, buf, sizeof buf), buf),
              to_hex(vec("sdev_lgn_crc")));
    EXPECT_EQ(written(ztp_write_DidLoginCheck(ZTP_MSG_SSD_LGN_CRC, &login.did, ztp_login_key, buf, sizeof buf), buf),
              to_hex(vec("ssd_lgn_crc")));
    EXPECT_EQ(ztp_write_DevLgn(ZTP_MSG_DEV_LGN_CRC, &login, ztp_login_key, buf, 47), -1);
    EXPECT_EQ(ztp_write_DevLgn(ZTP_MSG_HELLO, &login, ztp_login_key, buf, sizeof buf), -1);
}

TEST(WireWriters, SessionAndRelayMessagesMatchThePeer)
{
    uint8_t buf[ZTP_MSG_BUFFER];
    const ztp_did did = test_did();
    EXPECT_EQ(written(ztp_write_Empty(ZTP_MSG_HELLO, buf, sizeof buf), buf), to_hex(vec("hello")));
    EXPECT_EQ(written(ztp_write_DidOnly(ZTP_MSG_PUNCH_PKT, &did, buf, sizeof buf), buf), to_hex(vec("punch_pkt")));
    EXPECT_EQ(written(ztp_write_DidOnly(ZTP_MSG_P2P_RDY, &did, buf, sizeof buf), buf), to_hex(vec("p2p_rdy")));
    EXPECT_EQ(written(ztp_write_DidOnly(ZTP_MSG_P2P_RDY_LAN_TCP, &did, buf, sizeof buf), buf),
              to_hex(vec("p2p_rdy_lan_tcp")));
    EXPECT_EQ(written(ztp_write_DidOnly(ZTP_MSG_RLY_RDY, &did, buf, sizeof buf), buf), to_hex(vec("rly_rdy")));
    const ztp_rly_pkt pkt{0x01020304, did, 1};
    EXPECT_EQ(written(ztp_write_RlyPkt(&pkt, buf, sizeof buf), buf), to_hex(vec("rly_pkt")));
    EXPECT_EQ(written(ztp_write_RlyPortAck(0x0A0B0C0D, 5000, buf, sizeof buf), buf), to_hex(vec("rly_port_ack")));
    EXPECT_EQ(written(ztp_write_SSDP2PReq(&did, &kLocal, buf, sizeof buf), buf), to_hex(vec("ssd_p2p_req")));
    EXPECT_EQ(written(ztp_write_SSDDevLgn(&did, 1, &kLocal, buf, sizeof buf), buf), to_hex(vec("ssd_dev_lgn")));
    const uint8_t tail[2] = {5, 6};
    EXPECT_EQ(written(ztp_write_SmartPunchTo(&kLocal, 0x1234, tail, buf, sizeof buf), buf),
              to_hex(vec("smart_punch_to")));
}

TEST(WireWriters, ChannelMessagesMatchThePeer)
{
    uint8_t buf[ZTP_MSG_BUFFER];
    Bytes data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    const int drw = ztp_write_DRW(2, 7, data.data(), data.size(), buf, sizeof buf);
    EXPECT_EQ(drw, 1032);
    EXPECT_EQ(written(drw, buf), to_hex(vec("drw_1024")));
    EXPECT_EQ(ztp_write_DRW(2, 7, data.data(), 1025, buf, sizeof buf), -1);
    const uint16_t idx[3] = {1, 2, 3};
    const int ack = ztp_write_DRWAck(1, idx, 3, buf, sizeof buf);
    EXPECT_EQ(ack, 14);
    EXPECT_EQ(written(ack, buf), to_hex(vec("drw_ack_3")));
    EXPECT_EQ(written(ztp_write_PSR(3, 9, reinterpret_cast<const uint8_t *>("abc"), 3, buf, sizeof buf), buf),
              to_hex(vec("psr")));
}

TEST(WireWriters, DcMessagesMatchThePeer)
{
    uint8_t buf[ZTP_MSG_BUFFER];
    ztp_dc dc{};
    dc.did = test_did();
    auto with = [&](uint8_t sub, const char *text) {
        dc.sub_type = sub;
        std::memset(dc.text, 0, sizeof dc.text);
        std::strcpy(dc.text, text);
        return written(ztp_write_DC(&dc, buf, sizeof buf), buf);
    };
    dc.command = 0x0102;
    dc.data = reinterpret_cast<const uint8_t *>("hello");
    dc.data_len = 5;
    EXPECT_EQ(with(ZTP_DC_CMD, "tx-1"), to_hex(vec("dc_cmd")));
    dc.data = reinterpret_cast<const uint8_t *>("world!");
    dc.data_len = 6;
    EXPECT_EQ(with(ZTP_DC_RESP, "tx-2"), to_hex(vec("dc_resp")));
    dc.data = nullptr;
    dc.data_len = 0;
    const uint8_t bytes[4] = {1, 2, 3, 4};
    std::memcpy(dc.bytes, bytes, 4);
    EXPECT_EQ(with(ZTP_DC_REQ_ACK, "tx-4"), to_hex(vec("dc_req_ack")));
    std::memset(dc.bytes, 0, 4);
    dc.bytes[0] = 1;
    EXPECT_EQ(with(ZTP_DC_REQ, "tx-3"), to_hex(vec("dc_req")));
    EXPECT_EQ(with(ZTP_DC_RESP_ACK, "tx-6"), to_hex(vec("dc_resp_ack")));
    dc.bytes[0] = 0;
    dc.bytes[1] = 1;
    EXPECT_EQ(with(ZTP_DC_CMD_ACK, "tx-5"), to_hex(vec("dc_cmd_ack")));
    EXPECT_EQ(with(5, "tx-7"), "write failed");
}

TEST(WireWriters, ReportsMatchThePeer)
{
    uint8_t buf[ZTP_MSG_BUFFER];
    ztp_report_session_rdy r{};
    r.did = test_did();
    r.result = -3;
    r.max_sessions = 5;
    r.open_slots = 4;
    r.listen_ms = 1234;
    r.role = 1;
    r.mode = 2;
    r.login_mode = 2;
    r.slot_status = 7;
    r.local_addr = kLocal;
    r.wan_addr = addr("198.18.0.9", 50001);
    r.remote_addr = addr("198.18.0.10", 50002);
    EXPECT_EQ(written(ztp_write_ReportSessionRdy(&r, buf, sizeof buf), buf), to_hex(vec("report_session_rdy")));
    ztp_report_rrp_p2p_rdy p{};
    p.did = test_did();
    p.value = 0xDEADBEEF;
    p.flag = 3;
    p.addr[0] = kLocal;
    p.addr[1] = addr("198.18.0.9", 50001);
    p.addr[2] = addr("198.18.0.10", 50002);
    EXPECT_EQ(written(ztp_write_ReportRRP_P2PRdy(&p, buf, sizeof buf), buf), to_hex(vec("report_rrp_p2p_rdy")));
}

TEST(WireReaders, ParseThePeersServerMessages)
{
    sockaddr_in a{}, b{};
    Parsed m = parse(vec("hello_ack"));
    EXPECT_EQ(m.type, ZTP_MSG_HELLO_ACK);
    ASSERT_EQ(ztp_read_Addr(m.payload.data(), m.payload.size(), &a), 0);
    EXPECT_EQ(addr_text(a), "198.18.0.9:50001");
    m = parse(vec("punch_to"));
    ASSERT_EQ(ztp_read_Addr(m.payload.data(), m.payload.size(), &a), 0);
    EXPECT_EQ(addr_text(a), "198.18.0.10:50002");
    uint8_t result = 0xEE;
    m = parse(vec("dev_lgn_ack"));
    ASSERT_EQ(ztp_read_DevLgnAck(m.payload.data(), m.payload.size(), &result), 0);
    EXPECT_EQ(result, 0);
    m = parse(vec("dev_lgn_ack_crc"));
    EXPECT_EQ(m.type, ZTP_MSG_DEV_LGN1_CRC);
    ASSERT_EQ(ztp_read_DevLgnAckCRC(m.payload.data(), m.payload.size(), ztp_login_key, &result), 0);
    EXPECT_EQ(result, 0xFD);
    m = parse(vec("tcp_rs_start"));
    ztp_tcp_relay_start start{};
    ASSERT_EQ(ztp_read_TCPRSStart(m.payload.data(), m.payload.size(), &start), 0);
    EXPECT_EQ(start.ticket, 0xCAFEBABEu);
    EXPECT_EQ(addr_text(start.relay), "127.0.0.1:4433");
    EXPECT_EQ(start.did.serial, 123u);
    ztp_did did{};
    m = parse(vec("try_lan_tcp"));
    ASSERT_EQ(ztp_read_TryLanTcp(m.payload.data(), m.payload.size(), &did, &a), 0);
    EXPECT_EQ(addr_text(a), "192.168.1.20:40001");
    EXPECT_STREQ(did.check, "XYZ");
    uint8_t ack[2];
    m = parse(vec("tcp_rly_req_ack"));
    ASSERT_EQ(ztp_read_TCPRlyReqAck(m.payload.data(), m.payload.size(), ack), 0);
    EXPECT_EQ(ack[0], 250);
    uint32_t ticket = 0;
    m = parse(vec("rly_to"));
    ASSERT_EQ(ztp_read_RlyTo(m.payload.data(), m.payload.size(), &a, &ticket), 0);
    EXPECT_EQ(addr_text(a), "198.18.0.11:50003");
    EXPECT_EQ(ticket, 77u);
    m = parse(vec("addr_pair"));
    ASSERT_EQ(ztp_read_AddrPair(m.payload.data(), m.payload.size(), &a, &b), 0);
    EXPECT_EQ(addr_text(b), "198.18.0.2:12");
    m = parse(vec("rly_pkt"));
    ztp_rly_pkt pkt{};
    ASSERT_EQ(ztp_read_RlyPkt(m.payload.data(), m.payload.size(), &pkt), 0);
    EXPECT_EQ(pkt.ticket, 0x01020304u);
    EXPECT_EQ(pkt.side, 1);
    m = parse(vec("punch_pkt"));
    ASSERT_EQ(ztp_read_DidOnly(m.payload.data(), m.payload.size(), &did), 0);
    EXPECT_STREQ(did.prefix, "ABC");
}

TEST(WireReaders, ParseRelayReadyAndLists)
{
    ztp_rly_rdy_plus plus{};
    Parsed m = parse(vec("rly_rdy_plus_1"));
    ASSERT_EQ(ztp_read_RlyRdyPlus(m.payload.data(), m.payload.size(), &plus), 0);
    EXPECT_EQ(plus.sub_type, 1);
    EXPECT_EQ(plus.ticket[15], 15);
    EXPECT_EQ(addr_text(plus.addr[1]), "198.18.0.2:2");
    m = parse(vec("rly_rdy_plus_3"));
    ASSERT_EQ(ztp_read_RlyRdyPlus(m.payload.data(), m.payload.size(), &plus), 0);
    EXPECT_EQ(addr_text(plus.addr[0]), "198.18.0.3:3");
    EXPECT_EQ(plus.last, 9);
    m.payload[0] = 0xA2;
    EXPECT_EQ(ztp_read_RlyRdyPlus(m.payload.data(), m.payload.size(), &plus), -1);

    sockaddr_in list[4];
    uint16_t count = 0;
    ztp_did did{};
    m = parse(vec("ssd_dev_list_2"));
    ASSERT_EQ(ztp_read_SSDList(m.payload.data(), m.payload.size(), &did, list, 4, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(addr_text(list[1]), "198.18.0.6:6");
    // Only as many as the caller has room for.
    ASSERT_EQ(ztp_read_SSDList(m.payload.data(), m.payload.size(), &did, list, 1, &count), 0);
    EXPECT_EQ(count, 1);
    uint8_t relays = 0;
    m = parse(vec("list_req_ack_1"));
    ASSERT_EQ(ztp_read_ListReqAck(m.payload.data(), m.payload.size(), list, 4, &relays), 0);
    EXPECT_EQ(relays, 1);
    EXPECT_EQ(addr_text(list[0]), "198.18.0.7:7");
}

TEST(WireReaders, ListsAnnouncingMoreAddressesThanTheyHoldAreRefused)
{
    sockaddr_in list[8];
    uint16_t count = 0;
    ztp_did did{};
    const Parsed m = parse(vec("ssd_dev_list_short"));
    EXPECT_EQ(ztp_read_SSDList(m.payload.data(), m.payload.size(), &did, list, 8, &count), -1);
    Bytes relays = parse(vec("list_req_ack_1")).payload;
    relays[0] = 2;
    uint8_t n = 0;
    EXPECT_EQ(ztp_read_ListReqAck(relays.data(), relays.size(), list, 8, &n), -1);
}

TEST(WireReaders, ChannelMessagesRoundTrip)
{
    ztp_drw drw{};
    Parsed m = parse(vec("drw_1024"));
    ASSERT_EQ(ztp_read_DRW(m.payload.data(), m.payload.size(), &drw), 0);
    EXPECT_EQ(drw.channel, 2);
    EXPECT_EQ(drw.index, 7);
    ASSERT_EQ(drw.len, 1024u);
    EXPECT_EQ(drw.data[1023], 0xFF);
    uint8_t channel = 0;
    uint16_t idx[ZTP_DRW_ACK_MAX];
    size_t count = 0;
    m = parse(vec("drw_ack_3"));
    ASSERT_EQ(ztp_read_DRWAck(m.payload.data(), m.payload.size(), &channel, idx, &count), 0);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(idx[2], 3);
    m = parse(vec("psr"));
    ASSERT_EQ(ztp_read_PSR(m.payload.data(), m.payload.size(), &drw), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(drw.data), drw.len), "abc");
    m.payload[0] = 0xD2;
    EXPECT_EQ(ztp_read_PSR(m.payload.data(), m.payload.size(), &drw), -1);
}

TEST(WireReaders, OversizedBlocksAreRefusedApartFromMalformedOnes)
{
    Bytes payload(4 + 1025, 0);
    payload[0] = 0xD1;
    ztp_drw drw{};
    EXPECT_EQ(ztp_read_DRW(payload.data(), payload.size(), &drw), -2);
    payload.resize(4 + 1024);
    EXPECT_EQ(ztp_read_DRW(payload.data(), payload.size(), &drw), 0);
    payload.assign(4 + 1241, 0);
    payload[0] = 0xD1;
    EXPECT_EQ(ztp_read_PSR(payload.data(), payload.size(), &drw), -2);
    payload.resize(4 + 1240);
    EXPECT_EQ(ztp_read_PSR(payload.data(), payload.size(), &drw), 0);
}

TEST(WireReaders, AcknowledgementsMustFillTheirPayloadExactly)
{
    uint8_t channel = 0;
    uint16_t idx[ZTP_DRW_ACK_MAX];
    size_t count = 0;
    Bytes ack = parse(vec("drw_ack_3")).payload; // 4 + 6 bytes
    Bytes shorter(ack.begin(), ack.end() - 2);
    EXPECT_EQ(ztp_read_DRWAck(shorter.data(), shorter.size(), &channel, idx, &count), -1);
    Bytes longer = ack;
    longer.push_back(0);
    EXPECT_EQ(ztp_read_DRWAck(longer.data(), longer.size(), &channel, idx, &count), -1);
    // A well-formed acknowledgement of more than 81 blocks is told apart for the caller.
    Bytes many(4 + 2 * 82, 0);
    many[0] = 0xD1;
    many[3] = 82;
    EXPECT_EQ(ztp_read_DRWAck(many.data(), many.size(), &channel, idx, &count), -2);
}

TEST(WireReaders, DcLengthsMustAgree)
{
    ztp_dc dc{};
    Parsed m = parse(vec("dc_cmd"));
    ASSERT_EQ(ztp_read_DC(m.payload.data(), m.payload.size(), &dc), 0);
    EXPECT_EQ(dc.sub_type, ZTP_DC_CMD);
    EXPECT_EQ(dc.command, 0x0102);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(dc.data), dc.data_len), "hello");
    EXPECT_STREQ(dc.text, "tx-1");
    EXPECT_EQ(dc.did.serial, 123u);
    Bytes bad = m.payload;
    bad[67] = 6; // data length 6 in 5 bytes
    EXPECT_EQ(ztp_read_DC(bad.data(), bad.size(), &dc), -1);
    bad = m.payload;
    bad[3] ^= 1; // header length off by one
    EXPECT_EQ(ztp_read_DC(bad.data(), bad.size(), &dc), -1);
    bad = m.payload;
    bad[0] = 0xD0;
    EXPECT_EQ(ztp_read_DC(bad.data(), bad.size(), &dc), -1);
    m = parse(vec("dc_resp"));
    ASSERT_EQ(ztp_read_DC(m.payload.data(), m.payload.size(), &dc), 0);
    EXPECT_EQ(dc.data_len, 6);
    m = parse(vec("dc_req_ack"));
    ASSERT_EQ(ztp_read_DC(m.payload.data(), m.payload.size(), &dc), 0);
    EXPECT_EQ(dc.bytes[3], 4);
    m.payload[1] = 9; // unknown sub-type
    EXPECT_EQ(ztp_read_DC(m.payload.data(), m.payload.size(), &dc), -1);
}

TEST(WireReaders, ChecklessOrEmptyLoginAnswersAreDropped)
{
    uint8_t result = 0;
    const uint8_t three[3] = {1, 2, 3};
    EXPECT_EQ(ztp_read_DevLgnAckCRC(three, 3, ztp_login_key, &result), -1);
    uint8_t trailer_only[4];
    ASSERT_EQ(ztp_proto_CRCEnc(ztp_login_key, nullptr, 0, trailer_only, 4), 4);
    EXPECT_EQ(ztp_read_DevLgnAckCRC(trailer_only, 4, ztp_login_key, &result), -1);
    Bytes answer = parse(vec("dev_lgn_ack_crc")).payload;
    answer.back() ^= 0x80;
    EXPECT_EQ(ztp_read_DevLgnAckCRC(answer.data(), answer.size(), ztp_login_key, &result), -1);
}

TEST(ReceiveValidation, ScrambledDatagramFromThePeerParses)
{
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, vec_text("p2p_key").c_str());
    Bytes dgram = vec("hello_ack_scrambled");
    uint8_t type = 0, payload[64];
    size_t size = sizeof payload;
    ASSERT_EQ(ztp_proto_Proto_Parse(&key, dgram.data(), dgram.size(), &type, payload, &size), 0);
    EXPECT_EQ(type, ZTP_MSG_HELLO_ACK);
    EXPECT_EQ(size, 16u);
}

TEST(ReceiveValidation, RefusalsCarryTheirCodes)
{
    ztp_scramble_key plain;
    ztp_scramble_key_init(&plain, nullptr);
    uint8_t type = 0, payload[128];
    size_t size = sizeof payload;
    Bytes bad_magic = {0xF2, 0x01, 0x00, 0x00};
    EXPECT_EQ(ztp_proto_Proto_Parse(&plain, bad_magic.data(), bad_magic.size(), &type, payload, &size), -3);
    Bytes wrong_size(30, 0);
    wrong_size[0] = 0xF1;
    wrong_size[3] = 20;
    size = sizeof payload;
    EXPECT_EQ(ztp_proto_Proto_Parse(&plain, wrong_size.data(), wrong_size.size(), &type, payload, &size), -4);
    Bytes header_cut = {0xF1, 0x00, 0x00};
    EXPECT_EQ(ztp_proto_Proto_Parse(&plain, header_cut.data(), header_cut.size(), &type, payload, &size), -4);
    EXPECT_EQ(ztp_proto_Proto_Parse(&plain, header_cut.data(), 0, &type, payload, &size), -3);
    Bytes drw = vec("drw_1024");
    size = 100;
    EXPECT_EQ(ztp_proto_Proto_Parse(&plain, drw.data(), drw.size(), &type, payload, &size), -5);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(type, ZTP_MSG_DRW);
}

TEST(TcpFraming, TwoStageFormMatchesThePeer)
{
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, vec_text("p2p_key").c_str());
    const Bytes &msg = vec("dev_lgn_crc");
    uint8_t out[ZTP_TCP_HEADER_LEN + ZTP_TCP_MSG_MAX];
    const int n = ztp_tcp_frame_write_with(ZTP_TCP_CHECKED, &key, 0x12, 0x34, msg.data(), msg.size(), out, sizeof out);
    EXPECT_EQ(written(n, out), to_hex(vec("tcp_frame_checked")));
}

TEST(TcpFraming, PeerFramesOpenAndAFlippedBitIsDropped)
{
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, vec_text("p2p_key").c_str());
    for (const char *name : {"tcp_frame_checked", "tcp_frame_plain"}) {
        const bool checked = std::string(name) == "tcp_frame_checked";
        const ztp_tcp_variant variant = checked ? ZTP_TCP_CHECKED : ZTP_TCP_PLAIN;
        const Bytes &frame = vec(name);
        ztp_tcp_header h{};
        ASSERT_EQ(ztp_tcp_header_read(frame.data(), &h), 0);
        ASSERT_EQ(h.length + size_t{8}, frame.size());
        Bytes out(h.length);
        ASSERT_EQ(ztp_tcp_frame_open(variant, &key, &h, frame.data() + 8, h.length, out.data()), 0);
        EXPECT_EQ(out, vec(checked ? "dev_lgn_crc" : "drw_ack_3"));
        if (checked) {
            for (size_t bit : {size_t{0}, size_t{100}, frame.size() * 8 - 9 - 64}) {
                Bytes body(frame.begin() + 8, frame.end());
                body[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
                EXPECT_EQ(ztp_tcp_frame_open(variant, &key, &h, body.data(), body.size(), out.data()), -1) << bit;
            }
        }
    }
}

TEST(TcpFraming, RandomBytesDifferButBothEndsAgree)
{
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "KEYSTR");
    const Bytes &msg = vec("drw_1024");
    uint8_t a[1300], b[1300];
    ASSERT_EQ(ztp_tcp_frame_write(ZTP_TCP_CHECKED, &key, msg.data(), msg.size(), a, sizeof a), 1040);
    ztp_tcp_header h{};
    ASSERT_EQ(ztp_tcp_header_read(a, &h), 0);
    ASSERT_EQ(ztp_tcp_frame_open(ZTP_TCP_CHECKED, &key, &h, a + 8, h.length, b), 0);
    EXPECT_EQ(Bytes(b, b + h.length), msg);
    EXPECT_EQ(ztp_tcp_frame_write(ZTP_TCP_PLAIN, &key, msg.data(), msg.size(), a, 1039), -1);
}

TEST(TcpFraming, HeadersWithoutTheMarkOrOverLengthAreRefused)
{
    ztp_tcp_header h{};
    const uint8_t ok[8] = {0x05, 0x00, 'h', 0, 0, 0, 0, 0};
    EXPECT_EQ(ztp_tcp_header_read(ok, &h), 0);
    EXPECT_EQ(h.length, 1280);
    const uint8_t too_long[8] = {0x05, 0x01, 'h', 0, 0, 0, 0, 0};
    EXPECT_EQ(ztp_tcp_header_read(too_long, &h), -1);
    const uint8_t no_mark[8] = {0x00, 0x10, 'H', 0, 0, 0, 0, 0};
    EXPECT_EQ(ztp_tcp_header_read(no_mark, &h), -1);
}

} // namespace
