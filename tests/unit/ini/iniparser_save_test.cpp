// Saving values back into an INI file: layout and quoting kept, new files, and failures that
// must leave the original file untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ini/iniparser.h"
#include "ini_test_util.h"

using namespace std::string_literals;

TEST(IniSave, ChangedValuesKeepLayoutAndQuoting) {
  const struct {
    const char *before, *key, *value, *after;
  } rows[] = {
      {"top = 1", ":top", "2", "top = 2"},
      {"# web server", "", "", "# web server"},
      {"[web]", "", "", "[web]"},
      {"port = 80 ; web", "web:port", "8080", "port = 8080 ; web"},
      {"name = \"abc\"   # quoted", "WEB:NAME", "x", "name = \"x\"   # quoted"},
      {"alias = 'a b'", "web:alias", "longer value", "alias = 'longer value'"},
      {"", "", "", ""},
      {"  host=h1", "web:host", "h", "  host=h"},
      {"none =", "web:none", "a", "none = a"},
      {"comment = ;c", "web:comment", "b", "comment = b;c"},
      {"dq = \"\"", "web:dq", "c d", "dq = \"c d\""},
      {"clear = old", "web:clear", "", "clear = "},
      {"aa = a", "web:aa", "b", "aa = b"},  // the value is looked for behind the '='
  };
  std::string original, saved;
  for (const auto& r : rows) original += std::string(r.before) + "\r\n";
  for (const auto& r : rows) saved += std::string(r.after) + "\r\n";
  IniFile t(original);
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(t.Save(), 0);  // nothing changed: the file comes back byte for byte
  EXPECT_EQ(t.File(), original);
  for (const auto& r : rows)
    if (*r.key) iniparser_setstring(t.d, r.key, r.value);
  iniparser_setstring(t.d, "web:unused", "not written");
  EXPECT_EQ(t.Save(), 0) << t.err;
  EXPECT_EQ(t.err, "");
  EXPECT_EQ(t.File(), saved);
  IniFile back(saved);  // and reads back as set
  for (const auto& r : rows)
    EXPECT_EQ(back.Get(*r.key ? r.key : "top"), *r.key ? r.value : "<absent>");
  EXPECT_EQ(back.Get("web:unused"), "<absent>");
}

