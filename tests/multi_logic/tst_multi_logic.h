#pragma once

#include <QObject>
#include <QTemporaryDir>

#include <memory>

// Multi-board decisions: device filter, port listing, port tracking with the
// run log, and the per-line output decisions. Runs in a temporary current
// directory so the run log can be read back.
class tst_MultiLogic final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // tst_ports.cpp
    void filter_data();
    void filter();
    void listing_data();
    void listing();
    void listingDuplicateDiagnostic();
    void trackerBindingAndLog();
    void trackerRelistingAndNinthPort();
    void trackerOneTimeGuard();
    void trackerBeforeStartAndFailedSlot();
    void logFileHandling();

    // tst_boardoutput.cpp
    void split_data();
    void split();
    void decodeKeepsEveryByte();
    void lineKinds_data();
    void lineKinds();
    void updatedSize_data();
    void updatedSize();
    void waitingStopsAtTen();
    void breakAndSlotTexts();

private:
    QString m_oldCwd;
    std::unique_ptr<QTemporaryDir> m_dir;
};

// Contents of the run log in the current directory, empty when missing.
QByteArray readRunLog();
