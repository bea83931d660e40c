// Removing a whole folder tree: complete or not visible under its name,
// however deep, never following links; and files created only where nothing is.
#include "platform/filehandle.h"
#include "platform/fileops.h"
#include "tests/common/testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class tst_FileOps : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void deepTreeIsRemovedCompletely();
    void linksAreRemovedNotFollowed();
    void leftoversOfAnEarlierRemovalGo();
    void createdFilesAreNew();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_tree;
    QStringList parentEntries() const
    {
        return QDir(m_tmp->path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }
};

void tst_FileOps::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_tree = m_tmp->path() + QStringLiteral("/QuorBurnImage");
}

void tst_FileOps::deepTreeIsRemovedCompletely()
{
    // A chain of folders whose full path is far beyond PATH_MAX, a file at
    // every tenth level; built relative to descriptors as no path could reach it.
    QVERIFY(QDir().mkpath(m_tree));
    int fd = ::open(QFile::encodeName(m_tree).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(fd >= 0);
    const QByteArray name(60, 'd');
    const int depth = 200; // about 12,200 bytes of path
    for (int level = 0; level < depth; ++level) {
        if (level % 10 == 0) {
            const int file = ::openat(fd, "image.bin", O_WRONLY | O_CREAT, 0644);
            QVERIFY(file >= 0 && ::write(file, "x", 1) == 1);
            ::close(file);
        }
        QVERIFY(::mkdirat(fd, name.constData(), 0755) == 0);
        const int next = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        QVERIFY(fd >= 0);
    }
    ::close(fd);
    QVERIFY(!QDir(m_tree).removeRecursively()); // what a path-based removal makes of it
    QVERIFY(QFileInfo(m_tree).isDir());

    QString error;
    QVERIFY2(FileOps::removeTreeAside(m_tree, &error), qPrintable(error));
    QVERIFY(!QFileInfo::exists(m_tree));
    QVERIFY2(parentEntries().isEmpty(), qPrintable(parentEntries().join(QLatin1Char(' '))));
    // Nothing there is still success.
    QVERIFY(FileOps::removeTreeAside(m_tree, &error));
}

void tst_FileOps::linksAreRemovedNotFollowed()
{
    const QString outside = m_tmp->path() + QStringLiteral("/outside");
    QVERIFY(QDir().mkpath(outside + QStringLiteral("/sub")));
    QVERIFY(TestFiles::writeFile(outside + QStringLiteral("/sub/keep.img"), "keep"));

    // A link inside the tree, to a folder and to a file outside.
    QVERIFY(QDir().mkpath(m_tree + QStringLiteral("/a")));
    QVERIFY(QFile::link(outside, m_tree + QStringLiteral("/a/folderlink")));
    QVERIFY(QFile::link(outside + QStringLiteral("/sub/keep.img"), m_tree + QStringLiteral("/filelink")));
    QVERIFY(FileOps::removeTreeAside(m_tree));
    QVERIFY(!QFileInfo::exists(m_tree));
    QCOMPARE(TestFiles::readFile(outside + QStringLiteral("/sub/keep.img")), QByteArray("keep"));

    // The folder itself a link: the link goes, the folder it names stays whole.
    QVERIFY(QFile::link(outside, m_tree));
    QVERIFY(FileOps::removeTreeAside(m_tree + QLatin1Char('/')));
    QVERIFY(!QFileInfo(m_tree).isSymLink() && !QFileInfo::exists(m_tree));
    QCOMPARE(TestFiles::readFile(outside + QStringLiteral("/sub/keep.img")), QByteArray("keep"));
    QCOMPARE(parentEntries(), QStringList{QStringLiteral("outside")});
}

void tst_FileOps::leftoversOfAnEarlierRemovalGo()
{
    // A removal interrupted after its rename left a hidden folder behind; it is
    // never the folder itself, and the next removal takes it along.
    // Hidden (a leading dot), so a file manager never shows a half-removed folder.
    const QString leftover = m_tmp->path() + QStringLiteral("/.QuorBurnImage.removing-dead");
    QVERIFY(QDir().mkpath(leftover + QStringLiteral("/x")));
    QVERIFY(TestFiles::writeFile(leftover + QStringLiteral("/x/half.img"), "half"));
    QVERIFY(QDir().mkpath(m_tree));
    const QString unrelated = m_tmp->path() + QStringLiteral("/.QuorBurnImageOther");
    QVERIFY(QDir().mkpath(unrelated));

    QVERIFY(FileOps::removeTreeAside(m_tree));
    QCOMPARE(parentEntries(), QStringList{QStringLiteral(".QuorBurnImageOther")});
}

void tst_FileOps::createdFilesAreNew()
{
    // A file in the way, or a link there, is never written through.
    QVERIFY(TestFiles::writeFile(m_tmp->path() + QStringLiteral("/old.img"), "old"));
    QVERIFY(
        QFile::link(m_tmp->path() + QStringLiteral("/old.img"), m_tmp->path() + QStringLiteral("/link.img")));
    FileOps::Status status = FileOps::Status::Failed;
    const FileOps::Handle folder = FileOps::openFolder(m_tmp->path(), true, &status, nullptr);
    QVERIFY(status == FileOps::Status::Ok);
    for (const char *name : {"old.img", "link.img"}) {
        QString error;
        const FileOps::Handle file = FileOps::createFileAt(folder, name, &status, &error);
        QVERIFY(!file.valid() && !error.isEmpty());
        QVERIFY(status == FileOps::Status::Exists);
    }
    QCOMPARE(TestFiles::readFile(m_tmp->path() + QStringLiteral("/old.img")), QByteArray("old"));
    const FileOps::Handle fresh = FileOps::createFileAt(folder, "new.img", &status, nullptr);
    QVERIFY(fresh.valid() && status == FileOps::Status::Ok);
    QVERIFY(FileOps::writeAt(fresh, "new", 3, 0, nullptr));
}

QTEST_APPLESS_MAIN(tst_FileOps)
#include "tst_fileops.moc"
