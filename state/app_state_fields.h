#pragma once

#include <QJsonValue>
#include <QString>

#include <span>

class AppState;

// One row per published field of AppState. Whatever lists the fields (the headless output, the popup
// model's change signal) walks this table, so a new field is added here once.
struct AppStateField {
    QLatin1String name;
    void (AppState::*changed)();
    // The value as printed for scripts; the token is a secret, so only whether one is held.
    QJsonValue (*value)(const AppState&);
};

std::span<const AppStateField> appStateFields();
