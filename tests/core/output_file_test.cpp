// What a save may replace: a regular file the user may write, a new name, or the regular file
// at the end of a link (the link stays). Devices, pipes, sockets, folders, links that lead
// nowhere and read-only files are refused untouched, and a pipe never holds the writer.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "core/outputfile.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// A listening socket bound at `path` (closed at once: the name stays a socket).
void MakeSocket(const std::string& path) {
  const int descriptor = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(descriptor, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(descriptor);
}

struct Target {
  const char* name;
  std::function<void(const ScratchDir&)> make;  // puts something under "out"
  bool accepted;
  const char* file;  // the file that holds the new bytes when accepted
};

TEST(OutputFile, OnlyRegularFilesTheUserMayWriteAreReplaced) {
  const Target targets[] = {
      {"new name", [](const ScratchDir&) {}, true, "out"},
      {"regular file", [](const ScratchDir& d) { WriteFile(d.File("out"), "old"); }, true, "out"},
      {"link to a regular file",
       [](const ScratchDir& d) {
         WriteFile(d.File("real"), "old");
         fs::create_symlink(d.File("real"), d.File("out"));
       },
       true, "real"},
      {"read-only file",
       [](const ScratchDir& d) {
         WriteFile(d.File("out"), "old");
         chmod(d.File("out").c_str(), 0444);
       },
       false, nullptr},
      {"dangling link",
       [](const ScratchDir& d) { fs::create_symlink(d.File("nowhere"), d.File("out")); }, false,
       nullptr},
      {"pipe", [](const ScratchDir& d) { ASSERT_EQ(mkfifo(d.File("out").c_str(), 0600), 0); },
       false, nullptr},
      {"link to a pipe",
       [](const ScratchDir& d) {
         ASSERT_EQ(mkfifo(d.File("pipe").c_str(), 0600), 0);
         fs::create_symlink(d.File("pipe"), d.File("out"));
       },
       false, nullptr},
      {"socket", [](const ScratchDir& d) { MakeSocket(d.File("out")); }, false, nullptr},
      {"folder", [](const ScratchDir& d) { fs::create_directory(d.File("out")); }, false, nullptr},
  };
  for (const Target& target : targets) {
    for (const bool stream : {false, true}) {
      ScratchDir dir;
      target.make(dir);
      const std::string out = dir.File("out");
      const auto before = fs::symlink_status(out).type();
      // In a child with a time limit: a pipe opened for writing would wait for a reader.
      const int code = RunInChild(
          [&] {
            if (!stream) return IWriteFileContents(out, "new") ? 0 : 1;
            std::FILE* file = IOpenOutputStream(out);
            if (!file) return 1;
            const bool written = std::fputs("new", file) >= 0;
            return std::fclose(file) == 0 && written ? 0 : 1;
          },
          10);
      ASSERT_NE(code, -1) << target.name << ": held";
      EXPECT_EQ(code == 0, target.accepted) << target.name << (stream ? " (stream)" : "");
      EXPECT_EQ(fs::symlink_status(out).type(), target.accepted && before == fs::file_type::not_found
                                                    ? fs::file_type::regular
                                                    : before)
          << target.name;
      if (target.accepted) {
        EXPECT_EQ(ReadFile(dir.File(target.file)), "new") << target.name;
      }
      if (std::string(target.name) == "read-only file") {
        EXPECT_EQ(ReadFile(out), "old");
      }
      // Nothing is left beside the target.
      std::size_t entries = 0;
      for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
      EXPECT_LE(entries, 2u) << target.name;
    }
  }
}

}  // namespace
