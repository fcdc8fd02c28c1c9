// The handle owners, the scope guard and the lookup of optional system functions, on both
// builds: what each operation closes, and that every handle is closed exactly once.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "ScopeGuard.h"
#include "SystemFunction.h"
#include "UniqueHandle.h"

namespace {

// Handles are numbers here, 0 holds nothing; every close is recorded.
struct CountedTraits : EmptyWhen<int, 0> {
    static inline std::vector<int> closed;
    static void Close(int handle) { closed.push_back(handle); }
};
using Counted = UniqueAny<CountedTraits>;

TEST(HandleOwnersTest, EachOperationClosesWhatItShouldAndEveryHandleOnce) {
    struct Case {
        const char* name;
        std::function<void(Counted& a, Counted& b)> action;  // `a` holds 7, `b` holds 8
        std::vector<int> closedByAction;
        int a;  // held afterwards
        int b;
    };
    const Case cases[] = {
        {"reset takes a new handle", [](Counted& a, Counted&) { a.reset(9); }, {7}, 9, 8},
        {"reset to nothing", [](Counted& a, Counted&) { a.reset(); }, {7}, 0, 8},
        // A call that fails without writing its out parameter leaves the owner empty.
        {"put, the call fails", [](Counted& a, Counted&) { a.put(); }, {7}, 0, 8},
        {"put, the call writes", [](Counted& a, Counted&) { *a.put() = 9; }, {7}, 9, 8},
        {"release", [](Counted& a, Counted&) { EXPECT_EQ(a.release(), 7); }, {}, 0, 8},
        {"move into a new owner", [](Counted& a, Counted&) { Counted c(std::move(a)); }, {7}, 0, 8},
        {"move onto a holding owner", [](Counted& a, Counted& b) { b = std::move(a); }, {8}, 0, 7},
        {"move onto itself",
         [](Counted& a, Counted&) {
             Counted& same = a;
             a = std::move(same);
         },
         {},
         7,
         8},
    };
    for (const Case& c : cases) {
        CountedTraits::closed.clear();
        {
            Counted a(7);
            Counted b(8);
            c.action(a, b);
            EXPECT_EQ(CountedTraits::closed, c.closedByAction) << c.name;
            EXPECT_EQ(a.get(), c.a) << c.name;
            EXPECT_EQ(static_cast<bool>(a), c.a != 0) << c.name;
            EXPECT_EQ(b.get(), c.b) << c.name;
        }
        // The rest at the end of the scope, b before a; nothing twice.
        std::vector<int> all = c.closedByAction;
        for (int held : {c.b, c.a}) {
            if (held != 0) all.push_back(held);
        }
        EXPECT_EQ(CountedTraits::closed, all) << c.name;
    }
}

TEST(HandleOwnersTest, KernelHandlesHoldNothingAtNullOrInvalidHandleValue) {
    EXPECT_FALSE(UniqueHandle(nullptr));
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
    const UniqueHandle self(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
    EXPECT_TRUE(self);
}

TEST(ScopeGuardTest, RunsOnEveryWayOutUnlessDismissed) {
    enum class Exit { End, Return, Throw };
    struct Case {
        Exit exit;
        bool dismissed;
        int runs;
    };
    const Case cases[] = {
        {Exit::End, false, 1}, {Exit::Return, false, 1}, {Exit::Throw, false, 1},
        {Exit::End, true, 0},  {Exit::Return, true, 0},  {Exit::Throw, true, 0},
    };
    for (const Case& c : cases) {
        int runs = 0;
        const auto leave = [&] {
            ScopeGuard guard([&runs] { ++runs; });
            if (c.dismissed) guard.dismiss();
            if (c.exit == Exit::Return) return;
            if (c.exit == Exit::Throw) throw std::runtime_error("failed");
            EXPECT_EQ(runs, 0);  // not before the scope ends
        };
        try {
            leave();
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(runs, c.runs) << static_cast<int>(c.exit) << (c.dismissed ? " dismissed" : "");
    }
}

TEST(SystemFunctionTest, KeepsAFinalAnswerAndLooksAgainAfterAnyOther) {
    using Lookup = SystemFunctionLookup;
    struct Case {
        const wchar_t* module;
        const char* name;
        IfAbsent ifAbsent;
        Lookup lookup;
        bool kept;  // the second use answers without a lookup
    };
    const Case cases[] = {
        {L"kernel32.dll", "GetTickCount", IfAbsent::Keep, Lookup::Found, true},
        {L"kernel32.dll", "GetTickCount", IfAbsent::LookAgain, Lookup::Found, true},
        {L"kernel32.dll", "NoSuchFunction", IfAbsent::Keep, Lookup::Absent, true},
        {L"kernel32.dll", "NoSuchFunction", IfAbsent::LookAgain, Lookup::Absent, false},
        {L"no_such_library.dll", "GetTickCount", IfAbsent::Keep, Lookup::ModuleMissing, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SystemFunction<DWORD(WINAPI*)()> function(c.module, c.name, c.ifAbsent);
        for (int use = 0; use < 2; ++use) {
            const auto result = function.Get();
            EXPECT_EQ(result.lookup, c.lookup) << "use " << use;
            EXPECT_EQ(result.lookedUp, use == 0 || !c.kept) << "use " << use;
            EXPECT_EQ(result.function != nullptr, c.lookup == Lookup::Found) << "use " << use;
        }
        function.Forget();
        EXPECT_TRUE(function.Get().lookedUp);
    }
    SystemFunction<DWORD(WINAPI*)()> tickCount(L"kernel32.dll", "GetTickCount");
    EXPECT_EQ(tickCount.Find(), &GetTickCount);
}

}  // namespace
