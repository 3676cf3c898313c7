// zelmora-msg6's reading of one input: every line through a decoder, each
// message written as the program writes it, each error as one line.
#include <istream>
#include <ostream>

#include "ais.h"

namespace zelmora::ais {

bool read_stream(std::istream& in, const std::string& name, bool json, std::ostream& out, std::ostream& err) {
    Decoder dec;
    bool good = true;
    auto emit = [&](const Output& o) {
        for (const auto& e : o.errors) {
            out.flush();
            err << name << ":" << e.line << ": " << e.text << "\n";
            good = false;
        }
        for (const auto& m : o.messages) {
            if (json) {
                auto j = to_json(m);
                nlohmann::ordered_json line;
                line["file"] = name;
                line.update(j);
                // A file name need not be UTF-8: replaced, not thrown at.
                out << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
            } else {
                if (m.report) out << "\n";
                out << describe(m, name + ":" + std::to_string(m.line));
            }
        }
    };
    long n = 0;
    for (std::string line; std::getline(in, line);) emit(dec.feed(line, ++n));
    if (in.bad()) {
        err << name << ": read error\n";
        good = false;
    }
    emit(dec.finish());
    return good;
}

}  // namespace zelmora::ais
