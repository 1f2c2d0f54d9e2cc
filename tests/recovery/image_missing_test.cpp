// A scan that reads through a system file the opening did not find says so,
// with that file's open message, instead of finding nothing and "finish".

#include "vmfs/store.h"
#include "support/formatted.h"
#include "recovery/deleted_files.h"
#include "recovery/formatted_dirs.h"
#include "recovery/lost_vmdks.h"
#include "recovery_images.h"
#include "text/messages.h"

namespace {

using namespace ds;

class MissingSystemFile : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

TEST_F(MissingSystemFile, ScansNameTheFileTheRootDoesNotName) {
    struct Case {
        int entry;   // the root's entries: ".", "..", .fbb.sf, .fdc.sf, .pbc.sf, .sbc.sf
        ScanEnd deleted, formatted, vmdk;
    };
    const ScanEnd ok = ScanEnd::finished;
    for (const Case& c : {Case{3, ScanEnd::fdc_missing, ScanEnd::fdc_missing, ok},
                          Case{4, ok, ok, ScanEnd::pbc_missing},
                          Case{5, ok, ScanEnd::sbc_missing, ok},
                          Case{2, ok, ok, ok}}) {   // nothing is read through .fbb.sf
        SCOPED_TRACE(c.entry);
        new_store();
        dsb::DatastoreOptions o;
        o.path = dir.file("missing.img");
        dsb::ImageBuilder ds(o);
        ds.mkdir("/old");
        ds.remove("/old");
        ds.finish();
        // One damaged byte of the name: the entry names no system file.
        const uint8_t x = 'X';
        ds.write_file_bytes(ds.root(), 140 * c.entry + 12 + 5, {&x, 1});
        ASSERT_TRUE(rectest::open_datastore(store, ds));   // the opening itself has nothing to say
        const ScanProgress go = [](int) { return true; };
        EXPECT_EQ(scan_deleted_files(store, go, {}).end, c.deleted);
        EXPECT_EQ(dstest::find_formatted(store, go, {}), c.formatted);
        EXPECT_EQ(scan_lost_vmdks(store, go, {}).end, c.vmdk);
        if (c.formatted == ok) {
            EXPECT_EQ(ds::internals(store).found_dirs.size(), 1u);
        }
    }
    EXPECT_STREQ(scan_end_message(ScanEnd::sbc_missing), "sbc open error");
    EXPECT_STREQ(scan_end_message(ScanEnd::pbc_missing), "pbc open error");
    EXPECT_STREQ(scan_end_message(ScanEnd::fdc_missing), "fdc open error");
}

} // namespace
