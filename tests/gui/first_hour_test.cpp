// What a newcomer meets first: File › Open image, the image filter, saving
// out a lost disk, the version in About, the English texts, and the one
// question asked when a disk cannot be read.

#include "vmfs/store.h"
#include "gui_support.h"

#include "builder/datastore_builder.h"
#include "disk/memory_source.h"
#include "export/provenance.h"
#include "lost_disks.h"
#include "ui/about_dialog.h"
#include "ui/datastore_window.h"
#include "ui/disk_settings_dialog.h"
#include "ui/language.h"
#include "ui/scan_rows_model.h"
#include "ui/status_text.h"
#include "ui/tree_node.h"
#include "vmfs/blockid.h"

#include <nlohmann/json.hpp>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace guitest;
using ds::DatastoreWindow;

namespace {

const QString kRescueQuestion =
    QStringLiteral("a sector could not be read|keep going with zeros in place of unreadable sectors?");

class FirstHour : public GuiTest {
protected:
    void TearDown() override {
        ds::ui::use_language(QStringLiteral("zh"));
        GuiTest::TearDown();
    }
};

TEST_F(FirstHour, OpenImageAddsTheImageAtItsStartAndListsTheTop) {
    DatastoreWindow w(store);
    EXPECT_EQ(w.open_image_action->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    EXPECT_EQ(w.file_menu->actions().first(), w.open_image_action);

    prompts.open_answers = {QString::fromStdString(demo_image())};
    w.open_image_action->trigger();
    listed(w);
    // The start sector was found, not asked for, and nothing went wrong.
    EXPECT_EQ(prompts.last_filter, ds::image_filter());
    EXPECT_TRUE(prompts.inputs_asked.isEmpty()) << prompts.inputs_asked.join(" ").toStdString();
    EXPECT_TRUE(prompts.messages.isEmpty()) << prompts.messages.join(" ").toStdString();
    ASSERT_EQ(store.volume().loaded_extents, 1);
    ASSERT_TRUE(store.is_open());
    const QModelIndex root = top_node(w);
    ASSERT_TRUE(root.isValid());
    EXPECT_EQ(root.data().toString(), "/");
    EXPECT_TRUE(texts(root).contains("vm1")) << texts(root).join(" ").toStdString();
    EXPECT_TRUE(w.tree->isExpanded(root));

    // Cancelled: nothing changes.
    w.open_image_action->trigger();
    listed(w);
    EXPECT_EQ(store.volume().loaded_extents, 1);
}

TEST_F(FirstHour, OpenImageAsksForTheStartOnlyWhereNothingSaysIt) {
    dstest::TempDir dir;
    const std::string junk = dir.file("junk.raw");
    std::ofstream(junk) << std::string(1 << 20, 'x');
    DatastoreWindow w(store);
    prompts.open_answers = {QString::fromStdString(junk)};
    prompts.input_answers = {QString("abc")};
    w.open_image();
    EXPECT_EQ(prompts.inputs_asked, QStringList("input|input partion begin sec|2048"));
    EXPECT_EQ(prompts.messages, QStringList("'abc' is not a valid integer value"));
    EXPECT_EQ(store.volume().loaded_extents, 0);
    EXPECT_EQ(w.tree->model()->rowCount(), 0);
}

TEST_F(FirstHour, TheImageFilterListsRawImagesAndAllFiles) {
    const QStringList groups = ds::image_filter().split(";;");
    ASSERT_EQ(groups.size(), 2);
    for (const char* ext : {"*.dd", "*.raw", "*.001", "*.vmdk", "*.img", "*.E01"})
        EXPECT_TRUE(groups[0].contains(QRegularExpression(QStringLiteral("\\(.*") + QRegularExpression::escape(ext) +
                                                          QStringLiteral("[ )]"))))
            << ext;
    EXPECT_TRUE(groups[1].endsWith("(*)"));
    ds::ui::use_language(QStringLiteral("en"));
    EXPECT_EQ(ds::image_filter().split(";;").value(1), "All files (*)");
}

TEST_F(FirstHour, ALostDiskRowSavesTheRebuiltDiskWithItsNote) {
    if (!dsb::have_mkfs_ext4()) GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed: no ext4 guests to rebuild";
    dstest::TempDir dir;
    const dsb::LostVmSummary sum = dsb::build_lost_vms(dir.path().string());
    for (size_t i = 0; i < sum.images.size(); ++i) add_disk(store, sum.images[i], sum.start_sectors.at(i));
    DatastoreWindow w(store);
    w.browse();
    w.scan_lost_disks();
    finish(w);
    ASSERT_GE(list_rows(w), 1);
    const QModelIndex row = list_row(w, 0);
    w.scan_list->setCurrentIndex(row);
    // The row's menu offers "save out", as for a deleted file.
    w.scan_list->setFocus();
    QTest::keyClick(w.scan_list, Qt::Key_Menu);
    EXPECT_TRUE(w.list_save_action->isEnabled());
    w.list_menu->hide();

    const std::string host = dir.file("disk1.img");
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(host)};
    prompts.messages.clear();
    w.save_list_row();
    finish(w);
    EXPECT_EQ(prompts.confirmations, QStringList("sure to export file: VMDK 1  OUT"));
    ASSERT_EQ(prompts.messages.size(), 1);
    const std::string len = std::to_string(sum.disks[0].size);
    const std::string piece = std::to_string(sum.piece_bytes);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\nsha256:")) << prompts.messages[0].toStdString();
    EXPECT_TRUE(prompts.messages[0].contains(QString::fromStdString(
        "\nrebuilt " + len + " bytes from 5 of 5 pointer blocks\nplaced by its boot record: " + piece + " bytes\n")))
        << prompts.messages[0].toStdString();
    EXPECT_TRUE(prompts.messages[0].endsWith("left empty: 0 bytes"));
    ASSERT_EQ(std::filesystem::file_size(host), sum.disks[0].size);
    EXPECT_EQ(dstest::read_at(host, 0, sum.disks[0].size), dstest::read_at(sum.disks[0].original, 0, sum.disks[0].size));

    // A disk with a hole says where, as the command line does.
    const std::string third = dir.file("disk3.img");
    w.scan_list->setCurrentIndex(list_row(w, 2));
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(third)};
    prompts.messages.clear();
    w.save_list_row();
    finish(w);
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].contains(QString::fromStdString(
        "\nhole at byte " + piece + ", " + std::to_string(sum.disks[2].size - sum.piece_bytes) +
        " bytes: the pointer block that continues its neighbour names blocks of live files")))
        << prompts.messages[0].toStdString();
}

