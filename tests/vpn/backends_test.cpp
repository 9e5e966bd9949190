// Which facility the program takes when none is forced.
#include "vpn/backends.h"

#include <QTest>

using A = StrongSwanFacility::SocketAccess;
using C = Backends::Choice;
Q_DECLARE_METATYPE(A)
Q_DECLARE_METATYPE(C)

class BackendsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void automaticChoice_data() {
        QTest::addColumn<bool>("networkManager");
        QTest::addColumn<A>("charon");
        QTest::addColumn<C>("expected");
        QTest::newRow("NetworkManager wins") << true << A::reachable << C::networkManager;
        QTest::newRow("charon for this user") << false << A::reachable << C::strongSwan;
        // Stopped now, perhaps started later: connecting asks whether it runs.
        QTest::newRow("charon's socket, nobody listening") << false << A::refused << C::strongSwan;
        QTest::newRow("charon closed to this user") << false << A::denied << C::charonDenied;
        QTest::newRow("nothing") << false << A::missing << C::none;
    }
    void automaticChoice() {
        QFETCH(bool, networkManager);
        QFETCH(A, charon);
        QFETCH(C, expected);
        QCOMPARE(Backends::choose(networkManager, charon), expected);
    }
};

QTEST_GUILESS_MAIN(BackendsTest)
#include "backends_test.moc"
