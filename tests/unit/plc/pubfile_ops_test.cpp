// Enabling, disabling, hiding, copying, merging and folding public files.
#include "plc/pubfile_ops.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <string>
#include <vector>

#include "plc_test_support.h"

namespace {

// Every per-variable field of a record.
std::string Fields(const PUBFILE_R* r) {
  int v;
  memcpy(&v, r->value + 4, sizeof v);
  char out[96];
  snprintf(out, sizeof out, "%d %d %.1f %d %d %d", r->state, r->hidden, r->delta, r->retake,
           r->report_once, v);
  return out;
}

}  // namespace

using PubFileOps = kt::PlcTest;
using kt::States;

TEST_F(PubFileOps, SelectionsDeltasHiddenRecordsCopiesAndMerges) {
  auto pf = kt::ReadText(
      "TEMP R 0 0 REAL\nT_HID R 0 4 INT\nA R 0 6 INT\nB R 0 8 INT\n__PF_CRC R 0 20 UDINT\n");
  ASSERT_TRUE(pf);
  PUBFILE_R* temp = FindPubFileRec(pf.get(), "TEMP");
  FindPubFileRec(pf.get(), "__PF_CRC")->state = PF_ALWAYS;
  FindPubFileRec(pf.get(), "__PF_CRC")->choice = 0;  // out of enabled_names
  ASSERT_EQ(DisablePubFile(pf.get(), "TEMP", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=2 T_HID=1 __PF_CRC=4 | +A +B +T_HID -TEMP");
  EXPECT_EQ(pf->disable_mark, 3);
  ASSERT_EQ(EnablePubFile(pf.get(), "TEMP", 0.5), 0);
  EXPECT_EQ(Fields(temp).substr(0, 10) + std::to_string(pf->enable_mark), "1 0 0.5 1 3");
  temp->retake = 0;
  ASSERT_EQ(EnablePubFile(pf.get(), "TEMP", -1), 0);  // a negative delta leaves it
  EXPECT_EQ(Fields(temp).substr(0, 10), "1 0 0.5 0 ");
  ASSERT_EQ(EnablePubFile(pf.get(), "TEMP", 0), 0);  // 0 reports every change
  EXPECT_EQ(Fields(temp).substr(0, 10), "1 0 0.0 1 ");
  EXPECT_EQ(EnablePubFile(pf.get(), "NOPE", -1) + EnablePubFile(pf.get(), nullptr, -1), 2);
  EXPECT_EQ(DisablePubFileRec(pf.get(), "NOPE"), 1);
  EXPECT_TRUE(Logged("DisablePubFileRec():: Unknown variable name: NOPE"));

  // State 4 takes a delta only; "*" skips hidden records, other patterns include them.
  ASSERT_EQ(HidePubFile(pf.get(), "T_HID"), 0);
  ASSERT_EQ(DisablePubFile(pf.get(), "*", 2.0), 0);
  EXPECT_EQ(States(pf.get()), "A=2 B=2 TEMP=2 T_HID=1 __PF_CRC=4 | +T_HID -A -B -TEMP");
  EXPECT_EQ(FindPubFileRec(pf.get(), "__PF_CRC")->delta, 2.0);
  ASSERT_EQ(DisablePubFile(pf.get(), "T*", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=2 B=2 TEMP=2 T_HID=2 __PF_CRC=4 | -A -B -TEMP -T_HID");
  EXPECT_EQ(EnablePubFile(pf.get(), "Q*", -1), 1);
  // The empty name: only the visible names of the other set, which it empties; with that set
  // empty, every visible record.
  FindPubFileRec(pf.get(), "TEMP")->choice = 0;  // out of disabled_names
  ASSERT_EQ(EnablePubFile(pf.get(), "", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=2 T_HID=2 __PF_CRC=4 | +A +B");
  ASSERT_EQ(EnablePubFile(pf.get(), "", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=1 B=1 TEMP=1 T_HID=2 __PF_CRC=4 | +A +B +TEMP");
  // A half-run enumeration does not shorten a selection, which leaves the cursor at the start.
  FindPubFileRec(pf.get(), "*");
  FindPubFileRec(pf.get(), "*");
  ASSERT_EQ(DisablePubFile(pf.get(), "*", -1), 0);
  EXPECT_EQ(States(pf.get()), "A=2 B=2 TEMP=2 T_HID=2 __PF_CRC=4 | -A -B -TEMP");
  EXPECT_STREQ(FindPubFileRec(pf.get(), "*")->name, "A");

  EXPECT_EQ(HidePubFile(pf.get(), "UNKNOWN") + HidePubFile(pf.get(), nullptr), 2);
  EXPECT_EQ(HidePubFile(pf.get(), "*") + CountHideRecPubFile(pf.get()), 5);
  EXPECT_EQ(UnHidePubFile(pf.get(), "T*") + CountHideRecPubFile(pf.get()), 3);
  EXPECT_EQ(UnHidePubFile(pf.get(), "") + CountHideRecPubFile(pf.get()), 0);

  // Copies and merges own their records and outlive their sources.
  auto fixed = kt::ReadText("__PF_CRC R 0 100 UDINT\n");
  auto obtained = kt::ReadText("__PF_CRC R 0 0 DINT\nLEVEL R 0 4 INT\nOFF R 0 8 INT\n");
  ASSERT_TRUE(fixed && obtained);
  FindPubFileRec(fixed.get(), "__PF_CRC")->state = PF_ALWAYS;
  DisablePubFile(obtained.get(), "OFF", -1);
  snprintf(obtained->file.name, sizeof obtained->file.name, "iRovanta.pub");
  obtained->file.source = 2, obtained->file.mtime = 1718808736;

  kt::PubFilePtr merged(ClonePubFile(fixed.get()));
  ASSERT_EQ(AddPubFile(merged.get(), obtained.get()), merged.get());
  EXPECT_TRUE(
      Logged("AddPubFile():: Found duplicity for variable: __PF_CRC. Skiping this record!"));
  EXPECT_EQ(kt::Rec(merged.get(), "__PF_CRC"), "__PF_CRC=R100.0 UDINT 4");
  EXPECT_FALSE(FindPubFileRec(fixed.get(), "LEVEL"));  // the merge changed its source's copy only
  EXPECT_EQ(States(merged.get()), "LEVEL=1 OFF=2 __PF_CRC=4 | +LEVEL -OFF");
  // Its own copy of the text, with the information of the file it came from.
  const PUBTEXT_T& t = merged->file;
  EXPECT_EQ(std::string(t.name) + " " + std::to_string(t.source) + " " + std::to_string(t.mtime),
            "iRovanta.pub 2 1718808736");
  ASSERT_TRUE(t.data && t.data.get() != obtained->file.data.get());
  EXPECT_STREQ(t.data.get(), obtained->file.data.get());

  // A copy keeps state 4, the rest follows the setting; changing it leaves the file alone.
  kt::PubFilePtr copy(ClonePubFile(merged.get()));
  EXPECT_EQ(States(copy.get()) + std::to_string(copy->enable_mark),
            "LEVEL=1 OFF=1 __PF_CRC=4 | +LEVEL +OFF3");
  FindPubFileRec(copy.get(), "LEVEL")->hidden = 1;
  EXPECT_EQ(FindPubFileRec(merged.get(), "LEVEL")->hidden, 0);
  pf_var_disabled = 1;
  kt::PubFilePtr off(ClonePubFile(merged.get()));
  EXPECT_EQ(States(off.get()) + std::to_string(off->disable_mark),
            "LEVEL=2 OFF=2 __PF_CRC=4 | -LEVEL -OFF3");

  // Dropping the sources leaves the copies whole (checked under ASan).
  RemovePubFile(obtained.release(), 0);
  RemovePubFile(fixed.release(), 2);
  RemovePubFile(merged.release(), 1);
  EXPECT_STREQ(FindPubFileRec(copy.get(), "LEVEL")->name, "LEVEL");
  EXPECT_EQ(EnablePubFile(copy.get(), "*", 1.0), 0);
}

TEST_F(PubFileOps, FoldWithTwoClientsAndWhatCopiesCost) {
  auto pf = kt::ReadText("X1 R 0 0 INT\nY1 R 0 2 INT\nW1 R 0 4 INT\n__PF_CRC R 0 6 UDINT\n");
  ASSERT_TRUE(pf);
  FindPubFileRec(pf.get(), "__PF_CRC")->state = PF_ALWAYS;
  FindPubFileRec(pf.get(), "__PF_CRC")->choice = 0;
  PUBFILE_T *c1 = nullptr, *c2 = nullptr;
  PubFileCopies clients = {&c1, &c2};
  ASSERT_EQ(UpdatePubFileClient(pf.get(), &clients), 0);
  ASSERT_TRUE(c1 && c2);
  auto fold = [&] {
    EXPECT_NE(UpdatePubFile(pf.get(), &clients), 0);
    EXPECT_EQ(c1->enable_mark + c1->disable_mark + c2->enable_mark + c2->disable_mark, 0);
    return States(pf.get());
  };
  // Fresh copies have every name enabled at mark 3: the fold enables all and resets the marks.
  EXPECT_EQ(fold(), "W1=1 X1=1 Y1=1 __PF_CRC=4 | +W1 +X1 +Y1");
  // Client 1 enables X1, client 2 disables X1 and Y1: both stay on (client 1 still has Y1).
  ASSERT_EQ(EnablePubFile(c1, "X1", -1) + DisablePubFile(c2, "X1", -1), 0);
  ASSERT_EQ(DisablePubFile(c2, "Y1", -1), 0);
  EXPECT_EQ(fold(), "W1=1 X1=1 Y1=1 __PF_CRC=4 | +W1 +X1 +Y1");
  // Once both have Y1 off, the fold turns it off; client 2's older X1 choice does not.
  ASSERT_EQ(DisablePubFile(c1, "Y1", -1) + DisablePubFile(c2, "Y1", -1), 0);
  EXPECT_EQ(fold(), "W1=1 X1=1 Y1=2 __PF_CRC=4 | +W1 +X1 +Y1");
  // An enabled name counts even when its mark was already reset.
  ASSERT_EQ(EnablePubFile(c2, "Y1", -1), 0);
  c2->enable_mark = 0;
  EXPECT_EQ(fold(), "W1=1 X1=1 Y1=1 __PF_CRC=4 | +W1 +X1 +Y1");
  // No client keeps a copy: every record follows the setting.
  PubFileCopies nobody;
  pf_var_disabled = 1;
  EXPECT_NE(UpdatePubFile(pf.get(), &nobody), 0);
  EXPECT_EQ(States(pf.get()), "W1=2 X1=2 Y1=2 __PF_CRC=4 | +W1 +X1 +Y1");
  EXPECT_EQ(UpdatePubFile(nullptr, &clients), 0);

  // A refresh replaces the copies, freeing the old ones; copies outlive their file (ASan).
  ASSERT_EQ(UpdatePubFileClient(pf.get(), &clients), 0);
  pf.reset();
  EXPECT_STREQ(FindPubFileRec(c1, "X1")->name, "X1");
  RemovePubFile(c1, 0);
  RemovePubFile(c2, 0);

  // A client's copy holds only what a client changes; the rest is shared with the file it came
  // from, and a file that takes records after being copied leaves its copies as they were.
  pf_var_disabled = 0;
  const int n = 20000, copies = 10;
  std::string text;
  for (int i = 0; i < n; ++i)
    text += "VAR_" + std::to_string(i) + " R 0 " + std::to_string(4 * i) + " DINT\n";
  pf = kt::ReadText(text);
  ASSERT_TRUE(pf);
  std::vector<kt::PubFilePtr> kept(copies);
  const struct mallinfo2 before = mallinfo2();
  for (auto& c : kept) c.reset(ClonePubFile(pf.get()));
  const struct mallinfo2 after = mallinfo2();
  const double grown = static_cast<double>(after.uordblks + after.hblkhd) -
                       static_cast<double>(before.uordblks + before.hblkhd);
  if (grown > 0) {  // 0: the allocator keeps no count (sanitizers)
    EXPECT_LE(grown / (n * copies), 64 + 1);
  }

  ASSERT_EQ(SetPubText(&pf->file, "EXTRA R 0 0 INT\nVAR_7 R 0 2 INT\n", 32), 0);
  ASSERT_TRUE(ReadPubFile(pf.get()));
  EXPECT_EQ(CountRecPublicFile(pf.get()) - CountRecPublicFile(kept[0].get()), 1);
  EXPECT_FALSE(FindPubFileRec(kept[0].get(), "EXTRA"));
  pf.reset();
  const PUBFILE_R* r = FindPubFileRecByKey(kept[9].get(), PubFileKey("VAR_7", PLC_REG_R, 28, 0));
  ASSERT_TRUE(r);
  EXPECT_EQ(kt::Where(r->reg, r->addr, r->bit, r->type, r->size), "R28.0 DINT 4");
  EXPECT_EQ(DisablePubFile(kept[9].get(), "", -1) + CountActRecPublicFile(kept[9].get()), 0);
  EXPECT_EQ(CountActRecPublicFile(kept[8].get()), n);
}
