#pragma once

// SIGTERM, SIGINT and SIGHUP (kill, Ctrl-C, logout or shutdown) end the
// event loop as closing the window does, so the station closes normally and
// logs its last line. Call once, after the application object exists.
void quitOnTerminationSignals();

// Whether such a signal came before the event loop ran: then there is no
// loop to end, and the program must not start one.
bool terminationRequested();
