#include "vpn/memory_keychain.h"

#include <QList>

QCoro::Task<int> MemoryKeychain::update(QString service, QString account, QByteArray data) {
    ++updates;
    if (updateStatus) co_return *updateStatus;
    if (!updateScript.isEmpty()) {
        const int scripted = updateScript.takeFirst();
        if (scripted != KeychainStatus::success) co_return scripted;
    }
    auto it = m_items.find({service, account});
    if (it == m_items.end()) co_return KeychainStatus::itemNotFound;
    it->data = data;
    co_return KeychainStatus::success;
}

QCoro::Task<Keychain::RefResult> MemoryKeychain::add(QString service, QString account, QByteArray data) {
    ++adds;
    if (addStatus) co_return RefResult{*addStatus, {}};
    Item item{data, "/memory/item/" + QByteArray::number(m_next++)};
    m_items.insert({service, account}, item);
    co_return RefResult{KeychainStatus::success, addReturnsNoReference ? QByteArray() : item.reference};
}

QCoro::Task<Keychain::RefResult> MemoryKeychain::copyMatching(QString service, QString account) {
    ++copies;
    if (copyStatus) co_return RefResult{*copyStatus, {}};
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend()) co_return RefResult{KeychainStatus::itemNotFound, {}};
    co_return RefResult{KeychainStatus::success, it->reference};
}

std::optional<QByteArray> MemoryKeychain::data(const QString& service, const QString& account) const {
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend()) return std::nullopt;
    return it->data;
}

QCoro::Task<std::optional<QByteArray>> MemoryKeychain::secretFor(QByteArray reference) {
    for (const Item& item : std::as_const(m_items))
        if (item.reference == reference) {
            const QByteArray data = item.data;
            co_return data;
        }
    co_return std::nullopt;
}
