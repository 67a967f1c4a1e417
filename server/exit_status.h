// How the server's entry result becomes the process's exit status. A
// process's exit status holds 8 bits where the entry's result is a 32-bit
// HRESULT (or -1 for a failed start-up).
#pragma once

namespace trelvane::server {

// 0 for a success code, 1 for a failure, 255 for a failed start-up (-1).
int ExitStatus(int entryResult);
// A failure, on standard error: its HRESULT in hexadecimal and the
// platform's text for it. Nothing for a success code.
void ReportEntryResult(int entryResult);

}  // namespace trelvane::server
