#include "state/app_state_fields.h"

#include "state/app_state.h"

#include <QJsonArray>
#include <QMetaEnum>

namespace {

QJsonValue text(const std::optional<QString>& v) { return v ? QJsonValue(*v) : QJsonValue(); }

template <class T> QJsonValue record(const std::optional<T>& v) {
    return v ? QJsonValue(v->toJson()) : QJsonValue();
}

QJsonValue servers(const AppState& s) {
    QJsonArray a;
    for (const Server& server : s.servers()) a.append(server.toJson());
    return a;
}

QJsonValue statusName(const AppState& s) {
    return QString::fromLatin1(QMetaEnum::fromType<Connection::Status>().valueToKey(int(s.status())));
}

const AppStateField fields[] = {
    {QLatin1String("token"), &AppState::tokenChanged,
     [](const AppState& s) { return QJsonValue(s.signedIn()); }},
    {QLatin1String("email"), &AppState::emailChanged,
     [](const AppState& s) { return QJsonValue(s.email()); }},
    {QLatin1String("plan"), &AppState::planChanged, [](const AppState& s) { return QJsonValue(s.plan()); }},
    {QLatin1String("servers"), &AppState::serversChanged, servers},
    {QLatin1String("status"), &AppState::statusChanged, statusName},
    {QLatin1String("errorMessage"), &AppState::errorMessageChanged,
     [](const AppState& s) { return text(s.errorMessage()); }},
    {QLatin1String("originalIp"), &AppState::originalIpChanged,
     [](const AppState& s) { return text(s.originalIp()); }},
    {QLatin1String("originalPlace"), &AppState::originalPlaceChanged,
     [](const AppState& s) { return text(s.originalPlace()); }},
    {QLatin1String("exitIp"), &AppState::exitIpChanged, [](const AppState& s) { return text(s.exitIp()); }},
    {QLatin1String("activeServerId"), &AppState::activeServerIdChanged,
     [](const AppState& s) { return text(s.activeServerId()); }},
    {QLatin1String("busy"), &AppState::busyChanged, [](const AppState& s) { return QJsonValue(s.busy()); }},
    {QLatin1String("updateInfo"), &AppState::updateInfoChanged,
     [](const AppState& s) { return record(s.updateInfo()); }},
    {QLatin1String("updating"), &AppState::updatingChanged,
     [](const AppState& s) { return QJsonValue(s.updating()); }},
    {QLatin1String("notice"), &AppState::noticeChanged, [](const AppState& s) { return record(s.notice()); }},
    {QLatin1String("waitingForKeychain"), &AppState::waitingForKeychainChanged,
     [](const AppState& s) { return QJsonValue(s.waitingForKeychain()); }},
};

} // namespace

std::span<const AppStateField> appStateFields() { return fields; }
