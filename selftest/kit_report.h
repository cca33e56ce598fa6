// What the acceptance kit found, scenario by scenario, in the words of
// VexloCheck.exe's report: a label, then PASS, FAIL or NOT SHOWN with a
// one-line reason.
#pragma once

enum class Verdict { kPass, kFail, kNotShown };

// Prints one scenario's line and counts it. Once the run is interrupted
// (Ctrl+C, a closed console) scenario lines are dropped: what a scenario saw
// after that is the interruption's doing, never the service's.
void Report(const char* label, Verdict verdict, const char* format, ...);

// The one line an interrupted run gets in place of the scenarios it cut.
void ReportInterruption();

// Whether an error of the platform says it does not know the question
// (ERROR_INVALID_LEVEL, ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED), as
// against failing to answer it: only then is a scenario NOT SHOWN.
bool PlatformLacksQuestion(unsigned long error);

// Whether any scenario failed so far, and how many of each there were.
bool AnyFailed();
void ReportTotals();
