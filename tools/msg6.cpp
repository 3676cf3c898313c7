// zelmora-msg6: reads what an AIS base station, a receiver or the unit's
// transponder line logged (!xxVDM, !xxVDO, !xxMEB) and prints the unit's
// Message 6 monitoring reports; other messages get one line each, bad ones
// one error line each on standard error.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>

#include "ais/ais.h"

int main(int argc, char** argv) {
    CLI::App app{"Decodes the Zelmora unit's AIS Message 6 monitoring reports (DAC 1, FI 51) from\n"
                 "!xxVDM/!xxVDO logs of a base station or receiver and from the unit's !AIMEB load sentences."};
    std::vector<std::string> files;
    bool json = false;
    app.add_option("files", files, "NMEA logs to read (default, or \"-\": standard input)")
        ->check(CLI::ExistingFile | CLI::IsMember({"-"}));
    app.add_flag("--json", json, "one JSON object per line per message instead of readable text");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (files.empty()) files.push_back("-");

    bool good = true;
    for (const auto& f : files) {
        if (f == "-") {
            good = zelmora::ais::read_stream(std::cin, "<stdin>", json, std::cout, std::cerr) && good;
            continue;
        }
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::cerr << "zelmora-msg6: " << f << ": cannot open\n";
            good = false;
            continue;
        }
        good = zelmora::ais::read_stream(in, f, json, std::cout, std::cerr) && good;
    }
    std::cout.flush();
    return good ? 0 : 1;
}
