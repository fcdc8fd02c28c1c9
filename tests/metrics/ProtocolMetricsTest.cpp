// "ProtocolInfo" replies: protocol detection, per-session instances, sampling and encoder names.
#include <vector>

#include "CounterTables.h"
#include "ProtocolMetrics.h"
#include "Bags.h"
#include "ProtocolFixture.h"

namespace dorn::test {
namespace {

class ProtocolMetricsTest : public ProtocolTest {};

TEST_F(ProtocolMetricsTest, EncoderTypesBecomeNames) {
    const std::vector<std::string> names = {"none",
                                            "startup",
                                            "static",
                                            "adaptive",
                                            "VexelCodec",
                                            "VexelCodec Lossless",
                                            "h264 4:2:0",
                                            "h264 4:4:4",
                                            "hevc 4:2:0",
                                            "hevc 4:4:4",  // 0..9
                                            "NVIDIA NvEnc H264 4:2:0",
                                            "NVIDIA NvEnc H264 4:4:4",
                                            "NVIDIA NvEnc HEVC 4:2:0",
                                            "NVIDIA NvEnc HEVC 4:4:4",
                                            "NVIDIA NvEnc HEVC 4:4:4 Lossless",
                                            "NVIDIA NvEnc HEVC HDR 4:2:0",
                                            "NVIDIA NvEnc HEVC HDR 4:4:4",
                                            "NVIDIA NvEnc AV1 4:2:0",
                                            "NVIDIA NvEnc AV1 4:4:4",
                                            "NVIDIA NvEnc AV1 HDR 4:2:0",  // 10..19
                                            "NVIDIA NvEnc AV1 HDR 4:4:4",
                                            "Switch (Text)",
                                            "Switch (Video)",
                                            "Intel H264 SW 4:2:0",
                                            "Intel H264 SW 4:4:4",
                                            "Intel H264 HW 4:2:0",
                                            "Intel H264 HW 4:4:4",
                                            "Intel HEVC SW 4:2:0",
                                            "Intel HEVC SW 4:4:4",
                                            "Intel HEVC HW 4:2:0",  // 20..29
                                            "Intel HEVC HW 4:4:4",
                                            "Intel AV1 SW 4:2:0",
                                            "Intel AV1 SW 4:4:4",
                                            "Intel AV1 HW 4:2:0",
                                            "Intel AV1 HW 4:4:4",
                                            "AMD H264 SW 4:2:0",
                                            "AMD H264 SW 4:4:4",
                                            "AMD H264 HW 4:2:0",
                                            "AMD H264 HW 4:4:4",
                                            "AMD HEVC SW 4:2:0",  // 30..39
                                            "AMD HEVC SW 4:4:4",
                                            "AMD HEVC HW 4:2:0",
                                            "AMD HEVC HW 4:4:4",
                                            "AMD AV1 SW 4:2:0",
                                            "AMD AV1 SW 4:4:4",
                                            "AMD AV1 HW 4:2:0",
                                            "AMD AV1 HW 4:4:4"};  // 40..46
    ASSERT_EQ(names.size(), 47u);
    for (int32_t type = 0; type < 47; ++type) {
        CORE::PropertyBag vexel;
        vexel.addInt64(L"image_encode_type", type);
        vexel.addInt64(L"session_rtt", 12);
        ResolveEncoderName(vexel);
        EXPECT_EQ(Shape(vexel),
                  ShapeOf(R"({"session_rtt": "int64", "image_encode_type": "text"})"));
        EXPECT_EQ(vexel.get(L"image_encode_type"),
                  std::wstring(names[type].begin(), names[type].end()))
            << type;
    }
    EXPECT_TRUE(m_log.Records().empty());

    for (int64_t unknown : {47, -2}) {
        CORE::PropertyBag bag;
        bag.addInt64(L"image_encode_type", unknown);
        ResolveEncoderName(bag);
        EXPECT_FALSE(bag.contains(L"image_encode_type")) << unknown;
        EXPECT_TRUE(
            m_log.Has(4, L"Failed to find encoder name for type: " + std::to_wstring(unknown)));
    }

    CORE::PropertyBag unset;
    unset.addInt64(L"session_rtt", 12);
    ResolveEncoderName(unset);
    EXPECT_EQ(unset.size(), 1u);
    EXPECT_TRUE(m_log.Has(4, L"Encoder type is currently not set for Vexel connection"));
}

TEST_F(ProtocolMetricsTest, ProtocolIsReadCaseSensitively) {
    DWORD protocol = 0;
    SetProtocol(3, L"VEXEL");
    SetProtocol(4, L"PCOIP");
    SetProtocol(5, L"vexel");
    ASSERT_TRUE(DetectProtocol(3, protocol));
    EXPECT_EQ(protocol, 4u);
    ASSERT_TRUE(DetectProtocol(4, protocol));
    EXPECT_EQ(protocol, 8u);
    EXPECT_FALSE(DetectProtocol(5, protocol));
    EXPECT_TRUE(m_log.Has(3, L"Unspported protocol vexel"));
    EXPECT_FALSE(DetectProtocol(6, protocol));  // no key at all
    EXPECT_TRUE(m_log.Has(3, L"Unspported protocol "));

    CORE::PropertyBag reply;
    EXPECT_FALSE(BuildProtocolReply(5, reply));
    EXPECT_TRUE(reply.empty());
}

// Each row's instance is chosen by its own type and object; a row of neither protocol keeps its
// instance.
TEST_F(ProtocolMetricsTest, EachRowGetsTheSessionsInstanceOfItsProtocol) {
    const struct {
        const wchar_t* object;
        DWORD type;
        const wchar_t* instance;
    } rows[] = {
        {L"Pallido Vexel CDR Counters", 4, L"Session ID: 7; Channel: CDR; (main)"},
        {L"Pallido Vexel Audio Counters", 4, L"Session ID: 7; Channel: Audio; (main)"},
        {L"Pallido Vexel Imaging Counters", 4, L"Session ID: 7; Channel: Imaging; (main)"},
        {L"Pallido Vexel Session Counters", 4, L"Session ID: 7; (main)"},
        {L"pallido vexel cdr counters", 4, L"Session ID: 7; (main)"},  // exact names only
        {L"PCoIP Session General Statistics", 8, L"PCoIP Session 7 alice"},
        {L"Pallido Vexel CDR Counters", 8, L"PCoIP Session 7 alice"},  // the type decides
        {L"PhysicalDisk", 1, L"_Total"},
    };
    std::vector<PerfCounterDefinition> table;
    for (const auto& row : rows)
        table.push_back({row.object, L"RTT", L"_Total", L"m", false, row.type});
    SetProtocolInstances(table, 7, L"alice");
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(table[i].strInstance, rows[i].instance) << i;
    EXPECT_EQ(m_log.Messages(), std::vector<std::wstring>{L"No supported protocol: 1"});
    EXPECT_EQ(m_log.Records()[0].level, 3);
}

TEST_F(ProtocolMetricsTest, VexelAndPcoipSessionsAreSampled) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    PublishFixture("counters/protocol-counters.json");
    SetProtocol(3, L"VEXEL");
    CORE::PropertyBag reply;
    ASSERT_TRUE(BuildProtocolReply(3, reply));  // its shape: AsyncRunnerTest
    const CORE::PropertyBag vexel = reply.getBag(L"protocol").getBag(L"vexel");
    EXPECT_EQ(vexel.getInt64(L"session_rtt", -1), 12);  // 12.7 truncated
    EXPECT_EQ(vexel.getInt64(L"image_frames_per_second", -1), 29);
    EXPECT_EQ(vexel.getInt64(L"cdr_transmit_bytes", -1), 4096);

