// libFuzzer's entry for one harness, named at build time.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZELMORA_FUZZ_RUN(data, size);
    return 0;
}

// Every firmware input builds a board with a 64 KiB EEPROM: with ASan's
// default 256 MiB quarantine each one lands on fresh pages, which costs
// more than the input. Shorter allocation stacks too; ASAN_OPTIONS still
// overrides both when a finding needs them.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=10"; }
