// Saving values back into an INI file: layout and quoting kept, new files, and failures that
// must leave the original file untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ini/iniparser.h"
#include "support/scratch.h"

namespace {

struct SaveCase {
  kt::ScratchDir dir;
  std::string path = dir / "t.ini";
  std::string stderr_text;
  dictionary* d = nullptr;

  explicit SaveCase(const std::string& content) {
    kt::WriteFile(path, content);
    testing::internal::CaptureStderr();
    d = iniparser_load(path.c_str());
    stderr_text = testing::internal::GetCapturedStderr();
  }
  ~SaveCase() { iniparser_freedict(d); }
  int Save() {
    testing::internal::CaptureStderr();
    int rc = iniparser_save_ini(d, path.c_str());
    stderr_text = testing::internal::GetCapturedStderr();
    return rc;
  }
  std::string File() { return kt::ReadFile(path); }
};

}  // namespace

TEST(IniSave, ChangedValuesKeepLayoutAndQuoting) {
  const std::string original =
      "# web server\r\n"
      "[web]\r\n"
      "port = 80 ; web\r\n"
      "name = \"abc\"   # quoted\r\n"
      "alias = 'a b'\r\n"
      "\r\n"
      "  host=h1\r\n";
  SaveCase t(original);
  ASSERT_NE(t.d, nullptr);

  // Nothing changed: the file comes back byte for byte.
  EXPECT_EQ(t.Save(), 0);
  EXPECT_EQ(t.File(), original);

  iniparser_setstring(t.d, "web:port", "8080");
  iniparser_setstring(t.d, "WEB:NAME", "x");
  iniparser_setstring(t.d, "web:alias", "longer value");
  iniparser_setstring(t.d, "web:host", "h");
  iniparser_setstring(t.d, "web:unused", "not written");
  EXPECT_EQ(t.Save(), 0) << t.stderr_text;
  EXPECT_EQ(t.File(),
            "# web server\r\n"
            "[web]\r\n"
            "port = 8080 ; web\r\n"
            "name = \"x\"   # quoted\r\n"
            "alias = 'longer value'\r\n"
            "\r\n"
            "  host=h\r\n");
  EXPECT_EQ(t.stderr_text, "");
}

