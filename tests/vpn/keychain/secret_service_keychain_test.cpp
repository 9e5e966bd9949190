#include "vpn/keychain/secret_service_keychain.h"
#include "vpn/vpn_controller.h"

#include "support/await.h"

#include <QTest>

#undef signals
#include <libsecret/secret.h>

namespace {

bool keyringHere() { return qEnvironmentVariableIsSet("KESTRAVA_TEST_KEYRING"); }
bool noBus() { return qEnvironmentVariableIsSet("KESTRAVA_TEST_NO_BUS"); }

// Reads an item back through libsecret itself, as another program would.
std::optional<QByteArray> lookup(const QString& service, const QString& account) {
    static const SecretSchema schema = {"app.kestrava.Password",
                                        SECRET_SCHEMA_DONT_MATCH_NAME,
                                        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    GError* error = nullptr;
    GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    g_hash_table_insert(attrs, const_cast<char*>("service"), const_cast<char*>(s.constData()));
    g_hash_table_insert(attrs, const_cast<char*>("account"), const_cast<char*>(a.constData()));
    SecretValue* v = secret_password_lookupv_binary_sync(&schema, attrs, nullptr, &error);
    g_hash_table_unref(attrs);
    g_clear_error(&error);
    if (!v) return std::nullopt;
    gsize n = 0;
    const gchar* bytes = secret_value_get(v, &n);
    QByteArray out(bytes, qsizetype(n));
    secret_value_unref(v);
    return out;
}

// The system's status code of a call: success, or the failure's own.
template <class T> int statusOf(const KeychainResult<T>& r) { return r ? KeychainStatus::success : r.error().status; }

} // namespace

class SecretServiceKeychainTest : public QObject {
    Q_OBJECT
    SecretServiceKeychain m_keychain{std::chrono::seconds(10)};

private Q_SLOTS:
    void init() {
        if (!keyringHere() && !noBus()) QSKIP("no private keyring session (run through keyring_session.sh)");
    }

    void firstUseThenUpdateInPlace() {
        if (!keyringHere()) QSKIP("needs the keyring");
        const QString service = QStringLiteral("test.first-use");
        const QString account = QStringLiteral("shared-secret");
        QCOMPARE(statusOf(awaitTask(m_keychain.update(service, account, "one"))), KeychainStatus::itemNotFound);
        QCOMPARE(statusOf(awaitTask(m_keychain.copyMatching(service, account))), KeychainStatus::itemNotFound);
        const KeychainResult<QByteArray> added = awaitTask(m_keychain.add(service, account, "one"));
        QCOMPARE(statusOf(added), KeychainStatus::success);
        QVERIFY2(added->startsWith("/org/freedesktop/secrets/"), added->constData());
        QCOMPARE(lookup(service, account), std::optional<QByteArray>("one"));

        QCOMPARE(statusOf(awaitTask(m_keychain.update(service, account, "two"))), KeychainStatus::success);
        const KeychainResult<QByteArray> again = awaitTask(m_keychain.copyMatching(service, account));
        QCOMPARE(statusOf(again), KeychainStatus::success);
        QCOMPARE(*again, *added);
        QCOMPARE(lookup(service, account), std::optional<QByteArray>("two"));
        // The reference names the item, never its secret; the facility reads the secret through it.
        QVERIFY(!again->contains("two"));
        QCOMPARE(awaitTask(m_keychain.secretFor(*again)).value(), QByteArray("two"));
        QCOMPARE(statusOf(awaitTask(m_keychain.secretFor(*again + "9"))), KeychainStatus::itemNotFound);
        QCOMPARE(statusOf(awaitTask(m_keychain.secretFor("/elsewhere/1"))), KeychainStatus::itemNotFound);
    }

    void secretsArriveByteForByte_data() {
        QTest::addColumn<QByteArray>("secret");
        QTest::newRow("ascii") << QByteArray("psk-1");
        QTest::newRow("turkish") << QStringLiteral("şifre-ĞÜŞİÖÇ").toUtf8();
        QTest::newRow("quotes and spaces") << QByteArray("a \"b\" 'c' ; $(d)");
        QTest::newRow("long") << QByteArray(4096, 'k');
    }
    void secretsArriveByteForByte() {
        if (!keyringHere()) QSKIP("needs the keyring");
        QFETCH(QByteArray, secret);
        const QString service = QStringLiteral("test.bytes");
        const QString account = QString::fromLatin1(QTest::currentDataTag());
        const int updated = statusOf(awaitTask(m_keychain.update(service, account, secret)));
        if (updated == KeychainStatus::itemNotFound)
            QCOMPARE(statusOf(awaitTask(m_keychain.add(service, account, secret))), KeychainStatus::success);
        else
            QCOMPARE(updated, KeychainStatus::success);
        QCOMPARE(lookup(service, account), std::optional<QByteArray>(secret));
    }

