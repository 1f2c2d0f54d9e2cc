#include "ui/disk_settings_dialog.h"

#include "ui/language.h"
#include "ui/prompts.h"
#include "vmfs/datastore.h"
#include "text/messages.h"
#include "text/next_steps.h"
#include "text/detect_text.h"
#include "text/drive_text.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QResizeEvent>

#include <algorithm>

namespace ds {

// Raw images (the dumps of dd and its kin, the first piece of a split one,
// a flat virtual disk), and evidence images by the first segment of their set.
const char* const kImageFilter = QT_TRANSLATE_NOOP(
    "DatumSift",
    "镜像文件(*.hdd;*.img;*.dsr;*.bin;*.dd;*.raw;*.001;*.vmdk;*.E01;*.Ex01) "
    "(*.hdd *.img *.dsr *.bin *.dd *.raw *.001 *.vmdk *.E01 *.e01 *.Ex01 *.ex01);;"
    "所有文件(*.*) (*)");

QString image_filter() { return ui::tx(kImageFilter); }

DiskSettingsState& disk_settings_state() {
    static DiskSettingsState state;
    return state;
}

namespace {

DriveLister& drive_lister() {
    static DriveLister lister;
    return lister;
}

std::vector<DriveInfo> machine_drives() {
    const DriveLister& lister = drive_lister();
    return lister ? lister() : list_drives();
}

// The drive's kind in the language in use; its number and size as they are.
QString drive_caption(const DriveInfo& drive) {
    QString text = QString::fromStdString(drive_item_text(drive));
    for (const char* kind : {QT_TRANSLATE_NOOP("DatumSift", "本地磁盘"), QT_TRANSLATE_NOOP("DatumSift", "可移动存储")}) {
        const QString k = QString::fromUtf8(kind);
        if (text.startsWith(k)) return ui::tx(kind) + text.mid(k.size());
    }
    return text;
}

QString device_text(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

// The disk settings' own text for a refusal, then which disk it was and what
// to do. The refused header lies in the slot after the last member.
QString refusal_text(const Datastore& store, const Detection& found, AddDiskRefusal why) {
    QString text = QString::fromUtf8(add_disk_message(why));
    const LogicalVolume& lvm = store.volume();
    const int k = lvm.loaded_extents;
    if (k < 0 || k > kMaxExtents) return text;
    const VolumeMember& refused = lvm.volumes[k];
    std::string holder;
    for (const VolumeMember& c : found.candidates)
        if (c.first_segment == 0 && std::equal(std::begin(c.lvm_uuid), std::end(c.lvm_uuid), std::begin(refused.lvm_uuid)))
            holder = c.device + "@" + std::to_string(c.start_sector);
    const std::string next = add_disk_next_step(why, refused.device, refused, k > 0 ? &lvm.volumes[k - 1] : nullptr,
                                                holder, "the automatic detection");
    if (!next.empty()) text += QLatin1Char('\n') + device_text(next);
    return text;
}

} // namespace

void set_drive_lister(DriveLister lister) { drive_lister() = std::move(lister); }

DiskSettingsDialog::DiskSettingsDialog(Datastore& store, QWidget* parent) : QDialog(parent), store(store) {
    build();
    load_drives();
}

void DiskSettingsDialog::build() {
    setObjectName(QStringLiteral("disk_settings_dialog"));
    setWindowTitle(QStringLiteral("disks setting"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPixelSize(11);
    setFont(f);
    move(96, 208);
    resize(695, 338);
    setModal(true);

    disks_label = new QLabel(QStringLiteral("VM DISKS"), this);
    disks_label->setObjectName(QStringLiteral("disks_label"));
    disks_label->move(272, 8);
    disks_label->adjustSize();
    disk_list = new QListWidget(this);
    disk_list->setObjectName(QStringLiteral("disk_list"));
    disk_list->setGeometry(256, 24, 281, 257);

    add_button = new QPushButton(ui::tx(QT_TRANSLATE_NOOP("DatumSift", "add disk(手动添加)")), this);
    add_button->setObjectName(QStringLiteral("add_button"));
    add_button->setGeometry(552, 24, 121, 25);
    remove_all_button = new QPushButton(QStringLiteral("remove all disks"), this);
    remove_all_button->setObjectName(QStringLiteral("remove_all_button"));
    remove_all_button->setGeometry(568, 72, 89, 25);
    detect_button = new QPushButton(ui::tx(QT_TRANSLATE_NOOP("DatumSift", "auto check disks（自动检测）")), this);
    detect_button->setObjectName(QStringLiteral("detect_button"));
    detect_button->setGeometry(16, 10, 177, 25);

    found_label = new QLabel(QStringLiteral("VM found"), this);
    found_label->setObjectName(QStringLiteral("found_label"));
    found_label->move(16, 48);
    found_label->adjustSize();
    found_list = new QListWidget(this);
    found_list->setObjectName(QStringLiteral("found_list"));
    found_list->setGeometry(16, 64, 121, 217);
    use_found_button = new QPushButton(QStringLiteral("move>>>>>>"), this);
    use_found_button->setObjectName(QStringLiteral("use_found_button"));
    use_found_button->setGeometry(160, 88, 83, 25);
    use_found_button->setEnabled(false);

    // It grows, never below the size every control was placed for.
    setMinimumSize(695, 338);

    // Buttons of a dialog default to answering Return; these only act when
    // clicked.
    for (QPushButton* b : {add_button, detect_button, remove_all_button, use_found_button}) b->setAutoDefault(false);

    add_menu = new QMenu(this);
    add_menu->setObjectName(QStringLiteral("add_menu"));

    connect(add_button, &QPushButton::clicked, this, &DiskSettingsDialog::show_add_menu);
    connect(detect_button, &QPushButton::clicked, this, &DiskSettingsDialog::detect);
    connect(remove_all_button, &QPushButton::clicked, this, &DiskSettingsDialog::remove_all);
    connect(use_found_button, &QPushButton::clicked, this, &DiskSettingsDialog::use_found);
}

// The two lists share what the window gains in width, a third to the found
// disks and the rest to the disk table, and take all it gains in height; the
// buttons on the right keep their places to the right edge.
void DiskSettingsDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int dx = std::max(0, width() - 695);
    const int dy = std::max(0, height() - 338);
    const int left = dx / 3;
    found_list->setGeometry(16, 64, 121 + left, 217 + dy);
    use_found_button->move(160 + left, 88);
    disks_label->move(272 + left, 8);
    disk_list->setGeometry(256 + left, 24, 281 + dx - left, 257 + dy);
    add_button->move(552 + dx, 24);
    remove_all_button->move(568 + dx, 72);
}

void DiskSettingsDialog::load_drives() {
    add_menu->clear();
    open_image_action = add_menu->addAction(ui::tx(QT_TRANSLATE_NOOP("DatumSift", "打开镜像文件")));
    open_image_action->setObjectName(QStringLiteral("open_image_action"));
    connect(open_image_action, &QAction::triggered, this, &DiskSettingsDialog::add_image);
    // The "-" items are plain separators: a separator given a text is drawn
    // with that text beside its line by some styles.
    drives_separator = add_menu->addSeparator();
    drives_separator->setObjectName(QStringLiteral("drives_separator"));

    drives_ = machine_drives();
    for (const DriveInfo& drive : drives_) {
        QAction* item = add_menu->addAction(drive_caption(drive));
        item->setData(drive.number);
        connect(item, &QAction::triggered, this, [this, item] { add_drive(item); });
    }
    add_menu->addSeparator();
    refresh_disk_list();
}

void DiskSettingsDialog::refresh_disk_list() {
    disk_list->clear();
    for (const std::string& line : disk_table_lines(store.volume())) {
        // A long path is cut by the list's width: the whole line on hover.
        auto* item = new QListWidgetItem(device_text(line), disk_list);
        item->setToolTip(item->text());
    }
}

void DiskSettingsDialog::show_add_menu() { add_menu->popup(QPoint(x() + add_button->x(), y() + add_button->y())); }

void DiskSettingsDialog::add_drive(QAction* item) {
    if (!item) return;
    const int n = item->data().toInt();
    DiskSettingsState& st = disk_settings_state();
    for (const DriveInfo& drive : drives_) {
        if (drive.number != n) continue;
        st.current_device = drive.device;
        st.current_sectors = drive.total_sectors;
        add_by_hand();
        return;
    }
}

void DiskSettingsDialog::add_image() {
    const QString path = ui::prompts().open_file(this, image_filter());
    if (path.isEmpty()) return;
    DiskSettingsState& st = disk_settings_state();
    const std::string device = QFile::encodeName(path).toStdString();
    // Opened read-only: a write-protected image must be addable too.
    const int64_t bytes = store.device_size(device);
    st.current_sectors = bytes > 0 ? bytes / kSectorSize : 0;
    st.current_device = device;
    add_by_hand();
}

// The steps a drive item and an image file share: the size goes to the
// reader, the operator gives the partition's start sector, and the disk joins
// the volume if its header allows.
void DiskSettingsDialog::add_by_hand() {
    DiskSettingsState& st = disk_settings_state();
    // Offered where the disk's partition table (or a volume header at a
    // usual start) says the volume begins; the operator's answer is obeyed.
    const StartSearch found = store.find_start(st.current_device);
    const int64_t offered = found.from != StartFrom::none ? found.sector : 2048;
    const QString text = ui::prompts().input(this, QStringLiteral("input"), QStringLiteral("input partion begin sec"),
                                             QString::number(offered));
    bool ok = false;
    const qlonglong start = text.toLongLong(&ok, 10);
    if (!ok) {
        ui::message(this, QStringLiteral("'") + text + QStringLiteral("' is not a valid integer value"));
        return;
    }
    const AddDiskRefusal why = store.add_disk(st.current_device, start);
    if (why != AddDiskRefusal::none) ui::message(this, refusal_text(store, st.detection, why));
    refresh_disk_list();
}

void DiskSettingsDialog::remove_all() {
    store.clear_disks();
    refresh_disk_list();
}

void DiskSettingsDialog::detect() {
    // Fixed drives only, in the menu's order: a removable one may hold
    // another datastore.
    std::vector<std::string> devices;
    for (const DriveInfo& drive : drives_)
        if (!drive.removable) devices.push_back(drive.device);
    DiskSettingsState& st = disk_settings_state();
    st.detection = store.detect(devices);
    for (size_t i = 0; i < st.detection.read_failed.size(); ++i) {
        const Failure why = i < st.detection.read_failures.size() ? st.detection.read_failures[i] : Failure{};
        ui::message(this, QString::fromUtf8(kDetectReadError) + QLatin1Char('\n') +
                              device_text(detect_read_next_step(st.detection.read_failed[i], why)));
    }

    found_list->clear();
    for (int k : first_segment_candidates(st.detection)) {
        auto* line = new QListWidgetItem(device_text(candidate_line(st.detection, k)), found_list);
        line->setToolTip(line->text());
        // The index travels with the line as well: a device path may itself
        // hold a "|", which would shift the fields of the text.
        line->setData(Qt::UserRole, k);
    }
    if (found_list->count() == 0) {
        ui::message(this, QString::fromUtf8(kDetectNoFirst));
    } else if (found_list->count() == 1) {
        found_list->setCurrentRow(0);
        use_found();
    } else {
        use_found_button->setEnabled(true);
    }
}

void DiskSettingsDialog::use_found() {
    // Nothing is chosen: leave the disk table as it is.
    QListWidgetItem* line = found_list->currentItem();
    if (!line || !line->isSelected()) return;
    bool ok = false;
    const int k = line->data(Qt::UserRole).toInt(&ok);
    if (!ok) return;
    const AddDiskRefusal why = store.assemble(disk_settings_state().detection, k);
    if (why != AddDiskRefusal::none) ui::message(this, refusal_text(store, disk_settings_state().detection, why));
    refresh_disk_list();
}

} // namespace ds
