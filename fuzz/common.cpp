#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>

#include "fuzz.h"

namespace zfuzz {

void broken(const char* harness, const std::string& what) {
    std::fprintf(stderr, "zelmora fuzz %s: %s\n", harness, what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<std::string_view> bursts(std::string_view stream) {
    std::vector<std::string_view> out;
    for (;;) {
        const size_t p = stream.find(kPause);
        out.push_back(stream.substr(0, p));
        if (p == std::string_view::npos) return out;
        stream.remove_prefix(p + kPause.size());
    }
}

std::string with_pauses(const std::vector<std::string>& parts) {
    std::string s;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) s += kPause;
        s += parts[i];
    }
    return s;
}

std::string sentence(std::string_view body, char start) {
    unsigned x = 0;
    for (char c : body) x ^= static_cast<uint8_t>(c);
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", x & 0xFFu);
    return std::string(1, start) + std::string(body) + "*" + hex + "\r\n";
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> file_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(file_text(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> files_in(const std::string& folder) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == ".." || name[0] == '.') continue;
            out.push_back(folder + "/" + name);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

Bytes seed(std::initializer_list<uint8_t> state, std::string_view payload) {
    Bytes b(state);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

}  // namespace zfuzz
