#include "vpn/keychain/secret_service_keychain.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

// libsecret's headers use "signals" as an identifier; keep Qt's macros out of their way.
#undef signals
#include <libsecret/secret.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

using namespace std::chrono_literals;

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

constexpr const char* busName = "org.freedesktop.secrets";
constexpr const char* kwalletName = "org.kde.kwalletd5";
constexpr const char* itemInterface = "org.freedesktop.Secret.Item";
constexpr const char* collectionInterface = "org.freedesktop.Secret.Collection";

// Without Qt's GLib dispatcher (QT_NO_GLIB) nobody runs the default GLib context: turn it here.
void ensureGlibRuns() {
    static QTimer* pump = nullptr;
    if (pump || !QCoreApplication::instance()) return;
    const QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
    if (d && d->inherits("QEventDispatcherGlib")) return;
    pump = new QTimer(QCoreApplication::instance());
    QObject::connect(pump, &QTimer::timeout, [] {
        for (int i = 0; i < 64 && g_main_context_iteration(nullptr, FALSE); ++i) {
        }
    });
    pump->start(10);
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
    if (g_dbus_error_is_remote_error(error)) {
        g_autofree gchar* name = g_dbus_error_get_remote_error(error);
        if (g_str_equal(name, "org.freedesktop.Secret.Error.IsLocked")) return KeychainStatus::authFailed;
        if (g_str_equal(name, "org.freedesktop.Secret.Error.NoSuchObject")) return KeychainStatus::itemNotFound;
    }
    // The user sees only the code; what the keychain said goes to the log for whoever looks into it.
    std::fprintf(stderr, "Kestrava: anahtar zinciri hatası: %s (%s %d)\n", error->message ? error->message : "",
                 g_quark_to_string(error->domain), error->code);
    return KeychainStatus::ioError;
}

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() { g_clear_error(&error); }
};

template <class T> struct Ref {
    T* p = nullptr;
    Ref() = default;
    explicit Ref(T* adopted) : p(adopted) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    ~Ref() {
        if (p) g_object_unref(p);
    }
    T* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

} // namespace

// One GLib asynchronous request, finished on the GLib context; whoever still waits hears it.
class KeychainStep : public QObject {
    Q_OBJECT
public:
    GAsyncResult* result = nullptr;
    bool done = false;
    ~KeychainStep() override {
        if (result) g_object_unref(result);
    }
    // The callback owns a share of the step: a waiter that gave up leaves live memory behind.
    static std::shared_ptr<KeychainStep> make(std::shared_ptr<KeychainStep>*& share) {
        auto s = std::make_shared<KeychainStep>();
        share = new std::shared_ptr<KeychainStep>(s);
        return s;
    }
    static void ready(GObject*, GAsyncResult* r, gpointer data) {
        auto* share = static_cast<std::shared_ptr<KeychainStep>*>(data);
        (*share)->result = G_ASYNC_RESULT(g_object_ref(r));
        (*share)->done = true;
        Q_EMIT(*share)->finished();
        delete share;
    }
Q_SIGNALS:
    void finished();
};

// A keychain dialog (a Secret Service prompt) and its outcome. Never dismissed from here.
class KeychainPrompt : public QObject {
    Q_OBJECT
public:
    QByteArray path;
    bool done = false;
    bool dismissed = true;
    QList<QByteArray> results; // the object paths the prompt hands back

