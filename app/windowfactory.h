#pragma once

#include "app/startup.h"

#include <QWidget>

#include <memory>

// Creates the first window of the program, without parent.
std::unique_ptr<QWidget> createFirstWindow(Startup::FirstWindow which);
