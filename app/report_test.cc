// The report's reading over a recording registry: the calls a read makes
// (opens, queries, closes; never a write) and the lines and exit status for
// what it finds, including failures a prefix file cannot bring about.
#include "app/report.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/product_root.h"
#include "app/resource.h"
#include "regservice/registry.h"
#include "regservice/testing/recording_registry.h"

namespace {

using regservice::RegOp;

const char kVarloPrefs[] = "SOFTWARE\\Corvane\\Varlo 6.8\\Preferences";
const char kVarloPlusPrefs[] = "SOFTWARE\\Corvane\\VarloPlus 6.8\\Preferences";

class ReportTest : public ::testing::Test {
 protected:
  ReportTest() : scoped_(&registry_) {
    AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0);
  }

  void TearDown() override {
    EXPECT_EQ(0, registry_.OpenHandleCount()) << "handles left open";
    for (const regservice::RegCall& call : registry_.calls()) {
      EXPECT_NE(RegOp::kCreateKey, call.op);
      EXPECT_NE(RegOp::kSetValueEx, call.op);
    }
  }

  void Store(const char* key_path, DWORD type, const std::string& data) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              registry_.CreateKey(HKEY_CURRENT_USER, key_path, &key));
    ASSERT_EQ(ERROR_SUCCESS,
              registry_.SetValueEx(key, "Quillfix", 0, type,
                                   reinterpret_cast<const BYTE*>(data.data()),
                                   static_cast<DWORD>(data.size())));
    registry_.CloseKey(key);
    registry_.ClearCalls();
  }

  regservice::RecordingRegistry registry_;
  regservice::ScopedRegistry scoped_;
};

TEST_F(ReportTest, ReadValueCalls) {
  struct Case {
    const char* what;
    bool make_key;
    bool store_value;
    LONG fail_query;  // injected into RegQueryValueExA, 0 for none
    LONG result;
    std::vector<std::string> calls;
  } cases[] = {
      {"no Preferences key", false, false, 0, ERROR_FILE_NOT_FOUND,
       {std::string("OpenKey ") + kVarloPrefs}},
      {"no value", true, false, 0, ERROR_FILE_NOT_FOUND,
       {std::string("OpenKey ") + kVarloPrefs, "QueryValueEx Quillfix",
        std::string("CloseKey ") + kVarloPrefs}},
      {"a value: its size, then its bytes", true, true, 0, ERROR_SUCCESS,
       {std::string("OpenKey ") + kVarloPrefs, "QueryValueEx Quillfix",
        "QueryValueEx Quillfix", std::string("CloseKey ") + kVarloPrefs}},
      {"a failed query still closes the key", true, true,
       ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
       {std::string("OpenKey ") + kVarloPrefs, "QueryValueEx Quillfix",
        std::string("CloseKey ") + kVarloPrefs}},
  };
  for (const Case& c : cases) {
    regservice::RecordingRegistry registry;
    regservice::ScopedRegistry scoped(&registry);
    if (c.make_key) registry.AddKey(kVarloPrefs);
    if (c.store_value) {
      HKEY key = nullptr;
      const BYTE two[] = {0x01, 0x02};
      registry.OpenKey(HKEY_CURRENT_USER, kVarloPrefs, &key);
      registry.SetValueEx(key, "Quillfix", 0, REG_BINARY, two, 2);
      registry.CloseKey(key);
      registry.ClearCalls();
    }
    if (c.fail_query != 0) {
      registry.FailOn(RegOp::kQueryValueEx, "Quillfix", c.fail_query);
    }
    CProductRoot root(IDS_ROOT_VARLO);
    DWORD type = REG_NONE;
    std::string data;
    EXPECT_EQ(c.result, root.ReadValue("Preferences", "Quillfix", &type, &data))
        << c.what;
    EXPECT_EQ(c.calls, registry.CallSummary()) << c.what;
    EXPECT_EQ(0, registry.OpenHandleCount()) << c.what;
    if (c.result == ERROR_SUCCESS) {
      EXPECT_EQ(DWORD{REG_BINARY}, type) << c.what;
      EXPECT_EQ(std::string("\x01\x02"), data) << c.what;
    }
  }
}

TEST_F(ReportTest, LinesAndStatus) {
  Store(kVarloPrefs, REG_BINARY, "\x01");
  registry_.AddKey("SOFTWARE\\Corvane\\VarloPlus 6.8");
  std::vector<report::Edition> editions = report::ReadEditions();
  ASSERT_EQ(2u, editions.size());
  EXPECT_EQ(
      "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8: installed, "
      "Preferences\\Quillfix = 01",
      report::Describe(editions[0]));
  EXPECT_EQ(
      "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\VarloPlus 6.8: installed, "
      "Preferences\\Quillfix missing",
      report::Describe(editions[1]));
  EXPECT_EQ(1, report::ExitStatus(editions));

  Store(kVarloPlusPrefs, REG_BINARY, "\x01");
  EXPECT_EQ(0, report::ExitStatus(report::ReadEditions()));
}

TEST_F(ReportTest, UnreadableValueGivesStatusTwo) {
  Store(kVarloPrefs, REG_BINARY, "\x01");
  registry_.FailOn(RegOp::kQueryValueEx, "Quillfix", ERROR_ACCESS_DENIED);
  std::vector<report::Edition> editions = report::ReadEditions();
  EXPECT_EQ(
      "HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Varlo 6.8: installed, "
      "Preferences\\Quillfix unreadable (error 5)",
      report::Describe(editions[0]));
  EXPECT_EQ(2, report::ExitStatus(editions));
}

TEST(ReportFormatTest, TypeNames) {
  const struct {
    DWORD type;
    const char* name;
  } cases[] = {
      {REG_NONE, "REG_NONE"},   {REG_SZ, "REG_SZ"},
      {REG_BINARY, "REG_BINARY"}, {REG_DWORD, "REG_DWORD"},
      {REG_MULTI_SZ, "REG_MULTI_SZ"}, {REG_QWORD, "REG_QWORD"},
      {8, "type 0x8"},          {0x12345, "type 0x12345"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.name, report::TypeName(c.type));
}

TEST(ReportFormatTest, WhatCountsAsPatched) {
  const struct {
    const char* what;
    bool installed;
    LONG read;
    DWORD type;
    std::string data;
    bool patched;
    int status;  // of a report of this edition alone
  } cases[] = {
      {"binary 01", true, ERROR_SUCCESS, REG_BINARY, "\x01", true, 0},
      {"not installed", false, ERROR_FILE_NOT_FOUND, REG_NONE, "", false, 0},
      {"missing", true, ERROR_FILE_NOT_FOUND, REG_NONE, "", false, 1},
      {"binary 01 01", true, ERROR_SUCCESS, REG_BINARY, "\x01\x01", false, 1},
      {"binary 00", true, ERROR_SUCCESS, REG_BINARY, std::string(1, '\0'),
       false, 1},
      {"dword 1", true, ERROR_SUCCESS, REG_DWORD, std::string("\x01\0\0\0", 4),
       false, 1},
      {"none 01", true, ERROR_SUCCESS, REG_NONE, "\x01", false, 1},
      {"unreadable", true, ERROR_ACCESS_DENIED, REG_NONE, "", false, 2},
  };
  for (const auto& c : cases) {
    report::Edition edition;
    edition.installed = c.installed;
    edition.read = c.read;
    edition.type = c.type;
    edition.data = c.data;
    EXPECT_EQ(c.patched, report::IsPatched(edition)) << c.what;
    EXPECT_EQ(c.status, report::ExitStatus({edition})) << c.what;
  }
}

}  // namespace
