// The event source as the sink registers it, and the program's own message
// table, read back as the event viewer reads it. What the log keeps of a
// record only Windows shows: Wine's event log functions are stubs that keep
// nothing (ReportEventW traces the strings on the "eventlog" debug channel,
// ReadEventLogW fails with ERROR_HANDLE_EOF).
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Platform/system/event_sink.h"
#include "Platform/system/system.h"
#include "Platform/win32_support.h"
#include "Utils/EventRecords.h"
#include "tests/support/builders.h"

namespace {

const wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Taverly";

std::vector<std::wstring> WideStrings(const platform::EventRecord& record) {
  std::vector<std::wstring> strings;
  for (const std::string& text : platform::EventLogStrings(record)) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8,
                                    0,
                                    text.data(),
                                    static_cast<int>(text.size()),
                                    &wide[0],
                                    static_cast<int>(wide.size())));
    strings.push_back(wide);
  }
  return strings;
}

std::wstring Registered(DWORD* types) {
  wchar_t file[1024] = {};
  DWORD size = sizeof file - sizeof(wchar_t), types_size = sizeof *types;
  RegGetValueW(HKEY_LOCAL_MACHINE,
               kSourceKey,
               L"EventMessageFile",
               RRF_RT_ANY | RRF_NOEXPAND,
               nullptr,
               file,
               &size);
  RegGetValueW(HKEY_LOCAL_MACHINE,
               kSourceKey,
               L"TypesSupported",
               RRF_RT_REG_DWORD,
               nullptr,
               types,
               &types_size);
  return file;
}

TEST(EventSinkWin32Test, RegistersTheSourceAsThisProgramAndReportsTheRecord) {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
  const platform::EventRecord record = RunStartedRecord({"id", "C:\\product %%1"}, "SYSTEM");
  platform::EventWriteAnswer answer = platform::WriteEventRecord(record);
  EXPECT_EQ(answer.sink, platform::EventSink::kEventLog) << answer.failed_call << answer.error;
  EXPECT_TRUE(answer.registered_source);
  DWORD types = 0;
  EXPECT_EQ(Registered(&types), platform::OwnExecutablePath());
  EXPECT_EQ(types, 7u);
  EXPECT_FALSE(platform::WriteEventRecord(record).registered_source);
  // Named by another copy of the program, it is pointed back at this one.
  const std::wstring other = L"C:\\elsewhere\\Taverly.exe";
  RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                  kSourceKey,
                  L"EventMessageFile",
                  REG_EXPAND_SZ,
                  other.c_str(),
                  static_cast<DWORD>((other.size() + 1) * sizeof(wchar_t)));
  answer = platform::WriteEventRecord(record);
  EXPECT_TRUE(answer.registered_source && answer.sink == platform::EventSink::kEventLog);
  EXPECT_EQ(Registered(&types), platform::OwnExecutablePath());
  // Only a path a reader would expand is kept from being expanded.
  EXPECT_EQ(platform::win32::MessageFileType(L"C:\\%TEMP%\\Taverly.exe"), DWORD{REG_SZ});
  EXPECT_EQ(platform::win32::MessageFileType(L"C:\\Taverly.exe"), DWORD{REG_EXPAND_SZ});
}

// The table holds exactly the kinds' event IDs, and each renders a record of
// its kind as the journal's MESSAGE says it.
TEST(EventSinkWin32Test, ProgramsMessageTableRendersEachKindsMessage) {
  HMODULE program =
      LoadLibraryExW(Wide(TAVERLY_PROGRAM).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(program, nullptr) << GetLastError();
  HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(1), RT_MESSAGETABLE);
  ASSERT_NE(found, nullptr);
  const auto* table =
      static_cast<const MESSAGE_RESOURCE_DATA*>(LockResource(LoadResource(program, found)));
  std::set<DWORD> ids;
  for (DWORD i = 0; i < table->NumberOfBlocks; ++i) {
    for (DWORD id = table->Blocks[i].LowId; id <= table->Blocks[i].HighId; ++id) ids.insert(id);
  }
  EXPECT_EQ(ids, (std::set<DWORD>{1001, 1002, 1003, 1004, 1005, 1006}));

  const EventRun run = {"id", "C:\\product\\%1 %%2"};
  RunOutcome failed, stopped;
  failed.exit_code = 210;
  stopped.stopped_for_restart = true;
  for (const platform::EventRecord& record :
       {RunStartedRecord(run, "SYSTEM"),
        ItemFailedRecord(run, FailedItem{"after_setup", "m.xml", "1", "Exe", "a.exe"}),
        RunOutcomeRecord(run, RunOutcome()),
        RunOutcomeRecord(run, failed),
        RunOutcomeRecord(run, stopped),
        RollbackRecord(run, {2, 1, 1})}) {
    SCOPED_TRACE(record.event_id);
    const std::vector<std::wstring> strings = WideStrings(record);
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& text : strings)
      arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
    wchar_t text[4096] = {};
    EXPECT_NE(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             program,
                             record.event_id,
                             0x409,
                             text,
                             4096,
                             reinterpret_cast<va_list*>(arguments.data())),
              0u);
    EXPECT_EQ(std::wstring(text), strings[0]);
  }
  FreeLibrary(program);
}

}  // namespace