TEST_F(FirstHour, AboutShowsTheVersionTheBuildAndTheLibraries) {
    ds::AboutDialog about;
    ASSERT_NE(about.version, nullptr);
    const QStringList lines = about.version->text().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QString("datumsift ") + ds::program_version());
    EXPECT_TRUE(QString(ds::program_version()).contains(QRegularExpression("^\\d+\\.\\d+\\.\\d+$")));
    EXPECT_TRUE(lines[1].startsWith("build: ")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QString("libraries: Qt ") + qVersion() + ", OpenSSL ")) << lines[2].toStdString();
    EXPECT_TRUE(lines[2].contains("libewf ")) << lines[2].toStdString();
    // Inside the window, under the banner.
    EXPECT_TRUE(QRect(0, 0, 480, 378).contains(about.version->geometry()));
    EXPECT_FALSE(about.version->geometry().intersects(about.banner->geometry()));
}

TEST_F(FirstHour, TheLanguageIsAskedByArgumentOrEnvironment) {
    using ds::ui::language_asked;
    EXPECT_EQ(language_asked({"gui", "--lang", "en"}, ""), "en");
    EXPECT_EQ(language_asked({"gui", "--lang=en_US"}, ""), "en");
    EXPECT_EQ(language_asked({"gui"}, "en_GB:zh_CN"), "en");
    EXPECT_EQ(language_asked({"gui"}, "zh_CN:en"), "");
    EXPECT_EQ(language_asked({"gui"}, ""), "");
    // The argument wins over the environment.
    EXPECT_EQ(language_asked({"gui", "--lang", "zh"}, "en"), "zh");
    EXPECT_EQ(language_asked({"gui", "--lang"}, "de"), "");
}

