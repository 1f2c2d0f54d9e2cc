#include "virtual_machine.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace dsb {

using namespace layout;
namespace fsys = std::filesystem;

namespace {

// mkfs.ext4 lives in sbin, which a user's PATH often leaves out.
std::string find_mkfs() {
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::string p = path;
        for (std::size_t start = 0;;) {
            std::size_t colon = p.find(':', start);
            dirs.push_back(p.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    for (const char* d : {"/usr/sbin", "/sbin"}) dirs.emplace_back(d);
    for (const std::string& d : dirs) {
        if (d.empty()) continue;
        const std::string candidate = d + "/mkfs.ext4";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

} // namespace

// Runs argv without a shell: the paths come from the caller.
void run_program(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("dsb: cannot start " + argv[0]);
    if (pid == 0) {
        // Its chatter ("Creating regular file ...") is of no use to a test.
        const int null_fd = ::open("/dev/null", O_WRONLY);
        if (null_fd >= 0) ::dup2(null_fd, STDOUT_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("dsb: lost " + argv[0]);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("dsb: " + argv[0] + " failed (status " + std::to_string(status) + ")");
}

namespace {

std::vector<std::uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<GuestFile> known_files() {
    std::vector<GuestFile> files;
    files.push_back({"hello.txt", text_bytes("hello from inside the guest's disk\n")});
    files.push_back({"etc/hostname", text_bytes("vm1\n")});
    files.push_back({"etc/fstab", text_bytes("/dev/sda1 / ext4 defaults 0 1\n")});
    // Spans several file blocks of the datastore and ends off a page boundary.
    files.push_back({"data/pattern.bin", materialize(pattern_content(41), 0, 3 * kMiB + 12345)});
    files.push_back({"data/empty", {}});
    files.push_back({"docs/naïve notes.txt", text_bytes("a name with a multi-byte character\n")});
    return files;
}

// The bytes of a host file from offset on, zeros past its end.
ContentFn file_content(const std::string& path) {
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (!*in) throw std::runtime_error("dsb: cannot read " + path);
    return [in](std::uint64_t offset, std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        in->clear();
        in->seekg(static_cast<std::streamoff>(offset));
        if (!*in) return;
        in->read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    };
}

// The flat file: MBR at 0, the partition image at its start, zeros elsewhere.
ContentFn disk_content(std::vector<std::uint8_t> mbr, std::uint64_t part_at, std::uint64_t part_size,
                       ContentFn partition) {
    return [mbr = std::move(mbr), part_at, part_size, partition](std::uint64_t offset, std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        const std::uint64_t end = offset + out.size();
        for (std::uint64_t p = offset; p < std::min<std::uint64_t>(end, mbr.size()); ++p) out[p - offset] = mbr[p];
        const std::uint64_t lo = std::max(offset, part_at), hi = std::min(end, part_at + part_size);
        if (lo < hi) partition(lo - part_at, out.subspan(lo - offset, hi - lo));
    };
}

} // namespace

bool have_mkfs_ext4() { return !find_mkfs().empty(); }

std::string mkfs_ext4_path() { return find_mkfs(); }

std::string vmfs_disk_descriptor(const std::string& flat_name, std::uint64_t sectors) {
    // A geometry of 255 heads and 63 sectors per track, as the hypervisor's own tools write it.
    const std::uint64_t cylinders = std::max<std::uint64_t>(1, sectors / (255 * 63));
    return "# Disk DescriptorFile\n"
           "version=1\n"
           "encoding=\"UTF-8\"\n"
           "CID=5a1e0c41\n"
           "parentCID=ffffffff\n"
           "createType=\"vmfs\"\n"
           "\n"
           "# Extent description\n"
           "RW " +
        std::to_string(sectors) + " VMFS \"" + flat_name +
        "\"\n"
        "\n"
        "# The Disk Data Base\n"
        "#DDB\n"
        "\n"
        "ddb.virtualHWVersion = \"7\"\n"
        "ddb.adapterType = \"lsilogic\"\n"
        "ddb.geometry.cylinders = \"" +
        std::to_string(cylinders) +
        "\"\n"
        "ddb.geometry.heads = \"255\"\n"
        "ddb.geometry.sectors = \"63\"\n";
}

VmSummary build_vm(const std::string& dir, const VmOptions& options) {
    const std::string mkfs = find_mkfs();
    if (mkfs.empty()) throw std::runtime_error("dsb: mkfs.ext4 (e2fsprogs) is not installed");
    if (options.disk_size % kMiB != 0 || options.partition_start % kSectorSize != 0 ||
        options.partition_start + kMiB > options.disk_size)
        throw std::invalid_argument("dsb: the virtual disk must be whole MiB with room for its partition");

    VmSummary sum;
    sum.guest_files = known_files();
    sum.partition_offset = options.partition_start;
    sum.partition_size = options.disk_size - options.partition_start;

    // The guest's files on the host, then the file system made from them.
    const fsys::path guest = fsys::path(dir) / "vm-guest-files";
    fsys::remove_all(guest);
    for (const GuestFile& f : sum.guest_files) {
        const fsys::path p = guest / f.path;
        fsys::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(f.bytes.data()), static_cast<std::streamsize>(f.bytes.size()));
        if (!out) throw std::runtime_error("dsb: cannot write " + p.string());
    }
    sum.guest_image = (fsys::path(dir) / "vm-guest.ext4").string();
    fsys::remove(sum.guest_image);
    run_program({mkfs, "-q", "-F", "-t", "ext4", "-b", "4096", "-L", "guest", "-U",
                 "6d6f756e-742d-7465-7374-2d6775657374", "-E", "root_owner=0:0", "-d", guest.string(), sum.guest_image,
                 std::to_string(sum.partition_size / 1024) + "k"});

    DatastoreOptions o;
    o.path = dir + "/vm.img";
    o.segments = static_cast<std::uint32_t>((options.disk_size + 64 * kMiB + kSegmentSize - 1) / kSegmentSize);
    o.volume_name = "vm-datastore";
    ImageBuilder ds(o);
    static_cast<ImageSummary&>(sum) = [&] {
        ImageSummary s;
        for (const MemberSpec& m : ds.volume().members()) s.images.push_back(m.path);
        s.start_sector = ds.volume().members().front().start_sector;
        for (const MemberSpec& m : ds.volume().members()) s.start_sectors.push_back(m.start_sector);
        s.block_size = ds.block_size();
        return s;
    }();

    const std::uint64_t sectors = options.disk_size / kSectorSize;
    const std::vector<std::uint8_t> mbr =
        make_mbr({0xEB, 0x63, 0x90},
                 {{0x83, static_cast<std::uint32_t>(options.partition_start / kSectorSize),
                   static_cast<std::uint32_t>(sum.partition_size / kSectorSize), true}});
    FileSpec flat = generated_file(
        options.disk_size, disk_content(mbr, sum.partition_offset, sum.partition_size, file_content(sum.guest_image)),
        Storage::PointerBlocks);
    flat.thin = options.thin;
    const std::uint32_t flat_id = ds.add_file("/vm1/vm1-flat.vmdk", flat);
    const std::uint32_t desc_id =
        ds.add_file("/vm1/vm1.vmdk", text_file(vmfs_disk_descriptor("vm1-flat.vmdk", sectors)));
    const std::uint32_t vmx_id = ds.add_file(
        "/vm1/vm1.vmx",
        text_file("displayName = \"vm1\"\nguestOS = \"other26xlinux-64\"\nscsi0:0.fileName = \"vm1.vmdk\"\n"));
    ds.finish();

    sum.flat = expect(ds, flat_id);
    sum.descriptor = expect(ds, desc_id);
    sum.config = expect(ds, vmx_id);
    for (std::uint32_t id : {ds.root(), ds.lookup("/vm1"), flat_id, desc_id, vmx_id}) {
        ObjectExpect e = expect(ds, id);
        sum.ids[e.path] = id;
        sum.objects.push_back(std::move(e));
    }
    return sum;
}

} // namespace dsb
