// Loading INI files: line grammar, continuation, DOS line ends, error counting, the getters the
// server uses and the case-blind look-up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ini/iniparser.h"
#include "support/scratch.h"

namespace {

// `content` written to t.ini and loaded; err holds what the load wrote to stderr.
struct IniFile {
  kt::ScratchDir dir;
  std::string path = dir / "t.ini", err;
  dictionary* d = nullptr;
  explicit IniFile(const std::string& content) {
    kt::WriteFile(path, content);
    testing::internal::CaptureStderr();
    d = iniparser_load(path.c_str());
    err = testing::internal::GetCapturedStderr();
  }
  ~IniFile() { iniparser_freedict(d); }
  std::string Get(const char* key) const {
    const char* v = iniparser_getstring(d, key, "<absent>");
    return v ? v : "<null>";
  }
};

}  // namespace

TEST(IniLoad, LineGrammarSectionsAndKeys) {
  const struct {
    const char *line, *key, *value;
  } rows[] = {
      {"top = 0", ":top", "0"},  // before the first header: an empty section
      {"[PLC1]", "plc1", "<null>"},
      {"IpAddr = 10.0.0.5", "Plc1:IPADDR", "10.0.0.5"},
      {"quoted = \"a b\" ; note", "plc1:quoted", "a b"},
      {"single = 'x = 5'", "plc1:single", "x = 5"},
      {"bare = 12 # note", "plc1:bare", "12"},
      {"bare2 = 7;x", "plc1:bare2", "7"},
      {"inner = \"  padded  \"", "plc1:inner", "padded"},
      {"nothing =", "plc1:nothing", ""},
      {"semi = ;c", "plc1:semi", ""},
      {"hash = #c", "plc1:hash", ""},
      {"dq = \"\"", "plc1:dq", ""},
      {"sq = ''", "plc1:sq", ""},
      {"  spaced key   =   spaced value   ", "plc1:spaced key", "spaced value"},
      {"eq = a=b", "plc1:eq", "a=b"},
      {"; comment", "plc1:; comment", "<absent>"},
      {"# comment = 5", "plc1:# comment", "<absent>"},
      {"   \t", "plc1:", "<absent>"},
      {"[  Other Section  ]", "other section", "<null>"},
      {"k=v", "other section:k", "v"},
  };
  std::string content;
  for (const auto& r : rows) content += std::string(r.line) + "\n";
  IniFile t(content);
  ASSERT_NE(t.d, nullptr) << t.err;
  EXPECT_EQ(t.err, "");
  for (const auto& r : rows) EXPECT_EQ(t.Get(r.key), r.value) << r.line;
  EXPECT_EQ(t.d->n, 17);
  EXPECT_STREQ(t.d->key[0], ":top");  // a key before the first header: empty section
  EXPECT_STREQ(t.d->key[2], "PLC1:IpAddr");
  EXPECT_EQ(iniparser_getnsec(t.d), 2);
  EXPECT_STREQ(iniparser_getsecname(t.d, 0), "PLC1");
  EXPECT_STREQ(iniparser_getsecname(t.d, 1), "Other Section");
  EXPECT_EQ(iniparser_getsecname(t.d, 2), nullptr);
  EXPECT_EQ(iniparser_getsecname(t.d, -1), nullptr);
}

TEST(IniLoad, SyntaxErrorsFailOnlyAfterTheLastStoredLine) {
  const struct {
    const char* content;
    bool loads;
    const char* err;  // after "iniparser: syntax error in <path> "
  } rows[] = {
      {"[s]\nkey\n", false, "(2):\n-> key\n"},
      {"[s]\n[broken\n", false, "(2):\n-> [broken\n"},
      {"[s]\nbroken line\nk = 1\n", true, "(2):\n-> broken line\n"},
      {"[a]\n=x\n[b]\n", true, "(2):\n-> =x\n"},  // a later header also clears it
      {"[a]\nk = 1\n=x\n# only a comment\n\n", false, "(3):\n-> =x\n"},
  };
  for (const auto& r : rows) {
    IniFile t(r.content);
    EXPECT_EQ(t.d != nullptr, r.loads) << r.content;
    EXPECT_EQ(t.err, "iniparser: syntax error in " + t.path + " " + r.err);
  }
  kt::ScratchDir dir;
  testing::internal::CaptureStderr();
  EXPECT_EQ(iniparser_load((dir / "missing.ini").c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "iniparser: cannot open " + dir / "missing.ini" + "\n");
}

TEST(IniLoad, ContinuationDosLineEndsOverlongLinesAndGetters) {
  IniFile t(
      "[s]\r\n"
      "joined = abc\\\r\n"
      "   def\r\n"
      "three = 1\\\n"
      "2\\\n"
      "3\n"
      "crlf = value\r\n"
      "last = tail\\");
  ASSERT_NE(t.d, nullptr) << t.err;
  EXPECT_EQ(t.Get("s:joined"), "abc   def");
  EXPECT_EQ(t.Get("s:three"), "123");
  EXPECT_EQ(t.Get("s:crlf"), "value");
  EXPECT_EQ(t.Get("s:last"), "tail");  // a continuation at the very end keeps its line

  // "k = " plus 1100 characters: the first read holds 1023, the rest is read as the next line.
  IniFile cut("[s]\nk = " + std::string(1100, 'a') + "\n[t]\n");
  ASSERT_NE(cut.d, nullptr);
  EXPECT_EQ(cut.Get("s:k"), std::string(1019, 'a'));
  EXPECT_EQ(cut.err,
            "iniparser: syntax error in " + cut.path + " (3):\n-> " + std::string(81, 'a') + "\n");

  IniFile g(
      "[s]\nhex = 0x10\noct = 010\ndec = -42\nbig = 12abc\ny = Yes\nt = true\none = 1\nn = No\n"
      "f = false\nzero = 0\non = on\nempty =\nIpAddr = 10.0.0.5\nipaddr = 10.0.0.6\n"
      "caf\xc3\xa9 = 1\n");
  ASSERT_NE(g.d, nullptr);
  const std::pair<const char*, int> ints[] = {{"s:hex", 16}, {"s:oct", 8},     {"s:dec", -42},
                                              {"s:big", 12}, {"s:absent", -1}, {"s", -1}};
  for (const auto& [key, value] : ints) EXPECT_EQ(iniparser_getint(g.d, key, -1), value) << key;
  for (const char* key : {"s:y", "s:t", "s:one"}) EXPECT_EQ(iniparser_getboolean(g.d, key, -1), 1);
  for (const char* key : {"s:n", "s:f", "s:zero"}) EXPECT_EQ(iniparser_getboolean(g.d, key, -1), 0);
  for (const char* key : {"s:on", "s:empty", "s:absent", "s"})
    EXPECT_EQ(iniparser_getboolean(g.d, key, -1), -1) << key;
  // Keys match whatever their case; the second spelling sets the first one's value. Bytes above
  // 0x7F keep their case.
  EXPECT_EQ(g.Get("S:IPADDR"), "10.0.0.6");
  EXPECT_EQ(g.Get("s:CAF\xc3\xa9"), "1");
  EXPECT_EQ(g.Get("s:caf\xc3\x89"), "<absent>");
  EXPECT_STREQ(iniparser_getstring(nullptr, "s:y", "def"), "def");
  EXPECT_EQ(iniparser_getnsec(nullptr), -1);
}
