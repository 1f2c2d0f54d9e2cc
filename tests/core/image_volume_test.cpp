#include "vmfs/store.h"
#include "builder/datastore_builder.h"
#include "support/test_support.h"
#include "vmfs/volume.h"
#include "text/messages.h"

#include <fstream>
#include <vector>

namespace {

using namespace ds;

class VolumeImages : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;

    // Members of one logical volume; each spec may carry header overrides.
    void make(std::vector<dsb::MemberSpec> members) {
        dsb::VolumeSpec spec;
        spec.lvm_uuid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        spec.members = std::move(members);
        dsb::Volume v(spec);
    }
    dsb::MemberSpec member(const std::string& name, uint32_t first, uint32_t last) {
        dsb::MemberSpec m;
        m.path = dir.file(name);
        m.first_segment = first;
        m.last_segment = last;
        return m;
    }
    AddDiskRefusal add(const std::string& name, int64_t start = 2048) {
        AddDiskRefusal why = AddDiskRefusal::none;
        int rc = add_disk(store, dir.file(name), start, &why);
        EXPECT_EQ(rc == 0, why == AddDiskRefusal::none);
        return why;
    }
};

TEST_F(VolumeImages, JoinsMembersInSegmentOrderAndMapsOffsets) {
    make({member("m0", 0, 3), member("m1", 4, 9)});
    ASSERT_EQ(add("m0"), AddDiskRefusal::none);
    ASSERT_EQ(add("m1"), AddDiskRefusal::none);
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, 2);
    EXPECT_EQ(ds::internals(store).lvm.numofextents, 2);

    // Logical 0x40000010 is member 1's data offset 0x10, 17 MiB into its partition.
    const uint8_t mark[] = {0xA5, 0x5A, 0x33};
    {
        std::fstream img(dir.file("m1"), std::ios::in | std::ios::out | std::ios::binary);
        img.seekp(2048 * 512 + 0x1100010);
        img.write(reinterpret_cast<const char*>(mark), sizeof mark);
    }
    uint8_t got[3] = {};
    ASSERT_EQ(lvm_read(store, got, 0, 0x40000010, 3), 3);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(mark, mark + 3));
    // Beyond the last member's last segment nothing is read.
    EXPECT_EQ(lvm_read(store, got, 0, int64_t{10} * kSegmentSize, 1), -1);
}

TEST_F(VolumeImages, RefusesDisksWithTheExactMessages) {
    // Each disk is its own volume here; the overrides make them disagree.
    auto m1 = member("wrong_uuid", 1, 1);
    m1.header.lvm_uuid = dsb::Uuid{9};
    auto m2 = member("wrong_blocks", 1, 1);
    m2.header.lvm_blocks = 12345;
    auto bad = member("bad_magic", 0, 0);
    bad.header.magic = 0xC001D00E;
    auto gap = member("gap", 0, 0);
    gap.header.first_segment = 2;
    gap.header.last_segment = 2;
    for (auto& m : {member("first", 0, 0), m1, m2, bad, gap}) make({m});

    EXPECT_EQ(add("wrong_uuid"), AddDiskRefusal::not_first);   // segment 0 must come first
    EXPECT_EQ(add("bad_magic"), AddDiskRefusal::not_found);
    EXPECT_EQ(add("first", 0), AddDiskRefusal::not_found);     // wrong partition start
    ASSERT_EQ(add("first"), AddDiskRefusal::none);
    EXPECT_EQ(add("wrong_uuid"), AddDiskRefusal::mismatch);
    EXPECT_EQ(add("wrong_blocks"), AddDiskRefusal::mismatch);
    EXPECT_EQ(add("gap"), AddDiskRefusal::not_continuous);
    EXPECT_EQ(add("first"), AddDiskRefusal::not_continuous);   // the same disk twice
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, 1);

    EXPECT_STREQ(add_disk_message(AddDiskRefusal::not_found), "vlm not find");
    EXPECT_STREQ(add_disk_message(AddDiskRefusal::not_first), "vlm is not first disk ");
    EXPECT_STREQ(add_disk_message(AddDiskRefusal::mismatch), "vlm  disk information mismatch ");
    EXPECT_STREQ(add_disk_message(AddDiskRefusal::not_continuous), "vlm  disk not continue ");
}

TEST_F(VolumeImages, AThirtyThirdDiskIsRefusedWithoutTouchingMember32) {
    std::vector<dsb::MemberSpec> members;
    for (uint32_t s = 0; s < 32; ++s) members.push_back(member("m" + std::to_string(s), s, s));
    make(members);
    for (uint32_t s = 0; s < 32; ++s) ASSERT_EQ(add("m" + std::to_string(s)), AddDiskRefusal::none);
    EXPECT_EQ(add("m0"), AddDiskRefusal::too_many);
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, 32);
    EXPECT_EQ(ds::internals(store).lvm.volumes[31].device, dir.file("m31"));
}

TEST_F(VolumeImages, HeaderFieldsAreKept) {
    auto m = member("named", 0, 2);
    m.header.size = 0x0102030405;
    make({m});
    VolumeMember v;
    v.device = dir.file("named");
    v.start_sector = 2048;
    v.header_offset = kVolumeHeaderOffset;
    ASSERT_EQ(volume_header_read(store, v), HeaderRead::ok);
    EXPECT_EQ(v.size, 0x0102030405u);
    EXPECT_EQ(v.first_segment, 0);
    EXPECT_EQ(v.last_segment, 2);
    EXPECT_EQ(v.lvm_uuid[0], 1);
    v.start_sector = 0;
    EXPECT_EQ(volume_header_read(store, v), HeaderRead::bad_magic);   // bytes there, but no magic
}

} // namespace