    // Every row of the PCoIP table reads the fixture's instances of session 4, user bob.
    SetProtocol(4, L"PCOIP");
    reply.clear();
    ASSERT_TRUE(BuildProtocolReply(4, reply));
    EXPECT_EQ(reply.getBag(L"protocol").getBag(L"pcoip").size(), 35u);

    ForgetCounterFixtures();  // and the sessions
    SetFakeSessions({{3, L"alice", WTSActive, L"Console"}});
    PublishFixture("protocol/pcoip-session3-counters.json");
    SetProtocol(3, L"PCOIP");
    reply.clear();
    ASSERT_TRUE(BuildProtocolReply(3, reply));
    const CORE::PropertyBag pcoip = reply.getBag(L"protocol").getBag(L"pcoip");
    // Only alice's instance; the table's other counters are absent.
    EXPECT_EQ(Shape(reply), ShapeOf(R"({"protocol": {"pcoip": {"general_recv_bytes": "int64",
        "general_sent_bytes": "int64", "general_duration": "int64", "net_rtl": "int64",
        "net_tx_packets_loss": "int64"}}})"));
    EXPECT_EQ(pcoip.getInt64(L"general_duration", -1), 61);
    EXPECT_EQ(pcoip.getInt64(L"general_sent_bytes", -1), 7000);
    EXPECT_EQ(pcoip.getInt64(L"net_rtl", -1), 23);
    EXPECT_EQ(pcoip.getInt64(L"net_tx_packets_loss", -1), 1);
}

TEST_F(ProtocolMetricsTest, ASessionWithoutUserFailsAndNoCounterGivesAnEmptyBag) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    SetProtocol(3, L"VEXEL");
    SetProtocol(9, L"VEXEL");
    SetFakeSessions({{3, L"", WTSActive, L"Console"}});
    CORE::PropertyBag reply;
    EXPECT_FALSE(BuildProtocolReply(3, reply));  // Vexel instances need no user, yet it fails
    EXPECT_FALSE(BuildProtocolReply(9, reply));  // no such session
    EXPECT_TRUE(m_log.Has(4, L"can not retrieve user name for sessionId=9, error: 0x1b6e"));
    EXPECT_TRUE(reply.empty());

    // No counter object at all: the query has nothing to collect, which is a failure.
    SetFakeSessions({{3, L"alice", WTSActive, L"Console"}});
    EXPECT_FALSE(BuildProtocolReply(3, reply));
    EXPECT_TRUE(m_log.Has(4, L"Failed to collect data from counter, error: 0x800007d5"));

    // The objects exist but hold only session 3's instances: no counter of bob's yields a value.
    PublishFixture("counters/protocol-counters.json");
    SetFakeSessions({{4, L"bob", WTSActive, L"Console"}});
    SetProtocol(4, L"VEXEL");
    ASSERT_TRUE(BuildProtocolReply(4, reply));
    ASSERT_TRUE(reply.contains(L"protocol"));
    EXPECT_TRUE(reply.getBag(L"protocol").empty());
}

}  // namespace
}  // namespace dorn::test