    KeychainPrompt(GDBusConnection* connection, QByteArray promptPath) : path(std::move(promptPath)), m_connection(connection) {
        g_object_ref(m_connection);
    }
    ~KeychainPrompt() override {
        if (m_subscription) g_dbus_connection_signal_unsubscribe(m_connection, m_subscription);
        g_object_unref(m_connection);
    }
    void show(const std::shared_ptr<KeychainPrompt>& self) {
        // A signal already queued when the prompt goes is still delivered: it finds the prompt gone.
        m_subscription = g_dbus_connection_signal_subscribe(
            m_connection, nullptr, "org.freedesktop.Secret.Prompt", "Completed", path.constData(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &KeychainPrompt::completed, new std::weak_ptr<KeychainPrompt>(self),
            [](gpointer watch) { delete static_cast<std::weak_ptr<KeychainPrompt>*>(watch); });
        auto* share = new std::shared_ptr<KeychainPrompt>(self);
        g_dbus_connection_call(m_connection, busName, path.constData(), "org.freedesktop.Secret.Prompt", "Prompt",
                               g_variant_new("(s)", ""), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                               &KeychainPrompt::shown, share);
    }
    void finish(bool wasDismissed) {
        if (done) return;
        done = true;
        dismissed = wasDismissed;
        Q_EMIT finished();
    }
Q_SIGNALS:
    void finished();

private:
    static void shown(GObject* source, GAsyncResult* r, gpointer data) {
        auto* share = static_cast<std::shared_ptr<KeychainPrompt>*>(data);
        ErrorHolder e;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), r, &e.error);
        if (reply) g_variant_unref(reply);
        else (*share)->finish(true);
        delete share;
    }
    static void completed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer data) {
        const std::shared_ptr<KeychainPrompt> self = static_cast<std::weak_ptr<KeychainPrompt>*>(data)->lock();
        if (!self || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bv)"))) return;
        gboolean wasDismissed = TRUE;
        GVariant* result = nullptr;
        g_variant_get(parameters, "(bv)", &wasDismissed, &result);
        // An object path, or (KWallet) a list of them, or nothing at all.
        if (g_variant_is_of_type(result, G_VARIANT_TYPE_OBJECT_PATH)) {
            self->results.append(QByteArray(g_variant_get_string(result, nullptr)));
        } else if (g_variant_is_of_type(result, G_VARIANT_TYPE("ao"))) {
            GVariantIter it;
            const gchar* p = nullptr;
            g_variant_iter_init(&it, result);
            while (g_variant_iter_next(&it, "&o", &p)) self->results.append(QByteArray(p));
        }
        g_variant_unref(result);
        self->finish(wasDismissed);
    }

    GDBusConnection* m_connection;
    guint m_subscription = 0;
};

// One keychain call: its deadline, and the cancellable of every request it makes (none of them a dialog).
struct SecretServiceKeychain::Call {
    std::chrono::steady_clock::time_point deadline;
    GCancellable* cancellable = g_cancellable_new();
    int status = KeychainStatus::ioError;
    SecretService* service = nullptr;

