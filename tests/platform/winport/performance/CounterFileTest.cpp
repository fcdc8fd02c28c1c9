// Counter files: what is refused and why, re-reading on change, and the Perflib index they
// extend.
#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include <future>
#include <mutex>
#include <thread>

#include "CountersFixture.h"
#include "TempDirectory.h"
#include "WatchedFile.h"
#include "RegistryKeys.h"

namespace dorn::test {
namespace {

const std::wstring kPerflib = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";

std::string OneValue(const std::string& value) {
    return R"j({"objects": [{"name": "Pallido Vexel Session Counters", "counters": ["RTT"],
               "instances": {"Session ID: 3; (main)": {"RTT": )j" +
           value + "}}}]}";
}

class CounterFileTest : public CountersTest {
  protected:
    // The value of the published RTT through a fresh query; nullopt when it does not read.
    static std::optional<double> ReadRtt() {
        PerfCounterSet set;
        AddCounter(set, Definition(L"Pallido Vexel Session Counters", L"RTT",
                                   L"Session ID: 3; (main)", L"rtt"));
        std::vector<MetricValue> values;
        if (!CollectValues(set, values) || values.empty()) return std::nullopt;
        return values[0].value;
    }

    static std::wstring PerflibText() {
        UniqueRegKey key;
        registry::Open(HKEY_LOCAL_MACHINE, kPerflib.c_str(), key);
        const std::vector<BYTE> data = registry::ReadData(key.get(), L"Counter");
        return std::wstring(reinterpret_cast<const wchar_t*>(data.data()),
                            data.size() / sizeof(wchar_t));
    }
};

TEST_F(CounterFileTest, RefusesFilesThatDoNotParseNamingFileAndReason) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"objects\": [", "parse error at line 1, column 14"},
        {"[]", "the document: expected an object, found array"},
        {R"({"object": []})", "object: unknown member"},
        {R"({"\u0000x": []})", R"(["\u0000x"]: unknown member)"},
        {R"({"objects": [{"counters": []}]})", "objects[0].name: missing"},
        {R"({"objects": [{"name": "", "counters": [], "values": {}}]})",
         "objects[0].name: expected a non-empty name"},
        {R"({"objects": [{"name": "A\\B", "counters": [], "values": {}}]})",
         "objects[0].name: contains a backslash"},
        {R"({"objects": [{"name": "processor", "counters": [], "values": {}}]})",
         "the system provides this object"},
        {R"({"objects": [{"name": "A", "counters": ["X", "x"], "values": {}}]})",
         "objects[0].counters[1]: the counter is listed twice"},
        {R"({"objects": [{"name": "A", "counters": ["X"]}]})",
         "objects[0]: give either \"instances\" or \"values\""},
        {R"({"objects": [{"name": "A", "counters": ["X"], "values": {"Y": 1}}]})",
         "objects[0].values.Y: not one of the object's counters"},
        {R"({"objects": [{"name": "A", "counters": ["X"], "values": {"X": "1"}}]})",
         "objects[0].values.X: expected a number, found string"},
        {R"({"objects": [{"name": "A", "counters": ["X"], "values": {"X": 1e999}}]})",
         "number overflow"},
        {R"({"objects": [{"name": "A", "counters": ["X"], "instances": {"a (b": {}}}]})",
         "unbalanced parentheses"},
        {R"({"objects": [{"name": "A", "counters": ["X"], "instances": {"s1": {}, "S1": {}}}]})",
         "the instance is listed twice"},
        {R"({"objects": [{"name": "A", "counters": [], "values": {}}, {"name": "a", "counters": [], "values": {}}]})",
         "objects[1]: the object is listed twice"},
        {R"({"objects": [{"name": "A", "counters": ["X"], "values": {"X": 1, "X": 2}}]})",
         "objects[0].values.X: listed twice"},
        {R"({"objects": [], "objects": []})", "objects: listed twice"},
    };
    for (const auto& [text, reason] : cases) {
        const std::string path = m_files.Write("bad.json", text);
        std::string error;
        EXPECT_FALSE(winport::PublishCounterFile(path, error)) << text;
        EXPECT_EQ(error.rfind("counter file " + path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(winport::PublishCounterFile(m_files.Path("missing.json"), error));
    EXPECT_NE(error.find("cannot open: No such file or directory"), std::string::npos) << error;

    // Nothing of a refused file is published: its object stays unknown.
    m_files.Write("half.json", R"({"objects": [{"name": "A", "counters": ["X"], "values": {"X": 1}},
                                               {"name": "B", "counters": "X", "values": {}}]})");
    EXPECT_FALSE(winport::PublishCounterFile(m_files.Path("half.json"), error));
    UniquePdhQuery query;
    HCOUNTER counter = nullptr;
    ASSERT_EQ(PdhOpenQueryW(nullptr, 0, query.put()), ERROR_SUCCESS);
    EXPECT_EQ(PdhAddCounterW(query.get(), L"\\A\\X", 0, &counter),
              static_cast<PDH_STATUS>(PDH_CSTATUS_NO_OBJECT));
}

TEST_F(CounterFileTest, ReadsTheFileAgainWhenItChanges) {
    const std::string path = Publish("rtt.json", OneValue("12.7"));
    EXPECT_EQ(ReadRtt(), 12.7);
    m_files.Write("rtt.json", OneValue("13.5"));  // in place: same inode, other size
    EXPECT_EQ(ReadRtt(), 13.5);
    m_files.Replace("rtt.json", OneValue("14.5"));  // renamed over: other inode, same size
    EXPECT_EQ(ReadRtt(), 14.5);

    // Caught half written: the last good content stays, and the problem is known.
    m_files.Write("rtt.json", OneValue("15").substr(0, 40));
    EXPECT_EQ(ReadRtt(), 14.5);
    EXPECT_NE(
        winport::testing::CounterFileProblem(path).find("counter file " + path + ": parse error"),
        std::string::npos);
    m_files.Write("rtt.json", OneValue("15"));
    EXPECT_EQ(ReadRtt(), 15.0);
    EXPECT_EQ(winport::testing::CounterFileProblem(path), "");

    // Removed: its publisher is gone, so are its objects; back when it comes back.
    std::filesystem::remove(path);
    EXPECT_EQ(ReadRtt(), std::nullopt);
    EXPECT_TRUE(
        m_log.Has(4,
                  L"Failed to add counter \\Pallido Vexel Session Counters(Session ID: 3; (main))"
                  L"\\RTT, error: 0xc0000bb8"));
    m_files.Write("rtt.json", OneValue("16"));
    EXPECT_EQ(ReadRtt(), 16.0);
}

TEST_F(CounterFileTest, NamesKeepTheirIndicesAsFilesAddNames) {
    const std::wstring before = PerflibText();
    ASSERT_NE(before.find(std::wstring(L"Processor\0", 10)), std::wstring::npos);
    const std::string loss = FreshName("Packet Loss (Downlink)");
    const std::string extra = FreshName("Pallido Extra");
    EXPECT_EQ(before.find(Wide(loss)), std::wstring::npos);

    Publish("a.json", OneValue("1"));
    Publish("b.json",
            R"j({"objects": [{"name": "Pallido Vexel Session Counters", "counters": ["RTT", ")j" +
                loss + R"j("], "instances": {}}, {"name": ")j" + extra +
                R"j(", "counters": ["RTT"], "values": {}}]})j");
    const std::wstring after = PerflibText();
    EXPECT_EQ(after.substr(0, before.size() - 1), before.substr(0, before.size() - 1));  // appended
    EXPECT_NE(after.find(L'\0' + Wide(loss) + L'\0'), std::wstring::npos);
    EXPECT_EQ(after.find(Wide(extra)), after.rfind(Wide(extra)));

    // The first file wins for an object both publish.
    EXPECT_EQ(ReadRtt(), 1.0);

    winport::testing::ResetRegistry();
    EXPECT_EQ(PerflibText(), L"");
    winport::testing::RepublishCounterNames();
    EXPECT_EQ(PerflibText(), after);
}

