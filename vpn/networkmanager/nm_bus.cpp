#include "vpn/networkmanager/nm_bus.h"

#include "vpn/networkmanager/nm_settings.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>

#include <qcoro/qcorodbuspendingcall.h>

namespace networkmanager::bus {

QCoro::Task<std::optional<QVariant>> property(QDBusConnection bus, QString path, QString interface, QString name,
                                              std::chrono::milliseconds limit) {
    QDBusMessage get = QDBusMessage::createMethodCall(QString::fromLatin1(service), path, propertiesInterface,
                                                      QStringLiteral("Get"));
    get << interface << name;
    const QDBusMessage reply = co_await bus.asyncCall(get, int(limit.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) co_return std::nullopt;
    const QVariant value = reply.arguments().first().value<QDBusVariant>().variant();
    co_return value;
}

} // namespace networkmanager::bus
