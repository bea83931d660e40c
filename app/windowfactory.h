#pragma once

#include "app/startup.h"

#include <QWidget>

#include <memory>

// Before the application object: on Windows, Qt scales the windows to the
// display's DPI (125 %, 150 %, ... as set, not rounded to whole steps) and
// draws icons sharp there. Other systems keep their unscaled look.
void enableHighDpiScaling();

// Creates the first window of the program, without parent.
std::unique_ptr<QWidget> createFirstWindow(Startup::FirstWindow which);
