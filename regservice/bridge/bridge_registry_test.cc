// The bridge against a helper played by a thread on the other end of two
// pipes: what each call sends, what it makes of the answers, and how it
// fails when the helper misbehaves.
#include "regservice/bridge/bridge_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdio.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/bridge/wire.h"

namespace regservice {
namespace bridge {
namespace {

// How long the bridge waits for the fake helper's answer: what a silent
// helper costs each case, and what a loaded machine must stay within when
// the helper's thread answers.
const int kTestTimeoutMs = 1000;

// Bytes as hex, two digits each, for comparing messages byte for byte.
std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// A hello as another program, or another version, would send it.
std::string HelloBody(uint32_t magic, uint32_t version) {
  WireWriter hello;
  hello.U32(magic);
  hello.U32(version);
  return hello.body();
}

// The helper's end of the pipes, driven by a script on its own thread.
class FakeHelper {
 public:
  using Script = std::function<void(FakeHelper*)>;

  explicit FakeHelper(Script script) {
    int requests[2], answers[2];
    EXPECT_EQ(0, pipe2(requests, O_CLOEXEC));
    EXPECT_EQ(0, pipe2(answers, O_CLOEXEC));
    bridge_write_ = requests[1];
    bridge_read_ = answers[0];
    read_ = requests[0];
    write_ = answers[1];
    thread_ = std::thread([this, script] {
      script(this);
      CloseOwnEnds();
    });
  }
  ~FakeHelper() {
    if (!channel_taken_) {
      close(bridge_write_);
      close(bridge_read_);
    }
    thread_.join();
  }

  // The bridge's end; the first call hands it over.
  std::unique_ptr<HelperChannel> Channel() {
    ++connects_;
    if (channel_taken_) return nullptr;
    channel_taken_ = true;
    return std::unique_ptr<HelperChannel>(
        new FdChannel(bridge_write_, bridge_read_, kTestTimeoutMs));
  }
  BridgeRegistry::Connector Connector() {
    return [this] { return Channel(); };
  }

  // Helper side. Reads one request frame; false at the end of the input.
  bool ReadRequest(std::string* body) {
    auto read_exactly = [this](char* data, size_t size) {
      return ReadExactly(data, size);
    };
    if (ReadFrame(read_exactly, body) != FrameRead::kFrame) return false;
    ++requests_;
    return true;
  }
  void Write(const std::string& bytes) {
    ssize_t put = write(write_, bytes.data(), bytes.size());
    (void)put;
  }
  void Answer(const WireWriter& body) { Write(Frame(body.body())); }
  void Hello() { Write(Frame(bridge::Hello())); }
  // Stays silent until the bridge lets go of its end.
  void WaitForEnd() {
    std::string ignored;
    while (ReadRequest(&ignored)) {
    }
  }
  // Answers every request with what `respond` makes of it.
  void Serve(const std::function<std::string(const std::string&)>& respond) {
    Hello();
    std::string request;
    while (ReadRequest(&request)) Write(Frame(respond(request)));
  }

  int requests() const { return requests_; }
  int connects() const { return connects_; }

