// The steps of an item's run that the runner (DoFinishWork.cpp) takes in
// turn around the start itself: the start request, the library's load, the
// item's conditions and the wait for a busy installer. Each logs its own
// lines and records what it decides in the run's records.
#pragma once

#include <cstdint>

#include "CallPlugins/Item.h"
#include "CallPlugins/RunContext.h"
#include "CallPlugins/RunReport.h"
#include "Platform/process/process.h"

// The exit code an attempt counts as when the system's installer stays busy
// past wait_for_installer, as the Windows Installer's own for that case.
constexpr uint32_t kInstallerBusyExitCode = 1618;

// Why a program is not started when its parameters exceed the system's
// limit for a start (platform::ArgumentsWithinLimit): the run's line and
// the plan say it alike.
constexpr char kParametersTooLong[] = "the parameters are longer than the system takes for a start";

// The one start request of an Exe item: its program, its parameters
// themselves, its wait and what supervises it.
platform::ProgramRequest StartRequest(RunContext& run, const Item& item);

// Why a program was not started: the system's error when the platform
// refused the start; else why the file was not handed over.
std::string NotStartedReason(const std::wstring& file, const platform::ProgramResult& result);
// The line of an Exe item that was not started, with why: the file not
// there, its path too long, the parameters over the limit, or the system's
// error.
void LogNotStarted(const Item& item, const platform::ProgramResult& result);

// Loads a library item's library (through its checked file when signed);
// null with the system error when it does not load.
void* LoadItemLibrary(RunContext& run, const Item& item, ItemReport* report, bool* refused,
                      uint32_t* error);

// Judges the item's conditions. True when it runs; else it was passed over
// (done: true, the report says skipped and by which) or failed (done: false,
// with its line and the error record).
bool ConditionsLetItemRun(RunContext& run, const Item& item, ItemReport* report, bool* done);

// Before an attempt of an item with wait_for_installer: waits while the
// system's installer is busy, up to its time, with a line when the wait
// begins and one when it ends. False when it is still busy: the attempt
// then counts as kInstallerBusyExitCode.
bool InstallerLetsItemStart(RunContext& run, const Item& item);
// What an attempt that the busy installer kept from starting counts as.
platform::ProgramResult BusyInstallerResult();

// Answers whether a signal asked the run to end; the first time, says so in
// the log and records the run's failure (code 53) naming the signal. The
// runner asks between items and phases, and after each item.
bool RunEndRequested(RunContext& run);
