// The outcome of an operation that can fail, carried up to the program's entry.
// Library code never prints failures or exits: it returns a Status whose message is the
// complete console text (code page 932) that the program shows before it ends the run.
#pragma once

#include <string>
#include <utility>

namespace kupack {

class Status {
 public:
  enum class Kind {
    Ok,
    Failed,       // the run ends without an archive; the message says why
    OutputError,  // a coder could not write its output: "Output error\n", no closing text
  };

  static Status ok() { return Status(Kind::Ok, {}); }
  static Status failed(std::string message) { return Status(Kind::Failed, std::move(message)); }
  static Status outputError();

  bool isOk() const { return kind_ == Kind::Ok; }
  explicit operator bool() const { return isOk(); }
  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

 private:
  Status(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

// Builds the failure "ファイル<file>を...(<reason>)" from one of the MSG_CANNOT_* texts;
// `nativePath` is shown as console text, `reason` is the system's explanation (errno text).
Status fileFailure(const char* messageTemplate, const std::string& nativePath, int errorNumber);

}  // namespace kupack
