// What a run does with a stop for a restart: the record of the items done,
// written when an item's exit code stops the run, and taken by the next run
// of the same product, which passes over those items.
#pragma once

#include <string>

#include "Bundle/LwBundle.h"
#include "CallPlugins/RunContext.h"

// Takes this product's record in the run's log folder into run.restart: a usable one is
// removed (it is used once) and its items are passed over; one that is not
// usable is said in one line. A missing record is said only when the result
// file still tells of a stop (resume_after_reboot=true). The record an
// earlier version left is removed, with its line.
void TakeRestartRecord(RunContext& run);

// The name of the module file at index module of the record; empty for none.
std::string ModuleFileName(const RunRecord& record, size_t module);

// True when the taken record holds the item; it is taken off the record.
bool DoneBeforeRestart(RunContext& run, const ItemReport& report, ILwBundle* bundle);

// Writes the record of the items done in this run (and those it passed
// over) for the product TakeRestartRecord found. False, with a line, when it
// could not be written.
bool WriteRestartRecord(const RunContext& run, ModXmlLoader* catalogue);
