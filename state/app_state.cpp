#include "state/app_state.h"

#include "platform/defaults_keys.h"
#include "platform/defaults_store.h"

AppState::AppState(DefaultsStore& store, QObject* parent)
    : QObject(parent), m_store(store), m_token(store.string(DefaultsKeys::token)),
      m_email(store.string(DefaultsKeys::email).value_or(QString())),
      m_plan(store.string(DefaultsKeys::plan).value_or(QStringLiteral("FREE"))),
      m_activeServerId(store.string(DefaultsKeys::server)) {}

QVariantList AppState::serversValue() const {
    QVariantList out;
    out.reserve(m_servers.size());
    for (const Server& s : m_servers) out.append(QVariant::fromValue(s));
    return out;
}