 private:
  bool ReadExactly(char* data, size_t size) {
    while (size > 0) {
      ssize_t got = read(read_, data, size);
      if (got <= 0) return false;
      data += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }
  void CloseOwnEnds() {
    close(read_);
    close(write_);
  }

  int bridge_write_, bridge_read_, read_, write_;
  bool channel_taken_ = false;
  int connects_ = 0;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

WireWriter OpenAnswer(uint32_t status, uint64_t handle) {
  WireWriter answer;
  answer.U32(status);
  answer.U64(handle);
  return answer;
}

// Each way a helper can let the bridge down. In every case the first call
// fails, and so does the next one, without reaching any helper again.
TEST(BridgeRegistryTest, FailingHelperFailsThatCallAndEveryLaterOne) {
  struct Case {
    const char* name;
    FakeHelper::Script script;
    int calls_answered;  // answered well before the helper fails
  } cases[] = {
      {"ends before its hello", [](FakeHelper*) {}, 0},
      {"garbage instead of a hello",
       [](FakeHelper* h) {
         h->Write("garbage from somewhere else\n");
         h->WaitForEnd();
       },
       0},
      {"hello of another program",
       [](FakeHelper* h) {
         h->Write(Frame(HelloBody(0x12345678, kVersion)));
         h->WaitForEnd();
       },
       0},
      {"hello of another version",
       [](FakeHelper* h) {
         h->Write(Frame(HelloBody(kMagic, kVersion + 1)));
         h->WaitForEnd();
       },
       0},
      {"hello with more after it",
       [](FakeHelper* h) {
         h->Write(Frame(Hello() + "more"));
         h->WaitForEnd();
       },
       0},
      {"silent from the start", [](FakeHelper* h) { h->WaitForEnd(); }, 0},
      {"silent after the hello",
       [](FakeHelper* h) {
         h->Hello();
         h->WaitForEnd();
       },
       0},
      {"frame longer than any answer may be",
       [](FakeHelper* h) {
         h->Hello();
         std::string request;
         h->ReadRequest(&request);
         WireWriter huge;
         huge.U32(kMaxFrame + 1);
         h->Write(huge.body() + std::string(64, 'x'));
         h->WaitForEnd();
       },
       0},
      {"answer cut off, then silent",
       [](FakeHelper* h) {
         h->Hello();
         std::string request;
         h->ReadRequest(&request);
         h->Write(Frame(OpenAnswer(0, 0x40).body()).substr(0, 9));
         h->WaitForEnd();
       },
       0},
      {"answer cut off by its end",
       [](FakeHelper* h) {
         h->Hello();
         std::string request;
         h->ReadRequest(&request);
         h->Write(Frame(OpenAnswer(0, 0x40).body()).substr(0, 9));
       },
       0},
      {"answer too short for the call",
       [](FakeHelper* h) {
         h->Hello();
         std::string request;
         h->ReadRequest(&request);
         WireWriter status_only;
         status_only.U32(0);
         h->Answer(status_only);
         h->WaitForEnd();
       },
       0},
      {"answer with bytes left over",
       [](FakeHelper* h) {
         h->Hello();
         std::string request;
         h->ReadRequest(&request);
         WireWriter longer = OpenAnswer(0, 0x40);
         longer.U32(7);
         h->Answer(longer);
         h->WaitForEnd();
       },
       0},
      {"dies after one answer",
       [](FakeHelper* h) {
         h->Hello();
         std::string request;
         h->ReadRequest(&request);
         h->Answer(OpenAnswer(0, 0x40));
       },
       1},
      {"silent after one answer",
       [](FakeHelper* h) {
         h->Hello();
         std::string request;
         h->ReadRequest(&request);
         h->Answer(OpenAnswer(0, 0x40));
         h->WaitForEnd();
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHelper helper(c.script);
    BridgeRegistry registry(helper.Connector());
    for (int i = 0; i < c.calls_answered; ++i) {
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS,
                registry.OpenKey(HKEY_CURRENT_USER, "Software", &key));
      EXPECT_EQ(reinterpret_cast<HKEY>(0x40), key);
    }
    HKEY key = nullptr;
    EXPECT_EQ(kBridgeFailed,
              registry.OpenKey(HKEY_CURRENT_USER, "Software", &key));
    EXPECT_TRUE(registry.failed());
    int requests_seen = helper.requests();
    const BYTE one = 1;
    EXPECT_EQ(kBridgeFailed,
              registry.SetValueEx(key, "Quillfix", 0, REG_BINARY, &one, 1));
    EXPECT_EQ(kBridgeFailed, registry.CloseKey(HKEY_CURRENT_USER));
    EXPECT_EQ(1, helper.connects()) << "a failed helper was replaced";
    EXPECT_EQ(requests_seen, helper.requests())
        << "a request went out after the failure";
  }
}

TEST(BridgeRegistryTest, HelloNamesTheProtocolVersion) {
  EXPECT_EQ("48475251" "03000000", Hex(Hello()));
}

TEST(BridgeRegistryTest, HelperThatCannotBeStartedFailsEveryCallOnce) {
  int connects = 0;
  BridgeRegistry registry([&connects] {
    ++connects;
    return std::unique_ptr<HelperChannel>();
  });
  HKEY key = nullptr;
  EXPECT_EQ(kBridgeFailed, registry.CreateKey(HKEY_CURRENT_USER, "A", &key));
  EXPECT_EQ(kBridgeFailed, registry.OpenKey(HKEY_CURRENT_USER, "A", &key));
  DWORD subkeys = 0;
  EXPECT_EQ(kBridgeFailed,
            registry.QueryInfoKey(HKEY_CURRENT_USER, nullptr, nullptr, nullptr,
                                  &subkeys, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
  EXPECT_EQ(1, connects);
}

TEST(BridgeRegistryTest, ClosedBridgeEndsTheHelperAndFailsLaterCalls) {
  std::atomic<bool> input_ended{false};
  FakeHelper helper([&input_ended](FakeHelper* h) {
    h->Serve([](const std::string&) { return OpenAnswer(0, 0x44).body(); });
    input_ended = true;
  });
  BridgeRegistry registry(helper.Connector());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, registry.OpenKey(HKEY_CURRENT_USER, "A", &key));
  registry.Close();
  EXPECT_EQ(kBridgeFailed, registry.OpenKey(HKEY_CURRENT_USER, "A", &key));
  EXPECT_EQ(1, helper.requests());
  // The helper saw its input end (it exits then); joined by ~FakeHelper.
  // A hang guard of 60 s, not a bound on the thread's pace.
  for (int i = 0; i < 6000 && !input_ended; ++i) usleep(10000);
  EXPECT_TRUE(input_ended);
}

// A request too large for one frame is never sent: that call fails, the
// helper stays as it was, and the next call goes through.
TEST(BridgeRegistryTest, RequestOverTheFrameLimitFailsThatCallAlone) {
  FakeHelper helper([](FakeHelper* h) {
    h->Serve([](const std::string&) { return OpenAnswer(0, 0x44).body(); });
  });
  BridgeRegistry registry(helper.Connector());
  HKEY key = reinterpret_cast<HKEY>(0x99);
  const std::string huge(kMaxFrame, 'k');
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY,
            registry.OpenKey(HKEY_CURRENT_USER, huge.c_str(), &key));
  EXPECT_EQ(reinterpret_cast<HKEY>(0x99), key);
  EXPECT_FALSE(registry.failed());
  EXPECT_EQ(ERROR_SUCCESS, registry.OpenKey(HKEY_CURRENT_USER, "A", &key));
  EXPECT_EQ(reinterpret_cast<HKEY>(0x44), key);
  registry.Close();
  EXPECT_EQ(1, helper.requests());
}

// A helper that records each request and answers from a fixed reply.
struct Exchange {
  std::vector<std::string> requests;
  std::string reply;
};

FakeHelper::Script Replying(Exchange* exchange) {
  return [exchange](FakeHelper* h) {
    h->Serve([exchange](const std::string& request) {
      exchange->requests.push_back(request);
      return exchange->reply;
    });
  };
}

// Reads the fields of a request in order.
struct Request {
  explicit Request(const std::string& body) : reader(body) {}
  uint32_t U32() {
    uint32_t v = 0;
    EXPECT_TRUE(reader.U32(&v));
    return v;
  }
  uint64_t U64() {
    uint64_t v = 0;
    EXPECT_TRUE(reader.U64(&v));
    return v;
  }
  // "<null>" for an absent string.
  std::string Text() {
    std::string bytes;
    bool present = false;
    EXPECT_TRUE(reader.Bytes(&bytes, &present));
    return present ? bytes : "<null>";
  }
  WireReader reader;
};

TEST(BridgeRegistryTest, OpenAndCreateSendTheirArgumentsAndPassHandlesOn) {
  struct Case {
    const char* name;
    std::function<LONG(Registry*, PHKEY)> call;
    uint32_t op;
    uint64_t key;
    const char* sub_key;
    uint32_t options, access;
    uint32_t status;
    uint64_t handle;
  } cases[] = {
      {"open below the root",
       [](Registry* r, PHKEY k) {
         return r->OpenKey(HKEY_CURRENT_USER, "Software\\Corvane", k);
       },
       kOpenKey, 0x80000001u, "Software\\Corvane", 0, 0, 0, 0x1c},
      {"open with a null path",
       [](Registry* r, PHKEY k) {
         return r->OpenKey(reinterpret_cast<HKEY>(0x1c), nullptr, k);
       },
       kOpenKey, 0x1c, "<null>", 0, 0, 0, 0x1c},
      {"open fails",
       [](Registry* r, PHKEY k) {
         return r->OpenKey(HKEY_CURRENT_USER, "Missing", k);
       },
       kOpenKey, 0x80000001u, "Missing", 0, 0, ERROR_FILE_NOT_FOUND, 0},
      {"open ex",
       [](Registry* r, PHKEY k) {
         return r->OpenKeyEx(HKEY_CURRENT_USER, "", 0, KEY_ALL_ACCESS, k);
       },
       kOpenKeyEx, 0x80000001u, "", 0, KEY_ALL_ACCESS, 0, 0x2a},
      {"create with a high handle",
       [](Registry* r, PHKEY k) {
         return r->CreateKey(reinterpret_cast<HKEY>(0x2a), "A\\B", k);
       },
       kCreateKey, 0x2a, "A\\B", 0, 0, 0, 0x7ffffff0u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange exchange;
    exchange.reply = OpenAnswer(c.status, c.handle).body();
    FakeHelper helper(Replying(&exchange));
    BridgeRegistry registry(helper.Connector());
    HKEY result = reinterpret_cast<HKEY>(0x99);
    EXPECT_EQ(static_cast<LONG>(c.status), c.call(&registry, &result));
    EXPECT_EQ(reinterpret_cast<HKEY>(static_cast<uintptr_t>(c.handle)),
              result);
    registry.Close();
    ASSERT_EQ(1u, exchange.requests.size());
    Request request(exchange.requests[0]);
    EXPECT_EQ(c.op, request.U32());
    EXPECT_EQ(c.key, request.U64());
    EXPECT_EQ(c.sub_key, request.Text());
    if (c.op == kOpenKeyEx) {
      EXPECT_EQ(c.options, request.U32());
      EXPECT_EQ(c.access, request.U32());
    }
    EXPECT_EQ(1u, request.U32()) << "result pointer given";
    EXPECT_EQ(0x99u, request.U64()) << "the caller's handle variable as it was";
    EXPECT_TRUE(request.reader.AtEnd());
  }
}

TEST(BridgeRegistryTest, SetValueSendsTheBytesOrTheirAbsence) {
  struct Case {
    const char* name;
    const char* value_name;
    const BYTE* data;
    DWORD size;
    std::string sent;  // "<null>" for no data
  } cases[] = {
      {"one byte", "Quillfix", reinterpret_cast<const BYTE*>("\x01"), 1,
       std::string("\x01", 1)},
      {"bytes with NULs", "", reinterpret_cast<const BYTE*>("a\0b\0"), 4,
       std::string("a\0b\0", 4)},
      {"no data, a size", nullptr, nullptr, 3, "<null>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange exchange;
    WireWriter reply;
    reply.U32(998);
    exchange.reply = reply.body();
    FakeHelper helper(Replying(&exchange));
    BridgeRegistry registry(helper.Connector());
    EXPECT_EQ(998, registry.SetValueEx(reinterpret_cast<HKEY>(0x30),
                                       c.value_name, 5, REG_BINARY, c.data,
                                       c.size));
    registry.Close();
    ASSERT_EQ(1u, exchange.requests.size());
    Request request(exchange.requests[0]);
    EXPECT_EQ(static_cast<uint32_t>(kSetValueEx), request.U32());
    EXPECT_EQ(0x30u, request.U64());
    EXPECT_EQ(c.value_name ? c.value_name : "<null>", request.Text());
    EXPECT_EQ(5u, request.U32());
    EXPECT_EQ(static_cast<uint32_t>(REG_BINARY), request.U32());
    EXPECT_EQ(c.sent, request.Text());
    EXPECT_EQ(c.size, request.U32());
    EXPECT_TRUE(request.reader.AtEnd());
  }
}

WireWriter InfoAnswer(uint32_t status, const char* class_bytes,
                      uint32_t class_size, uint32_t class_length) {
  WireWriter answer;
  answer.U32(status);
  answer.Bytes(class_bytes, class_size);
  answer.U32(class_length);
  for (uint32_t n = 1; n <= 7; ++n) answer.U32(n * 10);
  answer.U32(0x89abcdef);
  answer.U32(0x01234567);
  return answer;
}

// The request carries the caller's variables as they are, the answer the
// values to leave in them: all of them, changed or not.
TEST(BridgeRegistryTest, QueryInfoSendsTheCallersVariablesAndFillsOnlyThose) {
  Exchange exchange;
  exchange.reply = InfoAnswer(0, "Cls\0", 4, 3).body();
  FakeHelper helper(Replying(&exchange));
  BridgeRegistry registry(helper.Connector());
  char class_name[6] = "?????";
  DWORD class_length = 6, subkeys = 0x11, values = 0x44, untouched = 77;
  FILETIME written = {0x01020304, 0x05060708};
  EXPECT_EQ(ERROR_SUCCESS,
            registry.QueryInfoKey(HKEY_CURRENT_USER, class_name, &class_length,
                                  nullptr, &subkeys, nullptr, nullptr, &values,
                                  nullptr, nullptr, nullptr, &written));
  // Only the bytes the helper says were written.
  EXPECT_EQ(std::string("Cls\0?\0", 6), std::string(class_name, 6));
  EXPECT_EQ(3u, class_length);
  EXPECT_EQ(10u, subkeys);
  EXPECT_EQ(40u, values);
  EXPECT_EQ(77u, untouched);
  EXPECT_EQ(0x89abcdefu, written.dwLowDateTime);
  EXPECT_EQ(0x01234567u, written.dwHighDateTime);
  registry.Close();
  ASSERT_EQ(1u, exchange.requests.size());
  EXPECT_EQ(
      "05000000"          // kQueryInfoKey
      "0100008000000000"  // HKEY_CURRENT_USER
      "12070000"          // class, its length, subkeys, values, last write
      "06000000"          // class length
      "11000000" "00000000" "00000000" "44000000"  // subkeys .. values
      "00000000" "00000000" "00000000"             // .. security
      "04030201" "08070605",                       // last write
      Hex(exchange.requests[0]));
  EXPECT_EQ(
      "00000000"                  // result
      "04000000" "436c7300"       // the class bytes written
      "03000000"                  // class length
      "0a000000" "14000000" "1e000000" "28000000"
      "32000000" "3c000000" "46000000"
      "efcdab89" "67452301",
      Hex(exchange.reply));
}

TEST(BridgeRegistryTest, QueryInfoAnswerThatDoesNotFitTheCallIsAFailure) {
  struct Case {
    const char* name;
    WireWriter answer;
  } cases[] = {
      // The caller's buffer holds 4; a longer class would overrun it.
      {"class longer than the buffer", InfoAnswer(0, "Classy", 6, 6)},
      {"no class where one was asked", InfoAnswer(0, nullptr, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange exchange;
    exchange.reply = c.answer.body();
    FakeHelper helper(Replying(&exchange));
    BridgeRegistry registry(helper.Connector());
    char class_name[4] = "abc";
    DWORD class_length = 4;
    EXPECT_EQ(kBridgeFailed,
              registry.QueryInfoKey(HKEY_CURRENT_USER, class_name,
                                    &class_length, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr));
    EXPECT_STREQ("abc", class_name);
    EXPECT_TRUE(registry.failed());
  }
}

// The answer's type and size go to the caller as they come (the helper
// sends back the caller's own where the call left them alone), and only
// the data bytes the call wrote, a NUL after a string included.
TEST(BridgeRegistryTest, QueryValueCopiesWhatTheHelperRead) {
  struct Case {
    const char* name;
    uint32_t status;
    uint32_t type;
    std::string data;  // the answer's bytes
    uint32_t size;     // the answer's size
    DWORD capacity;
    LONG expected;
    std::string buffer_after;
  } cases[] = {
      {"fits", 0, REG_BINARY, "\x01", 1, 4, 0, std::string("\x01___", 4)},
      {"a NUL after the string", 0, REG_SZ, std::string("ab\0", 3), 2, 4, 0,
       std::string("ab\0_", 4)},
      {"too small", ERROR_MORE_DATA, REG_BINARY, "", 9, 4, ERROR_MORE_DATA,
       "____"},
      {"left alone", ERROR_INVALID_HANDLE, 0xAAAAAAAAu, "", 4, 4,
       ERROR_INVALID_HANDLE, "____"},
      {"more than the buffer holds", 0, REG_BINARY, "123456", 6, 4,
       kBridgeFailed, "____"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange exchange;
    WireWriter reply;
    reply.U32(c.status);
    reply.U32(c.type);
    reply.Bytes(c.data.data(), static_cast<uint32_t>(c.data.size()));
    reply.U32(c.size);
    exchange.reply = reply.body();
    FakeHelper helper(Replying(&exchange));
    BridgeRegistry registry(helper.Connector());
    BYTE buffer[4] = {'_', '_', '_', '_'};
    DWORD type = 0xAAAAAAAAu, size = c.capacity;
    EXPECT_EQ(c.expected,
              registry.QueryValueEx(reinterpret_cast<HKEY>(0x50), "Quillfix",
                                    nullptr, &type, buffer, &size));
    EXPECT_EQ(c.buffer_after,
              std::string(reinterpret_cast<char*>(buffer), 4));
    if (c.expected != kBridgeFailed) {
      EXPECT_EQ(c.type, type);
      EXPECT_EQ(c.size, size);
    }
    registry.Close();
    ASSERT_EQ(1u, exchange.requests.size());
    EXPECT_EQ(
        "07000000"                  // kQueryValueEx
        "5000000000000000"          // the key
        "08000000" "5175696c6c666978"  // "Quillfix"
        "0e000000"                  // type, data and size passed
        "aaaaaaaa"                  // the caller's type
        "04000000",                 // the caller's size: the capacity
        Hex(exchange.requests[0]));
  }
}

// Pointers the caller did not pass travel as 0, and the mask says so; a
// size without data is sent as it is.
TEST(BridgeRegistryTest, QueryValueRequestForEachSetOfPointers) {
  struct Case {
    const char* name;
    bool reserved, type, data, size;
    const char* request;
  } cases[] = {
      {"size only", false, false, false, true,
       "07000000" "5000000000000000" "01000000" "56"
       "08000000" "00000000" "09000000"},
      {"type and reserved", true, true, false, false,
       "07000000" "5000000000000000" "01000000" "56"
       "03000000" "bbbbbbbb" "00000000"},
      {"data without a size", false, false, true, false,
       "07000000" "5000000000000000" "01000000" "56"
       "04000000" "00000000" "00000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange exchange;
    WireWriter reply;
    reply.U32(ERROR_INVALID_PARAMETER);
    reply.U32(0xbbbbbbbbu);
    if (c.data) {
      reply.Bytes("", 0);
    } else {
      reply.Bytes(nullptr, 0);
    }
    reply.U32(9);
    exchange.reply = reply.body();
    FakeHelper helper(Replying(&exchange));
    BridgeRegistry registry(helper.Connector());
    DWORD reserved = 0, type = 0xbbbbbbbbu, size = 9;
    BYTE buffer[2] = {'_', '_'};
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              registry.QueryValueEx(reinterpret_cast<HKEY>(0x50), "V",
                                    c.reserved ? &reserved : nullptr,
                                    c.type ? &type : nullptr,
                                    c.data ? buffer : nullptr,
                                    c.size ? &size : nullptr));
    registry.Close();
    ASSERT_EQ(1u, exchange.requests.size());
    EXPECT_EQ(c.request, Hex(exchange.requests[0]));
  }
}

TEST(BridgeRegistryTest, CloseKeyPassesTheResultOn) {
  Exchange exchange;
  WireWriter reply;
  reply.U32(ERROR_INVALID_HANDLE);
  exchange.reply = reply.body();
  FakeHelper helper(Replying(&exchange));
  BridgeRegistry registry(helper.Connector());
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.CloseKey(HKEY_CURRENT_USER));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.CloseKey(HKEY_CURRENT_USER));
  EXPECT_FALSE(registry.failed());
  registry.Close();
  ASSERT_EQ(2u, exchange.requests.size());
  Request request(exchange.requests[1]);
  EXPECT_EQ(static_cast<uint32_t>(kCloseKey), request.U32());
  EXPECT_EQ(0x80000001u, request.U64());
}

// The example messages of the protocol's page, in order: "<" and the hex
// of a body from the helper, ">" and that of one to it, without spaces.
std::vector<std::string> DocumentedMessages() {
  std::ifstream page(QUILLFIX_HELPER_PROTOCOL_DOC);
  EXPECT_TRUE(page.is_open()) << QUILLFIX_HELPER_PROTOCOL_DOC;
  std::vector<std::string> messages;
  std::string line;
  while (std::getline(page, line)) {
    if (line.compare(0, 2, "> ") != 0 && line.compare(0, 2, "< ") != 0) {
      continue;
    }
    std::string message;
    for (char c : line) {
      if (c != ' ') message += c;
    }
    messages.push_back(message);
  }
  return messages;
}

HKEY Handle(uintptr_t number) { return reinterpret_cast<HKEY>(number); }

std::string HexNumber(uint64_t number) {
  char text[24];
  snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(number));
  return text;
}

std::string HexNumber(HKEY key) {
  return HexNumber(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)));
}

// Every call once, byte for byte as the protocol's page shows it: the
// request the bridge sends, and what the caller gets from the answer. The
// page's examples are this table (after the hello), so neither changes
// alone; the helper's side of them is checked under Wine.
TEST(BridgeRegistryTest, EachCallSendsAndReadsItsDocumentedBytes) {
  struct Case {
    const char* name;
    // Makes the call; returns its result and outputs as text.
    std::function<std::string(Registry*)> call;
    const char* request;
    const char* answer;
    const char* outputs;
  } cases[] = {
      {"RegOpenKeyA",
       [](Registry* r) {
         HKEY key = Handle(0x99);
         LONG status = r->OpenKey(HKEY_CURRENT_USER, "", &key);
         return std::to_string(status) + " key=" + HexNumber(key);
       },
       "01000000" "0100008000000000" "00000000" "01000000" "9900000000000000",
       "00000000" "0100008000000000", "0 key=80000001"},
      {"RegOpenKeyExA",
       [](Registry* r) {
         HKEY key = Handle(0x99);
         LONG status =
             r->OpenKeyEx(HKEY_CURRENT_USER, "Missing", 0, KEY_READ, &key);
         return std::to_string(status) + " key=" + HexNumber(key);
       },
       "02000000" "0100008000000000" "07000000" "4d697373696e67" "00000000"
       "19000200" "01000000" "9900000000000000",
       "02000000" "0000000000000000", "2 key=0"},
      {"RegCreateKeyA",
       [](Registry* r) {
         HKEY key = Handle(0x99);
         LONG status = r->CreateKey(Handle(0x7777), "A", &key);
         return std::to_string(status) + " key=" + HexNumber(key);
       },
       "03000000" "7777000000000000" "01000000" "41" "01000000"
       "9900000000000000",
       "06000000" "0000000000000000", "6 key=0"},
      {"RegSetValueExA",
       [](Registry* r) {
         const BYTE one = 1;
         return std::to_string(r->SetValueEx(HKEY_CURRENT_USER, "Quillfix", 0,
                                             REG_BINARY, &one, 1));
       },
       "04000000" "0100008000000000" "08000000" "5175696c6c666978" "00000000"
       "03000000" "01000000" "01" "01000000",
       "00000000", "0"},
      {"RegQueryValueExA",
       [](Registry* r) {
         DWORD type = 0, size = 4;
         BYTE data[4] = {'_', '_', '_', '_'};
         LONG status = r->QueryValueEx(HKEY_CURRENT_USER, "Quillfix", nullptr,
                                       &type, data, &size);
         return std::to_string(status) + " type=" + HexNumber(type) +
                " size=" + HexNumber(size) + " data=" +
                Hex(std::string(reinterpret_cast<char*>(data), 4));
       },
       "07000000" "0100008000000000" "08000000" "5175696c6c666978" "0e000000"
       "00000000" "04000000",
       "00000000" "03000000" "01000000" "01" "01000000",
       "0 type=3 size=1 data=015f5f5f"},
      {"RegQueryInfoKeyA",
       [](Registry* r) {
         char class_name[4] = {'?', '?', '?', '?'};
         DWORD class_length = 4;
         LONG status = r->QueryInfoKey(HKEY_CURRENT_USER, class_name,
                                       &class_length, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
         return std::to_string(status) + " class=" +
                Hex(std::string(class_name, 4)) +
                " length=" + HexNumber(class_length);
       },
       "05000000" "0100008000000000" "00060000" "04000000"
       "00000000" "00000000" "00000000" "00000000"
       "00000000" "00000000" "00000000" "00000000" "00000000",
       "00000000" "01000000" "00" "00000000"
       "00000000" "00000000" "00000000" "00000000"
       "00000000" "00000000" "00000000" "00000000" "00000000",
       "0 class=003f3f3f length=0"},
      {"RegCloseKey",
       [](Registry* r) {
         return std::to_string(r->CloseKey(HKEY_CURRENT_USER));
       },
       "06000000" "0100008000000000", "00000000", "0"},
  };
  std::vector<std::string> messages = {"<" + Hex(Hello())};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange exchange;
    exchange.reply = FromHex(c.answer);
    FakeHelper helper(Replying(&exchange));
    BridgeRegistry registry(helper.Connector());
    EXPECT_EQ(c.outputs, c.call(&registry));
    EXPECT_FALSE(registry.failed());
    registry.Close();
    ASSERT_EQ(1u, exchange.requests.size());
    EXPECT_EQ(c.request, Hex(exchange.requests[0]));
    messages.push_back(std::string(">") + c.request);
    messages.push_back(std::string("<") + c.answer);
  }
  EXPECT_EQ(messages, DocumentedMessages())
      << "doc/helper-protocol.md's examples differ from these";
}

}  // namespace
}  // namespace bridge
}  // namespace regservice
