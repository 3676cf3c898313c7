// zelmora-msg6: reads what an AIS base station, a receiver or the unit's
// transponder line logged (!xxVDM, !xxVDO, !xxMEB) and prints the unit's
// Message 6 monitoring reports; other messages get one line each, bad ones
// one error line each on standard error.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>

#include "ais/ais.h"

namespace {

// Returns false when some input was bad.
bool read_stream(std::istream& in, const std::string& name, bool json) {
    namespace ais = zelmora::ais;
    ais::Decoder dec;
    bool good = true;
    auto emit = [&](const ais::Output& out) {
        for (const auto& e : out.errors) {
            std::cout.flush();
            std::cerr << name << ":" << e.line << ": " << e.text << "\n";
            good = false;
        }
        for (const auto& m : out.messages) {
            if (json) {
                auto j = ais::to_json(m);
                nlohmann::ordered_json line;
                line["file"] = name;
                line.update(j);
                // A file name need not be UTF-8: replaced, not thrown at.
                std::cout << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
            } else {
                if (m.report) std::cout << "\n";
                std::cout << ais::describe(m, name + ":" + std::to_string(m.line));
            }
        }
    };
    long n = 0;
    for (std::string line; std::getline(in, line);) emit(dec.feed(line, ++n));
    if (in.bad()) {
        std::cerr << name << ": read error\n";
        good = false;
    }
    emit(dec.finish());
    return good;
}

}  // namespace

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
            good = read_stream(std::cin, "<stdin>", json) && good;
            continue;
        }
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::cerr << "zelmora-msg6: " << f << ": cannot open\n";
            good = false;
            continue;
        }
        good = read_stream(in, f, json) && good;
    }
    std::cout.flush();
    return good ? 0 : 1;
}
