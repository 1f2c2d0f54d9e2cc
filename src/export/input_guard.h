#pragma once
// The read-only promise at the moment of writing: no host write may change a
// byte of a disk or image being read.

#include <sys/stat.h>

namespace ds {

class Datastore;

// Whether writing to the host object dest (an open destination, or the
// directory a new file is created in) could change a byte of one of the
// volume's disks. fd, when given, is the open destination itself. A loop
// device whose backing cannot be learnt counts as overlapping.
bool overlaps_input(const Datastore& store, const struct stat& dest, int fd = -1);

} // namespace ds
