// The programs' version, as `--version` prints it: written at build time
// from the checkout (cmake/version.cmake).
#pragma once

namespace zelmora {
const char* version();
}
