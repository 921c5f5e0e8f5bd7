// The INI table: hash values, case-insensitive look-up, slots, growth and the debug dump.
#include "ini/dictionary.h"

#include <gtest/gtest.h>

#include <string>

#include "ini_test_util.h"

TEST(Dictionary, HashValuesFollowOneAtATimeOverSignedBytes) {
  EXPECT_EQ(dictionary_hash(""), 0u);
  EXPECT_EQ(dictionary_hash("a"), 0xca2e9442u);
  EXPECT_EQ(dictionary_hash("plc1:ipaddr"), 0x0d6d75aeu);
  EXPECT_EQ(dictionary_hash("*:comm_loop_delay"), 0x3839377cu);
  // Bytes from 0x80 count as negative: an unsigned reading would give other values.
  EXPECT_EQ(dictionary_hash("\xe9"), 0x409848ffu);
  EXPECT_EQ(dictionary_hash("caf\xc3\xa9"), 0xd99c709eu);
  // The hash itself does not fold case; the look-up does that before hashing.
  EXPECT_NE(dictionary_hash("A"), dictionary_hash("a"));
  EXPECT_EQ(dictionary_hash(nullptr), 0u);
}

TEST(Dictionary, LookupIgnoresCaseAndKeepsFirstSpelling) {
  dictionary* d = dictionary_new(0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->size, 128);
  EXPECT_EQ(dictionary_set(d, "PLC1:IpAddr", "10.0.0.5"), 0);
  EXPECT_EQ(dictionary_set(d, "plc1:IPADDR", "10.0.0.6"), 0);
  EXPECT_EQ(d->n, 1);
  EXPECT_STREQ(d->key[0], "PLC1:IpAddr");
  EXPECT_EQ(d->hash[0], dictionary_hash("plc1:ipaddr"));
  EXPECT_STREQ(dictionary_get(d, "plc1:ipaddr", "def"), "10.0.0.6");
  EXPECT_STREQ(dictionary_get(d, "Plc1:IpAddr", "def"), "10.0.0.6");
  EXPECT_STREQ(dictionary_get(d, "plc1:ipaddr2", "def"), "def");

  // A section entry has a null value, which is not the default.
  EXPECT_EQ(dictionary_set(d, "PLC1", nullptr), 0);
  EXPECT_EQ(dictionary_get(d, "plc1", "def"), nullptr);

  // Bytes above 0x7F are left alone by the case folding.
  EXPECT_EQ(dictionary_set(d, "s:caf\xc3\xa9", "1"), 0);
  EXPECT_STREQ(dictionary_get(d, "S:CAF\xc3\xa9", "def"), "1");
  dictionary_del(d);
}

TEST(Dictionary, KeysMatchOnTheirFirst1024Characters) {
  dictionary* d = dictionary_new(0);
  std::string a(1024, 'k');
  std::string b = a;
  a += "first";
  b += "SECOND";
  EXPECT_EQ(dictionary_set(d, a.c_str(), "1"), 0);
  EXPECT_EQ(dictionary_set(d, b.c_str(), "2"), 0);
  EXPECT_EQ(d->n, 1);
  EXPECT_EQ(std::string(d->key[0]), a);
  EXPECT_STREQ(dictionary_get(d, std::string(1024, 'K').c_str(), nullptr), "2");
  EXPECT_EQ(dictionary_get(d, std::string(1023, 'k').c_str(), "none"), std::string("none"));
  dictionary_del(d);
}

TEST(Dictionary, SlotsGrowthAndRemoval) {
  dictionary* d = dictionary_new(0);
  for (int i = 0; i < 128; i++) {
    ASSERT_EQ(dictionary_set(d, ("s:k" + std::to_string(i)).c_str(), std::to_string(i).c_str()), 0);
  }
  EXPECT_EQ(d->size, 128);
  EXPECT_EQ(d->n, 128);
  ASSERT_EQ(dictionary_set(d, "s:k128", "128"), 0);
  EXPECT_EQ(d->size, 256);
  EXPECT_EQ(d->n, 129);
  for (int i = 0; i <= 128; i++) {
    EXPECT_EQ(std::string(d->key[i]), "s:k" + std::to_string(i)) << "slot " << i;
  }
  for (int i = 129; i < 256; i++) EXPECT_EQ(d->key[i], nullptr);
  EXPECT_STREQ(dictionary_get(d, "S:K5", nullptr), "5");

  // Removal empties the slot; the next new entry takes the lowest free slot.
  dictionary_unset(d, "s:K3");
  EXPECT_EQ(d->n, 128);
  EXPECT_EQ(d->key[3], nullptr);
  EXPECT_EQ(d->val[3], nullptr);
  EXPECT_EQ(d->hash[3], 0u);
  EXPECT_STREQ(dictionary_get(d, "s:k3", "gone"), "gone");
  dictionary_unset(d, "s:nothing");
  EXPECT_EQ(d->n, 128);
  ASSERT_EQ(dictionary_set(d, "s:new", "x"), 0);
  EXPECT_STREQ(d->key[3], "s:new");
  dictionary_del(d);

  dictionary* big = dictionary_new(300);
  EXPECT_EQ(big->size, 300);
  dictionary_del(big);
  dictionary_del(nullptr);
}

TEST(Dictionary, NullArguments) {
  dictionary* d = dictionary_new(-5);
  EXPECT_EQ(d->size, 128);
  EXPECT_EQ(dictionary_set(nullptr, "a", "b"), -1);
  EXPECT_EQ(dictionary_set(d, nullptr, "b"), -1);
  EXPECT_STREQ(dictionary_get(nullptr, "a", "def"), "def");
  EXPECT_STREQ(dictionary_get(d, nullptr, "def"), "def");
  dictionary_unset(d, nullptr);
  dictionary_unset(nullptr, "a");
  dictionary_del(d);
}

TEST(Dictionary, DumpFormat) {
  dictionary* d = dictionary_new(0);
  EXPECT_EQ(CaptureStream([&](FILE* f) { dictionary_dump(d, f); }), "empty dictionary\n");
  dictionary_set(d, "web", nullptr);
  dictionary_set(d, "web:port", "80");
  EXPECT_EQ(CaptureStream([&](FILE* f) { dictionary_dump(d, f); }),
            "                 web\t[UNDEF]\n"
            "            web:port\t[80]\n");
  dictionary_del(d);
}
