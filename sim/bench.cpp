// zelmora-bench: how much faster than real time the virtual unit runs.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "board.h"
#include "soak/soak.h"
#include "unit.h"
#include "zelmora_version.h"

int main(int argc, char** argv) {
    CLI::App app{"Runs the virtual unit on its default scenario and prints the virtual-to-wall time ratio."};
    app.set_version_flag("--version", std::string("zelmora-bench ") + zelmora::version());
    double hours = 0;
    int runs = 3;
    std::string chip_path;
    double soak_days = 0;
    app.add_option("--hours", hours, "virtual hours per run (default 24; with --chip 0.1)")->check(CLI::PositiveNumber);
    app.add_option("--chip", chip_path,
                   "the image we would flash (build/target/zelmora.elf) on the chip's core instead of the host build; "
                   "also prints the instructions executed per second of wall time")
        ->check(CLI::ExistingFile);
    app.add_option("--runs", runs, "number of runs")->check(CLI::Range(1, 100));
    app.add_option("--soak", soak_days,
                   "instead: run the default scenario for DAYS virtual days (a fraction too: 0.05 is 72 minutes) and "
                   "check that the unit kept going (status reports, Message 6, restarts, event log, memory); with "
                   "--chip on the chip image; exit status 1 when a check fails")
        ->check(CLI::Range(0.001, 3650.0))
        ->excludes("--hours");
    CLI11_PARSE(app, argc, argv);
    if (soak_days > 0) return zsoak::run({soak_days, chip_path});
    if (hours <= 0) hours = chip_path.empty() ? 24 : 0.1;

    std::vector<double> ratios, mips;
    size_t console_bytes = 0;
    for (int r = 0; r < runs; ++r) {
        zsim::Board board(zsim::Scenario::builtin());
        std::unique_ptr<zchip::ChipUnit> chip;
        if (!chip_path.empty()) chip = std::make_unique<zchip::ChipUnit>(board, chip_path);
        board.set_console_capture(false);
        board.transponder().set_air_capture(false);
        size_t bytes = 0;
        board.set_console_sink([&bytes](uint8_t) { ++bytes; });
        const auto t0 = std::chrono::steady_clock::now();
        board.run_for(static_cast<zsim::vtime>(hours * 3600.0 * 1e9));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double ratio = hours * 3600.0 / wall;
        ratios.push_back(ratio);
        console_bytes = bytes;
        if (chip) {
            const double m = static_cast<double>(chip->report().instructions) / wall / 1e6;
            mips.push_back(m);
            const zchip::ChipReport rep = chip->report();
            const double idle = rep.cycles ? 100.0 * static_cast<double>(rep.idle_cycles) / static_cast<double>(rep.cycles) : 0;
            std::printf("run %d: %.2f virtual hours in %.2f s wall: %.2fx real time, %.1f million instructions a second, "
                        "%.1f%% of the cycles in idle loops skipped\n",
                        r + 1, hours, wall, ratio, m, idle);
        } else {
            std::printf("run %d: %.1f virtual hours in %.2f s wall: %.0fx real time\n", r + 1, hours, wall, ratio);
        }
        std::fflush(stdout);
    }
    std::sort(ratios.begin(), ratios.end());
    if (!mips.empty()) {
        std::sort(mips.begin(), mips.end());
        std::printf("chip image: %.1f million instructions a second (median; an 8 MHz Cortex-M0+ runs at most 8), "
                    "virtual/wall ratio min %.2f, median %.2f, max %.2f\n",
                    mips[mips.size() / 2], ratios.front(), ratios[ratios.size() / 2], ratios.back());
        return 0;
    }
    std::printf("virtual/wall ratio over %d runs: min %.0f, median %.0f, max %.0f (console %zu bytes per run)\n", runs,
                ratios.front(), ratios[ratios.size() / 2], ratios.back(), console_bytes);
    return 0;
}
