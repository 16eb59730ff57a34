#pragma once

#include <optional>
#include <string>
#include <system_error>

namespace station {

// Where the listing lives: the window's text box, or a plain text in the tools and tests.
class TextHolder {
  public:
    virtual ~TextHolder() = default;
    virtual std::string text() const = 0;
    virtual void setText(const std::string& text) = 0;
};

// A text holder that is only a text: for the command-line scanner, benchmarks and tests.
class PlainText final : public TextHolder {
  public:
    std::string text() const override { return text_; }
    void setText(const std::string& text) override { text_ = text; }

  private:
    std::string text_;
};

// Where the system's own failure messages go: the window's message box, or standard error.
class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // text is the message exactly as the system words it; cause is the failure behind it.
    virtual void showMessage(const std::string& text, const std::system_error& cause) = 0;
};

// A sink that keeps the failure for its caller to act on instead of showing it: the first one, as
// a pass reports at most one.
class KeptFailure final : public MessageSink {
  public:
    void showMessage(const std::string&, const std::system_error& cause) override {
        if (!failure) failure = cause;
    }
    std::optional<std::system_error> failure;
};

}  // namespace station
