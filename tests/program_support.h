// The build's own programs, started by a test as the build runs its tests:
// under the cross build's emulator when there is one, directly otherwise.
#pragma once
#include <string>
#include <vector>

#ifndef ZELMORA_EMULATOR
#define ZELMORA_EMULATOR ""
#endif

// A command line for std::system().
inline std::string program_command(const std::string& path) {
    const std::string emulator = ZELMORA_EMULATOR;
    return emulator.empty() ? path : emulator + " " + path;
}

// An argument vector whose first entry is searched on PATH (posix_spawnp).
inline std::vector<std::string> program_argv(std::vector<std::string> args) {
    const std::string emulator = ZELMORA_EMULATOR;
    if (!emulator.empty()) args.insert(args.begin(), emulator);
    return args;
}
