#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

class QWidget;

namespace testsupport {

// Collects the debug log while alive, the way a user sees it on stderr: one entry per message.
class LogCapture {
public:
    struct Entry {
        QtMsgType type;
        QString category;
        QString text;
        bool hasContext; // file, line or function attached
    };

    LogCapture();
    ~LogCapture();
    QList<Entry> entries() const;
    // The texts of the "default" category's debug messages, in order.
    QStringList debugLines() const;

private:
    QtMessageHandler m_previous;
};

// Answers every modal dialog the code under test opens: message boxes are recorded and closed
// with their Ok button; any other dialog goes to onDialog (rejected when none is set).
class ModalCatcher : public QObject {
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        bool critical;
        int buttonCount;
        // Optional snapshot taken while the box was open.
        QString note;
    };

    ModalCatcher();
    ~ModalCatcher() override;

    QList<Box> boxes() const { return m_boxes; }
    std::function<void(QWidget *dialog)> onDialog;
    // Called while each message box is open; its result is kept in Box::note.
    std::function<QString()> whileOpen;

private:
    void poll();

    QList<Box> m_boxes;
    int m_timer = 0;

protected:
    void timerEvent(QTimerEvent *event) override;
};

// A file with the given contents in a temporary directory that lives as long as this object.
class TempFiles {
public:
    QString write(const QString &name, const QByteArray &contents);
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// Both ends of a pseudo-terminal, closed when this goes: the slave is a serial port to the code
// under test, the master its far end.
class TerminalPair {
public:
    TerminalPair();
    ~TerminalPair();
    TerminalPair(const TerminalPair &) = delete;
    TerminalPair &operator=(const TerminalPair &) = delete;

    bool isOpen() const { return m_master >= 0; }
    int master() const { return m_master; }
    int slave() const { return m_slave; }
    // The slave's path, e.g. /dev/pts/3.
    QString path() const { return m_path; }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

// Reply windows short enough that a device that leaves sends unanswered costs a test little. The
// tool's own are timed where replies are what a test is about.
transfer::Timing quickTiming();

} // namespace testsupport
