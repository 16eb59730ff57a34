#pragma once

namespace testing_support {

// Points this program's import of `function` from `dll` at `replacement`, so that every call the
// program's own code makes through that import reaches the replacement; returns what the import
// pointed at before, or nullptr when the program does not import it. Faults that real Windows
// meets and a test machine cannot make (a dropped share, what the system does inside a call) are
// made this way, under the code that meets them.
void* replaceImport(const char* dll, const char* function, void* replacement);

}  // namespace testing_support
