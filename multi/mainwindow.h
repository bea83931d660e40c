#pragma once

#include "common/signing.h"
#include "multi/boardsession.h"
#include "platform/deviceeventsource.h"

#include <QImage>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class QCloseEvent;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class processbarthread;

namespace Ui {
class MainWindow;
}

// The multi-board window: the form, the slots' pictures and bars, the
// progress ticker, and Start's unpack with its dialog and boxes. The batch
// itself (slots, processes, port listing, records, counters, watchdog) is a
// BoardSession whose reports the window shows; the named Qt slots forward to it.
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
    // Each slot's tool output; the session reads it as it arrives, these
    // read what is waiting now.
    void onReadData_1();
    void onReadData_2();
    void onReadData_3();
    void onReadData_4();
    void onReadData_5();
    void onReadData_6();
    void onReadData_7();
    void onReadData_8();

private:
    static constexpr int kSlotCount = BoardSession::kSlotCount;

    struct SlotWidgets
    {
        QGroupBox *group = nullptr;
        QLabel *status = nullptr;
        QPushButton *restart = nullptr;
        QProgressBar *bar = nullptr;
    };

    void findSlotWidgets();
    void connectSession();
    void setUpRecordsLabels();
    void loadPictures();
    void setPackagePath(const QString &path);
    void removeStaleImageFolder();
    void appendStatus(const QString &text);
    void prepareStatusView();
    void showPicture(int index, BoardSession::Picture picture);
    void markBarRed(int index);
    void restoreBarStyle(int index);

    // Start, step by step.
    void showPackageMissing();
    bool prepareImages(QString *refusal, QString *boxText);
    bool unpackForStart(const Signing::Decision &signature, QString *refusal);
    void refuseStart(const QString &reason, const QString &boxText);
    void openBatch();

    std::unique_ptr<Ui::MainWindow> ui;
    processbarthread *progressThread = nullptr;
    BoardSession *session = nullptr; // child of the window
    std::array<SlotWidgets, kSlotCount> slotWidgets;
    QImage downloadImage;
    QImage failedImage;
    QImage successImage;
    QPixmap downloadPixmap; // the three above as shown
    QPixmap failedPixmap;
    QPixmap successPixmap;
    bool picturesLoaded = false;

    // Guarded: a source handed in by the caller may end before the window.
    QPointer<DeviceEventSource> deviceSource;
    ZipChooser chooseZip;

    QString batchPackageHash;
    QString batchSigningKey; // the key that verified the batch's package; empty when not checked
    QString startDir;
    QString toolDir;
    QString zipFilePath;
    QString zipFolder;
    QString imageFolder;
};
