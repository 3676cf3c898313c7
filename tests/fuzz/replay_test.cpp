// Every input a fuzzing run found a fault with, kept under
// fuzz/regressions/<harness>/, and every seed the harnesses start from, run
// through its harness: the fault stays fixed, and the harnesses hold on
// valid input, in every build.
#include <gtest/gtest.h>

#include <string>

#include "fuzz.h"

namespace {

class FuzzReplay : public ::testing::TestWithParam<const char*> {};

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

}  // namespace
