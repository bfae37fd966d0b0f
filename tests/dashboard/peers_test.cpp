#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "dashboard/peers.h"
#include "temp_tree.h"

namespace {

struct Row {
  double value;
  std::string name;
  bool operator==(const Row&) const = default;
};

std::vector<Row> load(const std::string& content) {
  TempTree tree;
  tree.write(PEER_FILE, content);
  load_peer_results();
  std::vector<Row> rows;
  for (int i = 0; i < g_peer_count; ++i) rows.push_back({g_peers[i].value, g_peers[i].name});
  return rows;
}

TEST(PeerLine, ValidAndSkippedLines) {
  struct Case {
    const char* line;
    bool ok;
    double value;
    const char* name;
  };
  const Case cases[] = {
      {"812.5\tunit A\n", true, 812.5, "unit A"},
      {"  900 junk\tnode-2\r\n", true, 900, "node-2"},   // leading blanks, trailing garbage
      {"700\tlabel\twith tab\n", true, 700, "label\twith tab"},
      {"0\tunit B\n", false, 0, ""},
      {"-5\tneg\n", false, 0, ""},
      {"abc\tnot a number\n", false, 0, ""},
      {"inf\tinfinite\n", false, 0, ""},
      {"nan\tnot a number\n", false, 0, ""},
      {"812.5 unit A\n", false, 0, ""},                   // no tab
      {"812.5\t\r\n", false, 0, ""},                      // empty label
  };
  for (const Case& c : cases) {
    PeerResult p{};
    ASSERT_EQ(parse_peer_line(c.line, &p), c.ok) << c.line;
    if (!c.ok) continue;
    EXPECT_DOUBLE_EQ(p.value, c.value);
    EXPECT_STREQ(p.name, c.name);
  }
}

TEST(PeerFile, RowsInFileOrderUpToThree) {
  EXPECT_EQ(load("812.5\tunit A\n0\tunit B\n"), (std::vector<Row>{{812.5, "unit A"}}));
  EXPECT_EQ(load("1\ta\r\n2\tb\r\n3\tc\n4\td\n5\te\n"), (std::vector<Row>{{1, "a"}, {2, "b"}, {3, "c"}}));
  EXPECT_EQ(load("1\ta"), (std::vector<Row>{{1, "a"}}));  // no line end at all
}

TEST(PeerFile, LongLabelsAndLines) {
  const std::string label60(60, 'L');
  auto rows = load("1500\t" + label60 + "\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].name, label60.substr(0, 39));

  // 200 bytes: the first 159 make a row; the other 41 arrive as a line of their own.
  std::string line = "700\t" + std::string(196, 'x');
  rows = load(line + "\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (Row{700, std::string(39, 'x')}));
  // ... and that rest counts as a row when it holds a positive number and a tab.
  line = "700\t" + std::string(155, 'x') + "42\tspill\n";
  rows = load(line);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1], (Row{42, "spill"}));
}

TEST(PeerFile, NothingFromMissingOrIrregularFiles) {
  g_peer_count = 2;  // a stale list is replaced, not appended to
  {
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    load_peer_results();
    EXPECT_EQ(g_peer_count, 0);
    tree.mkdir(PEER_FILE);
    load_peer_results();
    EXPECT_EQ(g_peer_count, 0);
  }
  TempTree tree;
  ASSERT_TRUE(tree.ok());
  tree.mkdir("/usr/app/oxel/var");
  const std::string fifo = tree.root() + PEER_FILE;
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  load_peer_results();  // must not wait for a writer
  EXPECT_EQ(g_peer_count, 0);
}

}  // namespace
