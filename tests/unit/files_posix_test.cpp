// The POSIX back end's files: a save cut short by a crash leaves nothing that piles up, a
// temporary name that someone planted is never written through, two saves at once never mix,
// and the lock folder in /tmp must be this user's private folder.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "posix/backends.h"
#include "posix/files.h"

namespace kc::posix {
namespace {

class PosixFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kc-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::vector<std::string> Entries(const std::string& dir) const {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string Read(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "(none)";
    ReadToEnd(fd, 1 << 20, &out);
    close(fd);
    return out;
  }
  static int Save(const std::string& path, const std::string& bytes) {
    AtomicFileWriter writer;
    int error = writer.Begin(path);
    if (error == 0) error = writer.Write(bytes.data(), bytes.size());
    if (error == 0) error = writer.Commit();
    return error;
  }
  std::string dir_;
};

TEST_F(PosixFiles, SavesKilledBeforeTheirRenameLeaveNothingThatPilesUp) {
  const std::string path = dir_ + "/seen.dat";
  ASSERT_EQ(Save(path, "old"), 0);
  // What earlier versions left: random temporary names; and files that only look alike.
  for (const char* name : {"seen.dat.tmp-Ab3xYz", "seen.dat.tmp-Q0q0q0", "seen.dat.tmp-long-name",
                           "other.dat.tmp-Ab3xYz"}) {
    int fd = open((dir_ + "/" + name).c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  ASSERT_EQ(Save(path, "old"), 0);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"other.dat.tmp-Ab3xYz", "seen.dat",
                                                     "seen.dat.tmp-long-name"}));
  ASSERT_EQ(unlink((dir_ + "/other.dat.tmp-Ab3xYz").c_str()), 0);
  ASSERT_EQ(unlink((dir_ + "/seen.dat.tmp-long-name").c_str()), 0);
  // Three saves killed between writing the temporary file and renaming it.
  for (int i = 0; i < 3; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      AtomicFileWriter writer;
      if (writer.Begin(path) == 0) writer.Write("half", 4);
      raise(SIGKILL);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
  }
  EXPECT_EQ(Read(path), "old");
  EXPECT_LE(Entries(dir_).size(), 2u) << "one temporary file at most";
  // The next save takes the leftover over: the target and nothing else remain.
  ASSERT_EQ(Save(path, "new"), 0);
  EXPECT_EQ(Read(path), "new");
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"seen.dat"});
}

TEST_F(PosixFiles, PlantedTemporaryNamesAreReplacedNeverWrittenThrough) {
  const std::string path = dir_ + "/settings.reg";
  const std::string temp = path + AtomicFileWriter::kTempSuffix;
  const std::string elsewhere = dir_ + "/elsewhere";
  struct Plant {
    const char* name;
    bool link;
  } plants[] = {{"a stale file with other content and mode 0644", false},
                {"a symbolic link to another file", true}};
  for (const Plant& p : plants) {
    SCOPED_TRACE(p.name);
    int fd = open(elsewhere.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, std::string("untouched, and longer than the new content")));
    close(fd);
    if (p.link) {
      ASSERT_EQ(symlink(elsewhere.c_str(), temp.c_str()), 0);
    } else {
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_TRUE(WriteAll(fd, std::string("stale stale stale stale stale stale stale")));
      close(fd);
    }
    ASSERT_EQ(Save(path, "[KEY]"), 0);
    EXPECT_EQ(Read(path), "[KEY]");
    EXPECT_EQ(Read(elsewhere), "untouched, and longer than the new content");
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(access(temp.c_str(), F_OK), -1);
  }
}

TEST_F(PosixFiles, TwoSavesAtOnceNeverShareTheTemporaryFile) {
  const std::string path = dir_ + "/seen.dat";
  AtomicFileWriter first;
  AtomicFileWriter second;
  ASSERT_EQ(first.Begin(path), 0);
  ASSERT_EQ(first.Write("first", 5), 0);
  EXPECT_EQ(second.Begin(path), EBUSY);
  ASSERT_EQ(first.Commit(), 0);
  EXPECT_EQ(Read(path), "first");
  // Once the first is done, the next save goes ahead.
  ASSERT_EQ(second.Begin(path), 0);
  ASSERT_EQ(second.Write("second", 6), 0);
  ASSERT_EQ(second.Commit(), 0);
  EXPECT_EQ(Read(path), "second");
  // An abandoned save removes its temporary file and leaves the target.
  ASSERT_EQ(first.Begin(path), 0);
  first.Abandon();
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"seen.dat"});
}

TEST_F(PosixFiles, LockFolderInTmpMustBeThisUsersPrivateFolder) {
  const std::string tmp = dir_ + "/tmp";
  const std::string home = dir_ + "/home";
  ASSERT_EQ(mkdir(tmp.c_str(), 01777), 0);
  ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  const std::string shared = tmp + "/kestova-" + std::to_string(geteuid());
  const std::string own = home + "/.cache/kestova";
  std::string note;

  // $XDG_RUNTIME_DIR comes first, as it is.
  EXPECT_EQ(RuntimeDirFrom("/run/user/1000", tmp, home, &note), "/run/user/1000");
  EXPECT_EQ(note, "");
  EXPECT_EQ(access(shared.c_str(), F_OK), -1);

  // Missing: made private, and used.
  EXPECT_EQ(RuntimeDirFrom(nullptr, tmp, home, &note), shared);
  EXPECT_EQ(note, "");
  struct stat st;
  ASSERT_EQ(lstat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(RuntimeDirFrom("", tmp, home, &note), shared);  // an empty value is no value
  ASSERT_EQ(rmdir(shared.c_str()), 0);

  // Squatted: another's folder (when the test may give one away), one open to everybody, a
  // symbolic link to a folder, a file. None is used; the lock goes to the user's own cache.
  struct Squat {
    const char* name;
    const char* says;
  } squats[] = {{"other owner", "belongs to user 65534, not to this user"},
                {"mode 0777", "has mode 0777: others may reach it (0700 is private)"},
                {"symbolic link", "is not a folder but a symbolic link"},
                {"file", "is not a folder but another kind of file"}};
  for (const Squat& s : squats) {
    SCOPED_TRACE(s.name);
    const std::string what = s.name;
    if (what == "other owner") {
      if (geteuid() != 0) continue;  // only root can give a folder away
      ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
      ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);
    } else if (what == "mode 0777") {
      ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
      ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    } else if (what == "symbolic link") {
      ASSERT_EQ(symlink(home.c_str(), shared.c_str()), 0);
    } else {
      int fd = open(shared.c_str(), O_WRONLY | O_CREAT, 0600);
      ASSERT_GE(fd, 0);
      close(fd);
    }
    EXPECT_EQ(RuntimeDirFrom(nullptr, tmp, home, &note), own);
    EXPECT_NE(note.find(shared + " " + s.says), std::string::npos) << note;
    EXPECT_NE(note.find("the instance lock is kept in " + own + " instead"), std::string::npos)
        << note;
    ASSERT_EQ(lstat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    // Without a home folder there is no other place: said, and nothing is used.
    EXPECT_EQ(RuntimeDirFrom(nullptr, tmp, "", &note), "");
    EXPECT_NE(note.find("running without the instance lock"), std::string::npos) << note;
    std::string command = "rm -rf '" + shared + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
}

}  // namespace
}  // namespace kc::posix
