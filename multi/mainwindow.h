#pragma once

#include "app/lineassembler.h"
#include "multi/porttracker.h"
#include "platform/deviceeventsource.h"

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QVector>

#include <array>
#include <functional>
#include <memory>

class QCloseEvent;
class QGroupBox;
class QLabel;
class QProcess;
class QProgressBar;
class QPushButton;
class processbarthread;

namespace Ui {
class MainWindow;
}

// The multi-board window: eight board slots, each bound for good to the n-th
// distinct USB port that carries a board. Start prepares one tool process per
// slot; a board plugged into a bound port starts its slot's transfer, whose
// output drives the slot's picture, progress and the operator log. The per-slot
// widgets are found once and addressed by index; the numbered slots are thin
// wrappers around one routine.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(MainWindow)
public:
    // Asks for a package: (parent, caption, start folder, filter) -> path or "".
    using ZipChooser = std::function<QString(QWidget *parent, const QString &caption, const QString &dir,
                                             const QString &filter)>;

    // deviceSource: where USB arrivals and removals come from; not owned when
    // given, created for this process (and owned) when null. chooser: the
    // package dialog; the standard file dialog when empty.
    explicit MainWindow(QWidget *parent = nullptr, DeviceEventSource *deviceSource = nullptr,
                        ZipChooser chooser = {});
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;

private slots:
    void onReadData_1();
    void onReadData_2();
    void onReadData_3();
    void onReadData_4();
    void onReadData_5();
    void onReadData_6();
    void onReadData_7();
    void onReadData_8();
    void selectZipFile();
    void startDownload();
    void stopDownload();
    void closeWindow();
    void restart_1();
    void restart_2();
    void restart_3();
    void restart_4();
    void restart_5();
    void restart_6();
    void restart_7();
    void restart_8();

private:
    static constexpr int kSlotCount = 8;

    // The widgets of one board slot.
    struct BoardSlot
    {
        QGroupBox *group = nullptr;
        QLabel *status = nullptr;
        QPushButton *restart = nullptr;
        QProgressBar *bar = nullptr;
    };

    void findSlotWidgets();
    void loadPictures();
    void setPackagePath(const QString &path);
    void removeStaleImageFolder();
    void appendStatus(const QString &text);
    void setProgressValue(int index, float value);
    float progressValue(int index) const;
    void unpackForStart();
    void releaseProcess(QProcess *process);

    // Hot-plug and port binding.
    void registerDeviceNotifications();
    void onDeviceEvent(DeviceEventSource::Kind kind, const QString &interfaceName);
    QVector<PortRecord> scanPorts();
    void registerPorts(QVector<PortRecord> newPorts);

    // One board's transfer.
    void launchBoard(PortRecord port, QProcess *process, int index);
    void readBoardOutput(int index);
    void finishBoardOutput(int index);
    void handleBoardLines(int index, const QStringList &lines);
    void markBarRed(int index);
    void restartBoard(int index);

    std::unique_ptr<Ui::MainWindow> ui;
    processbarthread *progressThread = nullptr;
    QVector<QProcess *> processes;
    PortTracker portTracker; // scannedPorts and boardPorts
    QVector<qint32> boardDone;
    QVector<qint32> boardBusy;
    QImage downloadImage;
    QImage failedImage;
    QImage successImage;

    std::array<BoardSlot, kSlotCount> boardSlots;
    // Each slot's output cut into whole lines; the unfinished tail waits,
    // undecoded, so a character cut between two reads stays whole.
    std::array<LineAssembler, kSlotCount> pendingOutput;
    std::array<bool, kSlotCount> handlingOutput{};
    // Guarded: a source handed in by the caller may end before the window.
    QPointer<DeviceEventSource> deviceSource;
    ZipChooser chooseZip;

    QString chipType;
    QString osType;
    QString startDir;
    QString toolDir;
    QString zipFilePath;
    QString zipFolder;
    QString imageFolder;
};
