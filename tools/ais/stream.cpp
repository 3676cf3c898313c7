// zelmora-msg6's reading of one input: every line through a decoder, each
// message written as the program writes it, each error as one line.
#include <algorithm>
#include <istream>
#include <ostream>

#include "ais.h"

namespace zelmora::ais {

bool Filter::passes(const Message& m) const {
    if (reports_only && !m.report && !m.monitor) return false;
    return mmsi.empty() || std::find(mmsi.begin(), mmsi.end(), m.mmsi) != mmsi.end();
}

void Printer::write(const Output& o) {
    if (o.errors.empty() && o.messages.empty()) return;
    if (lock) lock(true);
    for (const auto& e : o.errors) {
        out_.flush();
        err_ << name_ << ":" << e.line << ": " << e.text << "\n";
        good_ = false;
    }
    err_.flush();
    for (const auto& m : o.messages) {
        if (!filter_.passes(m)) continue;
        const std::string where = name_ + ":" + std::to_string(m.line);
        if (format_ == Format::Json) {
            nlohmann::ordered_json line;
            line["file"] = name_;
            line.update(to_json(m));
            // A file name need not be UTF-8: replaced, not thrown at.
            out_ << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
        } else if (format_ == Format::Brief) {
            out_ << brief(m, where);
        } else {
            if (m.report || m.monitor || m.aton) out_ << "\n";
            out_ << describe(m, where);
        }
        // A live feed is read by people and programs as it comes.
        out_.flush();
    }
    if (lock) lock(false);
}

bool read_stream(std::istream& in, const std::string& name, bool json, std::ostream& out, std::ostream& err) {
    Printer p(name, json ? Format::Json : Format::Text, Filter{}, out, err);
    long n = 0;
    for (std::string line; std::getline(in, line);) p.line(line, ++n);
    bool good = true;
    if (in.bad()) {
        err << name << ": read error\n";
        good = false;
    }
    p.finish();
    return p.good() && good;
}

}  // namespace zelmora::ais
