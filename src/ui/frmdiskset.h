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

// The filter of dlgOpen1: image files (hdd, img, dsr, bin, and the first
// segment of an E01 or Ex01 evidence image) and all files.
extern const char* const kImageFilter;

class Tfrmdiskset : public QDialog {
    Q_OBJECT

public:
    // Sets the disks of store.
    explicit Tfrmdiskset(Datastore& store, QWidget* parent = nullptr);

    Datastore& store;

    QLabel* Label1 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button2 = nullptr;
    QLabel* Label2 = nullptr;
    QListWidget* ListBox2 = nullptr;
    QPushButton* Button4 = nullptr;
    QMenu* pm1 = nullptr;
    QAction* N7 = nullptr;
    QAction* N8 = nullptr;

    void RefreshDiskList();

public slots:
    void FormCreate();
    void Button1Click();
    void DriveItemClick(QAction* Sender);
    void N7Click();
    void Button3Click();
    void Button2Click();
    void Button4Click();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void build();
    void add_by_hand();
    std::vector<DriveInfo> drives_;
};

} // namespace ds
