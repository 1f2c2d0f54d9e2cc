// The disk settings window with image files standing in for drives: adding
// by hand, the refusals, emptying the table and the automatic detection.

#include "vmfs/store.h"
#include "gui_support.h"

#include "disk/disk_read.h"
#include "ui/disk_settings_dialog.h"
#include "ui/datastore_window.h"
#include "vmfs/volume.h"

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

using namespace guitest;
using ds::DiskSettingsDialog;

namespace {

class DiskSettingsWindow : public GuiTest {
protected:
    void drives(std::vector<ds::DriveInfo> list) {
        ds::set_drive_lister([list] { return list; });
    }
    static ds::DriveInfo drive(int n, const std::string& device, bool removable = false, int64_t sectors = 1 << 20) {
        return {n, "d" + std::to_string(n), device, removable, sectors};
    }
};

QStringList lines(const QListWidget* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->item(i)->text();
    return out;
}

QString line(const std::string& device, int64_t n) { return QString::fromStdString(device) + "|" + QString::number(n) + "|"; }

// A volume of three one-segment members whose partitions start at different sectors.
struct ThreeMembers {
    dstest::TempDir dir;
    std::string m[3] = {dir.file("m0.img"), dir.file("m1.img"), dir.file("m2.img")};
    ThreeMembers() {
        dsb::DatastoreOptions o;
        o.members = {{m[0], 2048, 0, 0, {}, true}, {m[1], 128, 1, 1, {}, true}, {m[2], 4096, 2, 2, {}, true}};
        dsb::ImageBuilder ds(o);
        ds.finish();
    }
};

} // namespace

TEST_F(DiskSettingsWindow, MenuListsTheDrivesAfterTheImageItem) {
    drives({drive(0, "/dev/sda", false, 976773168), drive(2, "/dev/sdc", true, 2047980),
            drive(3, "/dev/sdd", false, 2048000)});
    DiskSettingsDialog frm(store);
    QStringList items;
    for (QAction* a : frm.add_menu->actions()) {
        // The "-" items are plain separators, with no text to draw beside the line.
        if (a->isSeparator()) {
            EXPECT_EQ(a->text(), "");
        }
        items << (a->isSeparator() ? QStringLiteral("-") : a->text());
    }
    EXPECT_EQ(frm.findChild<QAction*>("drives_separator"), frm.add_menu->actions().at(1));
    EXPECT_EQ(items, QStringList({"打开镜像文件", "-", "本地磁盘 0 (465.76 GB) ", "可移动存储 2 (999.99 MB) ",
                                  "本地磁盘 3 (0.98 GB) ", "-"}));
    EXPECT_EQ(frm.windowTitle(), "disks setting");
    EXPECT_FALSE(frm.use_found_button->isEnabled());
    EXPECT_EQ(frm.found_list->count(), 0);
}

TEST_F(DiskSettingsWindow, AddsImagesAndDrivesWithTheirStartSector) {
    ThreeMembers v;
    drives({drive(0, v.m[2]), drive(2, v.m[1], false, 777)});
    DiskSettingsDialog frm(store);

    prompts.open_answers = {QString::fromStdString(v.m[0])};
    prompts.input_answers = {std::nullopt};   // cancelled: the default 2048
    frm.open_image_action->trigger();
    EXPECT_EQ(prompts.last_filter, QString::fromUtf8(ds::kImageFilter));
    EXPECT_EQ(prompts.inputs_asked, QStringList("input|input partion begin sec|2048"));
    EXPECT_EQ(ds::disk_settings_state().current_sectors, int64_t(std::filesystem::file_size(v.m[0]) / 512));

    prompts.input_answers = {QString("12x")};
    frm.add_menu->actions().at(3)->trigger();   // drive 2
    EXPECT_EQ(prompts.messages, QStringList("'12x' is not a valid integer value"));
    EXPECT_EQ(ds::disk_settings_state().current_device, v.m[1]);
    EXPECT_EQ(ds::disk_settings_state().current_sectors, 777);

    prompts.input_answers = {QString("128")};
    frm.add_menu->actions().at(3)->trigger();
    prompts.input_answers = {QString("4096")};
    frm.add_menu->actions().at(2)->trigger();   // drive 0
    EXPECT_EQ(lines(frm.disk_list), QStringList({line(v.m[0], 2048), line(v.m[1], 128), line(v.m[2], 4096)}));
    // Each prompt offers where the disk's own partition table puts the volume.
    const QString asked = "input|input partion begin sec|";
    EXPECT_EQ(prompts.inputs_asked, QStringList({asked + "2048", asked + "128", asked + "128", asked + "4096"}));
    EXPECT_EQ(prompts.messages.size(), 1);

    frm.remove_all();
    EXPECT_EQ(frm.disk_list->count(), 0);
    ds::DatastoreWindow w(store);
    w.browse();
    EXPECT_EQ(prompts.messages.last(), "please set disks first");
}

