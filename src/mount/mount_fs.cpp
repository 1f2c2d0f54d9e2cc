#define FUSE_USE_VERSION 312
#include "mount/mount_fs.h"

#include "export/host_names.h"

#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unordered_map>
#include <unistd.h>

namespace dsmount {
namespace {

// Reads of up to this many bytes at once (the mount's max_read).
constexpr unsigned kMaxRead = 1u << 20;
// What one request of the kernel asks for at most. A reply spliced from an
// image passes through a pipe that must hold it, its header and a page per
// piece; an unprivileged pipe holds 1 MiB (fs.pipe-max-size), so a 1 MiB
// reply is copied through this process instead, and the pipe of that
// thread is never grown again: with direct_io every read waits for that
// copy. Half of it splices, and as a power of two a request of an aligned
// read stays inside one file block.
constexpr unsigned kMaxRequest = kMaxRead / 2;
// Nothing served ever changes while it is mounted.
constexpr double kCacheSeconds = 86400.0;
// The inode number of a root made of a list: no descriptor has it (every
// descriptor id carries 4 in its low bits).
constexpr ino_t kListedRootIno = 1;

// What a listed directory holds: the host names in on-disk order, the node
// each names, and the names' order for lookups. Kept apart from the node, so
// that the node of a file (a mount of a million files holds a million) does
// not carry three empty vectors.
struct Listing {
    std::vector<std::string> names;
    std::vector<fuse_ino_t> inos;
    std::vector<uint32_t> by_name;
};

struct Node {
    SourceRef ref;
    // Where it was first listed: the directory and its name's place there,
    // so that a message can name it.
    const Node* parent = nullptr;
    uint32_t name_index = 0;
    bool dir_entry = false;      // reached as a directory
    bool listed_root = false;    // the root of --formatted or --deleted
    // Filled at the first lookup or getattr.
    bool attr_known = false;
    SourceError attr_error = SourceError::none;
    SourceAttr attr;
    // Filled at the first lookup in it or listing of it.
    bool listed = false;
    bool complete = true;        // the listing reached the directory's end
    SourceError list_error = SourceError::none;
    std::unique_ptr<Listing> listing;   // set when listed

    size_t entries() const { return listing ? listing->names.size() : 0; }
    // The node a name of this directory gives; 0 when none.
    fuse_ino_t find(std::string_view name) const {
        if (!listing) return 0;
        const Listing& l = *listing;
        auto it = std::lower_bound(l.by_name.begin(), l.by_name.end(), name,
                                   [&](uint32_t i, std::string_view n) { return l.names[i] < n; });
        return it != l.by_name.end() && l.names[*it] == name ? l.inos[*it] : 0;
    }
};

struct OpenFile {
    SourceFilePtr file;
};

} // namespace

struct MountServer::State {
    MountSource& source;
    MountRoot root;
    MountSettings settings;
    fuse_session* session = nullptr;
    bool mounted = false;
    bool signals = false;

    // The node table: node k has the FUSE number k + 1, so the root is 1.
    // A descriptor reached twice the same way is one node, so a directory
    // that names its own ancestor is one the kernel already knows.
    std::mutex mu;
    std::vector<std::unique_ptr<Node>> nodes;
    // Nodes by how they were reached. Most refs name a descriptor's own
    // first block: those are keyed by id and kind packed in 64 bits, at
    // about 40 bytes each; the few of found directories are keyed whole.
    std::unordered_map<uint64_t, fuse_ino_t> by_plain_ref;
    std::map<std::pair<SourceRef, bool>, fuse_ino_t> by_ref;

    fuse_ino_t known(const SourceRef& ref, bool dir_entry) const {
        if (ref.first_block < 0) {
            auto it = by_plain_ref.find(uint64_t{ref.id} << 1 | uint64_t{dir_entry});
            return it == by_plain_ref.end() ? 0 : it->second;
        }
        auto it = by_ref.find({ref, dir_entry});
        return it == by_ref.end() ? 0 : it->second;
    }
    void remember(const SourceRef& ref, bool dir_entry, fuse_ino_t ino) {
        if (ref.first_block < 0)
            by_plain_ref.emplace(uint64_t{ref.id} << 1 | uint64_t{dir_entry}, ino);
        else
            by_ref.emplace(std::pair<SourceRef, bool>{ref, dir_entry}, ino);
    }

