#include "support/test_env.h"

#include <QDir>

TestEnv::TestEnv() {
    const QString r = m_dir.path();
    for (const char* sub : {"home", "config", "runtime", "cache"}) QDir(r).mkpath(QString::fromLatin1(sub));
    qputenv("HOME", QFile::encodeName(r + QStringLiteral("/home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(r + QStringLiteral("/config")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(r + QStringLiteral("/runtime")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(r + QStringLiteral("/cache")));
    QFile::setPermissions(r + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    restartDefaults();
}

TestEnv::~TestEnv() { DefaultsStore::setShared(nullptr); }

QString TestEnv::defaultsPath() const { return m_dir.path() + QStringLiteral("/config/kestrava/defaults.json"); }

DefaultsStore& TestEnv::restartDefaults() {
    DefaultsStore::setShared(nullptr);
    m_store = std::make_unique<DefaultsStore>(defaultsPath());
    DefaultsStore::setShared(m_store.get());
    return *m_store;
}
