#pragma once

#include "vpn/keychain.h"

#include <QHash>
#include <QList>
#include <QPair>

#include <optional>

// A keychain held in memory: the demo's, so that it never touches the desktop's keyring, and the
// unit tests'. Each status can be forced to exercise refusals.
class MemoryKeychain final : public Keychain {
public:
    QCoro::Task<KeychainResult<void>> update(QString service, QString account, QByteArray data) override;
    QCoro::Task<KeychainResult<QByteArray>> add(QString service, QString account, QByteArray data) override;
    QCoro::Task<KeychainResult<QByteArray>> copyMatching(QString service, QString account) override;
    QCoro::Task<KeychainResult<QByteArray>> secretFor(QByteArray reference) override;
    QCoro::Task<KeychainResult<void>> rename(QString service, QString account, QString newService) override;

    std::optional<QByteArray> data(const QString& service, const QString& account) const;

    std::optional<int> updateStatus, addStatus, copyStatus; // forced results (success included)
    QList<int> updateScript; // results of the next updates, one each; success runs the real update
    bool addReturnsNoReference = false;
    bool asksThePerson = false; // each update first shows a dialog, answered at once
    int updates = 0, adds = 0, copies = 0;

private:
    struct Item {
        QByteArray data;
        QByteArray reference;
    };
    QHash<QPair<QString, QString>, Item> m_items;
    int m_next = 1;
};
