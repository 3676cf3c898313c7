// zelmora-sim: runs the virtual unit and writes what it sends on its console
// port to standard output, byte for byte; with --air, what its transponder
// transmits goes to a file as a shore receiver logs it.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>
#include <unistd.h>

#include "board.h"

int main(int argc, char** argv) {
    CLI::App app{"Runs the Zelmora beacon monitor on the virtual board; its console goes to standard output."};
    double minutes = 0;
    std::string scenario_path;
    bool realtime = false;
    std::string eeprom_path;
    std::string air_path;
    app.add_option("--minutes", minutes, "virtual run length in minutes (default: the scenario's, 10)")
        ->check(CLI::PositiveNumber);
    app.add_option("--scenario", scenario_path, "scenario file (TOML); the built-in default otherwise")
        ->check(CLI::ExistingFile);
    app.add_option("--eeprom", eeprom_path,
                   "EEPROM image file: created from the default image when absent, updated as the unit writes");
    app.add_option("--air", air_path,
                   "write every transmission of the transponder to FILE as !AIVDM sentences, one per line");
    app.add_flag("--realtime", realtime, "pace virtual time to the wall clock; standard input feeds the console port");
    CLI11_PARSE(app, argc, argv);

    zsim::Scenario sc;
    try {
        sc = scenario_path.empty() ? zsim::Scenario::builtin() : zsim::Scenario::from_file(scenario_path);
    } catch (const std::exception& e) {
        std::cerr << "zelmora-sim: " << e.what() << "\n";
        return 2;
    }
    if (minutes <= 0) minutes = sc.minutes;
    if (!eeprom_path.empty()) sc.eeprom.image_path = eeprom_path;

    static char outbuf[1 << 16];
    std::setvbuf(stdout, outbuf, realtime ? _IONBF : _IOFBF, sizeof(outbuf));

    std::unique_ptr<zsim::Board> owner;
    try {
        owner = std::make_unique<zsim::Board>(sc);
    } catch (const std::exception& e) {
        std::cerr << "zelmora-sim: " << e.what() << "\n";
        return 2;
    }
    zsim::Board& board = *owner;
    std::FILE* air = nullptr;
    if (!air_path.empty()) {
        air = std::fopen(air_path.c_str(), "w");
        if (!air) {
            std::cerr << "zelmora-sim: " << air_path << ": cannot write the air log\n";
            return 2;
        }
        if (realtime) std::setvbuf(air, nullptr, _IOLBF, 4096);
    }
    board.transponder().set_air_capture(false);
    if (air) {
        board.transponder().set_air_sink([air](const std::string& line) {
            std::fputs(line.c_str(), air);
            std::fputc('\n', air);
        });
    }
    board.set_console_capture(false);
    board.set_console_sink([](uint8_t b) { std::fputc(b, stdout); });
    if (realtime) {
        board.set_realtime(true);
        std::thread([&board] {
            uint8_t buf[256];
            for (;;) {
                const ssize_t n = ::read(0, buf, sizeof(buf));
                if (n <= 0) return;
                board.feed_console_input(buf, static_cast<size_t>(n));
            }
        }).detach();
    }
    board.run_for(static_cast<zsim::vtime>(minutes * 60.0 * 1e9));
    std::fflush(stdout);
    if (air) std::fclose(air);
    std::_Exit(0);   // the stdin reader may still be blocked in read()
}