    // One directory is read at a time, so that what a listing may still
    // hold is known while it is read: the bound holds for what is being
    // read as well as for what is kept.
    std::mutex list_mu;
    int64_t held = 0;      // entries of every listed node (under list_mu)
    bool told = false;     // the operator knows listings were cut

    // The unreadable ranges told so far, so that each is told once however
    // often it is read; bounded, past which a range may be told again.
    static constexpr size_t kMaxToldRanges = 100000;
    std::mutex told_mu;
    std::set<std::tuple<fuse_ino_t, int64_t, int64_t>> told_ranges;

    void tell_unreadable(fuse_ino_t ino, const ds::ByteSpan& r) {
        std::string path;
        {
            std::lock_guard lock(told_mu);
            if (!told_ranges.insert({ino, r.offset, r.length}).second) return;
            if (told_ranges.size() > kMaxToldRanges) told_ranges.clear();
        }
        {
            std::lock_guard lock(mu);
            path = ino >= 1 && ino <= nodes.size() ? path_of(*nodes[ino - 1]) : std::string("?");
        }
        const std::string text = "unreadable range of " + path + ": offset " + std::to_string(r.offset) + " length " +
                                 std::to_string(r.length) + ", served as zeros";
        if (settings.unreadable)
            settings.unreadable(text);
        else
            std::cerr << text << std::endl;
    }

    State(MountSource& s, MountRoot r, MountSettings st) : source(s), root(std::move(r)), settings(std::move(st)) {
        // Names are numbered 32-bit within a directory.
        settings.max_entries = std::clamp<int64_t>(settings.max_entries, 0, INT32_MAX);
        auto top = std::make_unique<Node>();
        top->ref = root.directory;
        top->dir_entry = true;
        top->listed_root = root.listed;
        nodes.push_back(std::move(top));
        if (!root.listed) remember(root.directory, true, FUSE_ROOT_ID);
    }

    Node* node(fuse_ino_t ino) {
        std::lock_guard lock(mu);
        return ino >= 1 && ino <= nodes.size() ? nodes[ino - 1].get() : nullptr;
    }

    // The node's attributes, read once. Called without mu held: the read
    // may take long, and a second thread reading the same node meanwhile
    // only reads the same descriptor again.
    SourceError attributes(Node* n, SourceAttr& out) {
        {
            std::lock_guard lock(mu);
            if (n->attr_known) {
                out = n->attr;
                return n->attr_error;
            }
        }
        SourceAttr a;
        SourceError e = SourceError::none;
        if (n->listed_root) {
            a.is_dir = true;
        } else {
            e = source.stat(n->ref, a);
        }
        std::lock_guard lock(mu);
        n->attr_known = true;
        n->attr_error = e;
        n->attr = a;
        out = a;
        return e;
    }

    // Served as a directory: reached as one and its descriptor is one. An
    // entry that says directory over a descriptor that is not one is the
    // file it is, as the folder export copies it.
    static bool serves_as_dir(const Node& n, const SourceAttr& a) { return n.listed_root || (n.dir_entry && a.is_dir); }