TEST(IniSave, MissingOrEmptyFileGetsTheDumpLayout) {
  kt::ScratchDir dir;
  dictionary* d = dictionary_new(0);
  dictionary_set(d, "web", nullptr);
  dictionary_set(d, "web:port", "80");
  for (const char* name : {"missing.ini", "empty.ini"}) {
    if (std::string(name) == "empty.ini") kt::WriteFile(dir / name, "");
    EXPECT_EQ(iniparser_save_ini(d, (dir / name).c_str()), 0);
    EXPECT_EQ(kt::ReadFile(dir / name), "\n[web]\nport                           = 80\n\n");
  }
  const std::string nodir = dir / "no/such/dir.ini";
  testing::internal::CaptureStderr();
  EXPECT_EQ(iniparser_save_ini(d, nodir.c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "iniparser: cannot open " + nodir + " for write\n");
  EXPECT_EQ(iniparser_save_ini(nullptr, nodir.c_str()), -1);
  EXPECT_EQ(iniparser_save_ini(d, nullptr), -1);
  dictionary_del(d);
}

// A failed save writes nothing: every row changes k to "2" in a file that fails for its reason.
TEST(IniSave, FailureLeavesTheFileIntact) {
  std::string lines = "[s]\nk = 1\n";
  for (int i = 2; i < 100001; i++) lines += "#\n";  // 100001 lines
  const struct {
    std::string loaded, on_disk;  // the file as loaded, and as it is when saved
    const char* unset;
    std::string err;  // after "iniparser: ", with <p> for the path
  } rows[] = {
      // A NUL byte hides the rest of its line from the parser: such a file is not rewritten.
      {"[s]\nk = 1\0x\n"s, "", "", "cannot load <p>\n"},
      {"[s]\n# a\0b\nk = 1\n"s, "", "", "cannot load <p>\n"},
      {"[s]\nk = 1\nb = 2\n", "[s]\nk = 1\nb = 2\n", "s:b",
       "cannot get value for key 's:b' from <p>\n"},
      {"[s]\nk = 1\n", "[s]\nk = 1\noops\n", "", "syntax error in <p> (3):\n-> oops\n"},
      {lines, lines, "", "too much lines in <p> [100001 / 100000]\n"},
      {"[s]\nk = 1\nv = " + std::string(1100, 'v') + "\n[t]\n", "", "",
       "line too long in <p> (3):\n-> v = " + std::string(1019, 'v') + "\n"},
  };
  for (const auto& r : rows) {
    IniFile t(r.loaded);
    ASSERT_NE(t.d, nullptr);
    const std::string on_disk = r.on_disk.empty() ? r.loaded : r.on_disk;
    kt::WriteFile(t.path, on_disk);
    iniparser_setstring(t.d, "s:k", "2");
    if (*r.unset) iniparser_unset(t.d, r.unset);
    EXPECT_EQ(t.Save(), -1);
    std::string err = "iniparser: " + r.err;
    err.replace(err.find("<p>"), 3, t.path);
    EXPECT_EQ(t.err, err);
    EXPECT_EQ(t.File(), on_disk);
  }
  // Values the line could not carry back are refused rather than written wrongly, also values
  // that would make the line too long for the load.
  const std::string values[] = {"a ; b", "two\nlines", " padded", "ends\\", std::string(1020, 'v')};
  for (const auto& value : values) {
    IniFile t("[s]\nbare = 1\n");
    iniparser_setstring(t.d, "s:bare", value.c_str());
    EXPECT_EQ(t.Save(), -1) << value;
    EXPECT_EQ(
        t.err.rfind(
            "iniparser: cannot change value '1' at line in " + t.path + " (2):\n-> bare = 1\n", 0),
        0u)
        << t.err;
    EXPECT_EQ(t.File(), "[s]\nbare = 1\n");
  }
}

TEST(IniSave, LinesTheLoadCutOrJoined) {
  {
    // A long comment is kept as it is (the load read its rest as a separate line, an error
    // forgiven because a section header follows); 100000 lines are allowed.
    std::string original = "# " + std::string(2000, 'c') + "\n[s]\nk = 1\n";
    for (int i = 4; i <= 100000; i++) original += "#\n";
    IniFile t(original);
    ASSERT_NE(t.d, nullptr);
    iniparser_setstring(t.d, "s:k", "2");
    EXPECT_EQ(t.Save(), 0) << t.err;
    EXPECT_EQ(t.File(), original.replace(original.find("k = 1"), 5, "k = 2"));
  }
  // Continued lines are read as the load reads them; unchanged they stay as they are, changed
  // they become one line. A backslash that ends the file joins nothing and stays.
  const std::string original = "[s]\nsame = a\\\n  b\nmoved = c\\\nd\r\nlast = tail\\";
  IniFile t(original);
  ASSERT_NE(t.d, nullptr);
  EXPECT_EQ(t.Get("s:moved"), "cd");
  EXPECT_EQ(t.Save(), 0) << t.err;
  EXPECT_EQ(t.File(), original);
  iniparser_setstring(t.d, "s:moved", "e");
  EXPECT_EQ(t.Save(), 0) << t.err;
  EXPECT_EQ(t.File(), "[s]\nsame = a\\\n  b\nmoved = e\r\nlast = tail\\");
}

TEST(IniSave, KeepsFileModeAndSymbolicLinks) {
  IniFile t("[s]\nk = 1\n");
  ASSERT_NE(t.d, nullptr);
  ASSERT_EQ(chmod(t.path.c_str(), 0640), 0);
  const std::string link = t.dir / "link.ini";
  ASSERT_EQ(symlink(t.path.c_str(), link.c_str()), 0);
  iniparser_setstring(t.d, "s:k", "2");
  EXPECT_EQ(iniparser_save_ini(t.d, link.c_str()), 0);  // through the link: the target changes
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(t.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(t.File(), "[s]\nk = 2\n");
}
