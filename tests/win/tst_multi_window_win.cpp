// The multi-board window under wine: WM_DEVICECHANGE sent to its handle takes a plugged
// board's path (native event, decode, listing with the simulated tool, slot launch).

#include "multi/mainwindow.h"
#include "windowtestenv.h"
#include "zipmaker.h"

#include <QtTest>

#include <windows.h>

#include <dbt.h>

#include <vector>

namespace {

const int kWaitMs = 20000;

// What Windows sends for a device interface: the fixed fields, then the name and its terminator.
void sendDeviceChange(QWidget *window, WPARAM event, const wchar_t *vendorAndSerial)
{
    const std::wstring name =
        L"\\\\?\\USB#VID_" + std::wstring(vendorAndSerial) + L"#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
    std::vector<wchar_t> m(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) / sizeof(wchar_t));
    m.insert(m.end(), name.c_str(), name.c_str() + name.size() + 1);
    const DWORD head[2] = {DWORD(m.size() * sizeof(wchar_t)), DBT_DEVTYP_DEVICEINTERFACE};
    memcpy(m.data(), head, sizeof head);
    ::SendMessageW(HWND(window->winId()), WM_DEVICECHANGE, event, LPARAM(m.data()));
}

} // namespace

class tst_MultiWindowWin : public QObject
{
    Q_OBJECT

private slots:
    // A board plugged while Start unpacks, then another vendor's device, then the board
    // unplugged and plugged again, twice: the first return only re-arms the finished slot,
    // the second burns again (without the removals the port never counts as new).
    void deviceChangesDriveASlot()
    {
        WindowTestFolder folder;
        QVERIFY(folder.writeBoardConfig(QStringLiteral("CHIPW"), QStringLiteral("OSW")));
        // The simulated tool beside this test; it finds its bench in config/bench.
        qunsetenv("USB_DL_BENCH");
        QVERIFY(QDir().mkpath(folder.file(QStringLiteral("config/bench"))));
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/usb_dl.exe"),
                            folder.file(QStringLiteral("config/usb_dl.exe"))));
        const auto plug = [&](bool plugged) {
            QVERIFY(folder.writeFile(QStringLiteral("config/bench/state.txt"),
                                     plugged ? "single ok\nport 1 3 ok\n" : "single ok\n"));
        };
        const auto calls = [&] {
            return QString::fromUtf8(folder.readFile(QStringLiteral("config/bench/calls.log")))
                .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                .filter(QStringLiteral(" -p "));
        };
        // A package big enough that the unpack's progress dialog runs an event loop.
        QByteArray noise(48 << 20, '\0');
        for (int i = 0; i < noise.size(); i += 4)
            noise[i] = char((unsigned(i) * 2654435761u) >> 24);
        const QString zip = folder.file(QStringLiteral("images.zip"));
        QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("rootfs.img", noise)}));
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
            .setValue(QStringLiteral("lastPath2"), zip);
        plug(true);
        MainWindow window;
        const MultiWindowView view(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        bool duringStart = false;
        QTimer::singleShot(0, &window, [&] {
            duringStart =
                !view.button("startButton")->isEnabled() && window.findChildren<QProcess *>().isEmpty();
            sendDeviceChange(&window, DBT_DEVICEARRIVAL, L"7352&PID_1000#QB3133");
        });
        view.click("startButton");
        QVERIFY2(duringStart, "the board was not plugged while Start was unpacking");
        QVERIFY(settleListings());
        QTRY_VERIFY2_WITH_TIMEOUT(view.status().contains(QStringLiteral("Board 1 download complete!")),
                                  qPrintable(view.status()), kWaitMs);
        const QStringList first = calls();
        QVERIFY2(first.size() == 1 && first[0].startsWith(QStringLiteral("-c CHIPW -s OSW -i ")) &&
                     first[0].endsWith(QStringLiteral(" -p 1,3")),
                 qPrintable(first.join(QLatin1Char('\n'))));
        QVERIFY(folder.readFile(QStringLiteral("log_multiplex.txt")).contains("USB Port removed: 1 3"));
        sendDeviceChange(&window, DBT_DEVICEARRIVAL, L"1234&PID_1000#X1");
        QVERIFY(!listingRuns());
        for (int round = 0; round < 2; ++round) {
            plug(false);
            sendDeviceChange(&window, DBT_DEVICEREMOVECOMPLETE, L"7352&PID_1000#QB3133");
            QVERIFY(settleListings());
            plug(true);
            sendDeviceChange(&window, DBT_DEVICEARRIVAL, L"7352&PID_1000#QB3133");
            QVERIFY(settleListings());
        }
        QTRY_COMPARE_WITH_TIMEOUT(calls(), QStringList({first[0], first[0]}), kWaitMs);
        view.click("stopButton");
    }
};

QTEST_MAIN(tst_MultiWindowWin)
#include "tst_multi_window_win.moc"
