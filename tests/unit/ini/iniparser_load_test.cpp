// Loading INI files: line grammar, continuation, DOS line ends, error counting, getters, dumps.
#include <gtest/gtest.h>

#include <string>

#include "ini/iniparser.h"
#include "ini_test_util.h"
#include "support/scratch.h"

namespace {

// Loads content from a scratch file; stderr holds what the load wrote there.
struct Loaded {
  kt::ScratchDir dir;
  std::string path;
  std::string stderr_text;
  dictionary* d = nullptr;
  explicit Loaded(const std::string& content) {
    path = dir / "t.ini";
    kt::WriteFile(path, content);
    testing::internal::CaptureStderr();
    d = iniparser_load(path.c_str());
    stderr_text = testing::internal::GetCapturedStderr();
  }
  ~Loaded() { iniparser_freedict(d); }
  std::string Get(const char* key) {
    const char* v = iniparser_getstring(d, key, "<absent>");
    return v ? v : "<null>";
  }
};

}  // namespace

TEST(IniLoad, SectionsAndKeysKeepCaseAndMatchWithoutIt) {
  Loaded t("[PLC1]\nIpAddr = 10.0.0.5\n");
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(t.Get("plc1:ipaddr"), "10.0.0.5");
  EXPECT_EQ(t.Get("PLC1:IPADDR"), "10.0.0.5");
  EXPECT_EQ(t.Get("Plc1:IpAddr"), "10.0.0.5");
  EXPECT_EQ(iniparser_getnsec(t.d), 1);
  EXPECT_STREQ(iniparser_getsecname(t.d, 0), "PLC1");
  EXPECT_STREQ(t.d->key[1], "PLC1:IpAddr");
  EXPECT_EQ(t.stderr_text, "");
}

TEST(IniLoad, ValueGrammar) {
  Loaded t(
      "[s]\n"
      "quoted = \"a b\" ; note\n"
      "single = 'x = 5'\n"
      "bare = 12 # note\n"
      "bare2 = 7;x\n"
      "inner = \"  padded  \"\n"
      "nothing =\n"
      "semi = ;c\n"
      "hash = #c\n"
      "dq = \"\"\n"
      "sq = ''\n"
      "  spaced key   =   spaced value   \n"
      "eq = a=b\n"
      "; comment\n"
      "# comment = 5\n"
      "\n"
      "   \t\n"
      "[  Other Section  ]\n"
      "k=v\n");
  ASSERT_NE(t.d, nullptr) << t.stderr_text;
  EXPECT_EQ(t.Get("s:quoted"), "a b");
  EXPECT_EQ(t.Get("s:single"), "x = 5");
  EXPECT_EQ(t.Get("s:bare"), "12");
  EXPECT_EQ(t.Get("s:bare2"), "7");
  EXPECT_EQ(t.Get("s:inner"), "padded");
  EXPECT_EQ(t.Get("s:nothing"), "");
  EXPECT_EQ(t.Get("s:semi"), "");
  EXPECT_EQ(t.Get("s:hash"), "");
  EXPECT_EQ(t.Get("s:dq"), "");
  EXPECT_EQ(t.Get("s:sq"), "");
  EXPECT_EQ(t.Get("s:spaced key"), "spaced value");
  EXPECT_EQ(t.Get("s:eq"), "a=b");
  EXPECT_EQ(iniparser_find_entry(t.d, "s:# comment"), 0);
  EXPECT_STREQ(iniparser_getsecname(t.d, 1), "Other Section");
  EXPECT_EQ(t.Get("other section:k"), "v");
  EXPECT_EQ(t.d->n, 15);
}

TEST(IniLoad, KeyBeforeFirstSectionIsStoredUnderEmptySection) {
  Loaded t("top = 1\n[s]\nk = 2\n");
  ASSERT_NE(t.d, nullptr);
  EXPECT_STREQ(t.d->key[0], ":top");
  EXPECT_EQ(t.Get(":top"), "1");
  EXPECT_EQ(iniparser_find_entry(t.d, "top"), 0);
}

TEST(IniLoad, SyntaxErrorsFailOnlyAfterTheLastStoredLine) {
  {
    Loaded t("[s]\nkey\n");
    EXPECT_EQ(t.d, nullptr);
    EXPECT_EQ(t.stderr_text, "iniparser: syntax error in " + t.path + " (2):\n-> key\n");
  }
  {
    Loaded t("[s]\nbroken line\nk = 1\n");
    ASSERT_NE(t.d, nullptr);
    EXPECT_EQ(t.stderr_text, "iniparser: syntax error in " + t.path + " (2):\n-> broken line\n");
    EXPECT_EQ(t.Get("s:k"), "1");
  }
  {
    // A later section header also clears the count; comments after an error do not.
    Loaded ok("[a]\n=x\n[b]\n");
    EXPECT_NE(ok.d, nullptr);
    Loaded bad("[a]\nk = 1\n=x\n# only a comment\n\n");
    EXPECT_EQ(bad.d, nullptr);
  }
}