// Every visible text of a window and its menus.
QStringList captions(QWidget* top) {
    QStringList out;
    out << top->windowTitle() << top->toolTip();
    for (QAbstractButton* b : top->findChildren<QAbstractButton*>()) out << b->text();
    for (QLabel* l : top->findChildren<QLabel*>()) out << l->text();
    for (QGroupBox* g : top->findChildren<QGroupBox*>()) out << g->title();
    for (QMenu* m : top->findChildren<QMenu*>()) {
        out << m->title();
        for (QAction* a : m->actions()) out << a->text();
    }
    for (QWidget* wd : top->findChildren<QWidget*>()) out << wd->toolTip();
    return out;
}

QStringList with_chinese(const QStringList& texts) {
    QStringList out;
    for (const QString& t : texts)
        if (t.contains(QRegularExpression(QStringLiteral("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]")))) out << t;
    return out;
}

TEST_F(FirstHour, EnglishTranslatesEveryChineseCaptionAndTheDefaultStaysChinese) {
    add_disk(store, demo_image());
    ds::set_drive_lister([] {
        return std::vector<ds::DriveInfo>{{0, "fixed", "/dev/fixed", false, 2048}, {1, "stick", "/dev/stick", true, 4096}};
    });
    DatastoreWindow w(store);
    EXPECT_EQ(w.browse_button->text(), "浏览正常文件");
    EXPECT_TRUE(w.chinese_action->isChecked());

    w.english_action->trigger();
    EXPECT_TRUE(w.english_action->isChecked());
    EXPECT_EQ(w.browse_button->text(), "Browse files");
    EXPECT_EQ(w.lost_disks_button->text(), "Recover virtual disks");
    EXPECT_EQ(w.status_line->text(), "Browse files to open the datastore, then double-click a folder to list it");
    w.browse();
    EXPECT_EQ(w.tree->toolTip(), "Double-click a folder to list it");
    w.scan_lost_disks();
    finish(w);
    ASSERT_EQ(list_rows(w), 1);
    EXPECT_EQ(cell(list_row(w, 0), 2), "NTFS|Linux swap");
    {
        ds::AboutDialog about;
        EXPECT_EQ(about.windowTitle(), "About");
        ds::DiskSettingsDialog settings(store);
        QStringList all = captions(&w) + captions(&about) + captions(&settings);
        // Each language keeps its own name in the menu.
        all.removeAll(QStringLiteral("中文"));
        EXPECT_EQ(with_chinese(all), QStringList());
        EXPECT_TRUE(all.contains("Local disk 0 (1.00 MB) ")) << all.join("\n").toStdString();
        EXPECT_TRUE(all.contains("Removable storage 1 (2.00 MB) ")) << all.join("\n").toStdString();
    }

    // Back to the default texts, in the same window.
    w.chinese_action->trigger();
    EXPECT_EQ(w.browse_button->text(), "浏览正常文件");
    EXPECT_EQ(w.tree->toolTip(), "双击展开目录");
    EXPECT_EQ(cell(list_row(w, 0), 2), "NTFS|LINUX交换");
    ds::AboutDialog about;
    EXPECT_EQ(about.windowTitle(), "关于");
    ds::set_drive_lister(nullptr);
}

