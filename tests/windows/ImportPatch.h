#pragma once

namespace testing_support {

// Points this program's import of `function` from `dll` at `replacement`, so that every call the
// program's own code makes through that import reaches the replacement; returns what the import
// pointed at before, or nullptr when the program does not import it. Faults that real Windows
// meets and a test machine cannot make (a dropped share, what the system does inside a call) are
// made this way, under the code that meets them.
void* replaceImport(const char* dll, const char* function, void* replacement);

// The same for the lifetime of the object, which puts the import back as it was.
template <typename Function>
class ReplacedImport {
  public:
    ReplacedImport(const char* dll, const char* function, Function replacement)
        : dll_(dll),
          function_(function),
          original_(reinterpret_cast<Function>(
              replaceImport(dll, function, reinterpret_cast<void*>(replacement)))) {}
    ReplacedImport(const ReplacedImport&) = delete;
    ReplacedImport& operator=(const ReplacedImport&) = delete;
    ~ReplacedImport() {
        if (original_ != nullptr) {
            replaceImport(dll_, function_, reinterpret_cast<void*>(original_));
        }
    }
    // What the import pointed at, or nullptr when the program does not import the function.
    Function original() const { return original_; }

  private:
    const char* dll_;
    const char* function_;
    Function original_;
};

}  // namespace testing_support
