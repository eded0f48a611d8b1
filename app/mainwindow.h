#pragma once

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

private slots:
    void on_pbFile_clicked();
    void on_pbLoad_clicked();
    void on_pbLoadBootLoader_clicked();

private:
    void showOutcome(transfer::Outcome outcome);

    Ui::MainWindow *ui;
};
