#pragma once

#include "device.h"
#include "events.h"
#include "imagefile.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

// One board: a port, its own thread and its own Device, from waiting for the port to the cause
// of the outcome.
namespace cli {

class Board {
public:
    // What the board's thread tells as it goes; called on that thread.
    struct Hooks {
        std::function<void(Board &)> started;
        std::function<void(Board &, int done, int total, int percent)> acknowledged;
        std::function<void(Board &)> finished;
    };

    // image: the records to upload; nullptr asks for the bootloader mode instead. waitMs: how
    // long to wait for the port to appear. rawPort: the port's bytes as given on the command
    // line, for a name that is not valid text (see ports::resolve).
    Board(int index, const QString &port, const imagefile::Image *image, int waitMs, Hooks hooks,
          const QByteArray &rawPort = QByteArray());
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Runs the board on its thread. prefixTrace: its debug trace lines begin with the port.
    void start(bool prefixTrace);
    // Waits up to ms for the end; true once it ended.
    bool wait(int ms);
    // Ends the board after its current send (or its wait for the port).
    void requestStop();

    int index() const { return m_index; }
    const QString &port() const { return m_port; }
    // What the board ended with: outcome, cause, counts, seconds, exit code.
    const events::Result &result() const { return m_result; }
    transfer::Outcome outcome() const { return m_outcome; }
    // The name under which this process had the port's device open already when this board
    // came to open it (one device, one job); empty otherwise.
    const QString &sameDeviceAs() const { return m_sameDeviceAs; }

private:
    void run(bool prefixTrace);
    QString cause(transfer::Outcome outcome) const;

    const int m_index;
    const QString m_port;
    const QByteArray m_rawPort;
    const imagefile::Image *const m_image;
    const int m_waitMs;
    const Hooks m_hooks;
    transfer::Device m_device;
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    QString m_path;
    QString m_notSerial;
    QString m_sameDeviceAs;
    int m_acknowledged = 0;
    int m_percent = 0;
    transfer::Outcome m_outcome = transfer::Outcome::PortBusy;
    events::Result m_result;
};

// The exit code for an outcome: 0 done, 1 not acknowledged, 2 image refused, 3 port not opened.
int exitCode(transfer::Outcome outcome);

} // namespace cli
