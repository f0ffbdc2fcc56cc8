#include "settings/SupportReport.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace lumenrail {
namespace {

using SupportReport::Excerpt;
using SupportReport::LogTail;
using SupportReport::Row;
using SupportReport::Section;
using SupportReport::Window;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/lumenrail-report-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name, const std::string& contents) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << contents;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(SupportReport, RendersHeaderBlockSectionsAndLogs) {
  const std::string block = SupportReport::deviceBlock("Lumenrail", "1.0.9", "42", "Debian 12", "x86_64");
  EXPECT_EQ(block, "\xE2\x80\x94\nApp: Lumenrail 1.0.9 (build 42)\nDebian 12\nx86_64\n");
  EXPECT_EQ(SupportReport::deviceBlock("P", "1", "2", "", ""), "\xE2\x80\x94\nApp: P 1 (build 2)\n");
  EXPECT_EQ(SupportReport::deviceBlock("P", "1", "2", "", "m"), "\xE2\x80\x94\nApp: P 1 (build 2)\nm\n");

  EXPECT_EQ(SupportReport::render("Lumenrail", block, {}, {}), "Lumenrail support report (format 1)\n" + block);

  const std::string report = SupportReport::render(
      "Lumenrail", "B\n",
      {Section{"Host", {Row{"port", "27184"}, Row{"state", "  a\r\nb\t"}, Row{"blank", "   "}, Row{"empty", ""}}},
       Section{"Empty", {}}},
      {LogTail{"host, notable lines", "one\n", 400, ""}, LogTail{"host", "", 400, "not found"},
       LogTail{"other", "", 10, ""}});
  EXPECT_EQ(report,
            "Lumenrail support report (format 1)\n"
            "B\n"
            "\n[Host]\n"
            "port: 27184\n"
            "state: a  b\n"
            "blank: (none)\n"
            "empty: (none)\n"
            "\n[Empty]\n"
            "\n[log: host, notable lines]\n"
            "(last 400 lines at most)\n"
            "one\n"
            "\n[log: host]\n"
            "(not found)\n"
            "\n[log: other]\n"
            "(empty)\n");
}

TEST(SupportReport, OneLineTrimsTabsAndSpaceSeparatorsButNotOtherBreaks) {
  EXPECT_EQ(SupportReport::oneLine("  a\r\nb\t"), "a  b");
  EXPECT_EQ(SupportReport::oneLine("\n\n"), "(none)");
  EXPECT_EQ(SupportReport::oneLine("\t \xC2\xA0x\xE3\x80\x80"), "x");  // no-break and ideographic spaces
  EXPECT_EQ(SupportReport::oneLine("\vx\f"), "\vx\f");                  // not in the white-space set
  EXPECT_EQ(SupportReport::oneLine("a\nb\nc"), "a b c");
}

