// bootloader-cli: the tool's device operations from the command line, for scripts and for
// trying the tool against bootloader-sim.

#include "bootloader_version.h"
#include "device.h"
#include "messages.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSerialPortInfo>

#include <cstdio>
#include <unistd.h>

namespace {

// The exit codes, as listed in the help text.
enum ExitCode {
    kDone = 0,
    kNotAcknowledged = 1,
    kImageRefused = 2,
    kPortNotOpened = 3,
    kUsage = 64,
};

const char *const kDescription =
    "Loads firmware into a device over a serial port, as the Bootloader window does.\n"
    "\n"
    "Commands:\n"
    "  upload PORT FILE  Sends the records of the image FILE to the device on PORT.\n"
    "  enter PORT        Asks the device on PORT to switch into its bootloader mode.\n"
    "  ports             Lists the serial ports present: short name and location.\n"
    "\n"
    "PORT is a short name from 'ports' (such as ttyUSB0) or a full path (such as /dev/pts/3).\n"
    "Progress goes to stderr, as a bar on a terminal and as one line per record otherwise.\n"
    "\n"
    "Exit codes:\n"
    "  0   done\n"
    "  1   the device did not acknowledge the image, or did not confirm the bootloader mode\n"
    "  2   the image was refused: it cannot be read, is empty, or holds no record\n"
    "  3   the port cannot be opened\n"
    "  64  bad arguments";

const char *const kUsageText =
    "Usage: bootloader-cli [-v | -q] upload PORT FILE | enter PORT | ports\n"
    "Try 'bootloader-cli --help' for more.\n";

enum class Verbosity { Quiet, Normal, Verbose };
Verbosity verbosity = Verbosity::Normal;

void printLine(const QString &text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// The transfer code's debug trace shows with -v only; its warnings always do.
void handleMessage(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if ((type == QtDebugMsg || type == QtInfoMsg) && verbosity != Verbosity::Verbose)
        return;
    printLine(text);
}

// The parser's help, with the program's name in its usage line rather than the path it was
// started by.
QString helpText(const QCommandLineParser &parser) {
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')),
                 QStringLiteral("Usage: bootloader-cli [options] command [arguments]"));
    return text;
}

int usageError(const QString &error) {
    printLine(QStringLiteral("bootloader-cli: %1").arg(error));
    std::fputs(kUsageText, stderr);
    return kUsage;
}

int exitCode(transfer::Outcome outcome) {
    switch (outcome) {
    case transfer::Outcome::FirmwareLoaded:
    case transfer::Outcome::BootloaderEntered:
        return kDone;
    case transfer::Outcome::FileNotOpen:
    case transfer::Outcome::FileEmpty:
    case transfer::Outcome::FirmwareNotFound:
        return kImageRefused;
    case transfer::Outcome::PortBusy:
        return kPortNotOpened;
    case transfer::Outcome::FirmwareNotLoaded:
    case transfer::Outcome::BootloaderNotEntered:
        break;
    }
    return kNotAcknowledged;
}

// Says the outcome in the window's words; a success only when not quiet.
void reportOutcome(transfer::Outcome outcome) {
    if (verbosity == Verbosity::Quiet && transfer::isSuccess(outcome))
        return;
    const char *source = transfer::messageText(outcome);
    printLine(transfer::isTranslated(outcome)
                  ? QCoreApplication::translate(transfer::kTextContext, source)
                  : QString::fromLatin1(source));
}

// Upload progress on stderr: a bar redrawn in place on a terminal, a line per record otherwise.
class ProgressView {
public:
    explicit ProgressView(bool bar)
        : m_bar(bar) {}

