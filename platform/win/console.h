// All console output. Formats are read as the Windows run-time reads them: in a wide format
// "%s" and "%ls" take a wide string and "%hs" a narrow one; in a narrow format "%s" is narrow
// and "%ls" wide; the "I" size prefix ("%8Iu", "0x%016Ix") is pointer-sized. Each call is
// formatted whole, converted to UTF-8 and written with one write, so that one call's output
// is never split by another thread's; nothing is held back in a buffer.
#pragma once

namespace win {

int con_wprintf(const wchar_t* format, ...);  // standard output
int con_ewprintf(const wchar_t* format, ...); // standard error
int con_printf(const char* format, ...);      // narrow, standard output

// The console's own lock, as the run-time's _lock_file on a stream: while a thread holds it,
// its console calls go through and every other thread's wait, so that a few calls and the
// state that decides them are one step. It may be taken again by its holder; keep what it
// covers short: no socket call or wait under it.
void con_lock();
void con_unlock();

// A report (a failed call, a connection's failure) is printed as one step under the console's
// lock. Before its first text the program's report hook runs under that lock, once per report
// however the report nests: it may end a line of the program's own that the report must not be
// printed onto. The hook is set once, before the threads that report exist; null: none.
using con_report_hook = void (*)();
void con_set_report_hook(con_report_hook hook);
void con_report_begin(); // takes the console's lock; the outermost report runs the hook
void con_report_end();   // gives it back
int con_report_wprintf(const wchar_t* format, ...); // one call, standard output, as a report
int con_report_printf(const char* format, ...);     // narrow

} // namespace win
