#include "vpn/keychain/secret_service_keychain.h"

#include <QThread>

#include <qcoro/qcorothread.h>

// libsecret's headers use "signals" as an identifier; keep Qt's macros out of their way.
#undef signals
#include <libsecret/secret.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace {

const SecretSchema* schema() {
    static const SecretSchema s = {"app.kestrava.Password",
                                   SECRET_SCHEMA_DONT_MATCH_NAME,
                                   {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &s;
}

// One call's inputs and outcome, shared with the worker so an abandoned worker writes into live memory.
struct Call {
    QByteArray service;
    QByteArray account;
    QByteArray data;
    int status = KeychainStatus::ioError;
    QByteArray reference;
    GCancellable* cancellable = g_cancellable_new();
    ~Call() { g_object_unref(cancellable); }
};

// libsecret's shared service object is not meant for concurrent use from several threads.
std::mutex& serviceMutex() {
    static std::mutex m;
    return m;
}

int statusFor(const GError* error) {
    if (!error) return KeychainStatus::ioError;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return KeychainStatus::interactionNotAllowed;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return KeychainStatus::authFailed;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) return KeychainStatus::itemNotFound;
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
        case G_DBUS_ERROR_ADDRESS_IN_USE:
        case G_DBUS_ERROR_DISCONNECTED:
            return KeychainStatus::notAvailable;
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
            return KeychainStatus::interactionNotAllowed;
        default:
            break;
        }
    }
    return KeychainStatus::ioError;
}

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() { g_clear_error(&error); }
};

// Opens the service; nullptr with status set when it cannot be reached.
SecretService* openService(Call& c) {
    ErrorHolder e;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, c.cancellable, &e.error);
    if (!service) {
        // Whatever stops the service from opening means there is no keychain to use.
        c.status = g_error_matches(e.error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ? KeychainStatus::interactionNotAllowed
                                                                             : KeychainStatus::notAvailable;
        return nullptr;
    }
    return service;
}

GHashTable* attributes(const Call& c) {
    GHashTable* a = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(a, const_cast<char*>("service"), const_cast<char*>(c.service.constData()));
    g_hash_table_insert(a, const_cast<char*>("account"), const_cast<char*>(c.account.constData()));
    return a;
}

// Makes sure the object is unlocked; false with status set when it stays locked.
bool unlock(SecretService* service, gpointer object, Call& c) {
    const bool locked = SECRET_IS_ITEM(object) ? secret_item_get_locked(SECRET_ITEM(object))
                                               : secret_collection_get_locked(SECRET_COLLECTION(object));
    if (!locked) return true;
    ErrorHolder e;
    GList* objects = g_list_append(nullptr, object);
    GList* unlocked = nullptr;
    const gint count = secret_service_unlock_sync(service, objects, c.cancellable, &unlocked, &e.error);
    g_list_free(objects);
    g_list_free_full(unlocked, g_object_unref);
    if (count > 0) return true;
    // Without an error the prompt was shown and dismissed.
    c.status = e.error ? (statusFor(e.error) == KeychainStatus::ioError ? KeychainStatus::authFailed : statusFor(e.error))
                       : KeychainStatus::userCanceled;
    return false;
}

// The first item for the call's attributes, or nullptr with status set.
SecretItem* findItem(SecretService* service, Call& c) {
    ErrorHolder e;
    GHashTable* attrs = attributes(c);
    GList* items = secret_service_search_sync(service, schema(), attrs, SECRET_SEARCH_ALL, c.cancellable, &e.error);
    g_hash_table_unref(attrs);
    if (e.error) {
        c.status = statusFor(e.error);
        return nullptr;
    }
    if (!items) {
        c.status = KeychainStatus::itemNotFound;
        return nullptr;
    }
    auto* item = SECRET_ITEM(g_object_ref(items->data));
    g_list_free_full(items, g_object_unref);
    return item;
}

QByteArray pathOf(gpointer proxy) { return QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(proxy))); }

SecretValue* valueOf(const Call& c) {
    return secret_value_new(c.data.constData(), c.data.size(), "application/octet-stream");
}

void doUpdate(Call& c) {
    SecretService* service = openService(c);
    if (!service) return;
    if (SecretItem* item = findItem(service, c)) {
        if (unlock(service, item, c)) {
            ErrorHolder e;
            SecretValue* value = valueOf(c);
            c.status = secret_item_set_secret_sync(item, value, c.cancellable, &e.error) ? KeychainStatus::success
                                                                                          : statusFor(e.error);
            secret_value_unref(value);
        }
        g_object_unref(item);
    }
    g_object_unref(service);
}

void doAdd(Call& c) {
    SecretService* service = openService(c);
    if (!service) return;
    ErrorHolder e;
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, c.cancellable, &e.error);
    if (!collection && !e.error) {
        // A keyring without a default collection: make one, as a desktop session would on first use.
        collection = secret_collection_create_sync(service, "Login", SECRET_COLLECTION_DEFAULT,
                                                   SECRET_COLLECTION_CREATE_NONE, c.cancellable, &e.error);
        if (!collection && !e.error) c.status = KeychainStatus::userCanceled;
    }
    if (!collection) {
        if (e.error) c.status = statusFor(e.error);
        g_object_unref(service);
        return;
    }
    if (unlock(service, collection, c)) {
        GHashTable* attrs = attributes(c);
        SecretValue* value = valueOf(c);
        SecretItem* item = secret_item_create_sync(collection, schema(), attrs, "Kestrava VPN anahtarı", value,
                                                   SECRET_ITEM_CREATE_REPLACE, c.cancellable, &e.error);
        secret_value_unref(value);
        g_hash_table_unref(attrs);
        if (item) {
            c.status = KeychainStatus::success;
            c.reference = pathOf(item);
            g_object_unref(item);
        } else {
            c.status = statusFor(e.error);
        }
    }
    g_object_unref(collection);
    g_object_unref(service);
}

