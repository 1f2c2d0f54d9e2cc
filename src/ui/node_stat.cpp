#include "ui/node_stat.h"

#include "text/messages.h"
#include "text/time_text.h"

#include <QStringList>
#include <QtGlobal>

#include <exception>

namespace ds::ui {

namespace {

// Enough to tell a contiguous file from a scattered one at a glance.
constexpr size_t kExtentsShown = 16;

const char* type_name(uint32_t type) {
    switch (type) {
    case kTypeDir: return "directory";
    case kTypeRegular: return "file";
    case kTypeSystem: return "system file";
    case kTypeSymlink: return "symlink";
    default: return "unknown";
    }
}

QString n(int64_t v) { return QString::number(v); }

} // namespace

QString stat_text(const Stated& s) {
    if (!s.ok) return QStringLiteral("file open error");
    const FileInfo& i = s.info;
    QStringList lines;
    lines << QStringLiteral("id: ") + n(i.id);
    lines << QStringLiteral("type: ") + n(i.type) + QStringLiteral(" (") + QLatin1String(type_name(i.type)) + QLatin1Char(')');
    lines << QStringLiteral("size: ") + n(i.size);
    lines << QStringLiteral("created: ") + QString::fromStdString(format_unix_time(i.create_time));
    lines << QStringLiteral("modified: ") + QString::fromStdString(format_unix_time(i.update_time));
    lines << QStringLiteral("accessed: ") + QString::fromStdString(format_unix_time(i.access_time));
    if (s.node.first_block != -1) lines << QStringLiteral("first_block: ") + n(s.node.first_block);
    lines << QStringLiteral("extents: ") + n(int64_t(s.extents.size()));
    for (size_t k = 0; k < s.extents.size() && k < kExtentsShown; ++k) {
        const Extent& e = s.extents[k];
        const QString place = e.kind == Extent::Kind::data && e.lv_offset >= 0
                                  ? n(e.lv_offset)
                                  : QString::fromUtf8(extent_kind_text(e.kind));
        lines << n(e.offset) + QLatin1Char(' ') + n(e.length) + QLatin1Char(' ') + place;
    }
    if (s.extents.size() > kExtentsShown) lines << QStringLiteral("...");
    return lines.join(QLatin1Char('\n'));
}

NodeStat::NodeStat(QObject* parent) : QObject(parent) {}

NodeStat::~NodeStat() { stop(); }

void NodeStat::start(const Datastore& store, const Node& node) {
    if (thread_.joinable()) return;
    result_ = {};
    const quint64 serial = ++serial_;
    thread_ = std::thread([this, &store, node, serial] {
        Stated out;
        out.node = node;
        try {
            File file;
            if (store.open_file(node, file)) {
                out.info = file.info();
                out.extents = store.extents(file);
                out.ok = true;
            }
        } catch (const std::exception& e) {
            qWarning("stat ended: %s", e.what());
            out = {};
            out.node = node;
        }
        result_ = std::move(out);
        emit ended(serial);
    });
}

void NodeStat::stop() {
    // A descriptor and its block list: the read cannot stop part-way, and
    // is waited for.
    if (thread_.joinable()) thread_.join();
    ++serial_;   // an ended() already on its way says nothing
    result_ = {};
}

Stated NodeStat::take() {
    if (thread_.joinable()) thread_.join();
    return std::exchange(result_, {});
}

} // namespace ds::ui
