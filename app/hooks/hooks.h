#pragma once

#include <QElapsedTimer>
#include <QStringList>

#include <memory>

class DemoLink;
class Measure;
class TrayShell;
class VpnFacility;

// What the benchmarks and the demo add to a running program, kept out of its own rooms: the
// measurement the benchmarks ask for on the command line (measure.h) and, in the demo only, the
// tunnel's state told to the stand-in service (demo_link.h). Made once the shell has launched, and
// gone before the shell is.
class Hooks {
public:
    // Whether args ask for a measurement (then main() leaves any running copy alone).
    static bool measuring(const QStringList& args);
    // Starts the measurement args ask for, which ends the program when done, and the demo's report.
    // sinceStart runs from the start of main().
    Hooks(TrayShell& shell, VpnFacility& facility, const QStringList& args, QElapsedTimer sinceStart);
    ~Hooks();

private:
    std::unique_ptr<Measure> m_measure;
    std::unique_ptr<DemoLink> m_demoLink;
};