    SourceError children(Node* n) {
        {
            std::lock_guard lock(mu);
            if (n->listed) return n->list_error;
        }
        std::lock_guard listing(list_mu);
        {
            std::lock_guard lock(mu);
            if (n->listed) return n->list_error;   // listed while this thread waited
        }
        const int64_t room = settings.max_entries - held;
        // The host names a folder export writes, numbered once the whole
        // listing is known.
        std::vector<std::string> names;
        std::vector<std::pair<SourceRef, bool>> refs;
        bool cut = false;
        const auto take = [&](SourceEntry&& en) {
            if (static_cast<int64_t>(refs.size()) >= room) {
                cut = true;
                return false;
            }
            names.push_back(ds::host_name_fit(en.raw_name));
            refs.emplace_back(en.ref, en.dir_entry);
            return true;
        };
        bool complete = true;
        SourceError e = SourceError::none;
        if (n->listed_root) {
            // Served from the node from now on: the list is not kept twice.
            std::vector<SourceEntry> entries;
            entries.swap(root.entries);
            for (SourceEntry& en : entries)
                if (!take(std::move(en))) break;
        } else {
            // A listing that ended early keeps the entries before the damage.
            e = source.list(n->ref, take, complete);
        }
        held += static_cast<int64_t>(refs.size());
        ds::number_host_names(names);
        // Kept as long as the mount runs: no room to spare.
        for (std::string& name : names) name.shrink_to_fit();
        names.shrink_to_fit();
        std::vector<uint32_t> by_name(names.size());
        for (uint32_t i = 0; i < by_name.size(); ++i) by_name[i] = i;
        std::sort(by_name.begin(), by_name.end(), [&](uint32_t a, uint32_t b) { return names[a] < names[b]; });

        std::unique_lock lock(mu);
        n->listed = true;
        // A listing the bound cut is served as one a read ended early.
        n->complete = complete && !cut;
        n->list_error = e;
        auto kept = std::make_unique<Listing>();
        kept->inos.reserve(refs.size());
        for (size_t i = 0; i < refs.size(); ++i) {
            const auto& [ref, dir_entry] = refs[i];
            fuse_ino_t ino = known(ref, dir_entry);
            if (ino == 0) {
                auto child = std::make_unique<Node>();
                child->ref = ref;
                child->dir_entry = dir_entry;
                child->parent = n;
                child->name_index = static_cast<uint32_t>(i);
                nodes.push_back(std::move(child));
                ino = nodes.size();
                remember(ref, dir_entry, ino);
            }
            kept->inos.push_back(ino);
        }
        kept->names = std::move(names);
        kept->by_name = std::move(by_name);
        n->listing = std::move(kept);
        if (cut && !told) {
            told = true;
            const std::string text = "the mount holds at most " + std::to_string(settings.max_entries) +
                                     " entries: the rest of " + path_of(*n) +
                                     " is not shown, nor the entries of directories opened after it";
            lock.unlock();
            if (settings.notice)
                settings.notice(text);
            else
                std::cerr << text << std::endl;
        }
        return e;
    }

    // The node's path in the mount, by the names it was first listed under
    // (host names: nothing in them can work on a terminal). Under mu.
    std::string path_of(const Node& n) const {
        std::vector<const Node*> chain;
        for (const Node* at = &n; at->parent; at = at->parent) chain.push_back(at);
        std::string path;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += "/" + (*it)->parent->listing->names[(*it)->name_index];
        return path.empty() ? "/" : path;
    }

