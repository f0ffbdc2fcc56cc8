// The autostart entry: written, read back, removed, and refused where the
// folder cannot take it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/controller/LoginItem.hpp"
#include "support/TempFolder.hpp"

namespace lumenrail {
namespace {

using Note = LoginItem::Note;

std::string read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(LoginItem, EntryWrittenReadBackAndRemoved) {
  test::TempFolder dir;
  const std::string entry = dir.path("config/autostart/lumenrail-host.desktop");
  for (const std::string& exe : {std::string("/opt/lumenrail/bin/lumenrailhost"),
                                std::string("/home/a b/50% \"odd\" $HOME `x` \\ tree/bin/lumenrailhost")}) {
    SCOPED_TRACE(exe);
    EXPECT_EQ(LoginItem::setEnabled(true, true, entry, exe), std::nullopt);
    EXPECT_TRUE(LoginItem::isEnabled(entry));
    const auto parsed = LoginItem::parseEntry(read(entry));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->exec, std::vector<std::string>{exe});
    EXPECT_FALSE(parsed->hidden);
    EXPECT_EQ(::access((entry + ".tmp").c_str(), F_OK), -1);  // no temporary left beside it
  }
  EXPECT_EQ(read(entry).rfind("[Desktop Entry]\nType=Application\nName=Lumenrail\nComment=Use a phone or tablet as a "
                              "display and pen tablet for this computer\nExec=\"/home/a b/50%% ", 0), 0u)
      << read(entry);
  // The desktop's autostart list shows it with the launcher's icon.
  EXPECT_NE(read(entry).find("\nIcon=lumenrail-host\n"), std::string::npos);
  EXPECT_EQ(LoginItem::parseEntry("[Desktop Entry]\nExec=/usr/bin/x --a\\s%U 50%%\nHidden = true \n[Other]\nHidden=false\n"),
            (LoginItem::Entry{{"/usr/bin/x", "--a", "50%"}, true}));

  EXPECT_EQ(LoginItem::setEnabled(false, true, entry, ""), std::nullopt);
  EXPECT_FALSE(LoginItem::isEnabled(entry));
  EXPECT_EQ(LoginItem::setEnabled(false, true, entry, ""), std::nullopt);  // already gone: no error
}

TEST(LoginItem, NotesForARawBinaryAndAFolderThatRefuses) {
  test::TempFolder dir;
  const std::string entry = dir.path("autostart/lumenrail-host.desktop");
  EXPECT_EQ(LoginItem::setEnabled(true, false, entry, "/x"), Note::of(Note::Kind::needsBundle));
  EXPECT_EQ(LoginItem::setEnabled(false, false, entry, "/x"), Note::of(Note::Kind::needsBundle));
  EXPECT_EQ(Note::of(Note::Kind::needsBundle).logText(), "needs the installed tree (raw binary)");

  // "autostart" is a file, so no entry can go inside it (refused for root too).
  std::ofstream(dir.path("autostart")) << "";
  const auto notFolder = LoginItem::setEnabled(true, true, entry, "/x");
  ASSERT_TRUE(notFolder);
  EXPECT_EQ(notFolder->kind, Note::Kind::failed);
  EXPECT_EQ(notFolder->logText(), "failed: " + notFolder->message);
  EXPECT_FALSE(notFolder->message.empty());
  EXPECT_NE(*notFolder, Note::failed("other"));
}

TEST(LoginItem, ReadOnlyFolderGivesTheFailedNote) {
  test::TempFolder dir;
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string locked = dir.path("locked/autostart");
  std::filesystem::create_directories(locked);
  ::chmod(locked.c_str(), 0500);
  const auto readOnly = LoginItem::setEnabled(true, true, locked + "/lumenrail-host.desktop", "/x");
  ASSERT_TRUE(readOnly);
  EXPECT_EQ(*readOnly, Note::failed("Permission denied"));
}

}  // namespace
}  // namespace lumenrail
