#include "multi/unpackprogress.h"

#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr int kRefreshMs = 100;

} // namespace

int unpackMiB(qint64 bytes)
{
    return static_cast<int>((bytes + kMiB - 1) / kMiB);
}

UnpackResult unpackWithProgress(QWidget *parent, const QString &zip, const QString &dest,
                                const UnpackOptions &options)
{
    UnpackProgress progress;
    UnpackResult result;

    QProgressDialog dialog(parent);
    dialog.setWindowTitle(QObject::tr("Unpacking"));
    dialog.setLabelText(QObject::tr("Unpacking the image package ..."));
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(0);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setRange(0, 0); // busy until the total is known
    QObject::connect(&dialog, &QProgressDialog::canceled, [&progress] { progress.cancel = true; });

    // The result is written by the worker and read here only after it finished.
    // The release/acquire pair on `done` states that hand-over in the program
    // itself, not only through the thread's end inside Qt.
    std::atomic<bool> done{false};
    std::unique_ptr<QThread> worker(QThread::create([&result, &progress, &done, zip, dest, options] {
        result = unpackPackage(zip, dest, &progress, options);
        done.store(true, std::memory_order_release);
    }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);

    QTimer refresh;
    refresh.setInterval(kRefreshMs);
    QObject::connect(&refresh, &QTimer::timeout, &dialog, [&dialog, &progress] {
        const qint64 total = progress.bytesTotal.load();
        if (total <= 0 || progress.cancel.load())
            return;
        const int totalMiB = unpackMiB(total);
        const int doneMiB = std::min(totalMiB, unpackMiB(progress.bytesDone.load()));
        if (dialog.maximum() != totalMiB)
            dialog.setRange(0, totalMiB);
        dialog.setValue(doneMiB);
        dialog.setLabelText(
            QObject::tr("Unpacking the image package: %1 MiB of %2 MiB").arg(doneMiB).arg(totalMiB));
    });

    dialog.show();
    refresh.start();
    worker->start();
    if (!worker->isFinished())
        loop.exec();
    worker->wait();
    const bool finished = done.load(std::memory_order_acquire);
    Q_ASSERT(finished);
    Q_UNUSED(finished)
    refresh.stop();
    dialog.hide();
    return result;
}
