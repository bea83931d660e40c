// The multi-board window on the Windows device source, with the real window:
// WM_DEVICECHANGE messages sent to its handle take the path a plugged board's
// do (native event, decode, listing with the simulated tool, slot launch).
// Runs under wine with the windows platform plugin and a display.

#include "multi/mainwindow.h"
#include "platform/deviceeventsource.h"
#include "tests/multi/windowtestenv.h"
#include "zipmaker.h"

#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <windows.h>

#include <dbt.h>

#include <vector>

namespace {

const int kWaitMs = 20000;

QString interfaceName(const char *serial)
{
    return QStringLiteral("\\\\?\\USB#VID_7352&PID_1000#%1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}")
        .arg(QLatin1String(serial));
}

// Sends what Windows sends for a device interface: the structure with the
// name's UTF-16 units and terminator right behind the fixed part.
void sendDeviceChange(QWidget *window, WPARAM event, const QString &name)
{
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const std::wstring wide = name.toStdWString();
    std::vector<char> buffer(nameOffset + (wide.size() + 1) * sizeof(wchar_t), 0);
    auto *head = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(buffer.data());
    head->dbcc_size = DWORD(buffer.size());
    head->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    memcpy(buffer.data() + nameOffset, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    ::SendMessageW(reinterpret_cast<HWND>(window->winId()), WM_DEVICECHANGE, event,
                   reinterpret_cast<LPARAM>(buffer.data()));
}

} // namespace

class TestMultiWindowWin : public QObject
{
    Q_OBJECT

    WindowTestFolder *folder = nullptr;

    QString benchDir() const { return folder->file(QStringLiteral("config/bench")); }

    // Boards on the simulated bench, as "LEVEL NUMBER" pairs, all playing "ok".
    bool plug(const QStringList &ports) const
    {
        QByteArray state = "single ok\n";
        for (const QString &port : ports)
            state += "port " + port.toLatin1() + " ok\n";
        return QDir().mkpath(benchDir()) &&
               folder->writeFile(QStringLiteral("config/bench/state.txt"), state);
    }

    QStringList downloadCalls() const
    {
        const QString calls = QString::fromUtf8(folder->readFile(QStringLiteral("config/bench/calls.log")));
        return calls.split(QLatin1Char('\n'), Qt::SkipEmptyParts).filter(QStringLiteral(" -p "));
    }

    static QString status(QWidget *window)
    {
        return window->findChild<QPlainTextEdit *>(QStringLiteral("statusText"))->toPlainText();
    }

private slots:
    void init()
    {
        folder = new WindowTestFolder;
        QVERIFY(folder->isValid());
        QVERIFY(folder->writeBoardConfig(QStringLiteral("CHIPW"), QStringLiteral("OSW")));
        // The simulated tool beside this test; it finds its bench in config/bench.
        qunsetenv("USB_DL_BENCH");
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/usb_dl.exe"),
                            folder->file(QStringLiteral("config/usb_dl.exe"))));
        QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    }
    void cleanup()
    {
        delete folder;
        folder = nullptr;
    }

    void arrivalAndRemovalMessagesDriveASlot()
    {
        const QString zip = folder->file(QStringLiteral("pkg/images.zip"));
        QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", QByteArray(4096, 'b'))}));
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
            .setValue(QStringLiteral("lastPath2"), zip);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<QPushButton *>(QStringLiteral("startButton"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(status(&window).startsWith(QStringLiteral("Package unpacked (")), kWaitMs);

        QVERIFY(plug({QStringLiteral("1 2")}));
        // Another vendor's device and a storage volume change nothing.
        sendDeviceChange(
            &window, DBT_DEVICEARRIVAL,
            QStringLiteral("\\\\?\\USB#VID_1234&PID_5678#X1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
        sendDeviceChange(&window, DBT_DEVICEARRIVAL, interfaceName("QB3132"));
        QVERIFY(settleListings());
        QTRY_VERIFY2_WITH_TIMEOUT(status(&window).contains(QStringLiteral("Board 1 download complete!")),
                                  qPrintable(status(&window)), kWaitMs);
        QCOMPARE(window.findChild<QGroupBox *>(QStringLiteral("groupBox"))->title(),
                 QStringLiteral("Board 1->USB Port: 1,2"));
        QCOMPARE(downloadCalls().size(), 1);
        QVERIFY2(downloadCalls().constFirst().startsWith(QStringLiteral("-c CHIPW -s OSW -i ")) &&
                     downloadCalls().constFirst().endsWith(QStringLiteral(" -p 1,2")),
                 qPrintable(downloadCalls().constFirst()));

        QVERIFY(plug({}));
        sendDeviceChange(&window, DBT_DEVICEREMOVECOMPLETE, interfaceName("QB3132"));
        QVERIFY(settleListings());
        QTRY_VERIFY_WITH_TIMEOUT(
            folder->readFile(QStringLiteral("log_multiplex.txt")).contains("USB Port removed: 1 2"), kWaitMs);
        window.findChild<QPushButton *>(QStringLiteral("stopButton"))->click();
    }

    void boardPluggedWhileStartUnpacksIsLaunched()
    {
        // A package big enough that the unpack's progress dialog runs an event loop.
        const QString zip = folder->file(QStringLiteral("pkg/big.zip"));
        QByteArray noise(48 << 20, '\0');
        for (int i = 0; i < noise.size(); i += 4)
            noise[i] = char((unsigned(i) * 2654435761u) >> 24);
        QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("rootfs.img", noise)}));
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
            .setValue(QStringLiteral("lastPath2"), zip);
        QVERIFY(plug({QStringLiteral("1 3")}));

        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *start = window.findChild<QPushButton *>(QStringLiteral("startButton"));
        bool duringStart = false;
        QTimer::singleShot(0, &window, [&] {
            duringStart = !start->isEnabled() && window.findChildren<QProcess *>().isEmpty();
            sendDeviceChange(&window, DBT_DEVICEARRIVAL, interfaceName("QB3133"));
        });
        start->click();
        QVERIFY2(duringStart, "the board was not plugged while Start was unpacking");
        QVERIFY(settleListings());
        QTRY_VERIFY2_WITH_TIMEOUT(status(&window).contains(QStringLiteral("Board 1 Start Downloading  ...")),
                                  qPrintable(status(&window)), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(downloadCalls().size() == 1, kWaitMs);
        QVERIFY(downloadCalls().constFirst().endsWith(QStringLiteral(" -p 1,3")));
        window.findChild<QPushButton *>(QStringLiteral("stopButton"))->click();
    }
};

QTEST_MAIN(TestMultiWindowWin)
#include "tst_multi_window_win.moc"
