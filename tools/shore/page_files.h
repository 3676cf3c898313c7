// The page's files (tools/shore/page/), built into the program by
// cmake/embed.cmake so that it serves them without a folder beside it.
#pragma once

#include <cstddef>

namespace zelmora::shore::page {

struct File {
    const char* name;            // "index.html", "common.js", ...
    const unsigned char* data;
    std::size_t size;
};

extern const File kFiles[];
extern const std::size_t kFileCount;

}  // namespace zelmora::shore::page
