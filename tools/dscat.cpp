// The example of the core's face in docs/layout.md: lists the root of a datastore,
// then writes one of its files to standard output.
//
//   dscat IMAGE /vm1/vm1.log > vm1.log
#include "vmfs/datastore.h"
#include "text/name_text.h"   // printed names: a front end's choice

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    ds::Datastore store;                               // images and block devices, read-only
    if (store.add_disk(argv[1], 2048) != ds::AddDiskRefusal::none) return 1;
    if (store.open().failure != ds::OpenFailure::none) return 1;

    ds::DirLister root = store.list(ds::Datastore::root());
    for (ds::ListedEntry e; root.next(e);)             // one entry at a time, however many
        std::fprintf(stderr, "%s%s\n", ds::printable_name(e.raw_name).c_str(), e.is_dir ? "/" : "");

    const ds::PathLookup found = store.look_up(argv[2], ds::PathFrom::root);
    ds::File file;                                     // holes read as zeros, small files inline
    if (found.end != ds::PathEnd::found || !store.open_file(found.node, file)) return 1;
    std::vector<uint8_t> buf(1 << 20);
    int64_t got = 0;
    for (int64_t off = 0; off < file.size(); off += got) {
        const ds::Status read = store.read(file, buf.data(), static_cast<int64_t>(buf.size()), off, got);
        if (!read || got == 0) return 1;               // read.failure says why, with the errno
        std::fwrite(buf.data(), 1, static_cast<size_t>(got), stdout);
    }
    return 0;
}
