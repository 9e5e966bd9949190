#include "app/headless.h"

#include "api/endpoints.h"
#include "platform/defaults_keys.h"
#include "platform/defaults_store.h"
#include "state/app_state.h"
#include "update/updater.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>

#include <qcoro/qcorotask.h>

#include <cstdio>

namespace {

void emitLine(const QJsonObject& o) {
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

QJsonValue optionalText(const std::optional<QString>& v) { return v ? QJsonValue(*v) : QJsonValue(); }

QJsonObject stateSnapshot(const AppState& s) {
    return {{QStringLiteral("signedIn"), s.token().has_value()},
            {QStringLiteral("email"), s.email()},
            {QStringLiteral("plan"), s.plan()},
            {QStringLiteral("activeServerId"), optionalText(s.activeServerId())}};
}

QCoro::Task<int> run(QStringList args) {
    AppState state(DefaultsStore::shared());
    emitLine({{QStringLiteral("state"), stateSnapshot(state)}});

    const qsizetype loginAt = args.indexOf(QStringLiteral("--login"));
    if (loginAt >= 0 && loginAt + 1 < args.size()) {
        QTextStream in(stdin);
        const QString password = in.readLine();
        Result<LoginResponse> login = co_await API::login(args.at(loginAt + 1), password);
        if (!login) {
            emitLine({{QStringLiteral("error"), login.error().description()}});
            co_return 1;
        }
        DefaultsStore& store = DefaultsStore::shared();
        (void)store.setString(DefaultsKeys::token, login->token);
        (void)store.setString(DefaultsKeys::email, login->user.email);
        (void)store.setString(DefaultsKeys::plan, login->user.plan.value_or(QStringLiteral("FREE")));
        emitLine({{QStringLiteral("user"), login->user.toJson()}});
    }

    Result<ServersResponse> servers = co_await API::servers();
    if (servers)
        emitLine({{QStringLiteral("servers"), servers->toJson().value(QStringLiteral("servers"))}});
    else
        emitLine({{QStringLiteral("error"), servers.error().description()}});

    const std::optional<PublicGeo> geo = co_await API::publicGeo();
    emitLine({{QStringLiteral("geo"), geo ? QJsonValue(geo->toJson()) : QJsonValue()}});

    const std::optional<Updater::Info> update = co_await Updater::check();
    emitLine({{QStringLiteral("update"), update ? QJsonValue(update->toJson()) : QJsonValue()}});
    co_return servers ? 0 : 1;
}

} // namespace

int runHeadless(const QStringList& args) {
    int code = 0;
    auto task = [&]() -> QCoro::Task<> {
        code = co_await run(args);
        QCoreApplication::exit(code);
    };
    auto t = task();
    if (!t.isReady()) QCoreApplication::exec();
    return code;
}
