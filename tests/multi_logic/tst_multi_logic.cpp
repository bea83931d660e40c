#include "tst_multi_logic.h"

#include "multi/multiplexlog.h"

#include <QDir>
#include <QFile>
#include <QtTest>

void tst_MultiLogic::initTestCase()
{
    m_oldCwd = QDir::currentPath();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void tst_MultiLogic::init()
{
    QFile::remove(QString::fromLatin1(MultiplexLog::kFileName));
}

void tst_MultiLogic::cleanupTestCase()
{
    QDir::setCurrent(m_oldCwd);
}

QByteArray readRunLog()
{
    QFile file(QString::fromLatin1(MultiplexLog::kFileName));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QTEST_APPLESS_MAIN(tst_MultiLogic)
