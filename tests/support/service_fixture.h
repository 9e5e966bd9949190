#pragma once

#include "support/dev_service.h"

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QString>

// Case-insensitive header lookup in a request recorded by the stand-in service; null if absent.
QString recordedHeader(const QJsonObject& request, const QString& name);
bool hasRecordedHeader(const QJsonObject& request, const QString& name);

// A scenario with one account (a@kestrava.test / pw, token "tok-1") and two servers.
QJsonObject basicScenario();

// Starts the service and points the API origin and website origin of this process at it. The
// origins are read once per process, so call this before any request.
bool startServiceForProcess(DevService& service, const QJsonObject& scenario = basicScenario());

// This process's environment for a copy of the program: pointed at the service, on the simulated
// tunnel, with HOME at home and its settings under configHome.
QProcessEnvironment programEnvironment(const DevService& service, const QString& home, const QString& configHome);

// Ends each copy of the program a test started that still runs (a stopped one is woken to be killed),
// and forgets them all.
void endPrograms(QList<QProcess*>& started);

// A servers reply ({"servers": [...]}) of n entries "s-0" onwards, each one a valid server.
QJsonObject serverList(int n);

// The scenario with key set to value.
QJsonObject scenarioWith(const char* key, const QJsonValue& value, QJsonObject scenario = basicScenario());

// The scenario with one canned reply (status, body, delay, ...) in place of what method and path
// would get.
QJsonObject withReply(const char* method, const char* path, QJsonObject reply,
                      QJsonObject scenario = basicScenario());

// "METHOD /path" of each recorded request.
QStringList requestLines(const QJsonArray& requests);
