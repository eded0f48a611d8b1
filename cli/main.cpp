// bootloader-cli: the tool's device operations from the command line, for scripts, the bench
// and the production line, and for trying the tool against bootloader-sim.

#include "bootloader_version.h"
#include "commandline.h"
#include "console.h"
#include "events.h"
#include "firmwareimage.h"
#include "forwarder.h"
#include "output.h"
#include "portcheck.h"
#include "ports.h"
#include "resultlog.h"
#include "slots.h"
#include "stopsignals.h"
#include "uploads.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

bool stopped() {
    return jobs::stopsignals::requestedExitCode() != 0;
}

int listPorts(bool json) {
    const ports::PortList all = ports::enumerate();
    if (all.isEmpty() && !json && cli::console::verbosity() != cli::Verbosity::Quiet)
        cli::console::line(QStringLiteral("No serial ports found"));
    for (const ports::PortInfo &port : all) {
        if (!cli::output::toStdout(ports::describe(port, json) + '\n'))
            break;
    }
    return cli::kDone;
}

int describeImage(const QString &path, const QString &shown, bool json) {
    const transfer::LoadedImage image = transfer::scanImage(path);
    if (image.refusal) {
        cli::console::line(transfer::outcomeText(*image.refusal));
        cli::console::line(transfer::imageRefusal(image.cause, shown).text());
        return cli::kImageRefused;
    }
    cli::output::toStdout(transfer::describeImage(image.summary, shown, json));
    if (image.summary.unclosed > 0)
        cli::console::line(QStringLiteral("warning: %1 ends in a '{' that is never closed; its "
                                          "last %2 bytes will not be sent")
                               .arg(shown, QString::number(image.summary.unclosed)));
    return cli::kDone;
}

int reportLog(const QString &path, const cli::Options &options) {
    resultlog::Report report;
    QString error;
    // A postgresql:// URL: the boards a database holds, as forward stored them.
    const bool plant = !options.forward.to.shown.isEmpty();
    // The CSV marks each board's slot as the summary of the same range does: the boards are
    // read twice.
    const bool read =
        plant ? forward::summarize(options.forward.to, options.selection, &report, &error) &&
                    (!options.csv || forward::writeCsv(options.forward.to, options.selection,
                                                       cli::output::toStdout, &error, &report))
              : resultlog::summarize(path, &report, &error, stopped, {options.from, options.to}) &&
                    (!options.csv ||
                     resultlog::writeCsv(path, cli::output::toStdout, &error, stopped, &report));
    if (!read) {
        if (stopped())
            return jobs::stopsignals::requestedExitCode();
        cli::console::line(
            plant ? QStringLiteral("bootloader-cli: cannot read the database %1").arg(error)
                  : QStringLiteral("bootloader-cli: cannot read the log %1: %2").arg(path, error));
        return cli::kOutputLost;
    }
    if (options.json)
        cli::output::toStdout(
            QJsonDocument(resultlog::reportJson(report)).toJson(QJsonDocument::Compact) + '\n');
    else if (!options.csv)
        cli::output::toStdout(resultlog::reportText(report).toLocal8Bit() + '\n');
    return cli::kDone;
}

// Appends a slot to the slots file at path for each port that appears, until stopped: a stop is
// how it ends, with exit 0.
int addSlots(const QString &path) {
    jobs::SlotsFile file;
    QString error;
    const jobs::SlotsFile::Failure failure = file.open(path, &error);
    if (failure == jobs::SlotsFile::Failure::Refused)
        return cli::usageError(error);
    if (failure == jobs::SlotsFile::Failure::None &&
        cli::console::verbosity() != cli::Verbosity::Quiet)
        cli::console::line(QStringLiteral("Slots: adding 'Slot N = PORT' to %1 for each serial "
                                          "port that appears (%2 in it already); stop with "
                                          "Ctrl-C")
                               .arg(path, QString::number(file.ports().size())));
    ports::NewPorts appearing(file.ports());
    while (failure == jobs::SlotsFile::Failure::None && !stopped()) {
        for (const QString &name : appearing.wait(500, jobs::stopsignals::wakeDescriptor())) {
            const QString slot = file.append(name, &error);
            if (!error.isEmpty())
                break;
            // Added by hand, or by an earlier run, meanwhile.
            if (slot.isEmpty())
                cli::console::line(QStringLiteral("%1: in %2 already").arg(name, path));
            else
                cli::console::line(QStringLiteral("added ") + slot);
        }
        if (!error.isEmpty())
            break;
    }
    if (error.isEmpty())
        return cli::kDone;
    cli::console::line(QStringLiteral("bootloader-cli: ") + error);
    return cli::kOutputLost;
}