    void fill_stat(const Node& n, const SourceAttr& a, struct stat& st) const {
        std::memset(&st, 0, sizeof st);
        const bool dir = serves_as_dir(n, a);
        st.st_ino = n.listed_root ? kListedRootIno : n.ref.id;
        st.st_mode = dir ? (S_IFDIR | 0555) : (S_IFREG | 0444);
        st.st_nlink = dir ? 2 : 1;
        st.st_uid = ::getuid();
        st.st_gid = ::getgid();
        st.st_size = a.size;
        st.st_blocks = a.allocated / 512 + (a.allocated % 512 != 0);
        st.st_blksize = kMaxRead;
        st.st_mtim.tv_sec = a.update_time;
        st.st_atim.tv_sec = a.atime;
        st.st_ctim.tv_sec = a.create_time;
    }
};

namespace {

MountServer::State& state_of(fuse_req_t req) { return *static_cast<MountServer::State*>(fuse_req_userdata(req)); }

int errno_of(SourceError e) {
    switch (e) {
    case SourceError::none: return 0;
    case SourceError::not_directory: return ENOTDIR;
    default: return EIO;
    }
}

void op_init(void* userdata, fuse_conn_info* conn) {
    (void)userdata;
    conn->max_read = kMaxRead;
    // Nothing is ever written, but the kernel sizes every request, reads
    // included, by what a write may carry (its max_pages).
    conn->max_write = kMaxRequest;
    conn->max_readahead = std::max(conn->max_readahead, kMaxRead);
    // Replies made of an image's own bytes are spliced from it into the
    // kernel: they never pass through this process's memory.
    if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
}

void reply_entry(fuse_req_t req, MountServer::State& s, Node* n, fuse_ino_t ino) {
    SourceAttr a;
    SourceError e = s.attributes(n, a);
    // A descriptor that gives a negative size is still listed; opening it fails.
    if (e != SourceError::none && e != SourceError::bad_size) {
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_entry_param p;
    std::memset(&p, 0, sizeof p);
    p.ino = ino;
    p.generation = 1;
    s.fill_stat(*n, a, p.attr);
    p.attr_timeout = kCacheSeconds;
    p.entry_timeout = kCacheSeconds;
    fuse_reply_entry(req, &p);
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    MountServer::State& s = state_of(req);
    Node* dir = s.node(parent);
    if (!dir) return (void)fuse_reply_err(req, ENOENT);
    SourceError e = s.children(dir);
    fuse_ino_t ino = 0;
    {
        std::lock_guard lock(s.mu);
        ino = dir->find(name);
    }
    if (ino == 0) return (void)fuse_reply_err(req, e == SourceError::none ? ENOENT : errno_of(e));
    reply_entry(req, s, s.node(ino), ino);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    MountServer::State& s = state_of(req);
    Node* n = s.node(ino);
    if (!n) return (void)fuse_reply_err(req, ENOENT);
    SourceAttr a;
    SourceError e = s.attributes(n, a);
    if (e != SourceError::none && e != SourceError::bad_size) return (void)fuse_reply_err(req, EIO);
    struct stat st;
    s.fill_stat(*n, a, st);
    fuse_reply_attr(req, &st, kCacheSeconds);
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    MountServer::State& s = state_of(req);
    Node* n = s.node(ino);
    if (!n) return (void)fuse_reply_err(req, ENOENT);
    SourceError e = s.children(n);
    // A directory whose descriptor cannot be read has nothing to show.
    if (e != SourceError::none) {
        bool empty = false;
        {
            std::lock_guard lock(s.mu);
            empty = n->entries() == 0;
        }
        if (empty) return (void)fuse_reply_err(req, errno_of(e));
    }
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    MountServer::State& s = state_of(req);
    Node* n = s.node(ino);
    if (!n) return (void)fuse_reply_err(req, ENOENT);
    s.children(n);
    std::vector<char> buf(std::min<size_t>(size, 1u << 20));
    size_t used = 0;
    std::lock_guard lock(s.mu);
    const size_t total = n->entries() + 2;
    for (size_t i = static_cast<size_t>(std::max<off_t>(off, 0)); i < total; ++i) {
        struct stat st;
        std::memset(&st, 0, sizeof st);
        std::string name;
        if (i < 2) {
            name = i == 0 ? "." : "..";
            st.st_mode = S_IFDIR;
            // ".." is the directory this one was first listed in, as stat
            // of it shows; the root's leads out of the mount.
            const Node& at = i == 1 && n->parent ? *n->parent : *n;
            st.st_ino = at.listed_root ? kListedRootIno : at.ref.id;
        } else {
            const Node& c = *s.nodes[n->listing->inos[i - 2] - 1];
            name = n->listing->names[i - 2];
            // Only a hint: the kind is settled by the descriptor at lookup.
            st.st_mode = (c.attr_known ? MountServer::State::serves_as_dir(c, c.attr) : c.dir_entry) ? S_IFDIR : S_IFREG;
            st.st_ino = c.ref.id;
        }
        const size_t need =
            fuse_add_direntry(req, buf.data() + used, buf.size() - used, name.c_str(), &st, static_cast<off_t>(i + 1));
        if (need > buf.size() - used) break;
        used += need;
    }
    // A listing that a read ended early says so once its entries are out,
    // so that a copy of the folder does not pass for whole.
    if (used == 0 && !n->complete && static_cast<size_t>(std::max<off_t>(off, 0)) >= total)
        return (void)fuse_reply_err(req, EIO);
    fuse_reply_buf(req, buf.data(), used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    MountServer::State& s = state_of(req);
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) return (void)fuse_reply_err(req, EROFS);
    Node* n = s.node(ino);
    if (!n) return (void)fuse_reply_err(req, ENOENT);
    SourceAttr a;
    SourceError e = s.attributes(n, a);
    if (e != SourceError::none) return (void)fuse_reply_err(req, EIO);
    if (MountServer::State::serves_as_dir(*n, a)) return (void)fuse_reply_err(req, EISDIR);
    auto of = std::make_unique<OpenFile>();
    e = s.source.open(n->ref, of->file);
    if (e != SourceError::none) return (void)fuse_reply_err(req, EIO);
    fi->fh = reinterpret_cast<uint64_t>(of.release());
    // Every read comes here with the reader's own offset and length, and a
    // short answer reaches the reader as it is: a read that starts before an
    // unreadable sector gets the bytes before it, one that starts on it
    // fails, sector by sector as on the failing disk itself. Through the
    // page cache the kernel would ask for whole pages (losing the readable
    // sectors beside a bad one) and take a short answer for the file's end.
    fi->direct_io = 1;
    if (fuse_reply_open(req, fi) == -ENOENT) delete reinterpret_cast<OpenFile*>(fi->fh);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
    MountServer::State& s = state_of(req);
    const OpenFile& of = *reinterpret_cast<const OpenFile*>(fi->fh);
    thread_local std::vector<uint8_t> buf;
    const size_t want = std::min<size_t>(size, kMaxRead);
    SourceSpan span;
    // Under rescue an unreadable sector must become zeros, which the
    // kernel's copy of the image cannot make: such reads are read here.
    if (!s.settings.rescue && s.source.span(*of.file, static_cast<int64_t>(want), off, span)) {
        // The range was checked to lie inside the image. The kernel's copy
        // fails (EIO) where its first byte cannot be read, and otherwise
        // gives the bytes up to the first that cannot: the short answer a
        // failing disk gives.
        fuse_bufvec reply = FUSE_BUFVEC_INIT(static_cast<size_t>(span.length));
        reply.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
        reply.buf[0].fd = span.fd;
        reply.buf[0].pos = span.offset;
        fuse_reply_data(req, &reply, static_cast<fuse_buf_copy_flags>(0));
        return;
    }
    if (buf.size() < want) buf.resize(want);
    std::vector<ds::ByteSpan> zeroed;
    const int64_t n = s.source.read_to_damage(*of.file, buf.data(), static_cast<int64_t>(want), off,
                                              s.settings.rescue ? &zeroed : nullptr);
    // Nothing is made up for bytes that could not be read, but under rescue.
    if (n < 0) return (void)fuse_reply_err(req, EIO);
    for (const ds::ByteSpan& r : zeroed) s.tell_unreadable(ino, r);
    fuse_reply_buf(req, reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    delete reinterpret_cast<OpenFile*>(fi->fh);
    fuse_reply_err(req, 0);
}

void op_lseek(fuse_req_t req, fuse_ino_t, off_t off, int whence, fuse_file_info* fi) {
    MountServer::State& s = state_of(req);
    const OpenFile& of = *reinterpret_cast<const OpenFile*>(fi->fh);
    if (whence != SEEK_DATA && whence != SEEK_HOLE) return (void)fuse_reply_err(req, EINVAL);
    const int64_t at = s.source.seek(*of.file, off, whence == SEEK_DATA);
    if (at < 0) return (void)fuse_reply_err(req, ENXIO);
    fuse_reply_lseek(req, at);
}

void op_statfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs sv;
    std::memset(&sv, 0, sizeof sv);
    sv.f_bsize = kMaxRead;
    sv.f_frsize = 512;
    sv.f_namemax = 255;
    sv.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &sv);
}

// Every operation that would change anything.
void op_setattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { fuse_reply_err(req, EROFS); }
void op_mknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(req, EROFS); }
void op_mkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) { fuse_reply_err(req, EROFS); }
void op_unlink(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
void op_symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
void op_rename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int) {
    fuse_reply_err(req, EROFS);
}
void op_link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
void op_write(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) { fuse_reply_err(req, EROFS); }
void op_create(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { fuse_reply_err(req, EROFS); }
void op_setxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { fuse_reply_err(req, EROFS); }
void op_removexattr(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
void op_fallocate(fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) { fuse_reply_err(req, EROFS); }

fuse_lowlevel_ops make_ops() {
    fuse_lowlevel_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.init = op_init;
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.release = op_release;
    ops.lseek = op_lseek;
    ops.statfs = op_statfs;
    ops.setattr = op_setattr;
    ops.mknod = op_mknod;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_unlink;
    ops.symlink = op_symlink;
    ops.rename = op_rename;
    ops.link = op_link;
    ops.write = op_write;
    ops.create = op_create;
    ops.setxattr = op_setxattr;
    ops.removexattr = op_removexattr;
    ops.fallocate = op_fallocate;
    return ops;
}

} // namespace

std::vector<std::string> entry_host_names(const std::vector<SourceEntry>& entries) {
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const SourceEntry& e : entries) names.push_back(ds::host_name_fit(e.raw_name));
    ds::number_host_names(names);
    return names;
}

