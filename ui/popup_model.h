#pragma once

#include "api/records.h"
#include "state/connection_status.h"

#include <QAbstractListModel>
#include <QObject>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <optional>

class AppState;

// The server picker's rows. Shares the state's list (implicitly), so a long list costs no copy,
// and the view only builds the rows it shows.
class ServerListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by PopupModel")
public:
    enum Role { IdRole = Qt::UserRole + 1, FlagRole, CityRole, DetailRole, TierRole, PlusRole };
    using QAbstractListModel::QAbstractListModel;
    void setServers(QList<Server> servers);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    QList<Server> m_servers;
};

// What the popup's views read, derived from AppState, and the operations they call. It holds no
// state of its own: every property is recomputed from AppState when one of its fields changes.
class PopupModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(bool signedIn READ signedIn NOTIFY changed)
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(bool connected READ connected NOTIFY changed)
    Q_PROPERTY(bool connecting READ connecting NOTIFY changed)
    Q_PROPERTY(QString pillText READ pillText NOTIFY changed)
    Q_PROPERTY(QString headline READ headline NOTIFY changed)
    Q_PROPERTY(QString explanation READ explanation NOTIFY changed)
    Q_PROPERTY(bool hasError READ hasError NOTIFY changed)
    Q_PROPERTY(QString errorText READ errorText NOTIFY changed)
    Q_PROPERTY(bool powerEnabled READ powerEnabled NOTIFY changed)
    Q_PROPERTY(QString loginButtonText READ loginButtonText NOTIFY changed)
    Q_PROPERTY(QString serverFlag READ serverFlag NOTIFY changed)
    Q_PROPERTY(QString serverName READ serverName NOTIFY changed)
    Q_PROPERTY(QString serverDestination READ serverDestination NOTIFY changed)
    Q_PROPERTY(QString originalValue READ originalValue NOTIFY changed)
    Q_PROPERTY(QString originalMeta READ originalMeta NOTIFY changed)
    Q_PROPERTY(QString exitValue READ exitValue NOTIFY changed)
    Q_PROPERTY(QString exitMeta READ exitMeta NOTIFY changed)
    Q_PROPERTY(QString email READ email NOTIFY changed)
    Q_PROPERTY(QString planBadgeText READ planBadgeText NOTIFY changed)
    Q_PROPERTY(QString upgradeText READ upgradeText NOTIFY changed)
    Q_PROPERTY(bool hasUpdate READ hasUpdate NOTIFY changed)
    Q_PROPERTY(bool updating READ updating NOTIFY changed)
    Q_PROPERTY(QString updateText READ updateText NOTIFY changed)
    Q_PROPERTY(bool hasNotice READ hasNotice NOTIFY changed)
    Q_PROPERTY(QString noticeTitle READ noticeTitle NOTIFY changed)
    Q_PROPERTY(QString noticeBody READ noticeBody NOTIFY changed)
    Q_PROPERTY(bool noticeHasLink READ noticeHasLink NOTIFY changed)
    Q_PROPERTY(QString noticeCallToAction READ noticeCallToAction NOTIFY changed)
    Q_PROPERTY(QString domain READ domain CONSTANT)
    Q_PROPERTY(ServerListModel* servers READ servers CONSTANT)

public:
    // openUrl opens the fixed links (sign-up, password reset, plans); the default is the desktop's.
    explicit PopupModel(AppState& state, std::function<void(const QUrl&)> openUrl = {}, QObject* parent = nullptr);

    bool signedIn() const;
    bool busy() const;
    bool connected() const;
    bool connecting() const;
    QString pillText() const;
    QString headline() const;
    QString explanation() const;
    bool hasError() const;
    QString errorText() const;
    bool powerEnabled() const;
    QString loginButtonText() const;
    QString serverFlag() const { return m_serverFlag; }
    QString serverName() const { return m_serverName; }
    QString serverDestination() const { return m_serverDestination; }
    QString originalValue() const;
    // A title in capitals, as Turkish writes them.
    Q_INVOKABLE QString upper(const QString& text) const;
    QString originalMeta() const;
    QString exitValue() const;
    QString exitMeta() const;
    QString email() const;
    QString planBadgeText() const;
    QString upgradeText() const;
    bool hasUpdate() const;
    bool updating() const;
    QString updateText() const;
    bool hasNotice() const;
    QString noticeTitle() const;
    QString noticeBody() const;
    bool noticeHasLink() const;
    QString noticeCallToAction() const;
    QString domain() const;
    ServerListModel* servers() { return &m_servers; }

    Q_INVOKABLE bool loginEnabled(const QString& email, const QString& password) const;
    Q_INVOKABLE void login(const QString& email, const QString& password);
    Q_INVOKABLE void toggle();
    Q_INVOKABLE void connectTo(const QString& serverId);
    Q_INVOKABLE void logout();
    Q_INVOKABLE void applyUpdate();
    Q_INVOKABLE void openNotice();
    Q_INVOKABLE void dismissNotice();
    Q_INVOKABLE void openForgotPassword();
    Q_INVOKABLE void openRegister();
    Q_INVOKABLE void openPlans();
    Q_INVOKABLE void quit();

    AppState& state() const { return m_state; }

Q_SIGNALS:
    void changed();
    // The quit strip was pressed; the shell runs its quit path.
    void quitRequested();

private:
    void refreshServerLine();
    void openWebPath(const QString& path);

    AppState& m_state;
    std::function<void(const QUrl&)> m_openUrl;
    ServerListModel m_servers;
    QString m_serverFlag;
    QString m_serverName;
    QString m_serverDestination;
};
