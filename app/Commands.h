// kx27's four commands, each from its options to its summary; each returns
// its exit status (TExitStatus) and writes its own diagnostics.
#pragma once

#include "CommandSupport.h"

#include <string>

// completed: what the run did, for the end of the run to repeat on
// standard error when the summary is lost or a signal came after it.
int RunRefresh(const TOptions& options, TTerminal& terminal, std::string& completed);
int RunBuild(const TOptions& options, TTerminal& terminal, std::string& completed);
int RunApply(const TOptions& options, TTerminal& terminal, std::string& completed);
// Its rows are its results, written as they are fetched.
int RunSearch(const TOptions& options, TTerminal& terminal);
