// Unit tests of PublishMountPaths: the command-line scan that publishes the
// mount point and the subdir module's base directory as QD_MOUNTPOINT and
// QD_MOUNTSUBDIR. Real temporary directories (and a symbolic link to one)
// check that published paths are canonical.
#include "daemon/mount_paths.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace callerfs {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

class MountPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("QD_MOUNTPOINT");
    ::unsetenv("QD_MOUNTSUBDIR");
    char tmpl[] = "/tmp/mount_paths_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(tmpl, resolved), nullptr);
    root_ = resolved;
    mnt_ = root_ + "/mnt";
    data_ = root_ + "/data";
    ASSERT_EQ(::mkdir(mnt_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(data_.c_str(), 0755), 0);
    // A link to the mount point through a detour: its canonical form is mnt_.
    link_ = root_ + "/link";
    ASSERT_EQ(::symlink("data/../mnt", link_.c_str()), 0);
  }

  void TearDown() override {
    ::unsetenv("QD_MOUNTPOINT");
    ::unsetenv("QD_MOUNTSUBDIR");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Runs the scan over "callerfs" followed by args. A null entry in args
  // stays a null entry in the vector. Checks that no string was changed.
  void Publish(std::initializer_list<const char*> args) {
    std::vector<const char*> list = {"callerfs"};
    list.insert(list.end(), args);
    Publish(list, static_cast<int>(list.size()));
  }

  // Runs the scan over the given vector with the given count.
  void Publish(const std::vector<const char*>& list, int argc) {
    std::vector<std::string> storage;
    for (const char* arg : list) storage.emplace_back(arg ? arg : "");
    std::vector<char*> argv;
    for (size_t i = 0; i < list.size(); ++i) argv.push_back(list[i] ? storage[i].data() : nullptr);
    argv.push_back(nullptr);
    const std::vector<std::string> before = storage;
    const std::vector<char*> pointers_before = argv;

    PublishMountPaths(argc, argv.data());

    EXPECT_EQ(storage, before) << "argument strings changed";
    EXPECT_EQ(argv, pointers_before) << "argument vector changed";
  }

  std::string root_, mnt_, data_, link_;
};

TEST_F(MountPathsTest, ExistingMountPointIsPublishedCanonical) {
  Publish({mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);

  ::unsetenv("QD_MOUNTPOINT");
  const std::string trailing = mnt_ + "/";
  Publish({trailing.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  ::unsetenv("QD_MOUNTPOINT");
  Publish({link_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  ::unsetenv("QD_MOUNTPOINT");
  const std::string link_trailing = link_ + "/";
  Publish({link_trailing.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  // An earlier value is overwritten.
  ::setenv("QD_MOUNTPOINT", "/stale", 1);
  Publish({"-f", data_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), data_);
}

TEST_F(MountPathsTest, UnresolvableOrMissingMountPointIsNotPublished) {
  Publish({"/"});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), std::nullopt);

  const std::string missing = root_ + "/missing";
  Publish({missing.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), std::nullopt);

  Publish({"-f", "-s", "-o", "allow_other"});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), std::nullopt);

  Publish({});  // argc 1: nothing at all
  EXPECT_EQ(Env("QD_MOUNTPOINT"), std::nullopt);
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
}

TEST_F(MountPathsTest, ArgcOfOneLooksAtNothing) {
  // Only the program name counts, even when the vector holds more.
  const std::string list = "modules=subdir,subdir=" + data_;
  Publish({"callerfs", "-o", list.c_str(), mnt_.c_str()}, 1);
  EXPECT_EQ(Env("QD_MOUNTPOINT"), std::nullopt);
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);

  // And argc bounds the walk in general.
  Publish({"callerfs", mnt_.c_str(), data_.c_str()}, 2);
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);
}

TEST_F(MountPathsTest, LastMountPointCandidateWins) {
  Publish({mnt_.c_str(), data_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), data_);

  // A later candidate that cannot be resolved still wins.
  ::unsetenv("QD_MOUNTPOINT");
  const std::string missing = root_ + "/missing";
  Publish({mnt_.c_str(), missing.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), std::nullopt);

  // An empty argument is a candidate too, and never resolves.
  Publish({mnt_.c_str(), ""});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), std::nullopt);
}