// A file that changed is parsed with its owner's lock released, so that a large counter file
// read again never stalls the readers of the others; what it gave is swapped in after.
TEST(WatchedFilesTest, AChangedFileIsParsedWithTheOwnersLockReleased) {
    TempDirectory files;
    const std::string path = files.Write("watched.json", "1");
    std::promise<void> parsing;
    std::promise<void> release;
    bool block = false;
    winport::WatchedFiles<size_t> watched(
        "test file", [&](std::string_view text, size_t& content, std::string&) {
            if (block) {
                parsing.set_value();
                release.get_future().wait();
            }
            content = text.size();
            return true;
        });
    std::string error;
    ASSERT_TRUE(watched.Add(path, error)) << error;
    files.Replace("watched.json", "12345");
    block = true;
    std::mutex owner;
    std::thread refresher([&] {
        std::unique_lock lock(owner);
        watched.Refresh(lock, [](const size_t&) {});
    });
    parsing.get_future().wait();
    const bool free = owner.try_lock();
    if (free) owner.unlock();
    release.set_value();
    refresher.join();
    EXPECT_TRUE(free);
    const std::lock_guard lock(owner);
    ASSERT_EQ(watched.Contents().size(), 1u);
    EXPECT_EQ(*watched.Contents()[0], 5u);
}

}  // namespace
}  // namespace dorn::test
