#include "app/InstanceLock.h"
#include "support/ScopedEnv.h"
#include "support/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
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

// A copy that crashed leaves its lock file behind; the next copy takes it over.
TEST_F(InstanceLockTest, ALockLeftByACopyThatNoLongerRunsIsTakenOver) {
    QProcess Gone;
    Gone.start(QStringLiteral("/bin/true"), {});
    ASSERT_TRUE(Gone.waitForStarted());
    const qint64 DeadPid = Gone.processId();
    ASSERT_TRUE(Gone.waitForFinished());
    {
        // The lock file as a copy of this program writes it: pid, name, host.
        QFile Stale(LockFile());
        ASSERT_TRUE(Stale.open(QIODevice::WriteOnly));
        Stale.write(QByteArray::number(DeadPid) + '\n' +
                    QCoreApplication::applicationName().toUtf8() + '\n' +
                    QSysInfo::machineHostName().toUtf8() + '\n');
    }

    auto Lock = LockInstaller(FDialogs, LockFile());
    ASSERT_NE(Lock, nullptr);
    EXPECT_TRUE(Lock->IsLocked());
    EXPECT_TRUE(FDialogs.Calls().empty());
    QFile Taken(LockFile());
    ASSERT_TRUE(Taken.open(QIODevice::ReadOnly));
    EXPECT_EQ(Taken.readLine().trimmed(), QByteArray::number(QCoreApplication::applicationPid()));
}

// A place where no lock can be kept must not keep the user out.
TEST_F(InstanceLockTest, APlaceThatCannotHoldTheLockDoesNotStopTheInstaller) {
    QFile Blocker(FDir.filePath(QStringLiteral("a file")));
    ASSERT_TRUE(Blocker.open(QIODevice::WriteOnly));
    Blocker.close();
    auto Lock =
        LockInstaller(FDialogs, FDir.filePath(QStringLiteral("a file/orvane-installer.lock")));
    EXPECT_NE(Lock, nullptr);
    EXPECT_TRUE(FDialogs.Calls().empty());
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