TEST_F(DiskSettingsWindow, RefusalsLeaveTheTableAsItWas) {
    ThreeMembers v;
    struct Case {
        std::vector<std::pair<std::string, int64_t>> before;
        std::pair<std::string, int64_t> refused;
        const char* message;
        std::string next;   // how the second line starts ("" for no second line)
    };
    const Case cases[] = {
        {{}, {v.m[0], 0}, "vlm not find", ""},
        {{}, {v.m[1], 128}, "vlm is not first disk ", v.m[1] + " holds segment"},
        {{{v.m[0], 2048}}, {demo_image(), 2048}, "vlm  disk information mismatch ",
         demo_image() + " "},
        {{{v.m[0], 2048}}, {v.m[2], 4096}, "vlm  disk not continue ", v.m[2] + " starts at segment "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ds::internals(store).lvm.loaded_extents = 0;
        prompts.messages.clear();
        DiskSettingsDialog frm(store);
        for (const auto& [path, start] : c.before) add_disk(store, path, start);
        prompts.open_answers = {QString::fromStdString(c.refused.first)};
        prompts.input_answers = {QString::number(c.refused.second)};
        frm.add_image();
        // The disk settings' own text first, then which disk and what to do.
        ASSERT_EQ(prompts.messages.size(), 1);
        const QStringList lines = prompts.messages[0].split('\n');
        EXPECT_EQ(lines[0], c.message);
        EXPECT_EQ(lines.size(), c.next.empty() ? 1 : 2);
        if (lines.size() > 1) {
            EXPECT_TRUE(lines[1].startsWith(QString::fromStdString(c.next))) << lines[1].toStdString();
        }
        EXPECT_EQ(frm.disk_list->count(), int(c.before.size()));
    }
}

TEST_F(DiskSettingsWindow, DetectionAssemblesTheVolumeInSegmentOrder) {
    ThreeMembers v;
    // Drives 1, 2, 3 hold the second, the last and the first segment; the
    // removable drive 0 holds another datastore and is not scanned.
    drives({drive(0, demo_image(), true), drive(1, v.m[1]), drive(2, v.m[2]), drive(3, v.m[0])});
    DiskSettingsDialog frm(store);
    frm.detect();
    EXPECT_TRUE(prompts.messages.isEmpty()) << prompts.messages.join(',').toStdString();
    EXPECT_EQ(lines(frm.found_list), QStringList(line(v.m[0], 2)));
    EXPECT_EQ(lines(frm.disk_list), QStringList({line(v.m[0], 2048), line(v.m[1], 128), line(v.m[2], 4096)}));
    EXPECT_FALSE(frm.use_found_button->isEnabled());
}

TEST_F(DiskSettingsWindow, DetectionMessagesAndTheOperatorsChoice) {
    ThreeMembers v;
    dstest::TempDir d;
    // A magic inside the first MiB would put the partition before the drive.
    std::vector<uint8_t> early(11 << 20, 0);
    early[512] = 0x0D, early[513] = 0xD0, early[514] = 0x01, early[515] = 0xC0;
    dstest::write_file(d.file("early.img"), early);
    drives({drive(0, d.file("missing.img")), drive(1, d.file("early.img"))});
    {
        DiskSettingsDialog frm(store);
        frm.detect();
        EXPECT_EQ(prompts.messages,
                  QStringList({"read 512sec error \n" + QString::fromStdString(d.file("missing.img")) +
                                   ": cannot be opened (No such file or directory)",
                               "VM  first segment not find"}));
        EXPECT_EQ(frm.found_list->count(), 0);
    }

    // Two disks that both begin a volume: the operator picks one.
    prompts.messages.clear();
    drives({drive(0, demo_image()), drive(1, v.m[0]), drive(2, v.m[1]), drive(3, v.m[2])});
    DiskSettingsDialog frm(store);
    frm.detect();
    EXPECT_TRUE(prompts.messages.isEmpty());
    EXPECT_EQ(lines(frm.found_list), QStringList({line(demo_image(), 0), line(v.m[0], 1)}));
    EXPECT_TRUE(frm.use_found_button->isEnabled());
    EXPECT_EQ(frm.disk_list->count(), 0);
    frm.use_found_button->click();   // nothing chosen yet
    EXPECT_EQ(frm.disk_list->count(), 0);
    frm.found_list->setCurrentRow(1);
    frm.use_found_button->click();
    EXPECT_EQ(lines(frm.disk_list), QStringList({line(v.m[0], 2048), line(v.m[1], 128), line(v.m[2], 4096)}));

    // The candidates outlive the window; the list and the button start afresh.
    DiskSettingsDialog again(store);
    EXPECT_EQ(again.found_list->count(), 0);
    EXPECT_FALSE(again.use_found_button->isEnabled());
    EXPECT_EQ(ds::disk_settings_state().detection.candidates.size(), 4u);
}
