#include "app/InstanceLock.h"
#include "support/ScopedEnv.h"
#include "support/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>

namespace {

const TDialogCall AlreadyRunning{dkWarning,
                                 QStringLiteral("The Orvane Installer is already running.")};

class InstanceLockTest : public testing::Test {
protected:
    QString LockFile() const { return FDir.filePath(QStringLiteral("orvane-installer.lock")); }

    QTemporaryDir FDir;
    TScriptedDialogs FDialogs;
};

TEST_F(InstanceLockTest, ASecondCopyIsToldAndEndsWhileTheFirstRuns) {
    auto First = LockInstaller(FDialogs, LockFile());
    ASSERT_NE(First, nullptr);
    EXPECT_TRUE(First->IsLocked());
    EXPECT_TRUE(FDialogs.Calls().empty());

    EXPECT_EQ(LockInstaller(FDialogs, LockFile()), nullptr);
    EXPECT_EQ(FDialogs.Calls(), std::vector<TDialogCall>{AlreadyRunning});

    // Once the first copy ends, the next one starts without a word.
    First.reset();
    FDialogs.ClearCalls();
    auto Next = LockInstaller(FDialogs, LockFile());
    ASSERT_NE(Next, nullptr);
    EXPECT_TRUE(Next->IsLocked());
    EXPECT_TRUE(FDialogs.Calls().empty());
}

// A copy that crashed leaves its lock file behind; the next copy takes it over
// without writing to it, and a third learns from the system who holds it.
TEST_F(InstanceLockTest, ALockLeftByACopyThatNoLongerRunsIsTakenOver) {
    QProcess Gone;
    Gone.start(QStringLiteral("/bin/true"), {});
    ASSERT_TRUE(Gone.waitForStarted());
    const qint64 DeadPid = Gone.processId();
    ASSERT_TRUE(Gone.waitForFinished());
    const QByteArray Left = QByteArray::number(DeadPid) + '\n' +
                            QCoreApplication::applicationName().toUtf8() + '\n' +
                            QSysInfo::machineHostName().toUtf8() + '\n';
    {
        QFile Stale(LockFile());
        ASSERT_TRUE(Stale.open(QIODevice::WriteOnly));
        Stale.write(Left);
    }

    auto Lock = LockInstaller(FDialogs, LockFile());
    ASSERT_NE(Lock, nullptr);
    EXPECT_TRUE(Lock->IsLocked());
    EXPECT_TRUE(FDialogs.Calls().empty());
    QFile Taken(LockFile());
    ASSERT_TRUE(Taken.open(QIODevice::ReadOnly));
    EXPECT_EQ(Taken.readAll(), Left);
    const orvane::TProcessLock Third(LockFile().toStdString());
    EXPECT_EQ(Third.State(), orvane::TProcessLock::lsBusy);
    EXPECT_EQ(Third.HolderPid(), QCoreApplication::applicationPid());
}

// Whatever stands where the lock belongs (a link to a file of the user's, a
// folder, another account's file) is left as it is, and the installer does not
// run unlocked: it says which file it could not lock.
TEST_F(InstanceLockTest, ALockThatCannotBeTakenStopsTheInstallerAndHarmsNothing) {
    const QString Victim = FDir.filePath(QStringLiteral("thesis.txt"));
    {
        QFile File(Victim);
        ASSERT_TRUE(File.open(QIODevice::WriteOnly));
        File.write("years of work");
    }
    ASSERT_TRUE(QFile::link(Victim, LockFile()));
    const QString InFolder = FDir.filePath(QStringLiteral("a folder"));
    ASSERT_TRUE(QDir().mkpath(InFolder));
    QFile Blocker(FDir.filePath(QStringLiteral("a file")));
    ASSERT_TRUE(Blocker.open(QIODevice::WriteOnly));
    Blocker.close();
    for (const QString& Place :
         {LockFile(), InFolder, FDir.filePath(QStringLiteral("a file/orvane-installer.lock"))}) {
        SCOPED_TRACE(Place.toStdString());
        FDialogs.ClearCalls();
        EXPECT_EQ(LockInstaller(FDialogs, Place), nullptr);
        ASSERT_EQ(FDialogs.Calls().size(), 1u);
        EXPECT_EQ(FDialogs.Calls()[0].Kind, dkWarning);
        EXPECT_TRUE(FDialogs.Calls()[0].Text.startsWith(
            QStringLiteral("The Orvane Installer cannot lock its registry store: ") + Place + ": "))
            << FDialogs.Calls()[0].Text.toStdString();
    }
    QFile File(Victim);
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    EXPECT_EQ(File.readAll(), QByteArray("years of work"));
}

// A copy started with another runtime folder (as "sudo -E" starts one: the
// user's data folder, root's runtime folder) works on the same registry store,
// so it must meet the first copy's lock.
TEST_F(InstanceLockTest, TheLockBelongsToTheRegistryStoreNotToTheRuntimeFolder) {
    TScopedEnv LEnv;
    LEnv.Set("XDG_DATA_HOME", FDir.filePath(QStringLiteral("data")).toStdString());
    LEnv.Set("XDG_RUNTIME_DIR", FDir.filePath(QStringLiteral("run-user")).toStdString());
    EXPECT_EQ(TInstanceLock::DefaultFile(),
              FDir.filePath(QStringLiteral("data/orvane/registry.sqlite.lock")));
    auto First = LockInstaller(FDialogs);
    ASSERT_NE(First, nullptr);
    ASSERT_TRUE(First->IsLocked());

    LEnv.Set("XDG_RUNTIME_DIR", FDir.filePath(QStringLiteral("run-root")).toStdString());
    LEnv.Set("TMPDIR", FDir.filePath(QStringLiteral("tmp-root")).toStdString());
    EXPECT_EQ(LockInstaller(FDialogs), nullptr);
    EXPECT_EQ(FDialogs.Calls(), std::vector<TDialogCall>{AlreadyRunning});

    // Another store is another lock.
    LEnv.Set("XDG_DATA_HOME", FDir.filePath(QStringLiteral("other-data")).toStdString());
    FDialogs.ClearCalls();
    EXPECT_NE(LockInstaller(FDialogs), nullptr);
    EXPECT_TRUE(FDialogs.Calls().empty());
}

} // namespace
