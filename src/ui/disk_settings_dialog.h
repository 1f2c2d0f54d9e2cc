#pragma once
// The disk settings window: which disks form the datastore and where its
// partition starts on each, by hand or by automatic detection.

#include "vmfs/datastore.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QListWidget;
class QMenu;
class QPushButton;

namespace ds {

// What the window keeps between its openings.
struct DiskSettingsState {
    std::string current_device;   // the disk being added by hand
    int64_t current_sectors = 0;  // its size in sectors
    Detection detection;          // candidates of the last automatic detection
};
DiskSettingsState& disk_settings_state();

// Where the window learns the machine's drives; tests stand image files in.
using DriveLister = std::function<std::vector<DriveInfo>()>;
// nullptr restores the drives of /sys/block.
void set_drive_lister(DriveLister lister);

// The filter of the image open dialogs: image files (hdd, img, dsr, bin, the
// raw dd, raw, 001 and flat vmdk, and the first segment of an E01 or Ex01
// evidence image) and all files; image_filter() in the language in use.
extern const char* const kImageFilter;
QString image_filter();

class DiskSettingsDialog : public QDialog {
    Q_OBJECT

public:
    // Sets the disks of store.
    explicit DiskSettingsDialog(Datastore& store, QWidget* parent = nullptr);

    Datastore& store;

    QLabel* disks_label = nullptr;
    QListWidget* disk_list = nullptr;
    QPushButton* add_button = nullptr;
    QPushButton* remove_all_button = nullptr;
    QPushButton* detect_button = nullptr;
    QLabel* found_label = nullptr;
    QListWidget* found_list = nullptr;
    QPushButton* use_found_button = nullptr;
    QMenu* add_menu = nullptr;
    QAction* open_image_action = nullptr;
    QAction* drives_separator = nullptr;

    void refresh_disk_list();

public slots:
    void load_drives();
    void show_add_menu();
    void add_drive(QAction* item);
    void add_image();
    void remove_all();
    void detect();
    void use_found();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void build();
    void add_by_hand();
    std::vector<DriveInfo> drives_;
};

} // namespace ds
