#pragma once

#include "protocol.h"

#include <QMainWindow>

namespace transfer {
enum class Outcome;
}

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The time-outs of the device operations: the tool's own unless a test shortens them.
    void setTiming(const transfer::Timing &timing) { m_timing = timing; }

private slots:
    void on_pbFile_clicked();
    void on_pbLoad_clicked();
    void on_pbLoadBootLoader_clicked();

private:
    void showOutcome(transfer::Outcome outcome);

    Ui::MainWindow *ui;
    transfer::Timing m_timing;
};