MountServer::MountServer(MountSource& source, MountRoot root, MountSettings settings)
    : state_(std::make_unique<State>(source, std::move(root), settings)) {}

MountServer::~MountServer() {
    if (!state_->session) return;
    if (state_->mounted) fuse_session_unmount(state_->session);
    fuse_session_destroy(state_->session);
}

std::string MountServer::mount(const std::string& mountpoint) {
    State& s = *state_;
    if (s.session) return "already mounted";
    std::vector<std::string> argv = {"datumsift", "-o",
                                     "ro,default_permissions,fsname=datumsift,subtype=datumsift,max_read=" +
                                         std::to_string(kMaxRead)};
    if (s.settings.debug) argv.push_back("-d");
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    fuse_args fa = FUSE_ARGS_INIT(static_cast<int>(args.size()), args.data());
    static const fuse_lowlevel_ops ops = make_ops();
    s.session = fuse_session_new(&fa, &ops, sizeof ops, &s);
    fuse_opt_free_args(&fa);
    if (!s.session) return "cannot start a FUSE session";
    if (fuse_session_mount(s.session, mountpoint.c_str()) != 0) {
        fuse_session_destroy(s.session);
        s.session = nullptr;
        return "cannot mount at " + mountpoint;
    }
    s.mounted = true;
    return {};
}

bool MountServer::daemonize() { return fuse_daemonize(0) == 0; }

int MountServer::serve(bool signals) {
    State& s = *state_;
    if (!s.session) return -1;
    if (signals) {
        // libfuse only takes signals nobody else handles: the scans that ran
        // before may have left a Ctrl-C handler of their own.
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
        if (fuse_set_signal_handlers(s.session) != 0) return -1;
        s.signals = true;
    }
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, static_cast<unsigned>(std::max(1, s.settings.threads)));
    fuse_loop_cfg_set_idle_threads(config, static_cast<unsigned>(std::max(1, s.settings.threads)));
    const int rc = fuse_session_loop_mt(s.session, config);
    fuse_loop_cfg_destroy(config);
    if (s.signals) {
        fuse_remove_signal_handlers(s.session);
        s.signals = false;
    }
    if (s.mounted) {
        fuse_session_unmount(s.session);
        s.mounted = false;
    }
    return rc < 0 ? rc : 0;
}

} // namespace dsmount
