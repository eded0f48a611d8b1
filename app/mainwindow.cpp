#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "device.h"
#include "messages.h"

#include <QFileDialog>
#include <QIcon>
#include <QMessageBox>
#include <QSerialPortInfo>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow) {
    ui->setupUi(this);

    // The port list is taken once, at start-up.
    ui->cbPort->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        ui->cbPort->insertItem(ui->cbPort->count(), QIcon(), info.portName());
}

MainWindow::~MainWindow() {
    delete ui;
}

void MainWindow::on_pbFile_clicked() {
    const QString path = QFileDialog::getOpenFileName(this, tr("Open binary file"), "./",
                                                      tr("Binary Files (*.bin)"));
    ui->leFile->setText(path);
}

void MainWindow::on_pbLoad_clicked() {
    transfer::Device device;
    device.setTiming(m_timing);
    connect(&device, &transfer::Device::progressChanged, ui->progressBar, &QProgressBar::setValue);
    connect(&device, &transfer::Device::reported, this, &MainWindow::showOutcome);
    device.upload(ui->leFile->text(), ui->cbPort->currentText());
}

void MainWindow::on_pbLoadBootLoader_clicked() {
    transfer::Device device;
    device.setTiming(m_timing);
    connect(&device, &transfer::Device::reported, this, &MainWindow::showOutcome);
    device.enterBootloader(ui->cbPort->currentText());
}

void MainWindow::showOutcome(transfer::Outcome outcome) {
    const auto text = [&](const char *source) {
        return transfer::isTranslated(outcome) ? tr(source) : QString::fromLatin1(source);
    };
    const QString title = text(transfer::titleText(outcome));
    const QString message = text(transfer::messageText(outcome));
    if (transfer::isSuccess(outcome))
        QMessageBox::information(this, title, message);
    else
        QMessageBox::critical(this, title, message);
}