    // Redraws only for the final 100%: each record's share is drawn with its count, below.
    void setPercent(int percent) {
        const bool final = percent != m_percent && m_total > 0 && m_done == m_total;
        m_percent = percent;
        if (final && m_bar)
            draw();
    }
    void recordAcknowledged(int done, int total) {
        m_done = done;
        m_total = total;
        if (m_bar)
            draw();
        else
            std::fprintf(stderr, "record %d/%d acknowledged (%d%%)\n", done, total, m_percent);
    }
    // Ends the bar's line, so that what follows starts on a line of its own.
    void finish() {
        if (m_drawn)
            std::fputc('\n', stderr);
        m_drawn = false;
    }

private:
    void draw() {
        constexpr int kWidth = 30;
        const int filled = m_percent * kWidth / 100;
        const QByteArray bar = QByteArray(filled, '#') + QByteArray(kWidth - filled, '.');
        std::fprintf(stderr, "\r[%s] %3d%%  %d/%d records", bar.constData(), m_percent, m_done,
                     m_total);
        std::fflush(stderr);
        m_drawn = true;
    }

    bool m_bar;
    bool m_drawn = false;
    int m_percent = 0;
    int m_done = 0;
    int m_total = 0;
};

int upload(const QString &port, const QString &image) {
    transfer::Device device;
    const bool showProgress = verbosity != Verbosity::Quiet;
    // The trace would break into a bar drawn in place, so -v always gets plain lines.
    ProgressView progress(verbosity == Verbosity::Normal && ::isatty(STDERR_FILENO));
    if (showProgress) {
        printLine(QStringLiteral("Uploading %1 to %2").arg(image, port));
        QObject::connect(&device, &transfer::Device::progressChanged,
                         [&](int percent) { progress.setPercent(percent); });
        QObject::connect(&device, &transfer::Device::recordAcknowledged,
                         [&](int done, int total) { progress.recordAcknowledged(done, total); });
    }
    QObject::connect(&device, &transfer::Device::reported, [&](transfer::Outcome outcome) {
        progress.finish();
        reportOutcome(outcome);
    });
    return exitCode(device.upload(image, port));
}

int enterBootloader(const QString &port) {
    transfer::Device device;
    QObject::connect(&device, &transfer::Device::reported, &reportOutcome);
    return exitCode(device.enterBootloader(port));
}

int listPorts() {
    const auto ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty() && verbosity != Verbosity::Quiet)
        printLine(QStringLiteral("No serial ports found"));
    for (const QSerialPortInfo &info : ports) {
        QString line = QStringLiteral("%1\t%2").arg(info.portName(), info.systemLocation());
        if (!info.description().isEmpty())
            line += QLatin1Char('\t') + info.description();
        std::printf("%s\n", line.toLocal8Bit().constData());
    }
    return kDone;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bootloader-cli"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(bootloader::kVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    // Not addHelpOption(): its --help-all lists Qt's own options, which mean nothing here.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    // Not addVersionOption(): its -v is taken by --verbose here.
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Displays version information."));
    const QCommandLineOption verbose(
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Shows the debug trace: records sent, replies refused, sends left."));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Prints errors only."));
    parser.addOptions({help, version, verbose, quiet});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("upload, enter or ports, as above."),
                                 QStringLiteral("command [arguments]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(helpText(parser).toLocal8Bit().constData(), stdout);
        return kDone;
    }
    if (parser.isSet(version)) {
        std::printf("bootloader-cli %s\n", bootloader::kVersion);
        return kDone;
    }
    if (parser.isSet(verbose) && parser.isSet(quiet))
        return usageError(QStringLiteral("-v and -q cannot be given together"));
    verbosity = parser.isSet(quiet)     ? Verbosity::Quiet
                : parser.isSet(verbose) ? Verbosity::Verbose
                                        : Verbosity::Normal;
    qInstallMessageHandler(handleMessage);

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = args.first();
    const QStringList operands = args.mid(1);
    const auto wrongCount = [&](const char *needs) {
        return usageError(QStringLiteral("%1 takes %2").arg(command, QLatin1String(needs)));
    };
    if (command == QLatin1String("upload"))
        return operands.size() == 2 ? upload(operands[0], operands[1])
                                    : wrongCount("PORT and FILE");
    if (command == QLatin1String("enter"))
        return operands.size() == 1 ? enterBootloader(operands[0]) : wrongCount("PORT only");
    if (command == QLatin1String("ports"))
        return operands.isEmpty() ? listPorts() : wrongCount("no arguments");
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
