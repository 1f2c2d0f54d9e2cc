#pragma once
// The names a datastore's entries take on the host, as the folder export
// writes them and the mount serves them: encoded so that a host directory
// can hold them, shortened where they are too long, and numbered where a
// directory holds one name twice (the rule is DirNames').

#include <string>
#include <vector>

namespace ds {

// The host name of a datastore name. Names are kept as the tree shows them;
// what a host directory cannot hold is percent-encoded so that it can be
// told back: "%" and "/" (and control characters, and bytes that are not
// UTF-8) become %XX,
// "." and ".." become %2E and %2E%2E, and the empty name becomes "%", which
// no other name encodes to.
std::string host_name_encode(const std::string& raw);
// The host name actually written: the encoding, and where that is longer than
// a host directory entry may be (a long name of bytes that are not UTF-8
// triples in length), its start, "~", twelve hex digits of the SHA-256 of
// the raw name and a short extension; shortened tells which. A shortened name
// cannot be decoded: the manifest keeps the full one.
std::string host_name_fit(const std::string& raw, bool& shortened);
// host_name_fit without saying whether it shortened.
std::string host_name_fit(const std::string& raw);
// The datastore name a host name stands for; false when host is not an
// encoding (a "%" not followed by two hex digits).
bool host_name_decode(const std::string& host, std::string& raw);

// The host names of a whole directory held in memory: bases are its
// entries' fitted names in listing order, numbered in place where one
// repeats (NAME~2, NAME~3, ...), as the folder export numbers them.
void number_host_names(std::vector<std::string>& bases);

} // namespace ds
