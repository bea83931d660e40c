#include "quorDownload/quorDownloadToolUI.h"

quorDownloadToolUI::quorDownloadToolUI(QWidget *parent) : QMainWindow(parent) {}
