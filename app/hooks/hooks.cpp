#include "app/hooks/hooks.h"

#include "app/hooks/demo_link.h"
#include "app/hooks/measure.h"
#include "app/tray/tray_shell.h"

#include <QCoreApplication>

bool Hooks::measuring(const QStringList& args) { return Measure::fromArguments(args).active; }

Hooks::Hooks(TrayShell& shell, VpnFacility& facility, const QStringList& args, QElapsedTimer sinceStart)
    : m_demoLink(DemoLink::ifDemo(facility)) {
    const Measure::Plan plan = Measure::fromArguments(args);
    if (!plan.active) return;
    m_measure = std::make_unique<Measure>(
        plan,
        [&shell] {
            shell.showPanel();
            return shell.panel();
        },
        [&shell] { shell.closePanel(); }, sinceStart);
    QObject::connect(&shell, &TrayShell::releasing, m_measure.get(), &Measure::releasing);
    QObject::connect(&shell, &TrayShell::released, m_measure.get(), &Measure::released);
    QObject::connect(m_measure.get(), &Measure::done, QCoreApplication::instance(),
                     [] { QCoreApplication::exit(0); });
    m_measure->begin();
}

Hooks::~Hooks() = default;
