#pragma once
// The builder's datastores, made once for the whole test program, and
// checks of exported files against the contents the builder wrote.

#include "cli_run.h"

#include "datastore_builder.h"
#include "scenarios.h"
#include "support/test_support.h"
#include "support/time_table.h"

#include <functional>
#include <string>

namespace clitest {

// Each scenario is built the first time a test asks for it; ctest runs every
// test in a process of its own, so a test pays only for what it uses.
const dstest::TempDir& image_dir();
const dsb::DemoSummary& demo();
const dsb::FormattedSummary& formatted();
const dsb::MultiSummary& multi();
// The datastore of dstest::build_time_table: one file per case of the time
// table below /times, and one deleted file per case.
const std::string& time_table_image();

// The object of summary s at path (live or deleted).
const dsb::ObjectExpect& object(const dsb::ImageSummary& s, const std::string& path);

// Empty when host_path holds exactly size bytes of content; otherwise what differs.
std::string compare_file(const std::string& host_path, const dsb::ContentFn& content, uint64_t size);

// A one-member datastore at path with what build adds; damage runs after the
// datastore is finished (low-level writes only).
using BuildFn = std::function<void(dsb::ImageBuilder&)>;
void make_datastore(const std::string& path, const BuildFn& build, const BuildFn& damage = {},
                    const std::function<void(dsb::DatastoreOptions&)>& tune = {});

// Rewrites file id's descriptor (file blocks of 1 MiB) so that its block
// slot `slot` names a block far past the end of the volume: a read that
// fails there, after the blocks before it were copied.
void point_block_past_the_volume(dsb::ImageBuilder& ds, uint32_t id, size_t slot, uint64_t block_count);

} // namespace clitest
