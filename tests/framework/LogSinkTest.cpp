// The log path: __SysMessage formats once for every sink; the stderr and capture sinks.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "LogSink.h"
#include "quillmesh/SysMessage.h"

namespace {

using quillmesh::CaptureSink;
using quillmesh::LogRecord;
using quillmesh::ScopedLogSink;

void Log(CORE::SysMessageType level, const wchar_t* source, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CORE::__SysMessage(level, source, format, args, nullptr, nullptr);
    va_end(args);
}

TEST(LogSinkTest, SysMessageFormatsOnceForEverySink) {
    auto first = std::make_shared<CaptureSink>();
    auto second = std::make_shared<CaptureSink>();
    {
        ScopedLogSink a(first);
        ScopedLogSink b(second);
        Log(CORE::SysMessageError, L"libdorn_helpdesk", L"%s: failed for session %d, error: 0x%x",
            L"GetClientInfo", 3, 5u);
        Log(CORE::SysMessageDebug, nullptr, L"narrow %S", "text");
    }
    Log(CORE::SysMessageError, L"src", L"after the sinks are gone");
    for (const auto& sink : {first, second}) {
        const std::vector<LogRecord> records = sink->Records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].level, 4);
        EXPECT_EQ(records[0].source, L"libdorn_helpdesk");
        EXPECT_EQ(records[0].message, L"GetClientInfo: failed for session 3, error: 0x5");
        EXPECT_EQ(records[1].source, L"");
        EXPECT_TRUE(sink->Contains(0, L"narrow text"));
        EXPECT_FALSE(sink->Contains(1, L"narrow text"));  // the level counts too
    }
    first->Clear();
    EXPECT_TRUE(first->Records().empty());
}

// The external logger's lines (the thread runners'): ThreadRunnerTest.
TEST(LogSinkTest, ModuleLinesGoThroughTheSamePath) {
    auto sink = std::make_shared<CaptureSink>();
    ScopedLogSink scope(sink);
    CORE::sysmsgLogLoaded(nullptr, false);
    CORE::sysmsgLogLoaded(nullptr, true);
    const std::vector<LogRecord> records = sink->Records();
    ASSERT_EQ(records.size(), 2u);
    // The full path (drive Z: is the Linux file system), with ".exe" on Windows.
    const std::wregex loaded(LR"(Module loaded: [A-Z]:\\.*\\framework_tests(\.exe)?)");
    EXPECT_TRUE(std::regex_match(records[0].message, loaded)) << records[0].message.c_str();
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(records[0].source, L"framework_tests");
    EXPECT_TRUE(
        std::regex_match(records[1].message, std::wregex(LR"(Module unloaded: [A-Z]:\\.*)")));
}

TEST(LogSinkTest, StderrSinkWritesWholeTimestampedLinesAtItsLevel) {
    using namespace std::chrono;
    LogRecord record;
    record.time =
        sys_days{year{2026} / 12 / 5} + hours{17} + minutes{2} + seconds{3} + milliseconds{456};
    record.level = 4;
    record.source = L"libdorn_helpdesk";
    record.message = L"ClientInfo: no session Id specified \u00e9";
    LogRecord quiet = record;
    quiet.level = 1;
    LogRecord anonymous = record;
    anonymous.source.clear();

    testing::internal::CaptureStderr();
    quillmesh::StderrSink sink(2);
    sink.Write(record);
    sink.Write(quiet);
    sink.Write(anonymous);
    auto shared = std::make_shared<quillmesh::StderrSink>(0);
    {
        ScopedLogSink scope(shared);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 50; ++i)
                    Log(CORE::SysMessageInfo, L"t", L"thread %d line %d", t, i);
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    std::istringstream captured(testing::internal::GetCapturedStderr());
    std::vector<std::string> lines;
    for (std::string line; std::getline(captured, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u + 200u);
    EXPECT_EQ(lines[0],
              "2026-12-05 17:02:03.456 [4] libdorn_helpdesk: ClientInfo: no session Id specified "
              "\xc3\xa9");
    EXPECT_EQ(lines[1], "2026-12-05 17:02:03.456 [4] ClientInfo: no session Id specified \xc3\xa9");
    const std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[2\] t: thread \d line \d+)");
    for (size_t i = 2; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], whole)) << lines[i];
}

TEST(LogSinkTest, SinksComeAndGoWhileOtherThreadsLog) {
    auto steady = std::make_shared<CaptureSink>();
    ScopedLogSink scope(steady);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    constexpr int kLines = 300;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([] {
            for (int i = 0; i < kLines; ++i) Log(CORE::SysMessageVerbose, L"w", L"line %d", i);
        });
    }
    std::thread churn([&stop] {
        while (!stop.load()) {
            auto passing = std::make_shared<CaptureSink>();
            ScopedLogSink brief(passing);
            Log(CORE::SysMessageDebug, L"churn", L"hello");
        }
    });
    for (std::thread& writer : writers) writer.join();
    stop = true;
    churn.join();
    size_t lines = 0;
    for (const LogRecord& record : steady->Records()) lines += record.source == L"w" ? 1 : 0;
    EXPECT_EQ(lines, 3u * kLines);
}

}  // namespace
