#include "vpn/keychain/memory_keychain.h"

namespace {
KeychainFailure failed(int status) { return KeychainFailure{status}; }
} // namespace

QCoro::Task<KeychainResult<void>> MemoryKeychain::update(QString service, QString account, QByteArray data) {
    ++updates;
    if (asksThePerson) {
        setWaitingForUser(true);
        setWaitingForUser(false);
    }
    int forced = updateStatus.value_or(KeychainStatus::success);
    if (!updateStatus && !updateScript.isEmpty()) forced = updateScript.takeFirst();
    if (forced != KeychainStatus::success) co_return failed(forced);
    if (updateStatus) co_return KeychainResult<void>();
    auto it = m_items.find({service, account});
    if (it == m_items.end()) co_return failed(KeychainStatus::itemNotFound);
    it->data = data;
    co_return KeychainResult<void>();
}

QCoro::Task<KeychainResult<QByteArray>> MemoryKeychain::add(QString service, QString account, QByteArray data) {
    ++adds;
    if (addStatus && *addStatus != KeychainStatus::success) co_return failed(*addStatus);
    if (addStatus) co_return QByteArray();
    Item item{data, "/memory/item/" + QByteArray::number(m_next++)};
    m_items.insert({service, account}, item);
    co_return addReturnsNoReference ? QByteArray() : item.reference;
}

QCoro::Task<KeychainResult<QByteArray>> MemoryKeychain::copyMatching(QString service, QString account) {
    ++copies;
    if (copyStatus && *copyStatus != KeychainStatus::success) co_return failed(*copyStatus);
    if (copyStatus) co_return QByteArray();
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend()) co_return failed(KeychainStatus::itemNotFound);
    co_return it->reference;
}

std::optional<QByteArray> MemoryKeychain::data(const QString& service, const QString& account) const {
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend()) return std::nullopt;
    return it->data;
}

QCoro::Task<KeychainResult<QByteArray>> MemoryKeychain::secretFor(QByteArray reference) {
    for (const Item& item : std::as_const(m_items))
        if (item.reference == reference) {
            const QByteArray data = item.data;
            co_return data;
        }
    co_return failed(KeychainStatus::itemNotFound);
}

QCoro::Task<KeychainResult<void>> MemoryKeychain::rename(QString service, QString account, QString newService) {
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend()) co_return failed(KeychainStatus::itemNotFound);
    const Item item = *it;
    m_items.remove({service, account});
    m_items.insert({newService, account}, item);
    co_return KeychainResult<void>();
}
