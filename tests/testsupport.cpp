#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QMessageBox>
#include <QMutex>
#include <QTimerEvent>

#include <pty.h>
#include <unistd.h>

namespace testsupport {

namespace {

QMutex logMutex;
QList<LogCapture::Entry> logEntries;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    QMutexLocker lock(&logMutex);
    const bool hasContext = context.file || context.line || context.function;
    logEntries.append(
        {type, QString::fromLatin1(context.category ? context.category : ""), text, hasContext});
}

} // namespace

LogCapture::LogCapture() {
    QMutexLocker lock(&logMutex);
    logEntries.clear();
    m_previous = qInstallMessageHandler(recordMessage);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(m_previous);
}

QList<LogCapture::Entry> LogCapture::entries() const {
    QMutexLocker lock(&logMutex);
    return logEntries;
}

QStringList LogCapture::debugLines() const {
    QStringList lines;
    const auto all = entries();
    for (const Entry &entry : all) {
        if (entry.type == QtDebugMsg && entry.category == QLatin1String("default"))
            lines.append(entry.text);
    }
    return lines;
}

ModalCatcher::ModalCatcher() {
    m_timer = startTimer(10);
}

ModalCatcher::~ModalCatcher() {
    killTimer(m_timer);
}

void ModalCatcher::timerEvent(QTimerEvent *event) {
    if (event->timerId() == m_timer)
        poll();
}

void ModalCatcher::poll() {
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        Box seen{box->windowTitle(), box->text(), box->icon() == QMessageBox::Critical,
                 int(box->buttons().size()), QString()};
        if (whileOpen)
            seen.note = whileOpen();
        m_boxes.append(seen);
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
        if (onDialog)
            onDialog(dialog);
        else
            dialog->reject();
    }
}

QString TempFiles::write(const QString &name, const QByteArray &contents) {
    const QString filePath = m_dir.filePath(name);
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return QString();
    return filePath;
}

TerminalPair::TerminalPair() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_path = QString::fromLocal8Bit(name);
}

TerminalPair::~TerminalPair() {
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

transfer::Timing quickTiming() {
    transfer::Timing timing;
    timing.recordReplyWindow = std::chrono::milliseconds(150);
    timing.latencyGrace = std::chrono::milliseconds(20);
    timing.recordPause = std::chrono::milliseconds(5);
    timing.commandReplyWindow = std::chrono::milliseconds(100);
    timing.leaveGrace = std::chrono::milliseconds(300);
    return timing;
}

} // namespace testsupport
