// The INI table: hash values, case-insensitive look-up, slots, growth and the debug dump.
#include "ini/dictionary.h"

#include <gtest/gtest.h>

#include <string>

#include "ini_test_util.h"

TEST(Dictionary, HashValuesFollowOneAtATimeOverSignedBytes) {
  EXPECT_EQ(dictionary_hash(""), 0u);
  EXPECT_EQ(dictionary_hash("a"), 0xca2e9442u);
  EXPECT_EQ(dictionary_hash("plc1:ipaddr"), 0x0d6d75aeu);
  // Bytes from 0x80 count as negative: an unsigned reading would give other values.
  EXPECT_EQ(dictionary_hash("\xe9"), 0x409848ffu);
  EXPECT_EQ(dictionary_hash("caf\xc3\xa9"), 0xd99c709eu);
  EXPECT_NE(dictionary_hash("A"), dictionary_hash("a"));  // the look-up folds case, not the hash
}

TEST(Dictionary, LookupIgnoresCaseAndKeepsFirstSpelling) {
  dictionary* d = dictionary_new(0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(dictionary_set(d, "PLC1:IpAddr", "10.0.0.5"), 0);
  EXPECT_EQ(dictionary_set(d, "plc1:IPADDR", "10.0.0.6"), 0);
  EXPECT_EQ(d->n, 1);
  EXPECT_STREQ(d->key[0], "PLC1:IpAddr");
  EXPECT_EQ(d->hash[0], dictionary_hash("plc1:ipaddr"));
  EXPECT_STREQ(dictionary_get(d, "Plc1:IpAddr", "def"), "10.0.0.6");
  EXPECT_STREQ(dictionary_get(d, "plc1:ipaddr2", "def"), "def");
  EXPECT_EQ(dictionary_set(d, "PLC1", nullptr), 0);  // a section: null, which is no default
  EXPECT_EQ(dictionary_get(d, "plc1", "def"), nullptr);
  EXPECT_EQ(dictionary_set(d, "s:caf\xc3\xa9", "1"), 0);  // bytes above 0x7F keep their case
  EXPECT_STREQ(dictionary_get(d, "S:CAF\xc3\xa9", "def"), "1");

  // Keys match on their first 1024 characters.
  std::string a(1024, 'k'), b = a + "SECOND";
  EXPECT_EQ(dictionary_set(d, (a + "first").c_str(), "1"), 0);
  EXPECT_EQ(dictionary_set(d, b.c_str(), "2"), 0);
  EXPECT_EQ(d->n, 4);
  EXPECT_EQ(std::string(d->key[3]), a + "first");
  EXPECT_STREQ(dictionary_get(d, std::string(1024, 'K').c_str(), nullptr), "2");
  EXPECT_STREQ(dictionary_get(d, std::string(1023, 'k').c_str(), "none"), "none");

  EXPECT_EQ(dictionary_set(nullptr, "a", "b"), -1);
  EXPECT_EQ(dictionary_set(d, nullptr, "b"), -1);
  EXPECT_STREQ(dictionary_get(nullptr, "a", "def"), "def");
  EXPECT_STREQ(dictionary_get(d, nullptr, "def"), "def");
  dictionary_unset(d, nullptr);
  dictionary_unset(nullptr, "a");
  dictionary_del(d);
  dictionary_del(nullptr);
}

TEST(Dictionary, SlotsGrowthRemovalAndDump) {
  dictionary* d = dictionary_new(-5);
  EXPECT_EQ(CaptureStream([&](FILE* f) { dictionary_dump(d, f); }), "empty dictionary\n");
  for (int i = 0; i <= 128; i++) {
    ASSERT_EQ(d->size, 128) << i;
    ASSERT_EQ(dictionary_set(d, ("s:k" + std::to_string(i)).c_str(), std::to_string(i).c_str()), 0);
  }
  EXPECT_EQ(d->size, 256);  // the 129th entry doubles the table
  EXPECT_EQ(d->n, 129);
  for (int i = 0; i < 256; i++) {
    EXPECT_EQ(d->key[i] ? std::string(d->key[i]) : "", i <= 128 ? "s:k" + std::to_string(i) : "");
  }
  // Removal empties the slot; the next new entry takes the lowest free slot.
  dictionary_unset(d, "s:K3");
  dictionary_unset(d, "s:nothing");
  EXPECT_EQ(d->n, 128);
  EXPECT_EQ(d->key[3], nullptr);
  EXPECT_EQ(d->val[3], nullptr);
  EXPECT_EQ(d->hash[3], 0u);
  EXPECT_STREQ(dictionary_get(d, "s:k3", "gone"), "gone");
  ASSERT_EQ(dictionary_set(d, "s:new", "x"), 0);
  EXPECT_STREQ(d->key[3], "s:new");
  dictionary_del(d);

  d = dictionary_new(300);
  EXPECT_EQ(d->size, 300);
  dictionary_set(d, "web", nullptr);
  dictionary_set(d, "web:port", "80");
  EXPECT_EQ(CaptureStream([&](FILE* f) { dictionary_dump(d, f); }),
            "                 web\t[UNDEF]\n            web:port\t[80]\n");
  dictionary_del(d);
}