void doCopy(Call& c) {
    SecretService* service = openService(c);
    if (!service) return;
    if (SecretItem* item = findItem(service, c)) {
        c.status = KeychainStatus::success;
        c.reference = pathOf(item);
        g_object_unref(item);
    }
    g_object_unref(service);
}

// Reads the secret of the item at the call's reference (a D-Bus object path) into data.
void doRead(Call& c) {
    SecretService* service = openService(c);
    if (!service) return;
    ErrorHolder e;
    // Our items carry the schema's name; among them, the one at the path.
    GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attrs, const_cast<char*>("xdg:schema"), const_cast<char*>(schema()->name));
    GList* found = secret_service_search_sync(service, nullptr, attrs, SECRET_SEARCH_ALL, c.cancellable, &e.error);
    g_hash_table_unref(attrs);
    SecretItem* item = nullptr;
    for (GList* l = found; l; l = l->next)
        if (!item && pathOf(l->data) == c.reference) item = SECRET_ITEM(g_object_ref(l->data));
    g_list_free_full(found, g_object_unref);
    if (!item) {
        c.status = e.error ? statusFor(e.error) : KeychainStatus::itemNotFound;
        g_object_unref(service);
        return;
    }
    if (unlock(service, item, c)) {
        if (secret_item_load_secret_sync(item, c.cancellable, &e.error)) {
            if (SecretValue* value = secret_item_get_secret(item)) {
                gsize length = 0;
                const gchar* bytes = secret_value_get(value, &length);
                c.data = QByteArray(bytes, qsizetype(length));
                c.status = KeychainStatus::success;
                secret_value_unref(value);
            } else {
                c.status = KeychainStatus::itemNotFound;
            }
        } else {
            c.status = statusFor(e.error);
        }
    }
    g_object_unref(item);
    g_object_unref(service);
}

// Runs work on its own thread; past the bound the call is cancelled and reported as unanswered.
QCoro::Task<std::shared_ptr<Call>> runBounded(std::shared_ptr<Call> call, void (*work)(Call&),
                                              std::chrono::milliseconds bound) {
    QThread* thread = QThread::create([call, work] {
        std::lock_guard lock(serviceMutex());
        if (!g_cancellable_is_cancelled(call->cancellable)) work(*call);
    });
    thread->start();
    const bool finished = co_await qCoro(thread).waitForFinished(bound);
    if (finished) {
        delete thread;
        co_return call;
    }
    // The worker still runs; it owns its share of the call and the thread cleans up after itself.
    g_cancellable_cancel(call->cancellable);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    if (thread->isFinished()) thread->deleteLater();
    auto abandoned = std::make_shared<Call>();
    abandoned->status = KeychainStatus::interactionNotAllowed;
    co_return abandoned;
}

KeychainResult<QByteArray> referenceOf(const Call& c) {
    if (c.status != KeychainStatus::success) return KeychainFailure{c.status};
    return c.reference;
}

std::shared_ptr<Call> makeCall(const QString& service, const QString& account, const QByteArray& data = {}) {
    auto c = std::make_shared<Call>();
    c->service = service.toUtf8();
    c->account = account.toUtf8();
    c->data = data;
    return c;
}

} // namespace

SecretServiceKeychain::SecretServiceKeychain(std::chrono::milliseconds bound) : m_bound(bound) {}

QCoro::Task<KeychainResult<void>> SecretServiceKeychain::update(QString service, QString account, QByteArray data) {
    const auto c = co_await runBounded(makeCall(service, account, data), doUpdate, m_bound);
    if (c->status != KeychainStatus::success) co_return KeychainFailure{c->status};
    co_return KeychainResult<void>();
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::add(QString service, QString account, QByteArray data) {
    const auto c = co_await runBounded(makeCall(service, account, data), doAdd, m_bound);
    co_return referenceOf(*c);
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::copyMatching(QString service, QString account) {
    const auto c = co_await runBounded(makeCall(service, account), doCopy, m_bound);
    co_return referenceOf(*c);
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::secretFor(QByteArray reference) {
    // Only item paths are references; anything else is not ours to look up.
    if (!reference.startsWith("/org/freedesktop/secrets/") || reference.contains('\0'))
        co_return KeychainFailure{KeychainStatus::itemNotFound};
    auto call = makeCall(QString(), QString());
    call->reference = reference;
    const auto c = co_await runBounded(call, doRead, m_bound);
    if (c->status != KeychainStatus::success) co_return KeychainFailure{c->status};
    const QByteArray data = c->data;
    co_return data;
}

bool SecretServiceKeychain::isAvailable(std::chrono::milliseconds bound) {
    // Blocking by design: asked once at start, before the event loop matters.
    struct Probe {
        std::shared_ptr<Call> call = makeCall(QString(), QString());
        std::atomic<bool> done{false};
        std::atomic<bool> ok{false};
    };
    auto probe = std::make_shared<Probe>();
    std::thread([probe] {
        std::lock_guard lock(serviceMutex());
        SecretService* s = openService(*probe->call);
        probe->ok = s != nullptr;
        if (s) g_object_unref(s);
        probe->done = true;
    }).detach();
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!probe->done && std::chrono::steady_clock::now() < deadline) QThread::msleep(5);
    if (!probe->done) g_cancellable_cancel(probe->call->cancellable);
    return probe->done && probe->ok;
}
