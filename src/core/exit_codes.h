// The exit codes of setup.exe and of the uninstallers it builds. Deployment tools read them
// after a -silent run, so a code once given keeps its meaning; docs/command-line.md lists them
// for the people who read them.
#pragma once

namespace setup {

enum : int {
  kExitCompleted = 0,      // the run ended on its finish page, or the wizard was closed
  kExitStopped = 1,        // a start-up message stopped the run (damaged or incomplete setup,
                           // missing install log, unknown -lang, unwritable -log, ...), or a
                           // silent run could go no further through the pages
  kExitScriptStopped = 2,  // the script stopped itself ("failure", a missing VFS archive)
  kExitErrorReport = 3,    // an unexpected error: the error report was written and shown
};

}  // namespace setup
