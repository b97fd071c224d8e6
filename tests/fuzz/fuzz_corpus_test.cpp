// Replays the fuzz targets' corpora (interesting inputs and every crasher
// found) in the ordinary build, with the same checks as under the fuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define KELVEX_FUZZ_REPLAY 1

#define LLVMFuzzerTestOneInput fuzz_cobs_decode
#include "fuzz/cobs_decode.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzz_cobs_roundtrip
#include "fuzz/cobs_roundtrip.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzz_transport_receive
#include "fuzz/transport_receive.cpp"
#undef LLVMFuzzerTestOneInput
#ifdef KELVEX_HAVE_SIM
#define LLVMFuzzerTestOneInput fuzz_sim_frames
#include "fuzz/sim_frames.cpp"
#undef LLVMFuzzerTestOneInput
#endif

namespace {

using Target = int (*)(const uint8_t*, size_t);

void replay(const std::string& name, Target target)
{
    const std::filesystem::path dir = std::filesystem::path(KELVEX_SOURCE_DIR) / "tests/fuzz/corpus" / name;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty()) << "no corpus in " << dir;
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(target(bytes.data(), bytes.size()), 0);
    }
}

TEST(FuzzCorpus, CobsDecode) { replay("cobs_decode", fuzz_cobs_decode); }
TEST(FuzzCorpus, CobsRoundTrip) { replay("cobs_roundtrip", fuzz_cobs_roundtrip); }
TEST(FuzzCorpus, TransportReceive) { replay("transport_receive", fuzz_transport_receive); }
#ifdef KELVEX_HAVE_SIM
TEST(FuzzCorpus, SimFrames) { replay("sim_frames", fuzz_sim_frames); }
#endif

}  // namespace
