// Truncation sweep: every frame of the fuzz seed corpus, cut at every prefix
// length, fed through the per-frame function between the whole frames that
// come before and after it in its seed. Each prefix lies in a heap buffer of
// exactly its length, so AddressSanitizer reports any read past the captured
// bytes; the outcome of the cut frame is checked against the frame check
// order (more than 22 bytes, Ethertype 0x22E3, payload within the capture),
// and every record area handed to a callback for an unsegmented frame must
// lie inside that frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "LCMP_socket.h"
#include "reassembly.h"
#include "registry.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

struct SeedFrame {
    int32_t step;  // capture-time step in microseconds
    Bytes bytes;
};

// The seed format of fuzz/frames_fuzzer.cpp: int32 step, uint16 length
// (low 12 bits) and flags, then the frame.
std::vector<SeedFrame> ParseSeed(const Bytes &in) {
    std::vector<SeedFrame> out;
    std::size_t pos = 0;
    while (in.size() - pos >= 6) {
        const auto step = static_cast<int32_t>(static_cast<uint32_t>(in[pos]) | (static_cast<uint32_t>(in[pos + 1]) << 8) |
                                               (static_cast<uint32_t>(in[pos + 2]) << 16) |
                                               (static_cast<uint32_t>(in[pos + 3]) << 24));
        const std::size_t wanted = (in[pos + 4] | (in[pos + 5] << 8)) & 0x0FFF;
        pos += 6;
        const std::size_t n = std::min(wanted, in.size() - pos);
        out.push_back({step, Bytes(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + n))});
        pos += n;
    }
    return out;
}

fs::path CorpusDir() {
    if (const char *env = std::getenv("LCMP_FUZZ_CORPUS")) return env;
    return fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus" / "frames";
}

// Where the frame being handled lies, and whether every unsegmented
// delivery stayed inside it.
const uint8_t *gFrameBegin = nullptr;
const uint8_t *gFrameEnd = nullptr;
bool gCutFrame = false;
long gOutside = 0;
long gDeliveries = 0;

int Check(const uint8_t *mac, const uint8_t *records, int length, CallbackData *) {
    ++gDeliveries;
    volatile uint32_t sum = 0;
    for (int i = 0; i < 6; ++i) sum = sum + mac[i];
    for (int i = 0; i < length; ++i) sum = sum + records[i];
    // An unsegmented message is dispatched in place; a joined one lives in
    // its own buffer, which AddressSanitizer guards.
    if (gCutFrame && gFrameBegin != nullptr && records >= gFrameBegin && records < gFrameEnd &&
        records + length > gFrameEnd)
        ++gOutside;
    return 0;
}

lcmp::FrameOutcome Expected(const Bytes &frame) {
    if (frame.size() <= lcmp::kFrameHeaderSize || frame[12] != 0x22 || frame[13] != 0xE3)
        return lcmp::FrameOutcome::Ignored;
    const std::size_t payload = frame[14] | ((frame[15] & 0x0F) << 8);
    if (payload > frame.size() - lcmp::kFrameHeaderSize) return lcmp::FrameOutcome::Dropped;
    if ((frame[18] & 0x0F) == 0) return lcmp::FrameOutcome::Dispatched;
    return lcmp::FrameOutcome::Held;  // or Dispatched, when it completes its message
}

TEST(HardeningTruncation, EveryCorpusFrameAtEveryPrefixLength) {
    const fs::path dir = CorpusDir();
    ASSERT_TRUE(fs::is_directory(dir)) << dir << " (set LCMP_FUZZ_CORPUS to the seed corpus)";
    lcmp::CallbackListDestroyAll();
    testing::internal::CaptureStdout();
    std::vector<CallbackData *> data;
    for (int32_t opcode = lcmp::kFirstOpcode; opcode <= lcmp::kLastOpcode; ++opcode) {
        data.push_back(CallbackDataCreate(nullptr, 0, 0, nullptr));
        ASSERT_NE(LCMPCallBackInstall(Check, opcode, data.back()), nullptr);
    }
    long seeds = 0, cuts = 0;
    for (const auto &file : fs::directory_iterator(dir)) {
        std::ifstream in(file.path(), std::ios::binary);
        const Bytes raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::vector<SeedFrame> frames = ParseSeed(raw);
        ++seeds;
        for (std::size_t cut = 0; cut < frames.size(); ++cut) {
            for (std::size_t length = 0; length <= frames[cut].bytes.size(); ++length) {
                timeval t{1700000000, 0};
                long clock = 0;
                for (std::size_t i = 0; i < frames.size(); ++i) {
                    clock = std::max(0L, clock + frames[i].step);
                    t = lcmptest::TimeAt(1700000000 + clock / 1000000, clock % 1000000);
                    const std::size_t n = i == cut ? length : frames[i].bytes.size();
                    // Exactly n bytes on the heap: no slack to read into.
                    std::unique_ptr<uint8_t[]> copy(new uint8_t[n == 0 ? 1 : n]);
                    std::copy_n(frames[i].bytes.begin(), n, copy.get());
                    gFrameBegin = copy.get();
                    gFrameEnd = copy.get() + n;
                    gCutFrame = i == cut;
                    const auto outcome = lcmp::HandleFrame(t, std::span<const uint8_t>(copy.get(), n));
                    if (i != cut) continue;
                    ++cuts;
                    const Bytes prefix(frames[i].bytes.begin(), frames[i].bytes.begin() + static_cast<long>(n));
                    const auto expected = Expected(prefix);
                    if (expected == lcmp::FrameOutcome::Held)
                        EXPECT_TRUE(outcome == lcmp::FrameOutcome::Held || outcome == lcmp::FrameOutcome::Dispatched)
                            << file.path().filename() << " frame " << i << " cut at " << n;
                    else
                        EXPECT_EQ(outcome, expected) << file.path().filename() << " frame " << i << " cut at " << n;
                }
                lcmp::SegmentedFramesListDestroy(&lcmp::lcmpSegmentedFramesList);
                lcmp::lastPacketTimestamp = {};
            }
        }
    }
    gFrameBegin = gFrameEnd = nullptr;
    lcmp::CallbackListDestroyAll();
    for (CallbackData *d : data) CallbackDataDestroy(d);
    testing::internal::GetCapturedStdout();
    EXPECT_GE(seeds, 10);
    EXPECT_GT(cuts, 1000);
    EXPECT_GT(gDeliveries, 0);
    EXPECT_EQ(gOutside, 0) << "record areas reaching past the captured bytes";
}

}  // namespace
