// The child the process tests start on Windows: `process_test_sleeper N` sleeps N seconds;
// `process_test_sleeper spin N` keeps a processor busy for N seconds. Either way it ends by
// itself.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char** argv) {
    const bool spin = argc > 2 && std::strcmp(argv[1], "spin") == 0;
    const auto seconds = std::chrono::seconds(argc > 1 ? std::atoi(argv[argc - 1]) : 30);
    if (!spin) {
        std::this_thread::sleep_for(seconds);
        return 0;
    }
    const auto end = std::chrono::steady_clock::now() + seconds;
    volatile unsigned long long work = 0;
    while (std::chrono::steady_clock::now() < end) work = work + 1;
    return 0;
}
