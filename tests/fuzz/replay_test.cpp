// Every input a fuzzing run found a fault with, kept under
// fuzz/regressions/<harness>/, and every seed the harnesses start from, run
// through its harness: the fault stays fixed, and the harnesses hold on
// valid input, in every build.
#include <gtest/gtest.h>

#include <string>

#include "fuzz.h"
#include "unit.h"

namespace {

class FuzzReplay : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { zfuzz::end_bench(); }
};

TEST_P(FuzzReplay, KeptFindingsAndSeedsPass) {
    const zfuzz::Harness* h = zfuzz::find(GetParam());
    ASSERT_NE(h, nullptr);
    for (const std::string& path : zfuzz::files_in(std::string(ZELMORA_SOURCE_DIR) + "/fuzz/regressions/" + h->name)) {
        SCOPED_TRACE(path);
        const std::string bytes = zfuzz::file_text(path);
        h->run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    for (const zfuzz::Bytes& s : h->seeds(ZELMORA_TESTDATA_DIR)) h->run(s.data(), s.size());
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzReplay,
                         ::testing::Values("gps", "ais", "pc", "eeprom", "msg6", "pclink", "unitconfig", "scenario"
#ifdef ZELMORA_FUZZ_SHORE
                                           ,
                                           "shore"
#endif
                                           ),
                         [](const ::testing::TestParamInfo<const char*>& i) { return std::string(i.param); });

// The firmware harnesses put the kept unit back before each input: an input
// run again after every other seed of its harness must leave the unit (its
// RAM, the EEPROM, virtual time, what it sent) exactly as the first time.
class FuzzRestore : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { zfuzz::end_bench(); }
};

TEST_P(FuzzRestore, NothingLeaksBetweenInputs) {
    const zfuzz::Harness* h = zfuzz::find(GetParam());
    ASSERT_NE(h, nullptr);
    const std::vector<zfuzz::Bytes> seeds = h->seeds(ZELMORA_TESTDATA_DIR);
    ASSERT_GE(seeds.size(), 2u);
    std::vector<uint64_t> first;
    for (const zfuzz::Bytes& s : seeds) {
        h->run(s.data(), s.size());
        first.push_back(zfuzz::unit_digest());
    }
    // Backwards, so each input follows another one than the first time.
    for (size_t i = seeds.size(); i-- > 0;) {
        h->run(seeds[i].data(), seeds[i].size());
        EXPECT_EQ(zfuzz::unit_digest(), first[i]) << h->name << " seed " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzRestore, ::testing::Values("gps", "ais", "pc", "eeprom"),
                         [](const ::testing::TestParamInfo<const char*>& i) { return std::string(i.param); });

}  // namespace
