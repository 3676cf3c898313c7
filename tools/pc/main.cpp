// zelmora-pc: the technician's program for a unit on a serial line.
#include <iostream>

#include "app.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(true);
    return zpc::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
