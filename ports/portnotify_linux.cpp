#include "portnotify.h"

#include "pathglob.h"
#include "ports.h"
#include "timedlook.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace ports {

namespace {

// What changes the names in a folder: a name made, gone, moved, or its node's mode or owner
// set (a tty's group, a moment after the node appears).
constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A folder above one that does not exist yet: the next folder down appearing.
constexpr uint32_t kAboveMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A device's node: its going (unlinked, or its last link dropped).
constexpr uint32_t kNodeMask = IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// One selector's folder (or, while it does not exist, the nearest folder above it that does,
// with the name of the next folder down) and the names in it that count.
struct Folder {
    bool usb = false;
    QByteArray folder;
    PathGlob path; // for a glob
    int folderWatch = -1;
    int aboveWatch = -1;
    QByteArray below;

    bool matches(const char *name) const {
        return usb ? qstrncmp(name, "tty", 3) == 0 : path.matches(QByteArray(name));
    }

    // Watches the folder, or the nearest folder above it that exists; false when neither can
    // be watched. Several selectors may share a folder: the masks add up.
    bool build(int fd) {
        QByteArray path = folder;
        for (int tries = 0; tries < 64; ++tries) {
            const bool top = path == folder;
            const int watch = ::inotify_add_watch(fd, path.constData(),
                                                  (top ? kFolderMask : kAboveMask) | IN_MASK_ADD);
            if (watch >= 0 && top) {
                folderWatch = watch;
                return true;
            }
            if (watch >= 0) {
                aboveWatch = watch;
                // The folder below may have been made meanwhile: then from the top again.
                const QByteArray next = (path == "/" ? path : path + '/') + below;
                if (::access(next.constData(), F_OK) != 0)
                    return true;
                ::inotify_rm_watch(fd, aboveWatch);
                aboveWatch = -1;
                path = folder;
                continue;
            }
            if ((errno != ENOENT && errno != ENOTDIR) || path == "/")
                return false;
            const int slash = path.lastIndexOf('/');
            below = path.mid(slash + 1);
            path = slash <= 0 ? QByteArray("/") : path.left(slash);
        }
        return false;
    }
};

} // namespace

struct PortNotifier::Watch {
    int fd = -1;
    std::vector<Folder> folders;
    QHash<QByteArray, int> nodes;
    bool first = true;
    // Without notifications.
    TimedLook timed;

    // Watches every selector's folder anew; false when one cannot be watched.
    bool build() {
        for (Folder &folder : folders) {
            for (int *watch : {&folder.folderWatch, &folder.aboveWatch}) {
                if (*watch >= 0)
                    ::inotify_rm_watch(fd, *watch);
                *watch = -1;
            }
        }
        for (Folder &folder : folders) {
            if (!folder.build(fd))
                return false;
        }
        return true;
    }

    // Gives notifications up for the timed look, for good.
    void giveUp() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        nodes.clear();
    }
};

PortNotifier::PortNotifier(const QStringList &selectors)
    : m_watch(std::make_unique<Watch>()) {
    Watch &w = *m_watch;
    for (const QString &selector : selectors) {
        Folder f;
        f.usb = isUsbIdentity(selector);
        QString folder = QStringLiteral("/dev");
        if (!f.usb) {
            f.path = pathGlob(selector);
            folder = QDir::cleanPath(QDir::current().absoluteFilePath(f.path.folder));
        }
        f.folder = QFile::encodeName(folder);
        w.folders.push_back(std::move(f));
    }
    w.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.fd >= 0 && !w.build())
        w.giveUp();
}

PortNotifier::~PortNotifier() {
    m_watch->giveUp();
}

bool PortNotifier::notified() const {
    return m_watch->fd >= 0;
}

void PortNotifier::watchNodes(const QByteArrayList &nodes) {
    Watch &w = *m_watch;
    if (w.fd < 0)
        return;
    for (auto it = w.nodes.begin(); it != w.nodes.end();) {
        if (nodes.contains(it.key())) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(w.fd, it.value());
        it = w.nodes.erase(it);
    }
    for (const QByteArray &node : nodes) {
        if (w.nodes.contains(node))
            continue;
        // A node that cannot be watched is seen to go by the slow look.
        const int watch = ::inotify_add_watch(w.fd, node.constData(), kNodeMask);
        if (watch >= 0)
            w.nodes.insert(node, watch);
    }
}

bool PortNotifier::wait(int ms, int wakeFd) {
    Watch &w = *m_watch;
    if (w.fd < 0)
        return w.timed.wait(ms);
    if (w.first) {
        w.first = false;
        return true;
    }
    pollfd ready[2] = {{w.fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(ready, wakeFd >= 0 ? 2 : 1, ms) <= 0 || !(ready[0].revents & POLLIN))
        return false;
    bool changed = false;
    bool rebuild = false;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(w.fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            bool folders = false;
            for (const Folder &f : w.folders) {
                if (event->wd == f.folderWatch) {
                    folders = true;
                    if (event->mask & kGone)
                        rebuild = true;
                    else if (event->len > 0 && f.matches(event->name))
                        changed = true;
                }
                if (event->wd == f.aboveWatch) {
                    folders = true;
                    if ((event->mask & kGone) || (event->len > 0 && f.below == event->name))
                        rebuild = true;
                }
            }
            if (event->mask & IN_Q_OVERFLOW) {
                changed = true;
            } else if (!folders) {
                const QByteArray node = w.nodes.key(event->wd);
                if (node.isEmpty())
                    continue;
                changed = true;
                if (event->mask & IN_IGNORED)
                    w.nodes.remove(node);
            }
        }
    }
    if (rebuild && !w.build())
        w.giveUp();
    return changed || rebuild;
}

} // namespace ports
