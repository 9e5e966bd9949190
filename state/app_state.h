#pragma once

#include "api/records.h"
#include "state/connection_status.h"
#include "update/updater.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class Clock;
class ClockTimer;
class DefaultsStore;
class Keychain;
class VpnFacility;

// What the state core reaches outside itself; empty members take the process-wide defaults.
struct AppStateEnvironment {
    Clock* clock = nullptr;
    VpnFacility* facility = nullptr;
    Keychain* keychain = nullptr;
    std::function<void(const QUrl&)> openUrl;
    std::function<QCoro::Task<Result<void>>(Updater::Info)> installUpdate;
    // Off for tests that look at the fields alone.
    bool startWork = true;
};

// The one observable object behind the popup. Every published field notifies on every assignment,
// equal value or not: objectWillChange() first, then the field's own signal.
class AppState : public QObject {
    Q_OBJECT

public:
    using Environment = AppStateEnvironment;

    // Restores the sign-in state from the store (a stored empty text is kept; only a missing key
    // falls back), then starts the start-up work without waiting for it.
    explicit AppState(DefaultsStore& store, Environment env = Environment{}, QObject* parent = nullptr);
    ~AppState() override;

    // Operations. None fails to its caller: outcomes show in the fields.
    QCoro::Task<> login(QString email, QString password);
    void logout();
    QCoro::Task<> loadServers();
    std::optional<Server> bestServer() const;
    std::optional<Server> activeServer() const;
    QCoro::Task<> toggle();
    QCoro::Task<> connect(Server server);
    QCoro::Task<> refreshIps();
    QCoro::Task<> refreshNotices();
    void dismissNotice();
    void openNotice();
    QCoro::Task<> applyUpdate();

    // Fire-and-forget forms for callers on the event loop that do not wait for the outcome.
    void startLogin(const QString& email, const QString& password);
    void startToggle();
    void startConnect(const QString& serverId);
    void startApplyUpdate();

    // True while any of the first loads started at creation is still running.
    bool startingUp() const { return m_startUpPending > 0; }

    // load + ping, saturating instead of wrapping on absurd values.
    static qint64 score(const Server& server);

    // The secret itself is for the calls that send it; everything else asks signedIn().
    const std::optional<QString>& token() const { return m_token; }
    bool signedIn() const { return m_token.has_value(); }
    const QString& email() const { return m_email; }
    const QString& plan() const { return m_plan; }
    const QList<Server>& servers() const { return m_servers; }
    ConnectionStatus status() const { return m_status; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    const std::optional<QString>& originalIp() const { return m_originalIp; }
    const std::optional<QString>& originalPlace() const { return m_originalPlace; }
    const std::optional<QString>& exitIp() const { return m_exitIp; }
    const std::optional<QString>& activeServerId() const { return m_activeServerId; }
    bool busy() const { return m_busy; }
    const std::optional<Updater::Info>& updateInfo() const { return m_updateInfo; }
    bool updating() const { return m_updating; }
    const std::optional<Campaign>& notice() const { return m_notice; }
    // A keychain call of the connect flow waits for the person to answer the keychain's own dialog.
    bool waitingForKeychain() const { return m_waitingForKeychain; }

    void setToken(std::optional<QString> v) { assign(m_token, std::move(v), &AppState::tokenChanged); }
    void setEmail(QString v) { assign(m_email, std::move(v), &AppState::emailChanged); }
    void setPlan(QString v) { assign(m_plan, std::move(v), &AppState::planChanged); }
    void setServers(QList<Server> v) { assign(m_servers, std::move(v), &AppState::serversChanged); }
    void setStatus(ConnectionStatus v) { assign(m_status, v, &AppState::statusChanged); }
    void setErrorMessage(std::optional<QString> v) {
        assign(m_errorMessage, std::move(v), &AppState::errorMessageChanged);
    }
    void setOriginalIp(std::optional<QString> v) { assign(m_originalIp, std::move(v), &AppState::originalIpChanged); }
    void setOriginalPlace(std::optional<QString> v) {
        assign(m_originalPlace, std::move(v), &AppState::originalPlaceChanged);
    }
    void setExitIp(std::optional<QString> v) { assign(m_exitIp, std::move(v), &AppState::exitIpChanged); }
    void setActiveServerId(std::optional<QString> v) {
        assign(m_activeServerId, std::move(v), &AppState::activeServerIdChanged);
    }
    void setBusy(bool v) { assign(m_busy, v, &AppState::busyChanged); }
    void setUpdateInfo(std::optional<Updater::Info> v) {
        assign(m_updateInfo, std::move(v), &AppState::updateInfoChanged);
    }
    void setUpdating(bool v) { assign(m_updating, v, &AppState::updatingChanged); }
    void setNotice(std::optional<Campaign> v) { assign(m_notice, std::move(v), &AppState::noticeChanged); }
    void setWaitingForKeychain(bool v) { assign(m_waitingForKeychain, v, &AppState::waitingForKeychainChanged); }

    DefaultsStore& store() const { return m_store; }

Q_SIGNALS:
    // The first loads (tunnel status, servers, notices, update check) have all finished.
    void startUpFinished();
    void objectWillChange();
    void tokenChanged();
    void emailChanged();
    void planChanged();
    void serversChanged();
    void statusChanged();
    void errorMessageChanged();
    void originalIpChanged();
    void originalPlaceChanged();
    void exitIpChanged();
    void activeServerIdChanged();
    void busyChanged();
    void updateInfoChanged();
    void updatingChanged();
    void noticeChanged();
    void waitingForKeychainChanged();
    // The tunnel was up and went down without this program asking (the system or the network ended it).
    void tunnelDropped();

private:
    void startUpWork();
    void observeSystemStatus();
    void syncSystemStatus();
    QCoro::Task<> refreshTick();
    QCoro::Task<> checkForUpdate();
    QCoro::Task<> syncAfterLoad();
    QCoro::Task<> startUpTask(QCoro::Task<> task);
    int m_startUpPending = 0;
    QCoro::Task<> connectFlow(Server server);
    void storeText(const QString& key, const QString& value);
    Clock& clock() const;
    VpnFacility& facility() const;
    Keychain& keychain() const;

    template <class T, class V> void assign(T& field, V&& value, void (AppState::*changed)()) {
        Q_EMIT objectWillChange();
        field = std::forward<V>(value);
        Q_EMIT(this->*changed)();
    }

    DefaultsStore& m_store;
    Environment m_env;
    std::unique_ptr<ClockTimer> m_refreshTimer;
    std::unique_ptr<ClockTimer> m_updateTimer;
    QMetaObject::Connection m_statusObserver;

    std::optional<QString> m_token;
    QString m_email;
    QString m_plan;
    QList<Server> m_servers;
    ConnectionStatus m_status = ConnectionStatus::idle;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_originalIp;
    std::optional<QString> m_originalPlace;
    std::optional<QString> m_exitIp;
    bool m_wasUp = false;           // connected since the last time it went down
    bool m_stopAsked = false;       // the user took it down (power button, sign-out)
    quint64 m_ipLookups = 0;        // address lookups started; only the latest one's answer counts
    std::optional<QString> m_activeServerId;
    bool m_busy = false;
    std::optional<Updater::Info> m_updateInfo;
    bool m_updating = false;
    std::optional<Campaign> m_notice;
    bool m_waitingForKeychain = false;
};