TEST(SupportReport, MailPiecesAndPercentEncoding) {
  EXPECT_EQ(SupportReport::subject("Lumenrail", "1.0.9"), "Lumenrail 1.0.9 \xE2\x80\x94 feedback");
  EXPECT_EQ(SupportReport::mailBody("Describe it:", "BLOCK"), "Describe it:\n\n\n\nBLOCK");
  EXPECT_EQ(SupportReport::percentEncode(""), "");
  EXPECT_EQ(SupportReport::percentEncode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(SupportReport::percentEncode("a b"), "a%20b");
  EXPECT_EQ(SupportReport::percentEncode("a\r\nb\n"), "a%0D%0Ab%0D%0A");
  EXPECT_EQ(SupportReport::percentEncode("\xE2\x80\x94"), "%E2%80%94");
  EXPECT_EQ(SupportReport::percentEncode("?&=+/%#@:"), "%3F%26%3D%2B%2F%25%23%40%3A");
  EXPECT_EQ(SupportReport::percentEncode(std::string("\0\xFF", 2)), "%00%FF");
  EXPECT_EQ(SupportReport::mailtoURL("help@quillmark.example", "A \xE2\x80\x94 b", "x\ny"),
            "mailto:help@quillmark.example?subject=A%20%E2%80%94%20b&body=x%0D%0Ay");
}

TEST(SupportReport, TailKeepsTheLastLinesAndDropsACutFirstLine) {
  EXPECT_EQ(SupportReport::tailLines("a\nb\nc\n", 2, false), "b\nc\n");
  EXPECT_EQ(SupportReport::tailLines("a\nb\nc\n", 2, true), "b\nc\n");
  EXPECT_EQ(SupportReport::tailLines("a\nb\nc\n", 5, true), "b\nc\n");
  EXPECT_EQ(SupportReport::tailLines("a\nb\nc\n", 5, false), "a\nb\nc\n");
  EXPECT_EQ(SupportReport::tailLines("single", 5, true), "");
  EXPECT_EQ(SupportReport::tailLines("single", 5, false), "single\n");
  EXPECT_EQ(SupportReport::tailLines("a\r\n\r\nb", 5, false), "a\n\nb\n");
  EXPECT_EQ(SupportReport::tailLines("a\n\n", 5, false), "a\n\n");
  EXPECT_EQ(SupportReport::tailLines("", 5, false), "");
  EXPECT_EQ(SupportReport::tailLines("a\n", 0, false), "");
  EXPECT_EQ(SupportReport::tailLines("a\n", -1, false), "");
}

TEST(SupportReport, NotableLinesMatchKeywordsAndCollapseRepeats) {
  EXPECT_EQ(SupportReport::notableLines("[wire] error x\nplain\n[wire] error x\n[enc] error y\n", 10, false),
            "[wire] error x  (x2)\n[enc] error y\n");
  EXPECT_EQ(SupportReport::notableLines("error a\nerror a\nerror a\nerror b\nerror a\n", 2, false),
            "error b\nerror a\n");
  EXPECT_EQ(SupportReport::notableLines("cut error\nerror next\n", 10, true), "error next\n");
  EXPECT_EQ(SupportReport::notableLines("nothing here\n\n", 10, false), "");
  EXPECT_EQ(SupportReport::notableLines("error\n", 0, false), "");
  EXPECT_EQ(SupportReport::notableLines("x error\r\n", 5, false), "x error\n");

  EXPECT_TRUE(SupportReport::isNotable("client Disconnected"));
  EXPECT_TRUE(SupportReport::isNotable("REPAIRED"));  // "pair", a plain substring
  EXPECT_TRUE(SupportReport::isNotable("exiting"));
  EXPECT_TRUE(SupportReport::isNotable("[m2] mode 1920x1080"));
  EXPECT_FALSE(SupportReport::isNotable("[m2] mode:1920x1080"));
  EXPECT_FALSE(SupportReport::isNotable("frame 123 sent"));
}

TEST(SupportReport, ReadsOnlyTheWindowAtTheEndOfARegularFile) {
  TempDir dir;
  const std::string path = dir.file("host.log", "first line\nsecond\nthird\n");
  EXPECT_EQ(SupportReport::readWindow(path, 1000), (Window{"first line\nsecond\nthird\n", false}));
  EXPECT_EQ(SupportReport::readWindow(path, 24), (Window{"first line\nsecond\nthird\n", false}));
  EXPECT_EQ(SupportReport::readWindow(path, 13), (Window{"second\nthird\n", true}));
  EXPECT_EQ(SupportReport::readWindow(path, 10), (Window{"ond\nthird\n", true}));
  EXPECT_EQ(SupportReport::readWindow(path, 0), (Window{"", true}));
  EXPECT_EQ(SupportReport::readWindow(path, -5), (Window{"", true}));

  // Invalid UTF-8, and a character split by the window edge, are replaced.
  const std::string mixed = dir.file("mixed.log", "ok \xFF\n\xE2\x80\x94 end\n");
  EXPECT_EQ(SupportReport::readWindow(mixed, 100), (Window{"ok \xEF\xBF\xBD\n\xE2\x80\x94 end\n", false}));
  EXPECT_EQ(SupportReport::readWindow(mixed, 7), (Window{"\xEF\xBF\xBD\xEF\xBF\xBD end\n", true}));

  EXPECT_EQ(SupportReport::readWindow(dir.path() + "/absent.log", 100), std::nullopt);
  EXPECT_EQ(SupportReport::readWindow(dir.path(), 100), std::nullopt);  // a directory
  const std::string fifo = dir.path() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(SupportReport::readWindow(fifo, 100), std::nullopt);  // refused, and no hang
}

TEST(SupportReport, ExcerptsSayWhyTheyAreEmpty) {
  TempDir dir;
  const std::string absent = dir.path() + "/absent.log";
  EXPECT_EQ(SupportReport::readTail(absent, 400, 262144), (Excerpt{"", "not found"}));
  EXPECT_EQ(SupportReport::readNotable(absent, 200, 2097152), (Excerpt{"", "not found"}));
  const std::string empty = dir.file("empty.log", "");
  EXPECT_EQ(SupportReport::readTail(empty, 400, 262144), (Excerpt{"", "empty"}));
  EXPECT_EQ(SupportReport::readNotable(empty, 200, 2097152), (Excerpt{"", "no notable lines"}));

  const std::string log = dir.file("host.log", "[wire] error one\nquiet\n[wire] starting\n");
  EXPECT_EQ(SupportReport::readTail(log, 2, 1 << 20), (Excerpt{"quiet\n[wire] starting\n", ""}));
  EXPECT_EQ(SupportReport::readNotable(log, 10, 1 << 20), (Excerpt{"[wire] error one\n[wire] starting\n", ""}));
  // The window starts inside the first line: that fragment is left out.
  EXPECT_EQ(SupportReport::readNotable(log, 10, 30), (Excerpt{"[wire] starting\n", ""}));
}

}  // namespace
}  // namespace lumenrail
