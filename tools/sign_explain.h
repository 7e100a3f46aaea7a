// Explains a signature verdict for taverly-sign verify --explain: the parts
// of the file that the examination found, in file order, then the verdict
// and the reason for it, one line each.
#pragma once

#include <string>

#include "Signing/SignedContent.h"

// Returns the explanation, every line ended by a line break.
std::string ExplainExamination(const signing::Examination& examination);
