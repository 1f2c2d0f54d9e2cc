#include "ui/frmdiskset.h"

#include "disk/disk_read.h"
#include "ui/prompts.h"
#include "vmfs/datastore.h"
#include "vmfs/volume.h"
#include "text/messages.h"
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

// Raw images, and evidence images by the first segment of their set.
const char* const kImageFilter =
    "镜像文件(*.hdd;*.img;*.dsr;*.bin;*.E01;*.Ex01) (*.hdd *.img *.dsr *.bin *.E01 *.e01 *.Ex01 *.ex01);;"
    "所有文件(*.*) (*)";

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

QString device_text(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

} // namespace

void set_drive_lister(DriveLister lister) { drive_lister() = std::move(lister); }

Tfrmdiskset::Tfrmdiskset(Datastore& store, QWidget* parent) : QDialog(parent), store(store) {
    build();
    FormCreate();
}

void Tfrmdiskset::build() {
    setObjectName(QStringLiteral("frmdiskset"));
    setWindowTitle(QStringLiteral("disks setting"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPixelSize(11);
    setFont(f);
    move(96, 208);
    resize(695, 338);
    setModal(true);

    Label1 = new QLabel(QStringLiteral("VM DISKS"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(272, 8);
    Label1->adjustSize();
    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setGeometry(256, 24, 281, 257);

    Button1 = new QPushButton(QStringLiteral("add disk(手动添加)"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(552, 24, 121, 25);
    Button3 = new QPushButton(QStringLiteral("remove all disks"), this);
    Button3->setObjectName(QStringLiteral("Button3"));
    Button3->setGeometry(568, 72, 89, 25);
    Button2 = new QPushButton(QStringLiteral("auto check disks（自动检测）"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(16, 10, 177, 25);

    Label2 = new QLabel(QStringLiteral("VM found"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->move(16, 48);
    Label2->adjustSize();
    ListBox2 = new QListWidget(this);
    ListBox2->setObjectName(QStringLiteral("ListBox2"));
    ListBox2->setGeometry(16, 64, 121, 217);
    Button4 = new QPushButton(QStringLiteral("move>>>>>>"), this);
    Button4->setObjectName(QStringLiteral("Button4"));
    Button4->setGeometry(160, 88, 83, 25);
    Button4->setEnabled(false);

    // It grows, never below the size every control was placed for.
    setMinimumSize(695, 338);

    // Buttons of a dialog default to answering Return; these only act when
    // clicked.
    for (QPushButton* b : {Button1, Button2, Button3, Button4}) b->setAutoDefault(false);

    pm1 = new QMenu(this);
    pm1->setObjectName(QStringLiteral("pm1"));

    connect(Button1, &QPushButton::clicked, this, &Tfrmdiskset::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &Tfrmdiskset::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &Tfrmdiskset::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &Tfrmdiskset::Button4Click);
}

// The two lists share what the window gains in width, a third to the found
// disks and the rest to the disk table, and take all it gains in height; the
// buttons on the right keep their places to the right edge.
void Tfrmdiskset::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int dx = std::max(0, width() - 695);
    const int dy = std::max(0, height() - 338);
    const int left = dx / 3;
    ListBox2->setGeometry(16, 64, 121 + left, 217 + dy);
    Button4->move(160 + left, 88);
    Label1->move(272 + left, 8);
    ListBox1->setGeometry(256 + left, 24, 281 + dx - left, 257 + dy);
    Button1->move(552 + dx, 24);
    Button3->move(568 + dx, 72);
}

void Tfrmdiskset::FormCreate() {
    pm1->clear();
    N7 = pm1->addAction(QStringLiteral("打开镜像文件"));
    N7->setObjectName(QStringLiteral("N7"));
    connect(N7, &QAction::triggered, this, &Tfrmdiskset::N7Click);
    // The "-" items are plain separators: a separator given a text is drawn
    // with that text beside its line by some styles.
    N8 = pm1->addSeparator();
    N8->setObjectName(QStringLiteral("N8"));

    drives_ = machine_drives();
    for (const DriveInfo& drive : drives_) {
        QAction* item = pm1->addAction(QString::fromStdString(drive_item_text(drive)));
        item->setData(drive.number);
        connect(item, &QAction::triggered, this, [this, item] { DriveItemClick(item); });
    }
    pm1->addSeparator();
    RefreshDiskList();
}

void Tfrmdiskset::RefreshDiskList() {
    ListBox1->clear();
    for (const std::string& line : disk_table_lines(store)) {
        // A long path is cut by the list's width: the whole line on hover.
        auto* item = new QListWidgetItem(device_text(line), ListBox1);
        item->setToolTip(item->text());
    }
}

void Tfrmdiskset::Button1Click() { pm1->popup(QPoint(x() + Button1->x(), y() + Button1->y())); }

void Tfrmdiskset::DriveItemClick(QAction* Sender) {
    if (!Sender) return;
    const int n = Sender->data().toInt();
    DiskSettingsState& st = disk_settings_state();
    for (const DriveInfo& drive : drives_) {
        if (drive.number != n) continue;
        st.current_device = drive.device;
        st.current_sectors = drive.total_sectors;
        add_by_hand();
        return;
    }
}

void Tfrmdiskset::N7Click() {
    const QString path = ui::prompts().open_file(this, QString::fromUtf8(kImageFilter));
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
void Tfrmdiskset::add_by_hand() {
    DiskSettingsState& st = disk_settings_state();
    const QString text = ui::prompts().input(this, QStringLiteral("input"), QStringLiteral("input partion begin sec"),
                                             QStringLiteral("2048"));
    bool ok = false;
    const qlonglong start = text.toLongLong(&ok, 10);
    if (!ok) {
        ui::message(this, QStringLiteral("'") + text + QStringLiteral("' is not a valid integer value"));
        return;
    }
    AddDiskRefusal why = AddDiskRefusal::none;
    if (add_disk(store, st.current_device, start, &why) != 0) ui::message(this, QString::fromUtf8(add_disk_message(why)));
    RefreshDiskList();
}

void Tfrmdiskset::Button3Click() {
    lvm_clear(store);
    RefreshDiskList();
}

void Tfrmdiskset::Button2Click() {
    std::vector<std::string> devices;
    for (QAction* item : pm1->actions()) {
        if (item->isSeparator() || !is_fixed_drive_text(item->text().toStdString())) continue;
        const int n = item->data().toInt();
        for (const DriveInfo& drive : drives_)
            if (drive.number == n) devices.push_back(drive.device);
    }
    DiskSettingsState& st = disk_settings_state();
    st.detection = detect_candidates(store, devices);
    for (size_t i = 0; i < st.detection.read_failed.size(); ++i) ui::message(this, QString::fromUtf8(kDetectReadError));

    ListBox2->clear();
    for (int k : first_segment_candidates(st.detection)) {
        auto* line = new QListWidgetItem(device_text(candidate_line(st.detection, k)), ListBox2);
        line->setToolTip(line->text());
        // The index travels with the line as well: a device path may itself
        // hold a "|", which would shift the fields of the text.
        line->setData(Qt::UserRole, k);
    }
    if (ListBox2->count() == 0) {
        ui::message(this, QString::fromUtf8(kDetectNoFirst));
    } else if (ListBox2->count() == 1) {
        ListBox2->setCurrentRow(0);
        Button4Click();
    } else {
        Button4->setEnabled(true);
    }
}

void Tfrmdiskset::Button4Click() {
    // Nothing is chosen: leave the disk table as it is.
    QListWidgetItem* line = ListBox2->currentItem();
    if (!line || !line->isSelected()) return;
    bool ok = false;
    const int k = line->data(Qt::UserRole).toInt(&ok);
    if (!ok) return;
    AddDiskRefusal why = assemble_volume(store, disk_settings_state().detection, k);
    if (why != AddDiskRefusal::none) ui::message(this, QString::fromUtf8(add_disk_message(why)));
    RefreshDiskList();
}

} // namespace ds
