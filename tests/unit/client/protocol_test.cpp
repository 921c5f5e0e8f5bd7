// What a conversation with the server cannot reach: the exact line assembly limit, message codes
// outside the table, JSON escaping and its cut, and GETINFO lines with odd items.
#include "client/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/netcomm.h"
#include "plc/optimreq.h"

namespace {

std::string Msg(int json, int crlf, int code, const char* arg) {
  char out[4096];
  size_t n = FormatEmsg(out, sizeof out, json, crlf, code, arg);
  EXPECT_EQ(n, strlen(out));
  return std::string(out, n);
}

}  // namespace

TEST(WaitForCmd, ExactLimitAndLinesAcrossChunks) {
  std::vector<char> pending(kNetBufSize, 0), rx(kNetBufSize, 0);
  size_t pending_len = 0, rx_len = 0;
  auto feed = [&](const std::string& chunk) {
    memset(rx.data(), 0, rx.size());
    memcpy(rx.data(), chunk.data(), chunk.size());
    rx_len = chunk.size();
    return WaitForCmd(pending.data(), &pending_len, rx.data(), &rx_len);
  };
  // Text after the last LF waits for the rest of its line.
  EXPECT_EQ(feed("GET:A\nGET:B"), 0);
  EXPECT_EQ(std::string(rx.data(), rx_len), "GET:A\n");
  EXPECT_EQ(feed("\n"), 0);
  EXPECT_EQ(std::string(rx.data(), rx_len), "GET:B\n");
  // Exactly kLineMax bytes pending is still accepted; one more is dropped with its message, and
  // the line with its LF (131072 bytes) is flagged and passed on by its beginning, to be refused.
  testing::internal::CaptureStderr();
  EXPECT_EQ(feed(std::string(kNetRecvBudget, 'A')), 1);
  EXPECT_EQ(feed(std::string(kLineMax - kNetRecvBudget, 'B')), 1);
  EXPECT_EQ(pending_len, kLineMax);
  EXPECT_EQ(feed("C"), 1);
  EXPECT_EQ(pending_len, kLineMax);
  int overflow = 0;
  rx[0] = '\n';
  rx_len = 1;
  EXPECT_EQ(WaitForCmd(pending.data(), &pending_len, rx.data(), &rx_len, &overflow), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Too many data in input buffer!"),
            std::string::npos);
  EXPECT_EQ(overflow, 1);
  EXPECT_EQ(
      std::string(rx.data(), rx_len),
      std::string(kNetRecvBudget, 'A') + std::string(kLineMax - kNetRecvBudget - 1, 'B') + "\n");
  EXPECT_EQ(pending_len, 0u);
}

TEST(Replies, UnknownCodesEscapesCutAndJsonLines) {
  EXPECT_EQ(Msg(0, 0, 300, "x"), "WARNING:300 Unknown error.\n");
  EXPECT_EQ(Msg(0, 0, 1024, "x"), "UNKNOWN:1024 Unknown error.\n");
  EXPECT_EQ(Msg(1, 1, 1030, nullptr),
            "{ \"UNKNOWN\": { \"code\": 1030, \"text\": \"Unknown error.\" }}\r\n");
  EXPECT_EQ(Msg(0, 1, 10, "ignored"), "ERROR:10 Unable to connect to PLC.\r\n");
  EXPECT_STREQ(Ems(0), "Unknown error.");
  // JSON escapes quotes, backslashes and control bytes; plain text stays as received.
  EXPECT_EQ(Msg(1, 0, 32, "\"a\\b\x01:"),
            "{ \"ERROR\": { \"code\": 32, \"text\": \"Unknown command name in request: "
            "'\\\"a\\\\b\\u0001:'\" }}\n");
  EXPECT_EQ(Msg(0, 0, 32, "\"a\\b:"), "ERROR:32 Unknown command name in request: '\"a\\b:'\n");
  // The inner text is cut at 1023 characters, closing quote included; escapes are never split.
  std::string json = Msg(1, 1, 32, std::string(5000, 'k').c_str());
  EXPECT_EQ(json.size(), strlen("{ \"ERROR\": ") + 1023 + strlen("}\r\n"));
  EXPECT_EQ(json.substr(json.size() - 8), "k'\" }}\r\n");
  std::string cut = Msg(1, 0, 32, std::string(3000, '"').c_str());
  EXPECT_EQ(cut.substr(cut.size() - 8), "\\\"'\" }}\n");

  // GETINFO in JSON escapes its values and leaves out records without a name; HELP needs room.
  char out[8192];
  size_t len = 0;
  CLIREQ_T* items = AddCliReqRec(nullptr);
  snprintf(items->name, sizeof items->name, "NETWORK");
  snprintf(items->value, sizeof items->value, "127.0.0.1 \"2\"");
  AddCliReqRec(items);  // a record without a name is left out
  CLIREQ_T* ip = AddCliReqRec(items);
  snprintf(ip->name, sizeof ip->name, "IPADDR");
  snprintf(ip->value, sizeof ip->value, "a\\b");
  ASSERT_EQ(JsonGetInfoLine(items, 0, out, sizeof out, &len), 0);
  EXPECT_EQ(std::string(out, len),
            "{ \"GETINFO\": { \"NETWORK\": [ \"127.0.0.1 \\\"2\\\"\" ], \"IPADDR\": \"a\\\\b\" } "
            "}\n");
  RemoveCliReq(items, nullptr);
  ASSERT_EQ(JsonGetInfoLine(nullptr, 1, out, sizeof out, &len), 0);
  EXPECT_EQ(std::string(out, len), "{ \"GETINFO\": { } }\r\n");
  EXPECT_EQ(JsonHelpLine(hlp_msgs, 0, out, 100, &len), 1);
  EXPECT_EQ(len, 0u);
}