    explicit Call(std::chrono::milliseconds bound) : deadline(std::chrono::steady_clock::now() + bound) {}
    ~Call() {
        // The wait is over: nothing of it may go on in the background.
        g_cancellable_cancel(cancellable);
        g_object_unref(cancellable);
        if (service) g_object_unref(service);
    }
    std::chrono::milliseconds left() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    }
    GDBusConnection* connection() const { return g_dbus_proxy_get_connection(G_DBUS_PROXY(service)); }

    // Waits for the step until the deadline; false (the call's requests cancelled) when it came first.
    QCoro::Task<bool> reached(std::shared_ptr<KeychainStep> step) {
        if (!step->done && left() > 0ms) co_await qCoro(step.get(), &KeychainStep::finished, left());
        if (step->done) co_return true;
        g_cancellable_cancel(cancellable);
        status = KeychainStatus::interactionNotAllowed;
        co_return false;
    }

    // A plain method call on the service's connection; nullptr with status set when it fails.
    QCoro::Task<GVariant*> method(const char* path, const char* interface, const char* name, GVariant* args,
                                  const char* replyType) {
        std::shared_ptr<KeychainStep>* share = nullptr;
        auto step = KeychainStep::make(share);
        g_dbus_connection_call(connection(), busName, path, interface, name, args, G_VARIANT_TYPE(replyType),
                               G_DBUS_CALL_FLAGS_NONE, -1, cancellable, &KeychainStep::ready, share);
        if (!co_await reached(step)) co_return nullptr;
        ErrorHolder e;
        GVariant* reply = g_dbus_connection_call_finish(connection(), step->result, &e.error);
        if (!reply) status = statusFor(e.error);
        co_return reply;
    }

    // Whether the object is locked; nothing with status set when it cannot be read.
    QCoro::Task<std::optional<bool>> locked(const QByteArray& path, const char* interface) {
        GVariant* reply = co_await method(path.constData(), "org.freedesktop.DBus.Properties", "Get",
                                          g_variant_new("(ss)", interface, "Locked"), "(v)");
        if (!reply) co_return std::nullopt;
        GVariant* v = nullptr;
        g_variant_get(reply, "(v)", &v);
        const bool isLocked = g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(v);
        g_variant_unref(v);
        g_variant_unref(reply);
        co_return isLocked;
    }

    // KWallet's own interface, never started by this call; nullptr with status set when it fails.
    QCoro::Task<GVariant*> wallet(const char* name, GVariant* args, const char* replyType, int timeoutMs = -1) {
        std::shared_ptr<KeychainStep>* share = nullptr;
        auto step = KeychainStep::make(share);
        g_dbus_connection_call(connection(), kwalletName, "/modules/kwalletd5", "org.kde.KWallet", name, args,
                               G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, cancellable,
                               &KeychainStep::ready, share);
        if (!co_await reached(step)) co_return nullptr;
        ErrorHolder e;
        GVariant* reply = g_dbus_connection_call_finish(connection(), step->result, &e.error);
        if (!reply) status = statusFor(e.error);
        co_return reply;
    }

    // KWallet's default wallet, when KWallet runs: its name, and whether it exists yet.
    struct Wallet {
        QByteArray name;
        bool exists = false;
    };
    QCoro::Task<std::optional<Wallet>> defaultWallet() {
        GVariant* r = co_await wallet("localWallet", nullptr, "(s)");
        if (!r) {
            if (status != KeychainStatus::interactionNotAllowed) status = KeychainStatus::success;
            co_return std::nullopt;
        }
        const gchar* name = nullptr;
        g_variant_get(r, "(&s)", &name);
        Wallet w{QByteArray(name)};
        g_variant_unref(r);
        if (w.name.isEmpty()) co_return std::nullopt;
        r = co_await wallet("wallets", nullptr, "(as)");
        if (!r) co_return std::nullopt;
        GVariantIter* it = nullptr;
        const gchar* each = nullptr;
        g_variant_get(r, "(as)", &it);
        while (g_variant_iter_next(it, "&s", &each)) w.exists = w.exists || w.name == each;
        g_variant_iter_free(it);
        g_variant_unref(r);
        co_return w;
    }

    QCoro::Task<bool> open() {
        ensureGlibRuns();
        if (!co_await startKeychain()) co_return false;
        // KWallet refuses one session key in 256 (libsecret sends it without its leading zero byte); a
        // second attempt draws a new key.
        for (int attempt = 0; attempt < 2 && !service; ++attempt) {
            std::shared_ptr<KeychainStep>* share = nullptr;
            auto step = KeychainStep::make(share);
            secret_service_get(SECRET_SERVICE_OPEN_SESSION, cancellable, &KeychainStep::ready, share);
            if (!co_await reached(step)) co_return false;
            ErrorHolder e;
            service = secret_service_get_finish(step->result, &e.error);
        }
        if (!service) {
            // Whatever stops the service from opening means there is no keychain to use.
            status = KeychainStatus::notAvailable;
            co_return false;
        }
        co_return true;
    }

    // A keychain that is installed but not running is started. KWallet takes the Secret Service's name
    // when it runs but can only be started by its own.
    QCoro::Task<bool> startKeychain() {
        std::shared_ptr<KeychainStep>* share = nullptr;
        auto step = KeychainStep::make(share);
        g_bus_get(G_BUS_TYPE_SESSION, cancellable, &KeychainStep::ready, share);
        if (!co_await reached(step)) co_return false;
        ErrorHolder e;
        Ref<GDBusConnection> bus(g_bus_get_finish(step->result, &e.error));
        if (!bus) {
            status = KeychainStatus::notAvailable;
            co_return false;
        }
        auto busCall = [&](const char* name, GVariant* args, const char* type) -> QCoro::Task<GVariant*> {
            std::shared_ptr<KeychainStep>* s = nullptr;
            auto st = KeychainStep::make(s);
            g_dbus_connection_call(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   name, args, G_VARIANT_TYPE(type), G_DBUS_CALL_FLAGS_NONE, -1, cancellable,
                                   &KeychainStep::ready, s);
            if (!co_await reached(st)) co_return nullptr;
            ErrorHolder err;
            GVariant* reply = g_dbus_connection_call_finish(bus.get(), st->result, &err.error);
            if (!reply) status = KeychainStatus::notAvailable;
            co_return reply;
        };
        auto hasOwner = [&]() -> QCoro::Task<std::optional<bool>> {
            GVariant* r = co_await busCall("NameHasOwner", g_variant_new("(s)", busName), "(b)");
            if (!r) co_return std::nullopt;
            gboolean owned = FALSE;
            g_variant_get(r, "(b)", &owned);
            g_variant_unref(r);
            co_return bool(owned);
        };
        const std::optional<bool> owned = co_await hasOwner();
        if (!owned) co_return false;
        if (*owned) co_return true;
        GVariant* r = co_await busCall("ListActivatableNames", nullptr, "(as)");
        if (!r) co_return false;
        bool secrets = false, kwallet = false;
        {
            GVariantIter* it = nullptr;
            const gchar* name = nullptr;
            g_variant_get(r, "(as)", &it);
            while (g_variant_iter_next(it, "&s", &name)) {
                secrets = secrets || g_str_equal(name, busName);
                kwallet = kwallet || g_str_equal(name, kwalletName);
            }
            g_variant_iter_free(it);
            g_variant_unref(r);
        }
        if (secrets) co_return true; // the bus starts it on the first request
        if (!kwallet) {
            status = KeychainStatus::notAvailable;
            co_return false;
        }
        r = co_await busCall("StartServiceByName", g_variant_new("(su)", kwalletName, 0u), "(u)");
        if (!r) co_return false;
        g_variant_unref(r);
        // It takes the Secret Service's name as it starts, just after its own: a short bounded look.
        for (int i = 0; i < 50; ++i) {
            const std::optional<bool> now = co_await hasOwner();
            if (!now) co_return false;
            if (*now) co_return true;
            co_await QCoro::sleepFor(100ms);
        }
        status = KeychainStatus::notAvailable;
        co_return false;
    }

    // The first of our items with the attributes; empty with status set when there is none.
    QCoro::Task<Ref<SecretItem>> find(const QByteArray& service, const QByteArray& account) {
        GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(attrs, const_cast<char*>("service"), const_cast<char*>(service.constData()));
        g_hash_table_insert(attrs, const_cast<char*>("account"), const_cast<char*>(account.constData()));
        GList* items = co_await search(schema(), attrs);
        g_hash_table_unref(attrs);
        Ref<SecretItem> item;
        if (items) item.p = SECRET_ITEM(g_object_ref(items->data));
        else if (status == KeychainStatus::success) status = KeychainStatus::itemNotFound;
        g_list_free_full(items, g_object_unref);
        co_return item;
    }

    QCoro::Task<GList*> search(const SecretSchema* s, GHashTable* attrs) {
        std::shared_ptr<KeychainStep>* share = nullptr;
        auto step = KeychainStep::make(share);
        secret_service_search(service, s, attrs, SECRET_SEARCH_ALL, cancellable, &KeychainStep::ready, share);
        if (!co_await reached(step)) co_return nullptr;
        ErrorHolder e;
        GList* items = secret_service_search_finish(service, step->result, &e.error);
        status = e.error ? statusFor(e.error) : KeychainStatus::success;
        co_return items;
    }
};

