#pragma once

#include "shipping/lineconfig.h"
#include "shipping/recordshipper.h"

#include <QByteArray>

#include <functional>
#include <memory>

class MW;
class QMainWindow;

// Ships the window's run records to the line database of `config`, and says
// in the window's status bar whether they reach it. Nothing when no line
// database is set: the window is as it always was. The station's name goes
// into every record either way.
std::unique_ptr<LineShipping> shipRecords(MW &window, const LineConfig &config);
// The same for any window that takes a record sink through `setSink`.
using RecordSinkSetter
    = std::function<void(std::function<void(const QByteArray &line, bool journaled)>)>;
std::unique_ptr<LineShipping> shipRecords(QMainWindow &window, const RecordSinkSetter &setSink,
                                          const LineConfig &config);