TEST(IniSave, EmptyValuesAndValuesBeforeFirstSection) {
  SaveCase t("top = 1\n[s]\nnone =\ncomment = ;c\ndq = \"\"\nsq = ''\nclear = old\n");
  ASSERT_NE(t.d, nullptr);
  iniparser_setstring(t.d, ":top", "2");
  iniparser_setstring(t.d, "s:none", "a");
  iniparser_setstring(t.d, "s:comment", "b");
  iniparser_setstring(t.d, "s:dq", "c d");
  iniparser_setstring(t.d, "s:sq", "e");
  iniparser_setstring(t.d, "s:clear", "");
  EXPECT_EQ(t.Save(), 0) << t.stderr_text;
  EXPECT_EQ(t.File(), "top = 2\n[s]\nnone = a\ncomment = b;c\ndq = \"c d\"\nsq = 'e'\nclear = \n");

  dictionary* back = iniparser_load(t.path.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(iniparser_getstring(back, ":top", nullptr), "2");
  EXPECT_STREQ(iniparser_getstring(back, "s:none", nullptr), "a");
  EXPECT_STREQ(iniparser_getstring(back, "s:comment", nullptr), "b");
  EXPECT_STREQ(iniparser_getstring(back, "s:dq", nullptr), "c d");
  EXPECT_STREQ(iniparser_getstring(back, "s:sq", nullptr), "e");
  EXPECT_STREQ(iniparser_getstring(back, "s:clear", nullptr), "");
  iniparser_freedict(back);
}

TEST(IniSave, MissingOrEmptyFileGetsTheDumpLayout) {
  kt::ScratchDir dir;
  dictionary* d = dictionary_new(0);
  dictionary_set(d, "web", nullptr);
  dictionary_set(d, "web:port", "80");
  const std::string dump = "\n[web]\nport                           = 80\n\n";

  std::string missing = dir / "missing.ini";
  EXPECT_EQ(iniparser_save_ini(d, missing.c_str()), 0);
  EXPECT_EQ(kt::ReadFile(missing), dump);

  std::string empty = dir / "empty.ini";
  kt::WriteFile(empty, "");
  EXPECT_EQ(iniparser_save_ini(d, empty.c_str()), 0);
  EXPECT_EQ(kt::ReadFile(empty), dump);

  std::string nodir = dir / "no/such/dir.ini";
  testing::internal::CaptureStderr();
  EXPECT_EQ(iniparser_save_ini(d, nodir.c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "iniparser: cannot open " + nodir + " for write\n");

  EXPECT_EQ(iniparser_save_ini(nullptr, missing.c_str()), -1);
  EXPECT_EQ(iniparser_save_ini(d, nullptr), -1);
  dictionary_del(d);
}

TEST(IniSave, FailureLeavesTheFileIntact) {
  {
    // The changed first line is checked but not written when a later line fails.
    const std::string original = "[s]\na = 1\nb = 2\n";
    SaveCase t(original);
    ASSERT_NE(t.d, nullptr);
    iniparser_setstring(t.d, "s:a", "changed");
    iniparser_unset(t.d, "s:b");
    EXPECT_EQ(t.Save(), -1);
    EXPECT_EQ(t.stderr_text, "iniparser: cannot get value for key 's:b' from " + t.path + "\n");
    EXPECT_EQ(t.File(), original);
  }
  {
    const std::string original = "[s]\na = 1\n";
    SaveCase t(original);
    ASSERT_NE(t.d, nullptr);
    iniparser_setstring(t.d, "s:a", "2");
    kt::WriteFile(t.path, original + "oops\n");
    EXPECT_EQ(t.Save(), -1);
    EXPECT_EQ(t.stderr_text, "iniparser: syntax error in " + t.path + " (3):\n-> oops\n");
    EXPECT_EQ(t.File(), original + "oops\n");
  }
  {
    // Values the line could not carry back are refused rather than written wrongly.
    const std::string original = "[s]\nbare = 1\n";
    for (const char* value : {"a ; b", "two\nlines", " padded", "ends\\"}) {
      SaveCase t(original);
      ASSERT_NE(t.d, nullptr);
      iniparser_setstring(t.d, "s:bare", value);
      EXPECT_EQ(t.Save(), -1) << value;
      EXPECT_EQ(t.stderr_text.rfind("iniparser: cannot change value '1' at line in " + t.path +
                                        " (2):\n-> bare = 1\n",
                                    0),
                0u)
          << t.stderr_text;
      EXPECT_EQ(t.File(), original);
    }
  }
}

TEST(IniSave, TooManyLines) {
  std::string original = "[s]\n";
  for (int i = 1; i < 100000; i++) original += "#\n";
  {
    SaveCase t(original);  // exactly 100000 lines is allowed
    ASSERT_NE(t.d, nullptr);
    EXPECT_EQ(t.Save(), 0) << t.stderr_text;
  }
  SaveCase t(original + "#\n");
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(t.Save(), -1);
  EXPECT_EQ(t.stderr_text, "iniparser: too much lines in " + t.path + " [100001 / 100000]\n");
  EXPECT_EQ(t.File(), original + "#\n");
}

TEST(IniSave, LongLinesAndContinuations) {
  {
    // A long comment is kept as it is (the load read its rest as a separate line, an error
    // forgiven here because a section header follows).
    const std::string original = "# " + std::string(2000, 'c') + "\n[s]\nk = 1\n";
    SaveCase t(original);
    ASSERT_NE(t.d, nullptr);
    iniparser_setstring(t.d, "s:k", "2");
    EXPECT_EQ(t.Save(), 0) << t.stderr_text;
    EXPECT_EQ(t.File(), "# " + std::string(2000, 'c') + "\n[s]\nk = 2\n");
  }
  {
    // A value line the load had to cut cannot be rewritten faithfully.
    const std::string original = "[s]\nk = " + std::string(1100, 'v') + "\n[t]\n";
    SaveCase t(original);
    ASSERT_NE(t.d, nullptr);
    EXPECT_EQ(t.Save(), -1);
    EXPECT_EQ(t.stderr_text.rfind("iniparser: line too long in " + t.path + " (2):\n", 0), 0u);
    EXPECT_EQ(t.File(), original);
  }
  {
    // A new value that would make the line too long for the load is refused.
    const std::string original = "[s]\nk = 1\n";
    SaveCase t(original);
    ASSERT_NE(t.d, nullptr);
    iniparser_setstring(t.d, "s:k", std::string(1020, 'v').c_str());
    EXPECT_EQ(t.Save(), -1);
    EXPECT_EQ(t.File(), original);
  }
  {
    // Continued lines are read as the load reads them; unchanged they stay as they are,
    // changed they become one line.
    const std::string original = "[s]\nsame = a\\\n  b\nmoved = c\\\nd\r\nafter = 1\n";
    SaveCase t(original);
    ASSERT_NE(t.d, nullptr);
    EXPECT_STREQ(iniparser_getstring(t.d, "s:moved", nullptr), "cd");
    EXPECT_EQ(t.Save(), 0) << t.stderr_text;
    EXPECT_EQ(t.File(), original);
    iniparser_setstring(t.d, "s:moved", "e");
    EXPECT_EQ(t.Save(), 0) << t.stderr_text;
    EXPECT_EQ(t.File(), "[s]\nsame = a\\\n  b\nmoved = e\r\nafter = 1\n");
  }
  {
    // A backslash that ends the file joins nothing: an unchanged save leaves it in place.
    const std::string original = "[s]\nlast = tail\\";
    SaveCase t(original);
    ASSERT_NE(t.d, nullptr);
    EXPECT_EQ(t.Save(), 0) << t.stderr_text;
    EXPECT_EQ(t.File(), original);
  }
}

TEST(IniSave, KeepsFileModeAndSymbolicLinks) {
  SaveCase t("[s]\nk = 1\n");
  ASSERT_NE(t.d, nullptr);
  ASSERT_EQ(chmod(t.path.c_str(), 0600), 0);
  iniparser_setstring(t.d, "s:k", "2");
  EXPECT_EQ(t.Save(), 0);
  struct stat st;
  ASSERT_EQ(stat(t.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(t.File(), "[s]\nk = 2\n");

  // Saved through a link, the target changes and the link stays a link.
  std::string link = t.dir / "link.ini";
  ASSERT_EQ(symlink(t.path.c_str(), link.c_str()), 0);
  iniparser_setstring(t.d, "s:k", "3");
  EXPECT_EQ(iniparser_save_ini(t.d, link.c_str()), 0);
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(t.File(), "[s]\nk = 3\n");
}
