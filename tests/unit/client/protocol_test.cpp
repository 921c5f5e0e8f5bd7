// Line assembly, message lines, the JSON lines and Base64.
#include "client/protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/netcomm.h"
#include "plc/optimreq.h"

namespace {

// Pending line and receive buffer as a client record holds them.
struct Lines {
  std::vector<char> pending = std::vector<char>(kNetBufSize, 0);
  std::vector<char> rx = std::vector<char>(kNetBufSize, 0);
  size_t pending_len = 0;
  size_t rx_len = 0;
  int Feed(const std::string& chunk) {
    memset(rx.data(), 0, rx.size());
    memcpy(rx.data(), chunk.data(), chunk.size());
    rx_len = chunk.size();
    return WaitForCmd(pending.data(), &pending_len, rx.data(), &rx_len);
  }
  std::string Rx() const { return std::string(rx.data(), rx_len); }
  std::string Pending() const { return std::string(pending.data(), pending_len); }
};

std::string Msg(int json, int crlf, int code, const char* arg) {
  char out[4096];
  size_t n = FormatEmsg(out, sizeof out, json, crlf, code, arg);
  EXPECT_EQ(n, strlen(out));
  return std::string(out, n);
}

}  // namespace

TEST(WaitForCmd, PiecesBackspaceControlBytesAndLimit) {
  Lines l;
  // Empty chunk: nothing to wait for.
  EXPECT_EQ(l.Feed(""), 0);

  // Three telnet packets with a backspace between them: one corrected line.
  EXPECT_EQ(l.Feed("GEX"), 1);
  EXPECT_EQ(l.Feed("\x08"), 1);
  EXPECT_EQ(l.Pending(), "GE");
  EXPECT_EQ(l.Feed("T:A\r\n"), 0);
  EXPECT_EQ(l.Rx(), "GET:A\r\n");
  EXPECT_EQ(l.Pending(), "");

  // DEL works the same; on an empty pending line it does nothing.
  EXPECT_EQ(l.Feed("\x7f"), 1);
  EXPECT_EQ(l.Feed("LIZ"), 1);
  EXPECT_EQ(l.Feed("\x7f"), 1);
  EXPECT_EQ(l.Feed("ST:\n"), 0);
  EXPECT_EQ(l.Rx(), "LIST:\n");

  // Another control byte goes on as it is and leaves the pending line alone.
  EXPECT_EQ(l.Feed("GE"), 1);
  EXPECT_EQ(l.Feed("\x04"), 0);
  EXPECT_EQ(l.Rx(), "\x04");
  EXPECT_EQ(l.Feed("\xff\xec"), 0);
  EXPECT_EQ(l.Pending(), "GE");

  // Text after the last LF waits for the rest of its line.
  EXPECT_EQ(l.Feed("T:B\nLIST:\nGET:C"), 0);
  EXPECT_EQ(l.Rx(), "GET:B\nLIST:\n");
  EXPECT_EQ(l.Pending(), "GET:C");
  EXPECT_EQ(l.Feed("\n"), 0);
  EXPECT_EQ(l.Rx(), "GET:C\n");

  // The 131071-byte limit: a piece that does not fit is dropped with its message.
  testing::internal::CaptureStderr();
  EXPECT_EQ(l.Feed(std::string(kNetRecvBudget, 'A')), 1);
  EXPECT_EQ(l.Feed(std::string(kLineMax - kNetRecvBudget, 'B')), 1);
  EXPECT_EQ(l.pending_len, kLineMax);  // exactly full is still accepted
  EXPECT_EQ(l.Feed("C"), 1);
  EXPECT_EQ(l.pending_len, kLineMax);
  EXPECT_EQ(l.Feed("\n"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WaitForCmd():: Too many data in input buffer!"), std::string::npos);
  // Pending line and LF together would be 131072 bytes: the line is dropped, not joined.
  EXPECT_EQ(l.Rx(), "\n");
  EXPECT_EQ(l.Pending(), "");
}

TEST(Ems, TableRowsAndUnknownCodes) {
  EXPECT_STREQ(Ems(10), "Unable to connect to PLC.");
  EXPECT_STREQ(Ems(32), "Unknown command name in request:");
  EXPECT_STREQ(Ems(50), "Unknown name in request:");
  EXPECT_STREQ(Ems(60), "Unknown name in request:");
  EXPECT_STREQ(Ems(70), "Unable to connect to SHARED module.");
  EXPECT_STREQ(Ems(251), "Public file not changed:");
  EXPECT_STREQ(Ems(1024), "Unknown error.");
  EXPECT_STREQ(Ems(0), "Unknown error.");
  EXPECT_STREQ(Ems(99), "Unknown error.");
  int known = 0;
  for (int c = -10; c < 2000; ++c)
    if (strcmp(Ems(c), "Unknown error.") != 0) ++known;
  EXPECT_EQ(known, 25);  // plus the last row itself
}

TEST(FormatEmsg, KindsStylesLineEndsAndCut) {
  // Errors, with and without argument.
  EXPECT_EQ(Msg(0, 0, 33, "GET:XYZ"), "ERROR:33 Unknown variable name in request: 'GET:XYZ'\n");
  EXPECT_EQ(Msg(0, 1, 10, "ignored"), "ERROR:10 Unable to connect to PLC.\r\n");
  EXPECT_EQ(
      Msg(1, 0, 32, "FOO:"),
      "{ \"ERROR\": { \"code\": 32, \"text\": \"Unknown command name in request: 'FOO:'\" }}\n");
  EXPECT_EQ(Msg(1, 1, 10, nullptr),
            "{ \"ERROR\": { \"code\": 10, \"text\": \"Unable to connect to PLC.\" }}\r\n");
  EXPECT_EQ(Msg(0, 0, 21, ""), "ERROR:21 Unable to send data to PLC.\n");
  // Warnings.
  EXPECT_EQ(Msg(0, 0, 250, "demo.pub"), "WARNING:250 Changed public file: 'demo.pub'\n");
  EXPECT_EQ(
      Msg(1, 1, 251, "demo.pub"),
      "{ \"WARNING\": { \"code\": 251, \"text\": \"Public file not changed: 'demo.pub'\" }}\r\n");
  EXPECT_EQ(Msg(0, 0, 300, "x"), "WARNING:300 Unknown error.\n");
  // Unknown: the code, never the table text.
  EXPECT_EQ(Msg(0, 0, 1024, "x"), "UNKNOWN:1024 Unknown error.\n");
  EXPECT_EQ(Msg(0, 1, 5000, nullptr), "UNKNOWN:5000 Unknown error.\r\n");
  EXPECT_EQ(Msg(1, 0, 1030, "x"),
            "{ \"UNKNOWN\": { \"code\": 1030, \"text\": \"Unknown error.\" }}\n");

  // A long argument is cut so that the inner text is 1023 characters, closing quote included.
  std::string big(5000, 'k');
  std::string plain = Msg(0, 0, 32, big.c_str());
  ASSERT_EQ(plain.size(), strlen("ERROR:") + 1023 + 1);
  EXPECT_EQ(plain.substr(plain.size() - 3), "k'\n");
  std::string json = Msg(1, 1, 32, big.c_str());
  ASSERT_EQ(json.size(), strlen("{ \"ERROR\": ") + 1023 + strlen("}\r\n"));
  EXPECT_EQ(json.substr(json.size() - 8), "k'\" }}\r\n");

  // JSON escapes quotes, backslashes and control bytes; plain text stays as received.
  EXPECT_EQ(Msg(1, 0, 32, "\"a\\b\x01:"),
            "{ \"ERROR\": { \"code\": 32, \"text\": \"Unknown command name in request: "
            "'\\\"a\\\\b\\u0001:'\" }}\n");
  EXPECT_EQ(Msg(0, 0, 32, "\"a\\b:"), "ERROR:32 Unknown command name in request: '\"a\\b:'\n");
  // Escapes are never split by the cut.
  std::string quotes(3000, '"');
  std::string cut = Msg(1, 0, 32, quotes.c_str());
  EXPECT_EQ(cut.substr(cut.size() - 8), "\\\"'\" }}\n");
}

TEST(JsonLines, EscapingEmptyItemsAndOverflow) {
  // The line shapes are checked against the running server; here what a conversation cannot
  // reach: quotes in values, records without a name, no items at all, a line that does not fit.
  char out[8192];
  size_t len = 0;
  CLIREQ_T* items = AddCliReqRec(nullptr);
  snprintf(items->name, sizeof items->name, "NETWORK");
  snprintf(items->value, sizeof items->value, "127.0.0.1 \"2\"");
  AddCliReqRec(items);
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

TEST(Base64, LengthsAndRoundTrip) {
  EXPECT_EQ(Base64EncodeLen(0), 0);
  EXPECT_EQ(Base64EncodeLen(1), 4);
  EXPECT_EQ(Base64EncodeLen(3), 4);
  EXPECT_EQ(Base64EncodeLen(4), 8);
  EXPECT_EQ(Base64DecodeLen(8), 4);
  EXPECT_EQ(Base64DecodeLen(4), 1);

  char* text = nullptr;
  size_t tlen = 0;
  ASSERT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, &text, &tlen), 0);
  EXPECT_STREQ(text, "YWJj");
  free(text);
  ASSERT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>(""), 0, &text, &tlen), 0);
  EXPECT_STREQ(text, "");
  free(text);

  // Every length across line-break territory: no line breaks, exact size, exact bytes back.
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  for (size_t n : {1u, 2u, 3u, 4u, 5u, 47u, 48u, 49u, 64u, 65u, 300u}) {
    ASSERT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>(data.data()), n, &text, &tlen),
              0);
    EXPECT_EQ(static_cast<long>(tlen), Base64EncodeLen(static_cast<long>(n)));
    EXPECT_EQ(strlen(text), tlen);
    EXPECT_EQ(strchr(text, '\n'), nullptr);
    unsigned char* back = nullptr;
    size_t blen = 0;
    ASSERT_EQ(Base64Decode(text, &back, &blen), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), blen), data.substr(0, n)) << n;
    EXPECT_EQ(back[blen], 0);
    free(back);
    free(text);
  }
}
