// Loading INI files: line grammar, continuation, DOS line ends, error counting, getters, dumps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ini/iniparser.h"
#include "ini_test_util.h"
#include "support/text.h"

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

TEST(IniLoad, ContinuationDosLineEndsAndOverlongLines) {
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
}

TEST(IniLoad, TypedGettersAndEditing) {
  IniFile t(
      "[s]\nhex = 0x10\noct = 010\ndec = -42\nbig = 12abc\nd = 2.5\n"
      "y = Yes\nt = true\none = 1\nn = No\nf = false\nzero = 0\non = on\nempty =\n");
  ASSERT_NE(t.d, nullptr);
  const std::pair<const char*, int> ints[] = {
      {"s:hex", 16}, {"s:oct", 8}, {"s:dec", -42}, {"s:big", 12}, {"s:absent", -1}};
  for (const auto& [key, value] : ints) EXPECT_EQ(iniparser_getint(t.d, key, -1), value) << key;
  EXPECT_DOUBLE_EQ(iniparser_getdouble(t.d, "s:d", 0.0), 2.5);
  EXPECT_DOUBLE_EQ(iniparser_getdouble(t.d, "s:absent", 1.5), 1.5);
  for (const char* key : {"s:y", "s:t", "s:one"}) EXPECT_EQ(iniparser_getboolean(t.d, key, -1), 1);
  for (const char* key : {"s:n", "s:f", "s:zero"}) EXPECT_EQ(iniparser_getboolean(t.d, key, -1), 0);
  for (const char* key : {"s:on", "s:empty", "s:absent"})
    EXPECT_EQ(iniparser_getboolean(t.d, key, -1), -1) << key;
  for (char c : std::string("yYtT1nNfF0")) {  // only the first character counts
    iniparser_setstring(t.d, "s:b", (std::string(1, c) + "x").c_str());
    EXPECT_EQ(iniparser_getboolean(t.d, "s:b", -1), strchr("yYtT1", c) ? 1 : 0) << c;
  }
  // A section entry has no value: the converting getters give their not-found value.
  EXPECT_EQ(iniparser_getint(t.d, "s", -7), -7);
  EXPECT_DOUBLE_EQ(iniparser_getdouble(t.d, "s", -7.5), -7.5);
  EXPECT_EQ(iniparser_getboolean(t.d, "s", -7), -7);
  EXPECT_STREQ(iniparser_getstring(t.d, nullptr, "def"), "def");
  EXPECT_STREQ(iniparser_getstring(nullptr, "s:y", "def"), "def");
  EXPECT_EQ(iniparser_getint(nullptr, "s:y", -3), -3);
  EXPECT_EQ(iniparser_getnsec(nullptr), -1);

  EXPECT_EQ(iniparser_find_entry(t.d, "S:HEX"), 1);
  EXPECT_EQ(iniparser_find_entry(t.d, "s:z"), 0);
  EXPECT_EQ(iniparser_setstring(t.d, "s:hex", "9"), 0);
  EXPECT_EQ(iniparser_getint(t.d, "s:hex", -1), 9);
  iniparser_unset(t.d, "s:hex");
  EXPECT_EQ(iniparser_find_entry(t.d, "s:hex"), 0);
  EXPECT_EQ(iniparser_setstring(nullptr, "x", "y"), -1);
}

TEST(IniLoad, DumpFormatsAndVersion) {
  IniFile t("top = 0\n[web]\nport = 80\nname = \"abc\"\n[Db]\nhost = h\n");
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(CaptureStream([&](FILE* f) { iniparser_dump(t.d, f); }),
            "[:top]=[0]\n[web]=UNDEF\n[web:port]=[80]\n[web:name]=[abc]\n[Db]=UNDEF\n"
            "[Db:host]=[h]\n");
  // Keys before the first header come first, so that a dump reads back the same.
  EXPECT_EQ(CaptureStream([&](FILE* f) { iniparser_dump_ini(t.d, f); }),
            "top                            = 0\n"
            "\n[web]\n"
            "port                           = 80\n"
            "name                           = abc\n"
            "\n[Db]\n"
            "host                           = h\n"
            "\n");
  dictionary* flat = dictionary_new(0);
  dictionary_set(flat, "a:b", "1");
  dictionary_set(flat, "a:c", nullptr);
  EXPECT_EQ(CaptureStream([&](FILE* f) { iniparser_dump_ini(flat, f); }), "a:b = 1\na:c = \n");
  iniparser_freedict(flat);

  const std::string v = iniparser_version();
  EXPECT_EQ(iniparser_version(), ip_version);
  EXPECT_EQ(kt::MaskBuildStamps(v), "Ver 3.2 <stamp>");
}
