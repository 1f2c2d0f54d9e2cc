// "save out" on a folder node: the operator chooses between the folder's
// contents and its directory file, and the copy lands in a new folder named
// as the node inside the folder chosen.

#include "gui_support.h"

#include "cli/cli_run.h"

#include "export/provenance.h"
#include "recovery/formatted_dirs.h"
#include "ui/datastore_window.h"
#include "ui/tree_node.h"

#include <nlohmann/json.hpp>

#include <QProgressBar>
#include <QTreeView>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>

using namespace guitest;
using ds::DatastoreWindow;

namespace {

namespace fs = std::filesystem;

class FolderSave : public GuiTest {};

void select_and_save(DatastoreWindow& w, const QModelIndex& node) {
    w.tree->setCurrentIndex(node);
    w.save_tree_node();
    finish(w);
}

// A folder of the datastore may carry the found directories' caption: it is
// an ordinary folder, and the manifest names it by its whole path.
TEST_F(FolderSave, AFolderNamedAsTheFoundDirectoriesTopIsAnOrdinaryFolder) {
    dstest::TempDir dir;
    dsb::DatastoreOptions o;
    o.path = dir.file("caption.img");
    dsb::ImageBuilder ds(o);
    ds.mkdir("/ALL DIR FOUND");
    ds.mkdir("/ALL DIR FOUND/sub");
    ds.add_file("/ALL DIR FOUND/sub/a.txt", dsb::text_file("a"));
    ds.finish();
    add_disk(store, o.path);
    dstest::TempDir out;
    DatastoreWindow w(store);
    w.browse();
    QModelIndex root = top_node(w);
    list(w, root);
    QModelIndex top = child(root, "ALL DIR FOUND");
    ASSERT_TRUE(top.isValid());
    list(w, top);
    QModelIndex sub = child(top, "sub");
    ASSERT_TRUE(sub.isValid());
    prompts.choose_answers = {1};
    prompts.folder_answers = {QString::fromStdString(out.path().string())};
    select_and_save(w, sub);
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\nfiles:1 ")) << prompts.messages[0].toStdString();
    std::ifstream in(out.file("sub") + ".manifest.json");
    const nlohmann::json written = nlohmann::json::parse(in);
    EXPECT_EQ(written.at("provenance").at("command"), "save out folder contents: /ALL DIR FOUND/sub");
    EXPECT_EQ(written.at("source"), "/ALL DIR FOUND/sub");
}

TEST_F(FolderSave, TheFolderContentsOrTheDirectoryFile) {
    add_disk(store, demo_image());
    dstest::TempDir out;
    DatastoreWindow w(store);
    w.browse();
    QModelIndex root = top_node(w);
    list(w, root);
    QModelIndex vm1 = child(root, "vm1");
    ASSERT_TRUE(vm1.isValid());

    // Closing the question does nothing at all.
    prompts.choose_answers = {-1};
    select_and_save(w, vm1);
    EXPECT_EQ(prompts.choices_asked, QStringList("save out folder: vm1|directory file|folder contents"));
    EXPECT_TRUE(prompts.confirmations.isEmpty());
    EXPECT_TRUE(prompts.messages.isEmpty());

    // The folder's contents; the folder dialog cancelled first.
    prompts.choose_answers = {1, 1};
    select_and_save(w, vm1);
    EXPECT_TRUE(prompts.messages.isEmpty());
    prompts.folder_answers = {QString::fromStdString(out.path().string())};
    select_and_save(w, vm1);
    const std::string dest = out.file("vm1");
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\nfiles:4 bytes:")) << prompts.messages[0].toStdString();
    EXPECT_TRUE(prompts.messages[0].endsWith("\nmanifest:" + QString::fromStdString(dest + ".manifest.json")));
    EXPECT_TRUE(prompts.confirmations.isEmpty());
    for (const char* f : {"vm1.vmx", "vm1.nvram", "vm1.log", "snapshots/vm1-Snapshot1.vmsn"}) {
        const auto& objects = demo().objects;
        auto it = std::find_if(objects.begin(), objects.end(),
                               [&](const dsb::ObjectExpect& o) { return o.path == std::string("/vm1/") + f; });
        ASSERT_NE(it, objects.end());
        EXPECT_EQ(dstest::read_file(dest + "/" + f), content_of(*it)) << f;
    }
    EXPECT_EQ(w.gauge->value(), 100);
    // The manifest says how the copy came about, in the command line's form.
    std::ifstream in(dest + ".manifest.json");
    const nlohmann::json written = nlohmann::json::parse(in);
    const nlohmann::json& p = written.at("provenance");
    EXPECT_EQ(p.at("program"), "datumsift");
    EXPECT_EQ(p.at("version"), ds::program_version());
    EXPECT_EQ(p.at("disks"), nlohmann::json::parse(R"([{"path": ")" + demo_image() + R"(", "start_sector": 2048, "size": )" +
                                                    std::to_string(fs::file_size(demo_image())) + "}]"));
    for (const char* when : {"started", "ended"})
        EXPECT_TRUE(std::regex_match(p.at(when).get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
            << p.at(when);
    EXPECT_LE(p.at("started").get<std::string>(), p.at("ended").get<std::string>());
    ASSERT_FALSE(p.at("command_line").empty());
    EXPECT_EQ(p.at("command"), "save out folder contents: /vm1");

    // The same folder again: the copy is there, nothing is replaced.
    prompts.messages.clear();
    prompts.choose_answers = {1};
    prompts.folder_answers = {QString::fromStdString(out.path().string())};
    select_and_save(w, vm1);
    EXPECT_EQ(prompts.messages, QStringList("folder save error|" + QString::fromStdString(dest) + " is not empty"));

    // The copy gone but its manifest still there: replaced only on a yes.
    fs::remove_all(dest);
    const QString manifest = QString::fromStdString(dest + ".manifest.json");
    for (bool yes : {false, true}) {
        prompts.messages.clear();
        prompts.confirmations.clear();
        prompts.choose_answers = {1};
        prompts.confirm_answers = {yes};
        prompts.folder_answers = {QString::fromStdString(out.path().string())};
        select_and_save(w, vm1);
        EXPECT_EQ(prompts.confirmations, QStringList("replace manifest: " + manifest));
        ASSERT_EQ(prompts.messages.size(), 1);
        if (yes)
            EXPECT_TRUE(prompts.messages[0].startsWith("success\n")) << prompts.messages[0].toStdString();
        else
            EXPECT_EQ(prompts.messages[0], "folder save error|refusing to replace the manifest " + manifest);
        EXPECT_EQ(fs::exists(dest), yes);
    }
    prompts.confirmations.clear();

    // A document node is never asked about.
    prompts.messages.clear();
    prompts.choices_asked.clear();
    list(w, vm1);
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(out.file("vmx"))};
    select_and_save(w, child(vm1, "vm1.vmx"));
    EXPECT_TRUE(prompts.choices_asked.isEmpty());
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\nsha256:"));
}

TEST_F(FolderSave, AFoundDirectoryIsReadThroughItsSubstitutedFirstBlock) {
    dstest::TempDir dir;
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    add_disk(store, f.images.at(0));
    DatastoreWindow w(store);
    w.browse();
    w.scan_formatted();
    finish(w);
    QModelIndex top = top_node(w);
    QModelIndex dir2;
    for (int i = 0; i < children(top); ++i)
        if (ds::ui::node_of(nth(top, i)).id == f.reused_dir) dir2 = nth(top, i);
    ASSERT_TRUE(dir2.isValid());
    prompts.messages.clear();
    prompts.choose_answers = {1};
    prompts.folder_answers = {QString::fromStdString(dir.path().string())};
    select_and_save(w, dir2);
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\n")) << prompts.messages[0].toStdString();
    const std::string name = f.file_in_reused.path.substr(f.file_in_reused.path.rfind('/') + 1);
    EXPECT_EQ(dstest::read_file(dir.file(dir2.data().toString().toStdString() + "/" + name)), content_of(f.file_in_reused));
}

TEST_F(FolderSave, TheFoundDirectoriesTopSavesEveryFoundDirectory) {
    dstest::TempDir dir;
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    add_disk(store, f.images.at(0));
    dstest::TempDir out;
    DatastoreWindow w(store);
    w.browse();
    w.scan_formatted();
    finish(w);
    QModelIndex top = top_node(w);
    ASSERT_EQ(top.data().toString(), "ALL DIR FOUND");
    ASSERT_GT(children(top), 1);
    prompts.messages.clear();
    prompts.confirmations.clear();
    prompts.folder_answers = {QString::fromStdString(out.path().string())};
    select_and_save(w, top);
    EXPECT_TRUE(prompts.choices_asked.isEmpty());   // there is no directory file to offer
    EXPECT_TRUE(prompts.confirmations.isEmpty());
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\n")) << prompts.messages[0].toStdString();
    const std::string dest = out.file("ALL DIR FOUND");
    for (int i = 0; i < children(top); ++i)
        EXPECT_TRUE(fs::is_directory(dest + "/" + nth(top, i).data().toString().toStdString()));
    QModelIndex reused;
    for (int i = 0; i < children(top); ++i)
        if (ds::ui::node_of(nth(top, i)).id == f.reused_dir) reused = nth(top, i);
    ASSERT_TRUE(reused.isValid());
    const std::string name = f.file_in_reused.path.substr(f.file_in_reused.path.rfind('/') + 1);
    EXPECT_EQ(dstest::read_file(dest + "/" + reused.data().toString().toStdString() + "/" + name), content_of(f.file_in_reused));
}

} // namespace

// The directory file of a found directory is the directory as its listing
// reads it, through the sub-block that took its first block's place: the
// same bytes the command line writes for that directory.
TEST_F(FolderSave, TheDirectoryFileOfAFoundDirectoryIsTheCommandLinesBytes) {
    dstest::TempDir dir;
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    add_disk(store, f.images.at(0));
    DatastoreWindow w(store);
    w.browse();
    w.scan_formatted();
    finish(w);
    QModelIndex top = top_node(w);
    QModelIndex dir2;
    for (int i = 0; i < children(top); ++i)
        if (ds::ui::node_of(nth(top, i)).id == f.reused_dir) dir2 = nth(top, i);
    ASSERT_TRUE(dir2.isValid());
    prompts.messages.clear();
    prompts.choose_answers = {0};
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(dir.file("window.dir"))};
    select_and_save(w, dir2);
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\n")) << prompts.messages[0].toStdString();

    const clitest::RunResult cli = clitest::run_cli(
        {"-d", f.images.at(0), "export", "--formatted", dir2.data().toString().toStdString(), dir.file("cli.dir")});
    ASSERT_EQ(cli.exit_code, 0) << cli.err;
    const std::vector<uint8_t> saved = dstest::read_file(dir.file("window.dir"));
    EXPECT_EQ(saved, dstest::read_file(dir.file("cli.dir")));
    // Its first entry is the "." that the surviving copy holds, not the bytes
    // of the file that took the directory's own first block.
    ASSERT_GE(saved.size(), 140u);
    EXPECT_EQ(saved[0], 2);
    EXPECT_EQ(saved[4] | saved[5] << 8 | saved[6] << 16 | uint32_t(saved[7]) << 24, f.reused_dir);
}
