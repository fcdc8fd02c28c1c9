// "ProtocolInfo" replies: protocol detection, per-session instances, sampling and encoder names.
#include <vector>

#include "counters/CounterTables.h"
#include "metrics/ProtocolMetrics.h"
#include "tests/metrics/ProtocolTestSupport.h"

namespace dorn::test {
namespace {

class ProtocolMetricsTest : public ProtocolTest {};

std::wstring LastKey(const CORE::PropertyBag& bag) {
    return bag.empty() ? std::wstring() : bag.keyAt(bag.size() - 1);
}

TEST_F(ProtocolMetricsTest, EncoderTypesBecomeNames) {
    EXPECT_STREQ(EncoderName(0), "none");  // the table's first and last names
    EXPECT_STREQ(EncoderName(46), "AMD AV1 HW 4:4:4");
    EXPECT_EQ(EncoderName(47), nullptr);
    EXPECT_EQ(EncoderName(-2), nullptr);

    CORE::PropertyBag vexel;
    vexel.addInt64(L"image_encode_type", 46);
    vexel.addInt64(L"session_rtt", 12);
    ResolveEncoderName(vexel);
    EXPECT_EQ(vexel.get(L"image_encode_type"), L"AMD AV1 HW 4:4:4");
    EXPECT_EQ(LastKey(vexel), L"image_encode_type");
    EXPECT_EQ(vexel.size(), 2u);

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
    EXPECT_EQ(protocol, kVexelProtocol);
    ASSERT_TRUE(DetectProtocol(4, protocol));
    EXPECT_EQ(protocol, kPcoipProtocol);
    EXPECT_FALSE(DetectProtocol(5, protocol));
    EXPECT_TRUE(m_log.Has(3, L"Unspported protocol vexel"));
    EXPECT_FALSE(DetectProtocol(6, protocol));  // no key at all
    EXPECT_TRUE(m_log.Has(3, L"Unspported protocol "));

    CORE::PropertyBag reply;
    EXPECT_FALSE(BuildProtocolReply(5, reply));
    EXPECT_TRUE(reply.empty());
}

// Every row's instance name is proven by the readings below; a row of neither protocol keeps
// its instance.
TEST_F(ProtocolMetricsTest, RowsOfOtherCategoriesKeepTheirInstance) {
    std::vector<PerfCounterDefinition> table(1);
    table[0].strInstance = L"_Total";
    table[0].dwType = kMachineCategory;
    SetProtocolInstances(table, 7, L"alice");
    EXPECT_EQ(table[0].strInstance, L"_Total");
    EXPECT_TRUE(m_log.Has(3, L"No supported protocol: 1"));
}

TEST_F(ProtocolMetricsTest, VexelAndPcoipSessionsAreSampled) {
    if (!CanFakeCounters()) GTEST_SKIP() << kNoCounterFiles;
    PublishFixture("counters/protocol-counters.json");
    SetProtocol(3, L"VEXEL");
    CORE::PropertyBag reply;
    ASSERT_TRUE(BuildProtocolReply(3, reply));
    CORE::PropertyBag protocol = reply.getBag(L"protocol");
    ASSERT_EQ(protocol.size(), 1u);
    const CORE::PropertyBag vexel = protocol.getBag(L"vexel");
    EXPECT_EQ(vexel.size(), 16u);
    EXPECT_EQ(vexel.get(L"image_encode_type"), L"NVIDIA NvEnc H264 4:2:0");
    EXPECT_EQ(LastKey(vexel), L"image_encode_type");
    EXPECT_EQ(vexel.getInt64(L"session_rtt", -1), 12);  // 12.7 truncated
    EXPECT_EQ(vexel.getInt64(L"image_frames_per_second", -1), 29);
    EXPECT_EQ(vexel.getInt64(L"cdr_transmit_bytes", -1), 4096);

    // Every row of the PCoIP table reads the fixture's instances of session 4, user bob.
    SetProtocol(4, L"PCOIP");
    reply.clear();
    ASSERT_TRUE(BuildProtocolReply(4, reply));
    EXPECT_EQ(reply.getBag(L"protocol").getBag(L"pcoip").size(), 35u);

    ForgetCounterFixtures();
    PublishFixture("protocol/pcoip-session3-counters.json");
    SetProtocol(3, L"PCOIP");
    reply.clear();
    ASSERT_TRUE(BuildProtocolReply(3, reply));
    protocol = reply.getBag(L"protocol");
    ASSERT_EQ(protocol.size(), 1u);
    const CORE::PropertyBag pcoip = protocol.getBag(L"pcoip");
    EXPECT_EQ(pcoip.size(), 5u);  // only alice's instance; the table's other counters are absent
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
