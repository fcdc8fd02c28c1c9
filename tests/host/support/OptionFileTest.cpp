// The size bound of files named on dorn's command line; what is refused by kind, and how dorn
// reports it: DornCallTest.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "OptionFile.h"
#include "TempDirectory.h"

namespace {

TEST(OptionFileTest, FilesUpTo64MiBAreReadWhole) {
    const dorn::test::TempDirectory directory;
    const std::string path = directory.Path("file");
    std::ofstream(path, std::ios::binary) << "head";
    const std::pair<uint64_t, bool> cases[] = {{67108864, true}, {67108865, false}};
    for (const auto& [size, readable] : cases) {
        std::filesystem::resize_file(path, size);
        std::string bytes, reason;
        EXPECT_EQ(dorn::ReadOptionFile(path, bytes, reason), readable) << size;
        EXPECT_EQ(bytes.size(), readable ? size : 0) << size;
        EXPECT_EQ(bytes.substr(0, 4), readable ? "head" : "");
        EXPECT_EQ(reason, readable ? "" : "the file is larger than 64 MiB");
    }
}

}  // namespace
