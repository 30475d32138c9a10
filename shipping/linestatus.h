#pragma once

#include "shipping/lineconfig.h"
#include "shipping/recordshipper.h"

#include <memory>

class MW;

// Ships the window's run records to the line database of `config`, and says
// in the window's status bar whether they reach it. Nothing when no line
// database is set: the window is as it always was. The station's name goes
// into every record either way.
std::unique_ptr<LineShipping> shipRecords(MW &window, const LineConfig &config);