// A thin file's holes are written without a read: the rate counts what was
// read, and the end says how much that was.
TEST_F(FirstHour, AThinFilesRateCountsTheBytesReadNotItsHoles) {
    EXPECT_EQ(ds::ui::status_export("t", 4 << 20, 4 << 20, 2.0, 1 << 20), "exporting t: 4.00 MiB of 4.00 MiB, 512.00 KiB/s");
    EXPECT_EQ(ds::ui::status_export("t", 4 << 20, 4 << 20, 2.0), "exporting t: 4.00 MiB of 4.00 MiB, 2.00 MiB/s");
    EXPECT_EQ(ds::ui::status_exported("t", 4 << 20, 2.0, 1 << 20),
              "exported t: 4.00 MiB in 0:02, 512.00 KiB/s (1048576 bytes read, the rest holes)");
    EXPECT_EQ(ds::ui::status_exported("t", 4 << 20, 2.0, 4 << 20), "exported t: 4.00 MiB in 0:02, 2.00 MiB/s");

    dstest::TempDir dir;
    dsb::DatastoreOptions o;
    o.path = dir.file("thin.img");
    dsb::ImageBuilder image(o);
    std::vector<uint8_t> bytes = dsb::materialize(dsb::pattern_content(3), 0, 1048576);
    bytes.resize(3 * 1048576 + 100, 0);
    dsb::FileSpec spec = dsb::generated_file(bytes.size(), dsb::bytes_content(bytes));
    spec.thin = true;
    image.add_file("/thin", spec);
    image.finish();
    add_disk(store, o.path);
    DatastoreWindow w(store);
    w.browse();
    list(w, top_node(w));
    w.tree->setCurrentIndex(child(top_node(w), "thin"));
    const std::string host = dir.file("thin.out");
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(host)};
    w.save_tree_node();
    finish(w);
    EXPECT_EQ(dstest::read_file(host), bytes);
    EXPECT_EQ(prompts.messages, QStringList(success_text(bytes) + "\nread: 1048576 bytes, the rest holes"));
    const QString status = w.status_line->text();
    EXPECT_TRUE(status.startsWith("exported thin: 3.00 MiB in ")) << status.toStdString();
    EXPECT_TRUE(status.endsWith("/s (1048576 bytes read, the rest holes)")) << status.toStdString();
}

// A small datastore in memory whose sectors can be made unreadable.
class Unreadable : public FirstHour {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> image;
    ds::MemorySource mem;
    std::string path;
    uint32_t big = 0;
    std::vector<uint8_t> big_bytes;

    void SetUp() override {
        FirstHour::SetUp();
        dsb::DatastoreOptions o;
        o.path = path = dir.file("bad.img");
        o.fdc.area_count = 4;
        image = std::make_unique<dsb::ImageBuilder>(o);
        big_bytes = dsb::materialize(dsb::pattern_content(7), 0, 3 * 1048576 + 100);
        big = image->add_file("/big", dsb::generated_file(big_bytes.size(), dsb::bytes_content(big_bytes)));
        for (int i = 0; i < 30; ++i) image->add_file("/f" + std::to_string(i), dsb::text_file("file " + std::to_string(i)));
        for (int i = 0; i < 30; i += 3) image->remove("/f" + std::to_string(i));
        image->finish();
        std::ifstream in(o.path, std::ios::binary);
        mem.disks[o.path].assign(std::istreambuf_iterator<char>(in), {});
        new_store(mem);
        add_disk(store, path, o.start_sector);
    }
    void TearDown() override {
        new_store();
        FirstHour::TearDown();
    }
    // A fresh reader, so that no chunk read before the damage answers.
    void damage(std::vector<ds::ByteSpan> bad) {
        mem.bad = std::move(bad);
        ds::internals(store).disk.reset();
        ds::internals(store).memos.reset();
    }
    // Where byte off of /big lies on the image.
    int64_t big_on_image(int64_t off) {
        ds::File file;
        EXPECT_TRUE(store.open_file({big, -1}, file));
        ds::DevicePlace where;
        EXPECT_TRUE(store.place(file, off, 512, where));
        return where.offset;
    }
    void save_big(DatastoreWindow& w, const std::string& host) {
        w.tree->setCurrentIndex(child(top_node(w), "big"));
        prompts.save_answers = {QString::fromStdString(host)};
        w.save_tree_node();
        finish(w);
    }
};

TEST_F(Unreadable, AnExportAsksOnceAndNoKeepsTheCopyAsItStopped) {
    DatastoreWindow w(store);
    w.browse();
    list(w, top_node(w));
    damage({{big_on_image(2 * 1048576 + 4096), 512}});
    const std::string host = dir.file("big.out");
    prompts.confirm_answers = {true, false};
    save_big(w, host);
    EXPECT_EQ(prompts.confirmations, QStringList({"sure to export file: big  OUT", kRescueQuestion}));
    EXPECT_EQ(prompts.messages, QStringList(QString::fromStdString("file save error|result:-1\npartial file: " + host +
                                                                   "|written:2097152\nInput/output error")));
    EXPECT_EQ(std::filesystem::file_size(host), 2u * 1048576u);
    EXPECT_FALSE(std::filesystem::exists(host + ".map"));
}

