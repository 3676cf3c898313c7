// zelmora-pc, callable as a function: the command line in `args` (without
// the program name), results on `out`, messages and the unit's console
// text on `err`. Returns the exit status: 0 done, 1 the unit refused,
// failed or did not answer (or the line could not be used), 2 usage error
// (including a value the unit's rules refuse).
#pragma once
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace zpc {

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The same, with the answers to its questions (a wipe asks before it
// erases) read from `in`; `terminal` tells whether someone types there.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, std::istream& in, bool terminal);

}  // namespace zpc
