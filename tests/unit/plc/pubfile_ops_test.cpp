// Enabling, disabling, hiding, copying, merging and folding public files.
#include "plc/pubfile_ops.h"

#include <gtest/gtest.h>

#include <string>

#include "plc_test_support.h"

namespace {
const char* kFile = "TEMP R 0 0 REAL\nT_HID R 0 4 INT\nA R 0 6 INT\nB R 0 8 INT\nZ R 0 10 INT\n";
}  // namespace

using PubFileOps = kt::PlcTest;
using kt::States;

TEST_F(PubFileOps, EnableWithDeltaTouchesBothCopiesAndTheSets) {
  auto pf = kt::ReadText(kFile);
  ASSERT_TRUE(pf);
  ASSERT_EQ(DisablePubFile(pf.get(), "TEMP", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=2 T_HID=1 Z=1 ");
  EXPECT_EQ(kt::Sets(pf.get()), "+A +B +T_HID +Z -TEMP ");
  EXPECT_EQ(pf->disable_mark, 3);

  ASSERT_EQ(EnablePubFile(pf.get(), "TEMP", 0.5), 0);
  PUBFILE_R* r = FindPubFileRec(pf.get(), "TEMP");
  EXPECT_DOUBLE_EQ(r->delta, 0.5);
  EXPECT_EQ(r->retake, 1);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=1 T_HID=1 Z=1 ");
  EXPECT_EQ(kt::Sets(pf.get()), "+A +B +TEMP +T_HID +Z ");
  EXPECT_EQ(pf->enable_mark, 3);

  r->retake = 0;
  ASSERT_EQ(EnablePubFile(pf.get(), "TEMP", -1), 0);
  EXPECT_DOUBLE_EQ(r->delta, 0.5);  // negative delta leaves it
  EXPECT_EQ(r->retake, 0);

  kt::LogCapture log;
  EXPECT_EQ(EnablePubFile(pf.get(), "NOPE", -1), 1);
  EXPECT_EQ(EnablePubFile(pf.get(), nullptr, -1), 1);
  EXPECT_EQ(EnablePubFileRec(pf.get(), "NOPE"), 1);
  EXPECT_TRUE(log.Has("EnablePubFileRec():: Unknown variable name: NOPE"));
}

TEST_F(PubFileOps, EmptyNameTouchesOnlyTheOtherSet) {
  auto pf = kt::ReadText(kFile);
  ASSERT_TRUE(pf);
  ASSERT_EQ(DisablePubFile(pf.get(), "", -1), 0);  // everything
  EXPECT_EQ(States(pf.get()), "A=2 B=2 TEMP=2 T_HID=2 Z=2 ");
  pf->disabled_names.clear();
  for (const char* n : {"A", "B"}) {
    const char* name = FindPubFileRec(pf.get(), n)->name;
    pf->disabled_names.emplace(name, name);
  }
  ASSERT_EQ(EnablePubFile(pf.get(), "", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=2 T_HID=2 Z=2 ");
  EXPECT_TRUE(pf->disabled_names.empty());

  // With the other set empty, every visible record.
  HidePubFile(pf.get(), "Z");
  ASSERT_EQ(EnablePubFile(pf.get(), "", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=1 T_HID=1 Z=2 ");
}

TEST_F(PubFileOps, PatternsAndHiddenRecords) {
  pf_var_disabled = 1;
  auto pf = kt::ReadText(kFile);
  ASSERT_TRUE(pf);
  ASSERT_EQ(HidePubFile(pf.get(), "T_HID"), 0);
  ASSERT_EQ(EnablePubFile(pf.get(), "*", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=1 T_HID=2 Z=1 ");  // "*" skips hidden
  ASSERT_EQ(DisablePubFile(pf.get(), "", -1), 0);
  ASSERT_EQ(EnablePubFile(pf.get(), "T*", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=2 B=2 TEMP=1 T_HID=1 Z=2 ");  // a pattern includes hidden
  EXPECT_EQ(EnablePubFile(pf.get(), "Q*", -1), 1);

  // A half-run enumeration does not shorten a selection.
  FindPubFileRec(pf.get(), "*");
  FindPubFileRec(pf.get(), "*");
  ASSERT_EQ(DisablePubFile(pf.get(), "*", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=2 B=2 TEMP=2 T_HID=1 Z=2 ");

  EXPECT_EQ(HidePubFile(pf.get(), "UNKNOWN"), 1);
  EXPECT_EQ(HidePubFile(pf.get(), "*"), 0);
  EXPECT_EQ(CountHideRecPubFile(pf.get()), 5);
  EXPECT_EQ(UnHidePubFile(pf.get(), "T*"), 0);
  EXPECT_EQ(CountHideRecPubFile(pf.get()), 3);
}

TEST_F(PubFileOps, AlwaysEnabledRecordsAreLeftAlone) {
  auto pf = kt::ReadText("__PF_CRC R 0 0 UDINT\nA R 0 4 INT\n");
  ASSERT_TRUE(pf);
  kt::SetAlways(pf.get(), "__PF_CRC");
  pf->enabled_names.clear();
  ASSERT_EQ(DisablePubFile(pf.get(), "__PF_CRC", 2.0), 0);
  EXPECT_EQ(States(pf.get()), "A=1 __PF_CRC=4 ");
  EXPECT_EQ(kt::Sets(pf.get()), "");
  EXPECT_DOUBLE_EQ(FindPubFileRec(pf.get(), "__PF_CRC")->delta, 2.0);

  // A copy keeps state 4 and keeps the name out of the sets.
  kt::PubFilePtr copy(ClonePubFile(pf.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(States(copy.get()), "A=1 __PF_CRC=4 ");
  EXPECT_EQ(kt::Sets(copy.get()), "+A ");
}

TEST_F(PubFileOps, CopiesFollowTheDisabledSettingAndOutliveTheirSource) {
  auto pf = kt::ReadText(kFile);
  ASSERT_TRUE(pf);
  DisablePubFile(pf.get(), "A", -1);
  kt::PubFilePtr copy(ClonePubFile(pf.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(States(copy.get()), "A=1 B=1 TEMP=1 T_HID=1 Z=1 ");
  pf_var_disabled = 1;
  kt::PubFilePtr off(ClonePubFile(pf.get()));
  EXPECT_EQ(States(off.get()), "A=2 B=2 TEMP=2 T_HID=2 Z=2 ");
  EXPECT_EQ(off->disable_mark, 3);

  // The names stay valid after the file that read them is gone (checked under ASan).
  RemovePubFile(pf.release(), 1);
  EXPECT_STREQ(FindPubFileRec(copy.get(), "TEMP")->name, "TEMP");
  EXPECT_EQ(EnablePubFile(copy.get(), "T*", 1.0), 0);
}

TEST_F(PubFileOps, MergeKeepsTheFixedDefinition) {
  kt::LogCapture log;
  auto fixed = kt::ReadText("__PF_CRC R 0 100 UDINT\n");
  ASSERT_TRUE(fixed);
  kt::SetAlways(fixed.get(), "__PF_CRC");
  auto obtained = kt::ReadText("__PF_CRC R 0 0 DINT\nLEVEL R 0 4 INT\n");
  ASSERT_TRUE(obtained);
  snprintf(obtained->file.name, sizeof obtained->file.name, "iRovanta.pub");

  kt::PubFilePtr merged(ClonePubFile(fixed.get()));
  ASSERT_EQ(AddPubFile(merged.get(), obtained.get()), merged.get());
  EXPECT_TRUE(
      log.Has("AddPubFile():: Found duplicity for variable: __PF_CRC. Skiping this record!"));
  EXPECT_EQ(FindPubFileRec(merged.get(), "__PF_CRC")->addr, 100u);
  EXPECT_EQ(States(merged.get()), "LEVEL=1 __PF_CRC=4 ");
  EXPECT_EQ(kt::Sets(merged.get()), "+LEVEL ");
  EXPECT_STREQ(merged->file.name, "iRovanta.pub");
  ASSERT_NE(merged->file.data, nullptr);
  EXPECT_NE(merged->file.data, obtained->file.data);  // its own copy of the text
  EXPECT_EQ(std::string(merged->file.data), std::string(obtained->file.data));

  // Dropping both sources leaves the merged file whole (checked under ASan).
  RemovePubFile(obtained.release(), 0);
  RemovePubFile(fixed.release(), 2);
  EXPECT_EQ(States(merged.get()), "LEVEL=1 __PF_CRC=4 ");
}

TEST_F(PubFileOps, FoldWithTwoClients) {
  auto pf = kt::ReadText("X1 R 0 0 INT\nY1 R 0 2 INT\nW1 R 0 4 INT\n");
  ASSERT_TRUE(pf);
  PUBFILE_T* c1 = nullptr;
  PUBFILE_T* c2 = nullptr;
  PubFileCopies clients = {&c1, &c2};
  ASSERT_EQ(UpdatePubFileClient(pf.get(), &clients), 0);
  ASSERT_TRUE(c1 && c2);

  // Fresh copies have every name enabled and stand at mark 3: the fold enables all.
  EXPECT_NE(UpdatePubFile(pf.get(), &clients), 0);
  EXPECT_EQ(c1->enable_mark, 0);
  EXPECT_EQ(c2->enable_mark, 0);
  EXPECT_EQ(States(pf.get()), "W1=1 X1=1 Y1=1 ");

  // Client 1 enables X1, client 2 disables X1 and Y1: X1 stays enabled; so does Y1, which
  // client 1 still has enabled in its copy.
  ASSERT_EQ(EnablePubFile(c1, "X1", -1), 0);
  ASSERT_EQ(DisablePubFile(c2, "X1", -1), 0);
  ASSERT_EQ(DisablePubFile(c2, "Y1", -1), 0);
  EXPECT_NE(UpdatePubFile(pf.get(), &clients), 0);
  EXPECT_EQ(States(pf.get()), "W1=1 X1=1 Y1=1 ");
  EXPECT_EQ(c1->enable_mark, 0);
  EXPECT_EQ(c2->disable_mark, 0);

  // Once both clients have Y1 off, the fold turns it off; client 2's stale X1 does not.
  ASSERT_EQ(DisablePubFile(c1, "Y1", -1), 0);
  ASSERT_EQ(DisablePubFile(c2, "Y1", -1), 0);
  EXPECT_NE(UpdatePubFile(pf.get(), &clients), 0);
  EXPECT_EQ(States(pf.get()), "W1=1 X1=1 Y1=2 ");

  // An enabled name counts even when its mark was already reset.
  ASSERT_EQ(EnablePubFile(c2, "Y1", -1), 0);
  c2->enable_mark = 0;
  UpdatePubFile(pf.get(), &clients);
  EXPECT_EQ(States(pf.get()), "W1=1 X1=1 Y1=1 ");

  // No client keeps a copy: every record follows the setting.
  PubFileCopies nobody;
  pf_var_disabled = 1;
  EXPECT_NE(UpdatePubFile(pf.get(), &nobody), 0);
  EXPECT_EQ(States(pf.get()), "W1=2 X1=2 Y1=2 ");

  // A refresh replaces the copies, freeing the old ones; copies outlive their file (ASan).
  ASSERT_EQ(UpdatePubFileClient(pf.get(), &clients), 0);
  pf.reset();
  EXPECT_STREQ(FindPubFileRec(c1, "X1")->name, "X1");
  RemovePubFile(c1, 0);
  RemovePubFile(c2, 0);
}