namespace {

QByteArray pathOf(gpointer proxy) { return QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(proxy))); }

SecretValue* valueOf(const QByteArray& data) {
    return secret_value_new(data.constData(), data.size(), "application/octet-stream");
}

// The reply's boolean result of a GTask-based libsecret call, status set when it failed.
template <class Finish> bool finished(SecretServiceKeychain::Call& c, Finish finish) {
    ErrorHolder e;
    const bool ok = finish(&e.error);
    if (!ok) c.status = statusFor(e.error);
    return ok;
}

} // namespace

SecretServiceKeychain::SecretServiceKeychain(std::chrono::milliseconds bound) : m_bound(bound) {}

SecretServiceKeychain::~SecretServiceKeychain() = default;

void SecretServiceKeychain::setPrompt(std::shared_ptr<KeychainPrompt> prompt) {
    m_prompt = std::move(prompt);
    setWaitingForUser(m_prompt != nullptr);
    // Answered after every call gave up on it: the next call starts afresh.
    if (KeychainPrompt* p = m_prompt.get())
        QObject::connect(p, &KeychainPrompt::finished, p, [this, p] {
            if (m_prompt.get() == p) setPrompt(nullptr);
        });
}

// Waits for the dialog open for us (ours or an earlier call's) until the deadline, or until the object
// is unlocked another way (the person may unlock it elsewhere, which does not finish our dialog).
QCoro::Task<bool> SecretServiceKeychain::waitForPrompt(Call& c, QByteArray path, const char* interface) {
    const std::shared_ptr<KeychainPrompt> prompt = m_prompt;
    while (!prompt->done && c.left() > 0ms) {
        co_await qCoro(prompt.get(), &KeychainPrompt::finished, std::min(c.left(), std::chrono::milliseconds(2s)));
        if (prompt->done) break;
        // Nothing to look at meanwhile (a wallet being made): wait on for the person.
        if (path.isEmpty()) continue;
        const std::optional<bool> still = co_await c.locked(path, interface);
        if (!still) co_return false;
        if (!*still) co_return true;
    }
    if (!prompt->done) {
        // Left open for the person; the next call joins it.
        c.status = KeychainStatus::interactionNotAllowed;
        co_return false;
    }
    if (prompt->dismissed) {
        c.status = KeychainStatus::userCanceled;
        co_return false;
    }
    co_return true;
}

