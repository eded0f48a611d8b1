#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QMessageBox>
#include <QMutex>
#include <QTimerEvent>

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

} // namespace testsupport
