// What the acceptance kit found, scenario by scenario, in the words of
// VexloCheck.exe's report: a label, then PASS, FAIL or NOT SHOWN with a
// one-line reason.
#pragma once

enum class Verdict { kPass, kFail, kNotShown };

// Prints one scenario's line and counts it.
void Report(const char* label, Verdict verdict, const char* format, ...);

// Whether any scenario failed so far, and how many of each there were.
bool AnyFailed();
void ReportTotals();