QCoro::Task<bool> SecretServiceKeychain::ensureUnlocked(Call& c, QByteArray path, const char* interface) {
    // At most: join an open dialog, then open one of our own.
    for (int round = 0; round < 2; ++round) {
        const std::optional<bool> isLocked = co_await c.locked(path, interface);
        if (!isLocked) co_return false;
        if (!*isLocked) co_return true;
        if (m_prompt) {
            if (!co_await waitForPrompt(c, path, interface)) co_return false;
            continue;
        }
        const char* paths[] = {path.constData(), nullptr};
        GVariant* reply = co_await c.method("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Unlock",
                                            g_variant_new("(^ao)", paths), "(aoo)");
        if (!reply) co_return false;
        GVariantIter* unlocked = nullptr;
        const gchar* promptPath = nullptr;
        g_variant_get(reply, "(ao&o)", &unlocked, &promptPath);
        const bool now = g_variant_iter_n_children(unlocked) > 0;
        const QByteArray prompt(promptPath);
        g_variant_iter_free(unlocked);
        g_variant_unref(reply);
        if (now) co_return true;
        if (prompt == "/") {
            c.status = KeychainStatus::authFailed;
            co_return false;
        }
        auto p = std::make_shared<KeychainPrompt>(c.connection(), prompt);
        setPrompt(p);
        p->show(p);
        if (!co_await waitForPrompt(c, path, interface)) co_return false;
    }
    c.status = KeychainStatus::authFailed;
    co_return false;
}

// The keychain has no default collection: its own dialog makes one, under the label given, once. A
// dialog already open for it is joined.
QCoro::Task<bool> SecretServiceKeychain::createDefault(Call& c, QByteArray label) {
    if (m_prompt) co_return co_await waitForPrompt(c, QByteArray(), collectionInterface);
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&props, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string(label.constData()));
    GVariant* reply = co_await c.method("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "CreateCollection",
                                        g_variant_new("(a{sv}s)", &props, "default"), "(oo)");
    if (!reply) co_return false;
    const gchar* collection = nullptr;
    const gchar* promptPath = nullptr;
    g_variant_get(reply, "(&o&o)", &collection, &promptPath);
    const bool made = !g_str_equal(collection, "/");
    const QByteArray prompt(promptPath);
    g_variant_unref(reply);
    if (made || prompt == "/") co_return made;
    auto p = std::make_shared<KeychainPrompt>(c.connection(), prompt);
    setPrompt(p);
    p->show(p);
    co_return co_await waitForPrompt(c, QByteArray(), collectionInterface);
}

