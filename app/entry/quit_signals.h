#pragma once

// SIGINT and SIGTERM, caught from the first call on, reach the event loop as data on a socket: a
// signal that comes before anything listens waits there.
namespace QuitSignals {

// Starts catching them (once; later calls change nothing). False where no socket could be made: the
// signals then keep their default action.
bool catchThem();
// What to watch for reading; -1 unless catching.
int descriptor();
// Takes one caught signal off the socket.
void takeOne();

} // namespace QuitSignals
