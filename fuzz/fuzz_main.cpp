// libFuzzer's entry for one harness, named at build time.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZELMORA_FUZZ_RUN(data, size);
    return 0;
}

// What an input allocates (a restored device's buffers, the tools' texts):
// with ASan's default 256 MiB quarantine it lands on fresh pages, which
// costs more than the input. Shorter allocation stacks too; ASAN_OPTIONS still
// overrides both when a finding needs them.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=10"; }
