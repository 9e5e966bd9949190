#pragma once

#include <QStringList>

// Runs without the popup: prints what the program knows as JSON lines on standard output.
int runHeadless(const QStringList& args);