TEST_F(Unreadable, AnExportToldToGoOnWritesZerosAndTheMapAndSaysSo) {
    DatastoreWindow w(store);
    w.browse();
    list(w, top_node(w));
    const int64_t bad_at = 2 * 1048576 + 4096;
    damage({{big_on_image(bad_at), 512}, {big_on_image(bad_at + 8192), 512}});
    const std::string host = dir.file("big.out");
    prompts.confirm_answers = {true, true};
    save_big(w, host);
    // Asked once, though two sectors could not be read.
    EXPECT_EQ(prompts.confirmations, QStringList({"sure to export file: big  OUT", kRescueQuestion}));
    std::vector<uint8_t> want = big_bytes;
    std::fill(want.begin() + bad_at, want.begin() + bad_at + 512, 0);
    std::fill(want.begin() + bad_at + 8192, want.begin() + bad_at + 8192 + 512, 0);
    EXPECT_EQ(dstest::read_file(host), want);
    ASSERT_TRUE(std::filesystem::exists(host + ".map"));
    const QString said = QString::fromStdString("unreadable: 1024 bytes in 2 ranges, filled with zeros\nmap: " + host + ".map");
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("success\nsha256:")) << prompts.messages[0].toStdString();
    EXPECT_TRUE(prompts.messages[0].endsWith("\n" + said)) << prompts.messages[0].toStdString();
    EXPECT_EQ(w.status_line->text(), QString(said).replace("\n", "; "));

    // A map already there is never replaced: the copy stays as it stopped.
    prompts.confirm_answers = {true, true};
    prompts.confirmations.clear();
    prompts.messages.clear();
    const std::string again = dir.file("again.out");
    std::ofstream(again + ".map") << "mine";
    save_big(w, again);
    EXPECT_EQ(prompts.confirmations.size(), 2);
    ASSERT_EQ(prompts.messages.size(), 2);
    EXPECT_EQ(prompts.messages[0], QString::fromStdString("not replacing " + again + ".map: it exists; move it away first"));
    EXPECT_TRUE(prompts.messages[1].startsWith("file save error|result:-1")) << prompts.messages[1].toStdString();
    EXPECT_EQ(dstest::read_file(again + ".map"), std::vector<uint8_t>({'m', 'i', 'n', 'e'}));
}

TEST_F(Unreadable, AScanAsksOnceAndGoesOnOrStopsAsItAlwaysHas) {
    DatastoreWindow w(store);
    w.browse();
    w.scan_deleted();
    finish(w);
    const int clean = list_rows(w);
    ASSERT_EQ(clean, 10);
    // The last sector of a free slot's descriptor in the middle of the walk.
    const uint32_t hit = list_row(w, 5).data(ds::ui::kDescriptorRole).toUInt();
    damage({{int64_t(image->volume().locate(image->item_lv_offset(hit)).image_offset) + 1536, 512}});

    prompts.messages.clear();
    w.scan_deleted();   // answered No
    finish(w);
    EXPECT_EQ(prompts.confirmations, QStringList(kRescueQuestion));
    EXPECT_EQ(prompts.messages, QStringList("rinode get error"));
    EXPECT_EQ(list_rows(w), 5);

    prompts.confirmations.clear();
    prompts.messages.clear();
    prompts.confirm_answers = {true};
    w.scan_deleted();
    finish(w);
    EXPECT_EQ(prompts.confirmations, QStringList(kRescueQuestion));
    EXPECT_EQ(prompts.messages, QStringList("finish"));
    EXPECT_EQ(list_rows(w), clean);
    EXPECT_EQ(w.status_line->text(), "unreadable: 512 bytes passed over");

    // The next scan asks again: a yes holds for one scan only.
    prompts.confirmations.clear();
    w.scan_deleted();
    finish(w);
    EXPECT_EQ(prompts.confirmations, QStringList(kRescueQuestion));
}

// The one folder a folder export made inside the folder chosen.
std::string copy_in(const std::string& parent) {
    std::string found;
    for (const auto& e : std::filesystem::directory_iterator(parent))
        if (e.is_directory()) found = e.path().string();
    return found;
}

