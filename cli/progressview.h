#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

// Upload progress on stderr. On a terminal, each port has a line redrawn in place (one port: a
// bar redrawn with '\r'; several: a block of lines, with other text printed above it).
// Otherwise each event is a line, beginning with the port's name when there are several ports.
// All calls may come from any thread.
namespace cli {

class ProgressView {
public:
    // ports: the names to show, in order. recordEnds: the bytes sent once each record is
    // acknowledged, for the rate and the time left.
    ProgressView(const QStringList &ports, const QList<qint64> &recordEnds, bool terminal);
    ~ProgressView();
    ProgressView(const ProgressView &) = delete;
    ProgressView &operator=(const ProgressView &) = delete;

    void started(int port);
    void acknowledged(int port, int done, int total, int percent);
    // Ends the lines in place, so that what follows starts on a line of its own.
    void finish();

private:
    struct Line {
        QElapsedTimer clock;
        int done = 0;
        int total = 0;
        int percent = 0;
        double finishedSeconds = -1; // kept once the last record is in, so the rate stays
    };
    QString barText(int port) const;
    void draw(bool force);
    void printAbove(const QString &text);

    QStringList m_ports;
    QList<qint64> m_recordEnds;
    QList<Line> m_lines;
    bool m_terminal;
    bool m_drawn = false;
    bool m_finished = false;
    QElapsedTimer m_sinceDraw;
};

} // namespace cli