namespace {

constexpr const char* walletScheme = "kwallet:";
constexpr const char* walletFolder = "Kestrava";
constexpr const char* walletApp = "Kestrava";

// Our handle on a wallet, given back when the call ends however it ends; the wallet itself stays open.
struct WalletHandle {
    GDBusConnection* bus;
    int handle;
    WalletHandle(GDBusConnection* b, int h) : bus(b), handle(h) {}
    WalletHandle(const WalletHandle&) = delete;
    WalletHandle& operator=(const WalletHandle&) = delete;
    ~WalletHandle() {
        if (handle >= 0)
            g_dbus_connection_call(bus, kwalletName, "/modules/kwalletd5", "org.kde.KWallet", "close",
                                   g_variant_new("(ibs)", handle, FALSE, walletApp), nullptr,
                                   G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
    }
};

bool isUtf8(const QByteArray& data) { return QString::fromUtf8(data).toUtf8() == data; }

} // namespace

// Opens the wallet for us; -1 with status set when it does not open. A closed wallet asks the person
// for its password first, which takes a person's time; without ask, a closed wallet is left closed
// (-1, status untouched).
QCoro::Task<int> SecretServiceKeychain::openWallet(Call& c, QByteArray name, bool ask) {
    GVariant* r = co_await c.wallet("isOpen", g_variant_new("(s)", name.constData()), "(b)");
    if (!r) co_return -1;
    gboolean open = FALSE;
    g_variant_get(r, "(b)", &open);
    g_variant_unref(r);
    if (!open && !ask) co_return -1;
    if (!open) setWaitingForUser(true);
    r = co_await c.wallet("open", g_variant_new("(sxs)", name.constData(), gint64(0), walletApp), "(i)", G_MAXINT);
    if (!open) setWaitingForUser(m_prompt != nullptr);
    if (!r) co_return -1;
    gint32 handle = -1;
    g_variant_get(r, "(i)", &handle);
    g_variant_unref(r);
    if (handle < 0) c.status = KeychainStatus::userCanceled;
    co_return handle;
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::addToWallet(Call& c, QByteArray name, QByteArray key,
                                                                             QByteArray data) {
    WalletHandle h{c.connection(), co_await openWallet(c, name)};
    if (h.handle < 0) co_return KeychainFailure{c.status};
    GVariant* r = co_await c.wallet("hasFolder", g_variant_new("(iss)", h.handle, walletFolder, walletApp), "(b)");
    if (!r) co_return KeychainFailure{c.status};
    gboolean there = FALSE;
    g_variant_get(r, "(b)", &there);
    g_variant_unref(r);
    if (!there) {
        r = co_await c.wallet("createFolder", g_variant_new("(iss)", h.handle, walletFolder, walletApp), "(b)");
        if (!r) co_return KeychainFailure{c.status};
        g_variant_unref(r);
    }
    // Text as a password, which KWallet's own tools show as such; anything else byte for byte.
    const QByteArray k = key;
    if (isUtf8(data))
        r = co_await c.wallet("writePassword",
                              g_variant_new("(issss)", h.handle, walletFolder, k.constData(), data.constData(), walletApp),
                              "(i)");
    else
        r = co_await c.wallet("writeEntry",
                              g_variant_new("(iss@ayis)", h.handle, walletFolder, k.constData(),
                                            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.constData(), data.size(), 1),
                                            2, walletApp),
                              "(i)");
    if (!r) co_return KeychainFailure{c.status};
    gint32 written = -1;
    g_variant_get(r, "(i)", &written);
    g_variant_unref(r);
    if (written != 0) co_return KeychainFailure{KeychainStatus::ioError};
    co_return QByteArray(walletScheme) + name + '/' + walletFolder + '/' + k;
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::readWallet(Call& c, QByteArray reference) {
    const QByteArray rest = reference.mid(qsizetype(qstrlen(walletScheme)));
    const qsizetype slash = rest.indexOf('/');
    const QByteArray name = rest.left(slash), folderAndKey = rest.mid(slash + 1);
    const QByteArray folder = QByteArray(walletFolder) + '/';
    if (slash <= 0 || !folderAndKey.startsWith(folder) || folderAndKey.size() == folder.size())
        co_return KeychainFailure{KeychainStatus::itemNotFound};
    const QByteArray key = folderAndKey.mid(folder.size());
    WalletHandle h{c.connection(), co_await openWallet(c, name)};
    if (h.handle < 0) co_return KeychainFailure{c.status};
    GVariant* r = co_await c.wallet("entryType", g_variant_new("(isss)", h.handle, walletFolder, key.constData(), walletApp),
                                    "(i)");
    if (!r) co_return KeychainFailure{c.status};
    gint32 type = 0;
    g_variant_get(r, "(i)", &type);
    g_variant_unref(r);
    if (type == 0) co_return KeychainFailure{KeychainStatus::itemNotFound};
    const bool password = type == 1;
    r = co_await c.wallet(password ? "readPassword" : "readEntry",
                          g_variant_new("(isss)", h.handle, walletFolder, key.constData(), walletApp),
                          password ? "(s)" : "(ay)");
    if (!r) co_return KeychainFailure{c.status};
    QByteArray data;
    if (password) {
        const gchar* text = nullptr;
        g_variant_get(r, "(&s)", &text);
        data = QByteArray(text);
    } else {
        GVariant* bytes = g_variant_get_child_value(r, 0);
        gsize n = 0;
        const auto* p = static_cast<const char*>(g_variant_get_fixed_array(bytes, &n, 1));
        data = QByteArray(p, qsizetype(n));
        g_variant_unref(bytes);
    }
    g_variant_unref(r);
    co_return data;
}

// The key now lives in the offered collection: a copy left in the wallet by a first login goes, if the
// wallet is open anyway (never a dialog for this).
QCoro::Task<> SecretServiceKeychain::forgetWalletCopy(Call& c, QByteArray key) {
    const int status = c.status;
    const std::optional<Call::Wallet> wallet = co_await c.defaultWallet();
    if (wallet && wallet->exists) {
        WalletHandle h{c.connection(), co_await openWallet(c, wallet->name, false)};
        if (h.handle >= 0) {
            GVariant* r = co_await c.wallet(
                "removeEntry", g_variant_new("(isss)", h.handle, walletFolder, key.constData(), walletApp), "(i)");
            if (r) g_variant_unref(r);
        }
    }
    c.status = status;
}

QCoro::Task<KeychainResult<void>> SecretServiceKeychain::update(QString service, QString account, QByteArray data) {
    Call c(m_bound);
    if (!co_await c.open()) co_return KeychainFailure{c.status};
    const Ref<SecretItem> item = co_await c.find(service.toUtf8(), account.toUtf8());
    if (!item) co_return KeychainFailure{c.status};
    if (!co_await ensureUnlocked(c, pathOf(item.get()), itemInterface)) co_return KeychainFailure{c.status};
    std::shared_ptr<KeychainStep>* share = nullptr;
    auto step = KeychainStep::make(share);
    SecretValue* value = valueOf(data);
    secret_item_set_secret(item.get(), value, c.cancellable, &KeychainStep::ready, share);
    secret_value_unref(value);
    if (!co_await c.reached(step)) co_return KeychainFailure{c.status};
    if (!finished(c, [&](GError** e) { return secret_item_set_secret_finish(item.get(), step->result, e); }))
        co_return KeychainFailure{c.status};
    co_return KeychainResult<void>();
}

QCoro::Task<KeychainResult<void>> SecretServiceKeychain::rename(QString service, QString account, QString newService) {
    Call c(m_bound);
    if (!co_await c.open()) co_return KeychainFailure{c.status};
    const QByteArray a = account.toUtf8(), to = newService.toUtf8();
    const Ref<SecretItem> item = co_await c.find(service.toUtf8(), a);
    if (!item) co_return KeychainFailure{c.status};
    if (!co_await ensureUnlocked(c, pathOf(item.get()), itemInterface)) co_return KeychainFailure{c.status};
    GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attrs, const_cast<char*>("service"), const_cast<char*>(to.constData()));
    g_hash_table_insert(attrs, const_cast<char*>("account"), const_cast<char*>(a.constData()));
    std::shared_ptr<KeychainStep>* share = nullptr;
    auto step = KeychainStep::make(share);
    secret_item_set_attributes(item.get(), schema(), attrs, c.cancellable, &KeychainStep::ready, share);
    g_hash_table_unref(attrs);
    if (!co_await c.reached(step)) co_return KeychainFailure{c.status};
    if (!finished(c, [&](GError** e) { return secret_item_set_attributes_finish(item.get(), step->result, e); }))
        co_return KeychainFailure{c.status};
    co_return KeychainResult<void>();
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::add(QString service, QString account, QByteArray data) {
    Call c(m_bound);
    if (!co_await c.open()) co_return KeychainFailure{c.status};
    auto defaultCollection = [&]() -> QCoro::Task<Ref<SecretCollection>> {
        std::shared_ptr<KeychainStep>* share = nullptr;
        auto step = KeychainStep::make(share);
        secret_collection_for_alias(c.service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, c.cancellable,
                                    &KeychainStep::ready, share);
        if (!co_await c.reached(step)) co_return Ref<SecretCollection>();
        ErrorHolder e;
        Ref<SecretCollection> found(secret_collection_for_alias_finish(step->result, &e.error));
        c.status = e.error ? statusFor(e.error) : KeychainStatus::success;
        co_return found;
    };
    // Only ever the user's default collection: never one of our own.
    Ref<SecretCollection> collection = co_await defaultCollection();
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    if (!collection && c.status == KeychainStatus::success) {
        const std::optional<Call::Wallet> wallet = co_await c.defaultWallet();
        if (c.status != KeychainStatus::success) co_return KeychainFailure{c.status};
        // KWallet's default wallet exists but is not offered: asking for it would make a second one.
        if (wallet && wallet->exists) co_return co_await addToWallet(c, wallet->name, s + '/' + a, data);
        // Named apart: GCC 12 destroys a ?: temporary twice in a co_await expression.
        const QByteArray label = wallet ? wallet->name : QByteArray("Login");
        if (!co_await createDefault(c, label)) co_return KeychainFailure{c.status};
        collection = co_await defaultCollection();
        if (!collection && c.status == KeychainStatus::success) c.status = KeychainStatus::notAvailable;
    }
    if (!collection) co_return KeychainFailure{c.status};
    if (!co_await ensureUnlocked(c, pathOf(collection.get()), collectionInterface)) co_return KeychainFailure{c.status};

    GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attrs, const_cast<char*>("service"), const_cast<char*>(s.constData()));
    g_hash_table_insert(attrs, const_cast<char*>("account"), const_cast<char*>(a.constData()));
    SecretValue* value = valueOf(data);
    std::shared_ptr<KeychainStep>* share = nullptr;
    auto step = KeychainStep::make(share);
    secret_item_create(collection.get(), schema(), attrs, "Kestrava VPN anahtarı", value, SECRET_ITEM_CREATE_REPLACE,
                       c.cancellable, &KeychainStep::ready, share);
    secret_value_unref(value);
    g_hash_table_unref(attrs);
    if (!co_await c.reached(step)) co_return KeychainFailure{c.status};
    ErrorHolder e;
    const Ref<SecretItem> item(secret_item_create_finish(step->result, &e.error));
    if (!item) co_return KeychainFailure{statusFor(e.error)};
    co_await forgetWalletCopy(c, s + '/' + a);
    co_return pathOf(item.get());
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::copyMatching(QString service, QString account) {
    Call c(m_bound);
    if (!co_await c.open()) co_return KeychainFailure{c.status};
    const Ref<SecretItem> item = co_await c.find(service.toUtf8(), account.toUtf8());
    if (!item) co_return KeychainFailure{c.status};
    co_return pathOf(item.get());
}

QCoro::Task<KeychainResult<QByteArray>> SecretServiceKeychain::secretFor(QByteArray reference) {
    // Only item paths and wallet entries are references; anything else is not ours to look up.
    const bool inWallet = reference.startsWith(walletScheme);
    if ((!inWallet && !reference.startsWith("/org/freedesktop/secrets/")) || reference.contains('\0'))
        co_return KeychainFailure{KeychainStatus::itemNotFound};
    Call c(m_bound);
    if (!co_await c.open()) co_return KeychainFailure{c.status};
    if (inWallet) co_return co_await readWallet(c, reference);
    // Our items carry the schema's name; among them, the one at the path.
    GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attrs, const_cast<char*>("xdg:schema"), const_cast<char*>(schema()->name));
    GList* found = co_await c.search(nullptr, attrs);
    g_hash_table_unref(attrs);
    Ref<SecretItem> item;
    for (GList* l = found; l; l = l->next)
        if (!item && pathOf(l->data) == reference) item.p = SECRET_ITEM(g_object_ref(l->data));
    g_list_free_full(found, g_object_unref);
    if (!item) co_return KeychainFailure{c.status == KeychainStatus::success ? KeychainStatus::itemNotFound : c.status};
    if (!co_await ensureUnlocked(c, reference, itemInterface)) co_return KeychainFailure{c.status};
    std::shared_ptr<KeychainStep>* share = nullptr;
    auto step = KeychainStep::make(share);
    secret_item_load_secret(item.get(), c.cancellable, &KeychainStep::ready, share);
    if (!co_await c.reached(step)) co_return KeychainFailure{c.status};
    if (!finished(c, [&](GError** e) { return secret_item_load_secret_finish(item.get(), step->result, e); }))
        co_return KeychainFailure{c.status};
    SecretValue* value = secret_item_get_secret(item.get());
    if (!value) co_return KeychainFailure{KeychainStatus::itemNotFound};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    const QByteArray data(bytes, qsizetype(length));
    secret_value_unref(value);
    co_return data;
}

#include "secret_service_keychain.moc"
