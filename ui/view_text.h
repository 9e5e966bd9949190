#pragma once

#include "api/records.h"
#include "state/connection_status.h"

#include <QString>

#include <optional>

// The display rules of the popup, kept out of QML so that they can be tested as plain functions.
namespace Views {

// Country code to regional-indicator flag; the globe when nothing maps.
QString flagEmoji(const QString& code);

struct Caption {
    QString headline;
    QString explanation;
};
// While connecting, the keychain's own dialog may be what the connection waits for.
Caption caption(ConnectionStatus status, bool waitingForKeychain = false);

// "Bağlı" / "Kapalı" of the status pill.
QString pillText(ConnectionStatus status);

// The server line: the active server wins, else the suggestion, else a loading text.
QString serverLineFlag(const std::optional<Server>& active, const std::optional<Server>& best);
QString serverLineName(const std::optional<Server>& active);
QString serverLineDestination(const std::optional<Server>& active, const std::optional<Server>& best);

// Country, load and optional ping of one server: "Almanya · %42 · 35 ms".
QString serverDetail(const Server& server);
bool isPlusTier(const Server& server);
QString tierText(const Server& server);

struct CardText {
    QString value;
    QString meta;
};
CardText originalCard(const std::optional<QString>& ip, const std::optional<QString>& place, bool connected);
CardText exitCard(const std::optional<QString>& exitIp, bool connected);

// Power button: pressable while connecting even when busy.
bool powerEnabled(bool busy, ConnectionStatus status);
// Sign-in button: empty means no characters; spaces count.
bool loginEnabled(bool busy, const QString& email, const QString& password);
QString loginButtonText(bool busy);

// Upper case as Turkish writes it (i → İ, ı → I); QML's toLocaleUpperCase ignores the locale.
QString upperTurkish(const QString& text);

bool isPlusPlan(const QString& plan);
QString planBadgeText(const QString& plan);
QString upgradeText(const QString& plan);

QString updateBannerText(const QString& version, bool updating);
QString noticeCallToAction(const std::optional<QString>& cta);

} // namespace Views