TEST(IniLoad, ContinuationLinesAndDosLineEnds) {
  Loaded t(
      "[s]\r\n"
      "joined = abc\\\r\n"
      "   def\r\n"
      "three = 1\\\n"
      "2\\\n"
      "3\n"
      "crlf = value\r\n"
      "last = tail\\");
  ASSERT_NE(t.d, nullptr) << t.stderr_text;
  EXPECT_EQ(t.Get("s:joined"), "abc   def");
  EXPECT_EQ(t.Get("s:three"), "123");
  EXPECT_EQ(t.Get("s:crlf"), "value");
  // A continuation at the very end of the file keeps its line.
  EXPECT_EQ(t.Get("s:last"), "tail");
}

TEST(IniLoad, OverlongLineIsCutAndItsRestReadAsNextLine) {
  // "k = " plus 1100 characters: the first read holds 1023 characters.
  std::string content = "[s]\nk = " + std::string(1100, 'a') + "\n[t]\n";
  Loaded t(content);
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(t.Get("s:k"), std::string(1019, 'a'));
  EXPECT_EQ(t.stderr_text,
            "iniparser: syntax error in " + t.path + " (3):\n-> " + std::string(81, 'a') + "\n");
}

TEST(IniLoad, MissingFile) {
  kt::ScratchDir dir;
  std::string path = dir / "missing.ini";
  testing::internal::CaptureStderr();
  EXPECT_EQ(iniparser_load(path.c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "iniparser: cannot open " + path + "\n");
}

TEST(IniLoad, TypedGetters) {
  Loaded t(
      "[s]\nhex = 0x10\noct = 010\ndec = -42\nbig = 12abc\nd = 2.5\n"
      "y = Yes\nt = true\none = 1\nn = No\nf = false\nzero = 0\non = on\nempty =\n");
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(iniparser_getint(t.d, "s:hex", -1), 16);
  EXPECT_EQ(iniparser_getint(t.d, "s:oct", -1), 8);
  EXPECT_EQ(iniparser_getint(t.d, "s:dec", -1), -42);
  EXPECT_EQ(iniparser_getint(t.d, "s:big", -1), 12);
  EXPECT_EQ(iniparser_getint(t.d, "s:absent", -1), -1);
  EXPECT_DOUBLE_EQ(iniparser_getdouble(t.d, "s:d", 0.0), 2.5);
  EXPECT_DOUBLE_EQ(iniparser_getdouble(t.d, "s:absent", 1.5), 1.5);
  for (const char* key : {"s:y", "s:t", "s:one"}) EXPECT_EQ(iniparser_getboolean(t.d, key, -1), 1);
  for (const char* key : {"s:n", "s:f", "s:zero"}) EXPECT_EQ(iniparser_getboolean(t.d, key, -1), 0);
  for (const char* key : {"s:on", "s:empty", "s:absent"}) {
    EXPECT_EQ(iniparser_getboolean(t.d, key, -1), -1) << key;
  }
  // A section entry has no value: the converting getters give their not-found value.
  EXPECT_EQ(iniparser_getint(t.d, "s", -7), -7);
  EXPECT_DOUBLE_EQ(iniparser_getdouble(t.d, "s", -7.5), -7.5);
  EXPECT_EQ(iniparser_getboolean(t.d, "s", -7), -7);
  EXPECT_EQ(iniparser_getstring(t.d, "s", "def"), nullptr);
  EXPECT_STREQ(iniparser_getstring(t.d, nullptr, "def"), "def");
  EXPECT_STREQ(iniparser_getstring(nullptr, "s:y", "def"), "def");
  EXPECT_EQ(iniparser_getint(nullptr, "s:y", -3), -3);
}

TEST(IniLoad, SectionListingAndEditing) {
  Loaded t("[*]\na = 1\n[PLC1]\nb = 2\n[line2]\n");
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(iniparser_getnsec(t.d), 3);
  EXPECT_STREQ(iniparser_getsecname(t.d, 0), "*");
  EXPECT_STREQ(iniparser_getsecname(t.d, 2), "line2");
  EXPECT_EQ(iniparser_getsecname(t.d, 3), nullptr);
  EXPECT_EQ(iniparser_getsecname(t.d, -1), nullptr);
  EXPECT_EQ(iniparser_getnsec(nullptr), -1);
  EXPECT_EQ(iniparser_getsecname(nullptr, 0), nullptr);

  EXPECT_EQ(iniparser_find_entry(t.d, "*:A"), 1);
  EXPECT_EQ(iniparser_find_entry(t.d, "PLC1"), 1);
  EXPECT_EQ(iniparser_find_entry(t.d, "*:z"), 0);
  EXPECT_EQ(iniparser_setstring(t.d, "*:a", "9"), 0);
  EXPECT_EQ(iniparser_getint(t.d, "*:a", -1), 9);
  iniparser_unset(t.d, "*:a");
  EXPECT_EQ(iniparser_find_entry(t.d, "*:a"), 0);
  EXPECT_EQ(iniparser_setstring(nullptr, "x", "y"), -1);
}

TEST(IniLoad, DumpFormats) {
  Loaded t("top = 0\n[web]\nport = 80\nname = \"abc\"\n[Db]\nhost = h\n");
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
}

TEST(IniLoad, VersionText) {
  const char* v = iniparser_version();
  EXPECT_EQ(v, ip_version);
  std::string text = v;
  EXPECT_EQ(text.rfind("Ver 3.2 ", 0), 0u);
  // "Ver 3.2 Mmm dd yyyy hh:mm:ss"
  EXPECT_EQ(text.size(), 8u + 11u + 1u + 8u);
}
