#include "progressview.h"

#include "console.h"

namespace cli {

namespace {

QString rateText(double bytesPerSecond) {
    if (bytesPerSecond >= 1000)
        return QStringLiteral("%1 kB/s").arg(bytesPerSecond / 1000, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(int(bytesPerSecond));
}

QString durationText(double seconds) {
    const int whole = int(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ProgressView::ProgressView(const QStringList &ports, const QList<qint64> &recordEnds, bool terminal)
    : m_ports(ports)
    , m_recordEnds(recordEnds)
    , m_terminal(terminal) {
    for (int i = 0; i < ports.size(); ++i)
        m_lines.append(Line());
    if (m_terminal)
        console::setLineSink([this](const QString &text) { printAbove(text); });
}

ProgressView::~ProgressView() {
    finish();
}

void ProgressView::started(int port) {
    console::locked([&] {
        m_lines[port].clock.start();
        m_lines[port].total = m_recordEnds.size();
        if (m_terminal && m_ports.size() > 1)
            draw(true);
    });
}

void ProgressView::acknowledged(int port, int done, int total, int percent) {
    console::locked([&] {
        Line &line = m_lines[port];
        line.done = done;
        line.total = total;
        line.percent = percent;
        if (done == total && line.clock.isValid())
            line.finishedSeconds = line.clock.nsecsElapsed() / 1e9;
        if (m_terminal) {
            draw(done == total || m_ports.size() == 1);
            return;
        }
        QString text =
            QStringLiteral("record %1/%2 acknowledged (%3%)").arg(done).arg(total).arg(percent);
        if (m_ports.size() > 1)
            text = m_ports.at(port) + QStringLiteral(": ") + text;
        console::line(text, output::Kind::Progress);
    });
}

void ProgressView::finish() {
    console::locked([&] {
        if (m_finished)
            return;
        m_finished = true;
        if (m_terminal) {
            if (m_ports.size() > 1)
                draw(true);
            console::setLineSink(nullptr);
            if (m_drawn && m_ports.size() == 1)
                console::raw("\n");
        }
        m_drawn = false;
    });
}

QString ProgressView::barText(int port) const {
    const Line &line = m_lines.at(port);
    constexpr int kWidth = 30;
    const int filled = line.percent * kWidth / 100;
    QString text =
        QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
        QString(kWidth - filled, QLatin1Char('.')) + QLatin1Char(']') +
        QStringLiteral(" %1%  %2/%3 records").arg(line.percent, 3).arg(line.done).arg(line.total);
    const double seconds = line.finishedSeconds >= 0 ? line.finishedSeconds
                           : line.clock.isValid()    ? line.clock.nsecsElapsed() / 1e9
                                                     : 0;
    if (line.done > 0 && seconds > 0) {
        const qint64 sent = m_recordEnds.value(line.done - 1);
        const qint64 all = m_recordEnds.isEmpty() ? 0 : m_recordEnds.last();
        const double rate = sent / seconds;
        text += QStringLiteral("  ") + rateText(rate);
        if (line.done < line.total && rate > 0)
            text +=
                QStringLiteral("  ") + durationText((all - sent) / rate) + QStringLiteral(" left");
        else if (line.done == line.total)
            text += QStringLiteral("  ") + durationText(seconds);
    }
    return text;
}

void ProgressView::draw(bool force) {
    if (!force && m_sinceDraw.isValid() && m_sinceDraw.elapsed() < 100)
        return;
    m_sinceDraw.start();
    // A redraw may be left out when stderr's reader falls behind: each leaves the cursor where
    // the one before it did. The block of several ports drawn the first time may not.
    const output::Kind kind =
        m_drawn || m_ports.size() == 1 ? output::Kind::Progress : output::Kind::Kept;
    QByteArray out;
    if (m_ports.size() == 1) {
        out = "\r" + barText(0).toLocal8Bit() + "\x1b[K";
    } else {
        if (m_drawn)
            out = "\x1b[" + QByteArray::number(m_ports.size()) + "A";
        int width = 0;
        for (const QString &port : m_ports)
            width = qMax(width, port.size());
        for (int i = 0; i < m_ports.size(); ++i)
            out += "\r\x1b[K" + m_ports.at(i).leftJustified(width).toLocal8Bit() + "  " +
                   barText(i).toLocal8Bit() + "\n";
    }
    m_drawn = true;
    console::raw(out, kind);
}

// Called with the console's lock held.
void ProgressView::printAbove(const QString &text) {
    QByteArray out;
    if (m_drawn) {
        if (m_ports.size() == 1)
            out = "\n";
        else
            out = "\x1b[" + QByteArray::number(m_ports.size()) + "A\r\x1b[J";
    }
    console::raw(out + text.toLocal8Bit() + "\n");
    const bool wasDrawn = m_drawn;
    m_drawn = false;
    if (wasDrawn && m_ports.size() > 1)
        draw(true);
}

} // namespace cli
