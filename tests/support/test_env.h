#pragma once

#include "platform/defaults_store.h"

#include <QTemporaryDir>

#include <memory>

// A private home for one test: HOME and the XDG folders point into a fresh temporary folder, and
// the process-wide defaults store is a fresh one there. Restarting the store re-reads the file,
// as a new process would.
class TestEnv {
public:
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    QString root() const { return m_dir.path(); }
    QString defaultsPath() const;
    DefaultsStore& defaults() { return *m_store; }
    DefaultsStore& restartDefaults();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
};
