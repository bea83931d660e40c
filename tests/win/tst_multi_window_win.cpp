// The multi-board window on the Windows device source, under wine with a display:
// WM_DEVICECHANGE sent to the real window's handle takes a plugged board's path
// (native event, decode, listing with the simulated tool, slot launch).

#include "multi/mainwindow.h"
#include "tests/multi/windowtestenv.h"
#include "zipmaker.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <windows.h>

#include <dbt.h>

#include <vector>

namespace {

const int kWaitMs = 20000;

// What Windows sends for a device interface: the fixed part, then the name and its terminator.
void sendDeviceChange(QWidget *window, WPARAM event, const char *vendorAndSerial)
{
    const std::wstring name = QStringLiteral("\\\\?\\USB#VID_%1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")
                                  .arg(vendorAndSerial)
                                  .toStdWString();
    const size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<char> buffer(offset + (name.size() + 1) * sizeof(wchar_t), 0);
    auto *head = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(buffer.data());
    head->dbcc_size = DWORD(buffer.size());
    head->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    memcpy(buffer.data() + offset, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    ::SendMessageW(HWND(window->winId()), WM_DEVICECHANGE, event, LPARAM(buffer.data()));
}

} // namespace

class tst_MultiWindowWin : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<MainWindow> window;

    // The remembered package, boards on the simulated bench ("LEVEL NUMBER", all playing "ok"),
    // and the window shown.
    void open(const QByteArray &image, const QStringList &ports)
    {
        const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
        QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", image)}));
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
            .setValue(QStringLiteral("lastPath2"), zip);
        plug(ports);
        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void plug(const QStringList &ports) const
    {
        QByteArray state = "single ok\n";
        for (const QString &port : ports)
            state += "port " + port.toLatin1() + " ok\n";
        QVERIFY(folder->writeFile(QStringLiteral("config/bench/state.txt"), state));
    }
    QStringList downloadCalls() const
    {
        return QString::fromUtf8(folder->readFile(QStringLiteral("config/bench/calls.log")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
            .filter(QStringLiteral(" -p "));
    }
    QPushButton *button(const char *name) const
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }
    QString status() const
    {
        return window->findChild<QPlainTextEdit *>(QStringLiteral("statusText"))->toPlainText();
    }

private slots:
    void init()
    {
        folder = std::make_unique<WindowTestFolder>();
        QVERIFY(folder->writeBoardConfig(QStringLiteral("CHIPW"), QStringLiteral("OSW")));
        // The simulated tool beside this test; it finds its bench in config/bench.
        qunsetenv("USB_DL_BENCH");
        QVERIFY(QDir().mkpath(folder->file(QStringLiteral("config/bench"))) &&
                QDir().mkpath(folder->file(QStringLiteral("pkg"))));
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/usb_dl.exe"),
                            folder->file(QStringLiteral("config/usb_dl.exe"))));
    }
    void cleanup()
    {
        if (window)
            button("stopButton")->click();
        window.reset();
        folder.reset();
    }

    void arrivalAndRemovalDriveASlot()
    {
        open(QByteArray(4096, 'b'), {});
        button("startButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(status().startsWith(QStringLiteral("Package unpacked (")), kWaitMs);
        plug({QStringLiteral("1 2")});
        sendDeviceChange(window.get(), DBT_DEVICEARRIVAL, "1234&PID_1000#X1"); // another vendor's device
        QVERIFY(!listingRuns());
        sendDeviceChange(window.get(), DBT_DEVICEARRIVAL, "7352&PID_1000#QB3132");
        QVERIFY(settleListings());
        QTRY_VERIFY2_WITH_TIMEOUT(status().contains(QStringLiteral("Board 1 download complete!")),
                                  qPrintable(status()), kWaitMs);
        QCOMPARE(downloadCalls().size(), 1);
        QVERIFY2(downloadCalls().constFirst().startsWith(QStringLiteral("-c CHIPW -s OSW -i ")) &&
                     downloadCalls().constFirst().endsWith(QStringLiteral(" -p 1,2")),
                 qPrintable(downloadCalls().constFirst()));
        QTRY_VERIFY_WITH_TIMEOUT(
            folder->readFile(QStringLiteral("log_multiplex.txt")).contains("USB Port removed: 1 2"), kWaitMs);
        // Unplugged and plugged again, twice: the first return only re-arms the finished slot,
        // the second burns again. Without the removals the port never counts as new.
        for (int round = 0; round < 2; ++round) {
            plug({});
            sendDeviceChange(window.get(), DBT_DEVICEREMOVECOMPLETE, "7352&PID_1000#QB3132");
            QVERIFY(settleListings());
            plug({QStringLiteral("1 2")});
            sendDeviceChange(window.get(), DBT_DEVICEARRIVAL, "7352&PID_1000#QB3132");
            QVERIFY(settleListings());
        }
        QTRY_COMPARE_WITH_TIMEOUT(downloadCalls().size(), 2, kWaitMs);
    }

    void boardPluggedWhileStartUnpacksIsLaunched()
    {
        // A package big enough that the unpack's progress dialog runs an event loop.
        QByteArray noise(48 << 20, '\0');
        for (int i = 0; i < noise.size(); i += 4)
            noise[i] = char((unsigned(i) * 2654435761u) >> 24);
        open(noise, {QStringLiteral("1 3")});
        bool duringStart = false;
        QTimer::singleShot(0, window.get(), [&] {
            duringStart = !button("startButton")->isEnabled() && window->findChildren<QProcess *>().isEmpty();
            sendDeviceChange(window.get(), DBT_DEVICEARRIVAL, "7352&PID_1000#QB3133");
        });
        button("startButton")->click();
        QVERIFY2(duringStart, "the board was not plugged while Start was unpacking");
        QVERIFY(settleListings());
        QTRY_VERIFY_WITH_TIMEOUT(downloadCalls().size() == 1, kWaitMs);
        QVERIFY2(downloadCalls().constFirst().endsWith(QStringLiteral(" -p 1,3")),
                 qPrintable(downloadCalls().constFirst()));
    }
};

QTEST_MAIN(tst_MultiWindowWin)
#include "tst_multi_window_win.moc"
