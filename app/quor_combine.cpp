#include "app/quor_combine.h"

quor_combine::quor_combine(QWidget *parent) : QWidget(parent) {}