    void accountsDoNotCollide() {
        if (!keyringHere()) QSKIP("needs the keyring");
        const QString service = QStringLiteral("test.collide");
        const auto a = awaitTask(m_keychain.add(service, QStringLiteral("a"), "A"));
        const auto b = awaitTask(m_keychain.add(service, QStringLiteral("b"), "B"));
        const auto c = awaitTask(m_keychain.add(QStringLiteral("test.other"), QStringLiteral("a"), "C"));
        QVERIFY(a && b && c);
        QVERIFY(*a != *b && *a != *c);
        QCOMPARE(lookup(service, QStringLiteral("a")), std::optional<QByteArray>("A"));
        QCOMPARE(lookup(service, QStringLiteral("b")), std::optional<QByteArray>("B"));
        // Adding again replaces the item rather than making a second one.
        const auto a2 = awaitTask(m_keychain.add(service, QStringLiteral("a"), "A2"));
        QCOMPARE(*a2, *a);
        QCOMPARE(lookup(service, QStringLiteral("a")), std::optional<QByteArray>("A2"));
    }

    void controllerStoresTheSecretOnce() {
        if (!keyringHere()) QSKIP("needs the keyring");
        const auto first = awaitTask(VPNController::storeSecret(m_keychain, QStringLiteral("gateway-psk")));
        QVERIFY(first.ok());
        const auto second = awaitTask(VPNController::storeSecret(m_keychain, QStringLiteral("new-psk")));
        QVERIFY(second.ok());
        QCOMPARE(second.value(), first.value());
        QCOMPARE(lookup(QString::fromUtf8(VPNController::keychainService), QString::fromUtf8(VPNController::keychainAccount)),
                 std::optional<QByteArray>("new-psk"));
    }

    void lockedCollectionIsRefused() {
        if (!keyringHere()) QSKIP("needs the keyring");
        const QString service = QStringLiteral("test.locked");
        QCOMPARE(statusOf(awaitTask(m_keychain.add(service, QStringLiteral("a"), "x"))), KeychainStatus::success);
        // Lock everything; with no prompter on this bus nothing can unlock it again.
        GError* error = nullptr;
        SecretService* s = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
        QVERIFY(s);
        GList* collections = secret_service_get_collections(s);
        QVERIFY(collections);
        secret_service_lock_sync(s, collections, nullptr, nullptr, &error);
        g_list_free_full(collections, g_object_unref);
        g_object_unref(s);
        g_clear_error(&error);
        const int status = statusOf(awaitTask(m_keychain.update(service, QStringLiteral("a"), "y"), 60'000));
        QVERIFY2(status == KeychainStatus::authFailed || status == KeychainStatus::userCanceled ||
                     status == KeychainStatus::interactionNotAllowed,
                 qPrintable(QString::number(status)));
        const auto controller = awaitTask(VPNController::storeSecret(m_keychain, QStringLiteral("z")), 60'000);
        QVERIFY(!controller.ok());
        QVERIFY(controller.error().description().startsWith(QStringLiteral("VPN anahtarı kaydedilemedi (kod -")));
    }

    void noProviderIsNotAvailable_data() {
        QTest::addColumn<int>("operation");
        QTest::newRow("update") << 0;
        QTest::newRow("add") << 1;
        QTest::newRow("copy") << 2;
        QTest::newRow("read") << 3;
    }
    void noProviderIsNotAvailable() {
        if (!noBus()) QSKIP("runs without a session bus");
        QFETCH(int, operation);
        int status = 0;
        if (operation == 0) status = statusOf(awaitTask(m_keychain.update(QStringLiteral("s"), QStringLiteral("a"), "x")));
        if (operation == 1) status = statusOf(awaitTask(m_keychain.add(QStringLiteral("s"), QStringLiteral("a"), "x")));
        if (operation == 2) status = statusOf(awaitTask(m_keychain.copyMatching(QStringLiteral("s"), QStringLiteral("a"))));
        if (operation == 3) status = statusOf(awaitTask(m_keychain.secretFor("/org/freedesktop/secrets/collection/login/1")));
        QCOMPARE(status, KeychainStatus::notAvailable);
        QVERIFY(!SecretServiceKeychain::isAvailable());
        const auto controller = awaitTask(VPNController::storeSecret(m_keychain, QStringLiteral("z")));
        QCOMPARE(controller.error().description(), QStringLiteral("VPN anahtarı kaydedilemedi (kod -25291)"));
    }
};

QTEST_GUILESS_MAIN(SecretServiceKeychainTest)
#include "secret_service_keychain_test.moc"
