// bootloader-cli: the tool's device operations from the command line, for scripts, the bench
// and the production line, and for trying the tool against bootloader-sim.

#include "bootloader_version.h"
#include "commandline.h"
#include "console.h"
#include "describe.h"
#include "events.h"
#include "output.h"
#include "portcheck.h"
#include "stopsignals.h"
#include "uploads.h"

#include <QCoreApplication>

namespace {

int run(const cli::Options &options) {
    const QString &command = options.command;
    if (command == QLatin1String("upload"))
        return cli::runUpload(options);
    if (command == QLatin1String("enter"))
        return cli::runEnter(options);
    if (command == QLatin1String("station"))
        return cli::runStation(options);
    if (command == QLatin1String("ports"))
        return options.operands.isEmpty() ? cli::listPorts(options.json)
                                          : cli::usageError(QStringLiteral("ports takes no "
                                                                           "arguments"));
    if (command == QLatin1String("info")) {
        if (options.operands.size() != 1)
            return cli::usageError(QStringLiteral("info takes FILE only"));
        return cli::describeImage(ports::reachByBytes(options.operands[0],
                                                      options.rawOperands.value(0),
                                                      ports::Reach::Read),
                                  options.operands[0], options.json);
    }
    if (command == QLatin1String("report")) {
        if (options.operands.size() != 1)
            return cli::usageError(QStringLiteral("report takes LOG only"));
        return cli::reportLog(ports::reachByBytes(options.operands[0], options.rawOperands.value(0),
                                                  ports::Reach::Read),
                              options.json);
    }
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
    cli::events::setEnabled(options.json);
    return cli::output::exitCode(run(options));
}
