#pragma once

// SIGTERM, SIGINT and SIGHUP (kill, Ctrl-C, logout or shutdown) end the
// event loop as closing the window does, so the station closes normally and
// logs its last line. Call once, after the application object exists.
void quitOnTerminationSignals();