TEST_F(MountPathsTest, OptionListAfterMountPointIsNoCandidate) {
  // "-f /mnt/x -o debug": debug is an option list.
  Publish({"-f", mnt_.c_str(), "-o", "debug"});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  // Any dash argument ending in "o" introduces an option list.
  ::unsetenv("QD_MOUNTPOINT");
  Publish({mnt_.c_str(), "--foo", data_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  // Other dash arguments clear the state: the next argument is a candidate.
  ::unsetenv("QD_MOUNTPOINT");
  Publish({"-o", "-d", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);
}

TEST_F(MountPathsTest, OptionFlagAsLastArgumentLeavesEarlierMountPoint) {
  Publish({mnt_.c_str(), "-o"});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
}

TEST_F(MountPathsTest, NullEntryKeepsTheState) {
  // The null between -o and the list does not clear the option-list state.
  const std::string list = "modules=subdir,subdir=" + data_;
  Publish({"-o", nullptr, list.c_str(), nullptr, mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);

  // A null entry is no candidate: the earlier mount point stays.
  ::unsetenv("QD_MOUNTPOINT");
  Publish({mnt_.c_str(), nullptr});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);
}

TEST_F(MountPathsTest, DoubleDashLastButOneNamesTheMountPoint) {
  // The last argument after "--x" is the mount point even though it starts
  // with a dash: the walk ends there. Resolved relative to the working
  // directory.
  const fs::path saved = fs::current_path();
  ASSERT_EQ(::mkdir((root_ + "/-m").c_str(), 0755), 0);
  ASSERT_EQ(::chdir(root_.c_str()), 0);
  Publish({data_.c_str(), "--x", "-m"});
  const std::optional<std::string> published = Env("QD_MOUNTPOINT");
  // After "-o" the last argument is still the mount point, not an option
  // list.
  ::unsetenv("QD_MOUNTPOINT");
  ASSERT_EQ(::mkdir((root_ + "/subdir=data").c_str(), 0755), 0);
  Publish({"-o", "modules=subdir", "-o", "--x", "subdir=data"});
  const std::optional<std::string> after_flag = Env("QD_MOUNTPOINT");
  ASSERT_EQ(::chdir(saved.c_str()), 0);
  EXPECT_EQ(published, root_ + "/-m");
  EXPECT_EQ(after_flag, root_ + "/subdir=data");
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);

  // Not last but one: just clears the state.
  ::unsetenv("QD_MOUNTPOINT");
  Publish({"--x", mnt_.c_str(), "-s"});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  // Last but one after an option flag: still ends the walk.
  ::unsetenv("QD_MOUNTPOINT");
  Publish({"-o", "--x", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  // A lone "-" last but one is no double dash.
  ::unsetenv("QD_MOUNTPOINT");
  Publish({mnt_.c_str(), "-", "-s"});
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);
}

TEST_F(MountPathsTest, SubdirModuleWithValuePublishesCanonicalBase) {
  const std::string list = "modules=subdir,subdir=" + data_ + "/";
  Publish({"-o", list.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  // Through a symbolic link: the canonical target.
  ::unsetenv("QD_MOUNTSUBDIR");
  const std::string via_link = "allow_other,modules=subdir,subdir=" + link_;
  Publish({"-o", via_link.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), mnt_);

  // An earlier value is overwritten.
  ::setenv("QD_MOUNTSUBDIR", "/stale", 1);
  Publish({"-o", list.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);
}

TEST_F(MountPathsTest, UnresolvableSubdirIsPublishedAsGiven) {
  const std::string missing = root_ + "/missing";
  const std::string list = "modules=subdir,subdir=" + missing + ",allow_other";
  Publish({"-o", list.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), missing);

  // One trailing slash is stripped, and only one.
  ::unsetenv("QD_MOUNTSUBDIR");
  const std::string slash = "modules=subdir,subdir=" + missing + "/";
  Publish({"-o", slash.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), missing);

  ::unsetenv("QD_MOUNTSUBDIR");
  const std::string slashes = "modules=subdir,subdir=" + missing + "//";
  Publish({"-o", slashes.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), missing + "/");

  // A relative value that does not resolve is published as written.
  ::unsetenv("QD_MOUNTSUBDIR");
  Publish({"-o", "modules=subdir,subdir=no/such/dir/", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), "no/such/dir");

  // "/" loses its slash and, empty, cannot resolve: published empty.
  ::unsetenv("QD_MOUNTSUBDIR");
  Publish({"-o", "modules=subdir,subdir=/", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), "");
}

TEST_F(MountPathsTest, ModuleInOneListAndValueInAnother) {
  // "-o modules=iconv:subdir -o subdir=/data": the module after ":" counts
  // and the value comes from the second list.
  const std::string value = "subdir=" + data_;
  Publish({"-o", "modules=iconv:subdir", "-o", value.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  // The value first and the module later works as well.
  ::unsetenv("QD_MOUNTSUBDIR");
  Publish({"-o", value.c_str(), "-o", "modules=subdir", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);

  // A later list without modules= does not unmark the module.
  ::unsetenv("QD_MOUNTSUBDIR");
  Publish({"-o", "modules=subdir", "-o", value.c_str(), "-o", "modules=iconv", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);
}

TEST_F(MountPathsTest, ModuleNamedBetweenColons) {
  const std::string list = "modules=iconv:subdir:other,subdir=" + data_;
  Publish({"-o", list.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);

  ::unsetenv("QD_MOUNTSUBDIR");
  const std::string first = "modules=subdir:iconv,subdir=" + data_;
  Publish({"-o", first.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);
}

TEST_F(MountPathsTest, ModulesOptionAfterFirstElementCounts) {
  const std::string list = "allow_other,modules=subdir,subdir=" + data_;
  Publish({"-o", list.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);
}

TEST_F(MountPathsTest, SubdirValueWithoutModulePublishesNothing) {
  const std::string value = "subdir=" + data_;
  Publish({"-o", value.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  const std::vector<std::string> lists = {
      "modules=mysubdir,subdir=" + data_,        // "subdir" inside another name
      "modules=subdirs,subdir=" + data_,         // followed by another letter
      "modules=iconv,subdir=" + data_,           // module not named
      "modules=iconv,x=subdir,subdir=" + data_,  // named only after the comma
      "xmodules=subdir,subdir=" + data_,         // "modules=" does not begin an option
      "modules=iconv.subdir,subdir=" + data_,    // not after "=" or ":"
  };
  for (const std::string& list : lists) {
    Publish({"-o", list.c_str(), mnt_.c_str()});
    EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt) << list;
  }
}

TEST_F(MountPathsTest, ModuleWithoutValuePublishesNothing) {
  Publish({"-o", "modules=subdir", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);

  // Empty value.
  Publish({"-o", "modules=subdir,subdir=", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
  Publish({"-o", "modules=subdir,subdir=,allow_other", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);

  // "subdir=" that does not begin an option is no value, and the first
  // "subdir=" in a list is the only one looked at.
  const std::string glued = "modules=subdir,xsubdir=/a,subdir=" + data_;
  Publish({"-o", glued.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
  Publish({"-o", "modules=subdir", "-o", "xsubdir=/a,subdir=/b", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
}

TEST_F(MountPathsTest, GluedOptionIsNotExamined) {
  const std::string glued = "-omodules=subdir,subdir=" + data_;
  Publish({glued.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
  EXPECT_EQ(Env("QD_MOUNTPOINT"), mnt_);

  const std::string value = "-osubdir=" + data_;
  Publish({"-o", "modules=subdir", value.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
}

TEST_F(MountPathsTest, LaterSubdirValueReplacesEarlier) {
  const std::string first = "modules=subdir,subdir=" + mnt_;
  const std::string second = "subdir=" + data_;
  Publish({"-o", first.c_str(), "-o", second.c_str(), mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), data_);

  // A later list without subdir= keeps the earlier value.
  ::unsetenv("QD_MOUNTSUBDIR");
  Publish({"-o", first.c_str(), "-o", "allow_other", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), mnt_);

  // A later empty value replaces it too, and empty publishes nothing.
  ::unsetenv("QD_MOUNTSUBDIR");
  Publish({"-o", first.c_str(), "-o", "subdir=", mnt_.c_str()});
  EXPECT_EQ(Env("QD_MOUNTSUBDIR"), std::nullopt);
}

}  // namespace
}  // namespace callerfs

#include "daemon/command_line.h"
#include "daemon/default_options.h"

namespace callerfs {
namespace {

std::string Joined(const fuse_args& args) {
  std::string text;
  for (int i = 1; i < args.argc; ++i) text += (i > 1 ? " " : "") + std::string(args.argv[i]);
  return text;
}

// Parses "callerfs ARGS...".
bool Parse(const std::vector<const char*>& args, CommandLine& line, std::string& error) {
  std::vector<char*> argv = {const_cast<char*>("callerfs")};
  for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(argv.size()) - 1, argv.data(), line, error);
}

// What the library is handed, and what callerfs keeps for itself.
TEST(CommandLineTest, BaseDirectoryAndOwnOptionsLeaveTheLibrarysLine) {
  struct Case {
    std::vector<const char*> args;
    std::string library, base, mountpoint, error;
    bool source_form = false;
  };
  const Case cases[] = {
      {{"-f", "/m"}, "-o use_ino -f /m", "", "/m", ""},
      {{"/src", "/m", "-o", "allow_other"}, "-o use_ino -o allow_other /m", "/src", "/m", "", true},
      {{"-o", "modules=subdir,subdir=/s,ro", "/m"}, "-o use_ino -o ro /m", "/s", "/m", ""},
      {{"-o", "modules=iconv:subdir", "-o", "subdir=/s", "/m"}, "-o use_ino -omodules=iconv /m", "/s", "/m", ""},
      {{"-o", "subdir=/s", "/m"}, "", "", "", "subdir=/s needs the subdir module: write -o "
       "modules=subdir,subdir=/s, or give the directory as SOURCE before the mount point"},
      // "--" ends the options: the mount point may begin with "-".
      {{"-f", "--", "-m"}, "-o use_ino -f -- -m", "", "-m", ""},
      {{"-o", "", "/m"}, "-o use_ino /m", "", "/m", ""},  // OPTIONS= left empty in the unit's file
      {{"-o", "allow_other", "/src", "--", "-m"}, "-o use_ino -o allow_other -- -m", "/src", "-m", "", true},
      {{"-o", "allow_other", "--", "/m"}, "-o use_ino -o allow_other /m", "", "/m", ""},
      {{"/src", "/m", "/extra"}, "", "", "", "unexpected argument '/extra': give at most SOURCE and MOUNTPOINT"},
      {{"/src", "/m", "/extra", "/more"}, "", "", "", "unexpected argument '/extra': give at most SOURCE and MOUNTPOINT"},
      {{"-o", "coherent,auto_cache", "/m"}, "", "", "", "the options coherent and auto_cache contradict each "
       "other: coherent reads every file from the host, auto_cache keeps its pages across opens"},
      {{"-o", "kernel_cache", "-o", "coherent", "/m"}, "", "", "", "the options coherent and kernel_cache contradict "
       "each other: coherent reads every file from the host, kernel_cache keeps its pages whatever the host writes"},
      {{"-o", "direct_io,kernel_cache", "/m"}, "", "", "", "the options direct_io and kernel_cache contradict "
       "each other: direct_io bypasses the page cache that kernel_cache would keep"},
      {{"-o", "coherent,noauto_cache,direct_io", "/m"}, "-o use_ino -o noauto_cache,direct_io /m", "", "/m", ""},
      {{"-o", "max_write=0", "/m"}, "", "", "", "max_write=0: no write could carry any data"},
      {{"-o", "max_write=4096", "/m"}, "-o use_ino -o max_write=4096 /m", "", "/m", ""},
      {{"-o", "ro,intr", "/m"}, "", "", "", "the option intr is refused: callerfs's request loop handles "
       "interrupted requests itself (with SIGUSR1)"},
      {{"-o", "intr_signal=12", "/m"}, "", "", "", "the option intr_signal=12 is refused: callerfs's request "
       "loop handles interrupted requests itself (with SIGUSR1)"},
      {{"-o", "uid=1000", "/m"}, "", "", "",
       "the option uid=1000 is refused: files would show an owner or mode they do not have on the host"},
      {{"-o", "ro,umask=0", "/m"}, "", "", "",
       "the option umask=0 is refused: files would show an owner or mode they do not have on the host"},
      {{"-o", "max_files_per_user=0", "/m"}, "", "", "",
       "max_files_per_user=0: every open by a user other than root would fail"},
      {{"-o", "fsname=", "/m"}, "", "", "", "fsname= names nothing: give a name, or leave it out to show the source"},
      {{"-o", "max_files_per_user=7,nofail", "/m"}, "-o use_ino /m", "", "/m", ""},
      {{"-o", "modules=subdir", "/m"}, "", "", "", "modules=subdir needs subdir=DIRECTORY"},
      {{"-o", "max_files_per_user=-1", "/m"}, "", "", "", "max_files_per_user=-1: not a count"},
      {{"-o", "modules=subdir,subdir=/s,norellinks", "/m"}, "", "", "",
       "the option norellinks is not supported: symbolic links are passed through unchanged"},
  };
  for (const Case& c : cases) {
    CommandLine line;
    std::string error;
    const bool parsed = Parse(c.args, line, error);
    SCOPED_TRACE(c.library + c.error);
    EXPECT_EQ(error, c.error);
    if (!parsed) continue;
    EXPECT_EQ(Joined(line.library_args), c.library);
    EXPECT_EQ(line.base, c.base);
    EXPECT_EQ(line.mountpoint, c.mountpoint);
    EXPECT_EQ(line.source_form, c.source_form);
    fuse_opt_free_args(&line.library_args);
  }
}

// Every mount gets big writes, auto_cache (or what coherent implies) and its
// base as its source unless the command line says otherwise; the source is passed on exactly as written.
TEST(CommandLineTest, DefaultOptionsGiveWayToExplicitOnes) {
  struct Case {
    std::vector<const char*> args;
    std::string added;
  };
  const std::string cwd = std::filesystem::current_path().string();
  const Case cases[] = {
      {{"/m"}, "-obig_writes,max_write=131072,auto_cache,fsname=/,subtype=callerfs"},
      {{"./rel/", "/m"}, "-obig_writes,max_write=131072,auto_cache,fsname=" + cwd + "/rel,subtype=callerfs"},
      {{"-s", "--", "-m"}, "-obig_writes,max_write=131072,auto_cache,fsname=/,subtype=callerfs"},
      {{"/a,b\\c", "/m"}, "-obig_writes,max_write=131072,auto_cache,fsname=/a\\,b\\\\c,subtype=callerfs"},
      {{"-o", "max_write=4096,noauto_cache,fsname=x,subtype=y", "/m"}, "-obig_writes"},
      // Before the user's options, so an explicit timeout still wins.
      {{"-o", "coherent,attr_timeout=5", "/m"},
       "-obig_writes,max_write=131072,direct_io,attr_timeout=0,entry_timeout=0,negative_timeout=0,"
       "fsname=/,subtype=callerfs"},
  };
  for (const Case& c : cases) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse(c.args, line, error));
    ASSERT_TRUE(AddDefaultOptions(line));
    EXPECT_EQ(line.library_args.argv[3], c.added);
    // Options added later still come before the mount point.
    ASSERT_TRUE(AddLibraryOption(line, "-ointr"));
    EXPECT_EQ(line.library_args.argv[line.library_args.argc - 1], std::string(c.args.back()));
    fuse_opt_free_args(&line.library_args);
  }
}

}  // namespace
}  // namespace callerfs
