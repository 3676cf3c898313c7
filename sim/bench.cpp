// zelmora-bench: how much faster than real time the virtual unit runs.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "board.h"

int main(int argc, char** argv) {
    CLI::App app{"Runs the virtual unit on its default scenario and prints the virtual-to-wall time ratio."};
    double hours = 24;
    int runs = 3;
    app.add_option("--hours", hours, "virtual hours per run")->check(CLI::PositiveNumber);
    app.add_option("--runs", runs, "number of runs")->check(CLI::Range(1, 100));
    CLI11_PARSE(app, argc, argv);

    std::vector<double> ratios;
    size_t console_bytes = 0;
    for (int r = 0; r < runs; ++r) {
        zsim::Board board(zsim::Scenario::builtin());
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
        std::printf("run %d: %.1f virtual hours in %.2f s wall: %.0fx real time\n", r + 1, hours, wall, ratio);
        std::fflush(stdout);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("virtual/wall ratio over %d runs: min %.0f, median %.0f, max %.0f (console %zu bytes per run)\n", runs,
                ratios.front(), ratios[ratios.size() / 2], ratios.back(), console_bytes);
    return 0;
}
