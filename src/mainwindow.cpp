#include "mainwindow.h"

#include "fixed.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>

MainWindow::MainWindow()
    : QMainWindow(nullptr)
{
    setFixedSize(Fixed::windowSize);
    setWindowFlags(Qt::FramelessWindowHint);

    process = new QProcess(this);
    connect(process, SIGNAL(readyReadStandardOutput()), this, SLOT(on_readoutput()));
    connect(process, SIGNAL(readyReadStandardError()), this, SLOT(on_readerror()));

    label = new QLabel(this);
    label->setText(Fixed::extractingText);
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(Fixed::labelGeometry);

    progressbar = new QProgressBar(this);
    progressbar->setRange(0, 100);
    progressbar->setGeometry(Fixed::progressGeometry);
    progressbar->setOrientation(Qt::Horizontal);
    progressbar->setValue(1);

    start_update();
}

MainWindow::~MainWindow() = default;
