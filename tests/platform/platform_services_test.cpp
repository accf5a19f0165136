// The platform services the launcher added: the single-instance lock and
// the shell's start of a program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/shell_execute.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

using plat::InstanceLock;
using plat::ShellStartResult;

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstGoes) {
    TempFolder dir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.Path().c_str());
    auto first = std::make_unique<InstanceLock>();
    EXPECT_EQ(first->Acquire("TLXDownloadV3::http://h/download/filelist.txt"),
              InstanceLock::State::kAcquired);
    InstanceLock second;
    EXPECT_EQ(second.Acquire("TLXDownloadV3::http://h/download/filelist.txt"),
              InstanceLock::State::kHeldElsewhere);
    InstanceLock other;
    EXPECT_EQ(other.Acquire("TLXDownloadV3::http://h/download/other.txt"),
              InstanceLock::State::kAcquired);
    first.reset();
    EXPECT_EQ(second.Acquire("TLXDownloadV3::http://h/download/filelist.txt"),
              InstanceLock::State::kAcquired);
}

TEST(InstanceLock, IsNotInheritedByStartedPrograms) {
    TempFolder dir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.Path().c_str());
    const std::string name = "TLXDownloadV3::inherit";
    const std::string script = dir.Path() + "sleeper";
    ASSERT_TRUE(plat::AppendToFile(script, "#!/bin/sh\nsleep 2\n"));
    {
        InstanceLock lock;
        ASSERT_EQ(lock.Acquire(name), InstanceLock::State::kAcquired);
        ASSERT_EQ(plat::ShellExecute(script, "open", 50), ShellStartResult::kStarted);
    }
    // The started program still runs, yet the name is free again.
    InstanceLock again;
    EXPECT_EQ(again.Acquire(name), InstanceLock::State::kAcquired);
}

TEST(InstanceLock, LongAndOddNamesMakeSafeDistinctFiles) {
    const std::string a = "TLXDownloadV3::" + std::string(300, 'x') + "a";
    const std::string b = "TLXDownloadV3::" + std::string(300, 'x') + "b";
    const std::string pathA = InstanceLock::LockFilePath(a);
    EXPECT_NE(pathA, InstanceLock::LockFilePath(b));
    const std::string file = pathA.substr(pathA.rfind('/') + 1);
    EXPECT_LT(file.size(), 255u);
    EXPECT_EQ(InstanceLock::LockFilePath("../../etc/x").find("/../"), std::string::npos);
}

TEST(ShellExecute, ScriptWithoutExecuteBitIsMadeExecutableAndRun) {
    TempFolder dir;
    const std::string marker = dir.Path() + "ran";
    const std::string script = dir.Path() + "ZK4Setup.exe";
    ASSERT_TRUE(plat::AppendToFile(script, "#!/bin/sh\necho started > '" + marker + "'\n"));
    chmod(script.c_str(), 0644);
    EXPECT_EQ(plat::ShellExecute(script, "runas", 5000), ShellStartResult::kStarted);
    EXPECT_TRUE(plat::PathExists(marker));
    struct stat st;
    ASSERT_EQ(stat(script.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
}

TEST(ShellExecute, RefusesUnknownVerbsMissingFilesAndReportsAnEarlyFailure) {
    TempFolder dir;
    const std::string script = dir.Path() + "fails";
    ASSERT_TRUE(plat::AppendToFile(script, "#!/bin/sh\nexit 3\n"));
    EXPECT_EQ(plat::ShellExecute(script, "edit", 100), ShellStartResult::kBadVerb);
    EXPECT_EQ(plat::ShellExecute(dir.Path() + "missing", "open", 100), ShellStartResult::kNotFound);
    EXPECT_EQ(plat::ShellExecute(dir.Path(), "open", 100), ShellStartResult::kNotFound);
    EXPECT_EQ(plat::ShellExecute(script, "open", 5000), ShellStartResult::kFailedAtOnce);
}
