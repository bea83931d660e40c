#include "app/startup.h"

#include <QOperatingSystemVersion>
#include <QtTest>

#include <sstream>

class tst_Startup : public QObject
{
    Q_OBJECT
private slots:
    void dispatch_data();
    void dispatch();
    void compatDecision_data();
    void compatDecision();
    void compatMessages();
};

void tst_Startup::dispatch_data()
{
    QTest::addColumn<QString>("burnType");
    QTest::addColumn<int>("expected");
    using W = Startup::FirstWindow;
    QTest::newRow("Default") << "Default" << int(W::Selection);
    QTest::newRow("Single") << "Single" << int(W::Single);
    QTest::newRow("Multiple") << "Multiple" << int(W::Multiple);
    QTest::newRow("empty") << "" << int(W::Selection);
    QTest::newRow("lower single") << "single" << int(W::Selection);
    QTest::newRow("upper MULTIPLE") << "MULTIPLE" << int(W::Selection);
    QTest::newRow("trailing blank") << "Single " << int(W::Selection);
    QTest::newRow("other") << "Both" << int(W::Selection);
}

void tst_Startup::dispatch()
{
    QFETCH(QString, burnType);
    QFETCH(int, expected);
    QCOMPARE(int(Startup::firstWindowFor(burnType)), expected);
}

void tst_Startup::compatDecision_data()
{
    // QOperatingSystemVersion has no default constructor, so rows carry its parts.
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("micro");
    QTest::addColumn<bool>("needed");
    using V = QOperatingSystemVersion;
    QTest::newRow("Windows 7") << int(V::Windows) << 6 << 1 << -1 << true;
    QTest::newRow("Windows 8") << int(V::Windows) << 6 << 2 << -1 << true;
    QTest::newRow("Windows 8.1") << int(V::Windows) << 6 << 3 << -1 << true;
    QTest::newRow("Windows 10") << int(V::Windows) << 10 << -1 << -1 << false;
    QTest::newRow("Windows 11") << int(V::Windows) << 10 << 0 << 22000 << false;
    QTest::newRow("Vista") << int(V::Windows) << 6 << 0 << -1 << false;
    QTest::newRow("macOS") << int(V::MacOS) << 10 << 14 << -1 << false;
    QTest::newRow("unknown system 7.0") << int(V::Unknown) << 7 << 0 << -1 << false;
}

void tst_Startup::compatDecision()
{
    QFETCH(int, type);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, micro);
    QFETCH(bool, needed);
    const QOperatingSystemVersion v(QOperatingSystemVersion::OSType(type), major, minor, micro);
    QCOMPARE(Startup::needsCompatLayer(v), needed);
}

void tst_Startup::compatMessages()
{
    std::ostringstream out, err;
    QByteArray seenName, seenData;
    int calls = 0;
    auto writer = [&](const char *n, const char *d) {
        ++calls;
        seenName = n;
        seenData = d;
        return true;
    };
    using V = QOperatingSystemVersion;

    // Windows 10 and other systems: nothing written, nothing printed.
    QVERIFY(!Startup::runCompatStep(V(V::Windows10), QStringLiteral("C:/a"), writer, out, err));
    QVERIFY(!Startup::runCompatStep(V(V::MacOSMojave), QStringLiteral("/a"), writer, out, err));
    QCOMPARE(calls, 0);
    QVERIFY(out.str().empty() && err.str().empty());
    // The value name is the tool's Windows path, UTF-8, without a forward slash.
    QVERIFY(Startup::runCompatStep(V(V::Windows7), QStringLiteral("C:/Prüf stand"), writer, out, err));
    QCOMPARE(seenName, QStringLiteral("C:\\Prüf stand\\config\\usb_dl.exe").toUtf8());
    out.str(std::string());

    QVERIFY(Startup::runCompatStep(V(V::Windows8_1), QStringLiteral("C:/a"), writer, out, err));
    QCOMPARE(calls, 2);
    QCOMPARE(seenName, QByteArray("C:\\a\\config\\usb_dl.exe"));
    QCOMPARE(seenData, QByteArray("~ WIN7RTM"));
    QCOMPARE(QByteArray::fromStdString(out.str()), QByteArray("Compatibility mode set successfully.\n"));
    QVERIFY(err.str().empty());

    std::ostringstream out2, err2;
    auto failing = [](const char *, const char *) { return false; };
    QVERIFY(Startup::runCompatStep(V(V::Windows7), QStringLiteral("C:/a"), failing, out2, err2));
    QVERIFY(out2.str().empty());
    QCOMPARE(QByteArray::fromStdString(err2.str()), QByteArray("Failed to set compatibility mode.\n"));
}

QTEST_APPLESS_MAIN(tst_Startup)
#include "tst_startup.moc"