TEST_F(Unreadable, AFolderExportAsksOnceAndNoKeepsTheCopyAsItStopped) {
    DatastoreWindow w(store);
    w.browse();
    list(w, top_node(w));
    damage({{big_on_image(2 * 1048576 + 4096), 512}});
    dstest::TempDir out;
    prompts.choose_answers = {1};
    prompts.folder_answers = {QString::fromStdString(out.path().string())};
    prompts.confirm_answers = {false};
    w.tree->setCurrentIndex(top_node(w));
    w.save_tree_node();
    finish(w);
    EXPECT_EQ(prompts.confirmations, QStringList(kRescueQuestion));
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].startsWith("folder save error|failures:1\n")) << prompts.messages[0].toStdString();
    EXPECT_FALSE(prompts.messages[0].contains("unreadable:")) << prompts.messages[0].toStdString();
    const std::string copy = copy_in(out.path().string());
    EXPECT_TRUE(std::filesystem::exists(copy + "/big.partial"));
    EXPECT_FALSE(std::filesystem::exists(copy + "/big"));
}

TEST_F(Unreadable, AFolderExportToldToGoOnCopiesWithZerosElsewhereAndTheManifestNamesThem) {
    DatastoreWindow w(store);
    w.browse();
    list(w, top_node(w));
    const int64_t bad_at = 2 * 1048576 + 4096;
    damage({{big_on_image(bad_at), 512}, {big_on_image(bad_at + 8192), 512}});
    dstest::TempDir first, second;
    prompts.choose_answers = {1};
    prompts.folder_answers = {QString::fromStdString(first.path().string()), QString::fromStdString(second.path().string())};
    prompts.confirm_answers = {true};
    w.tree->setCurrentIndex(top_node(w));
    w.save_tree_node();
    finish(w);
    // Asked once, though two sectors could not be read.
    EXPECT_EQ(prompts.confirmations, QStringList(kRescueQuestion));
    const std::string kept = copy_in(first.path().string()), copy = copy_in(second.path().string());
    ASSERT_FALSE(kept.empty());
    ASSERT_FALSE(copy.empty());
    // The first copy and its manifest stay as they were written.
    EXPECT_TRUE(std::filesystem::exists(kept + "/big.partial"));
    EXPECT_TRUE(std::filesystem::exists(kept + ".manifest.json"));
    std::vector<uint8_t> want = big_bytes;
    std::fill(want.begin() + bad_at, want.begin() + bad_at + 512, 0);
    std::fill(want.begin() + bad_at + 8192, want.begin() + bad_at + 8192 + 512, 0);
    EXPECT_EQ(dstest::read_file(copy + "/big"), want);
    // Nothing but the files (the four system files among them): the
    // manifest says what was not read.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(copy), {}), 25);
    EXPECT_FALSE(std::filesystem::exists(copy + "/big.map"));
    const std::string manifest = copy + ".manifest.json";
    const auto doc = nlohmann::json::parse(dstest::read_file(manifest));
    bool named = false;
    for (const auto& it : doc["items"])
        if (it["path"] == "big") {
            EXPECT_EQ(it["status"], "partly unreadable");
            EXPECT_EQ(it["unreadable"], nlohmann::json::parse("[[" + std::to_string(bad_at) + ",512],[" +
                                                              std::to_string(bad_at + 8192) + ",512]]"));
            named = true;
        }
    EXPECT_TRUE(named);

    ASSERT_EQ(prompts.messages.size(), 2);
    EXPECT_EQ(prompts.messages[0], QString::fromStdString("the copy so far stays in " + kept +
                                                          " with its manifest; choose a folder for the copy with zeros"));
    const QString said = "unreadable: 1024 bytes in 1 items, filled with zeros; the manifest names them";
    EXPECT_TRUE(prompts.messages[1].startsWith("success\nfiles:25 ")) << prompts.messages[1].toStdString();
    EXPECT_TRUE(prompts.messages[1].endsWith("\n" + said + "\nmanifest:" + QString::fromStdString(manifest)))
        << prompts.messages[1].toStdString();
    EXPECT_EQ(w.status_line->text(), said + ": " + QString::fromStdString(manifest));
}

} // namespace
