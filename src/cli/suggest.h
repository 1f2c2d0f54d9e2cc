#pragma once
// "Did you mean ...": the command word of a command line that did not parse,
// and the known command nearest to it.

#include <string>
#include <vector>

namespace dscli {

// The first argument that is neither a global option nor an option's value:
// the word the operator meant as the command. Empty when there is none.
std::string command_word(int argc, char** argv);

// The command closest to word (a unique prefix of one, or one within a few
// typing mistakes: a letter wrong, missing, extra or two swapped); empty
// when none is close enough to be a fair guess.
std::string nearest_command(const std::string& word, const std::vector<std::string>& commands);

} // namespace dscli