// forward: the database work on a thread of its own, so that a stop ends the command within a
// second even while a connection is tried or a batch is written (the database rolls a batch
// back that was not committed, and the place goes with it).
int forwardLog(const cli::Options &options) {
    const auto say = [](const QString &text) {
        cli::console::line(QStringLiteral("bootloader-cli: forward: ") + text);
    };
    if (options.init)
        return forward::init(options.forward.to, say) == forward::Outcome::Done ? cli::kDone
                                                                                : cli::kOutputLost;
    forward::Settings settings = options.forward;
    settings.log =
        ports::reachByBytes(options.operands[0], options.rawOperands.value(0), ports::Reach::Read);
    std::atomic<int> code{-1};
    std::thread worker([&code, settings, say] {
        const forward::Outcome outcome = forward::run(settings, stopped, say);
        code = outcome == forward::Outcome::Failed ? cli::kOutputLost : cli::kDone;
    });
    while (code < 0 && !stopped())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int waited = 0; code < 0 && waited < 800; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (code < 0) {
        // Still in a call to the database: the process ends around it, with what was queued
        // for the output written.
        worker.detach();
        std::_Exit(cli::output::exitCode(jobs::stopsignals::requestedExitCode()));
    }
    worker.join();
    return stopped() ? jobs::stopsignals::requestedExitCode() : int(code);
}

int run(const cli::Options &options) {
    const QString &command = options.command;
    if (command == QLatin1String("upload"))
        return cli::runUpload(options);
    if (command == QLatin1String("enter"))
        return cli::runEnter(options);
    if (command == QLatin1String("station"))
        return cli::runStation(options);
    if (command == QLatin1String("ports"))
        return options.operands.isEmpty() ? listPorts(options.json)
                                          : cli::usageError(QStringLiteral("ports takes no "
                                                                           "arguments"));
    const auto reached = [&options] {
        return ports::reachByBytes(options.operands[0], options.rawOperands.value(0),
                                   ports::Reach::Read);
    };
    if (command == QLatin1String("info"))
        return options.operands.size() != 1
                   ? cli::usageError(QStringLiteral("info takes FILE only"))
                   : describeImage(reached(), options.operands[0], options.json);
    if (command == QLatin1String("report"))
        return options.operands.size() != 1
                   ? cli::usageError(QStringLiteral("report takes LOG only"))
                   : reportLog(reached(), options);
    if (command == QLatin1String("forward"))
        return forwardLog(options);
    if (command == QLatin1String("slots"))
        return options.operands.size() != 1
                   ? cli::usageError(QStringLiteral("slots takes FILE only"))
                   : addSlots(
                         ports::reachByBytes(options.operands[0], options.rawOperands.value(0)));
    return cli::usageError(QStringLiteral("unknown command '%1'").arg(command));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bootloader-cli"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(bootloader::kVersion));

    cli::Options options;
    jobs::stopsignals::install();
    if (const std::optional<int> done = cli::parseCommandLine(argc, argv, &options))
        return cli::output::exitCode(*done);
#ifdef BOOTLOADER_CLI_SHORT_TIMING
    // The test suite's build (never installed): short reply windows, so that a device that
    // leaves sends unanswered costs a test little; the counts of sends stay the tool's own.
    options.run.timing.recordReplyWindow = std::chrono::milliseconds(300);
    options.run.timing.latencyGrace = std::chrono::milliseconds(50);
    options.run.timing.recordPause = std::chrono::milliseconds(10);
    options.run.timing.commandReplyWindow = std::chrono::milliseconds(200);
    options.run.timing.leaveGrace = std::chrono::milliseconds(500);
#endif
    cli::console::installMessageHandler();
    cli::events::setEnabled(options.json, !options.run.slotList.empty());
    cli::events::setProgress(!options.noProgress);
    return cli::output::exitCode(run(options));
}
