#pragma once
// Digests computed apart from the code under test, the manifest as JSON, and
// the outside tools these tests drive (ewfacquire, losetup).

#include "builder/content.h"
#include "export/folder_export.h"
#include "cli_fixture.h"
#include "support/test_support.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace evtest {

// One-shot SHA-256 through libcrypto, as 64 lower-case hex digits.
std::string sha256_of(const std::vector<uint8_t>& bytes);
std::string sha256_of_content(const dsb::ContentFn& content, uint64_t size);
std::string sha256_of_file(const std::string& path);

nlohmann::json read_json(const std::string& path);

using dstest::have_program;
using dstest::shell;

// Makes an E01 set from a raw image with ewfacquire in unattended mode:
// base.E01, base.E02, ... of at most segment_bytes each. The path of the
// first segment, or empty (with the tool's output in *why) when it failed.
std::string make_e01(const std::string& raw, const std::string& base, uint64_t segment_bytes, std::string* why);

// The demo image's E01 set, made once per test program in the image folder.
const std::string& demo_e01();

// A folder export's refusal in the words the front ends show.
std::string refusal_text(const ds::FolderExportResult& r);

// text with every occurrence of from replaced by to.
std::string replace_all(std::string text, const std::string& from, const std::string& to);

} // namespace evtest
