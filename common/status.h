// The outcome of an operation that can fail, carried up to the program's entry. Library code
// never prints failures or exits: it returns a Status that says what went wrong (a code),
// with what (a path, a second path for a rename, the system's error number) and a detail
// text: the reading commands' own wording, or a decoder's English reason. The console text
// of every code is made in one place, statusMessage() (common/status.cpp).
#pragma once

#include <string>
#include <utility>

namespace kupack {

class Status {
 public:
  enum class Code {
    Ok,
    CannotOpen,     // path could not be opened for reading; errorNumber says why
    CannotCreate,   // path could not be created
    CannotRead,     // reading path failed
    SourceChanged,  // path gave other than the bytes of the size it had when opened
    CannotWrite,    // writing path failed
    CannotRename,   // path could not be renamed to otherPath
    FileTooLarge,   // path holds 4 GiB or more
    DataTooLarge,   // the archive's data would pass 4 GiB
    OutOfMemory,    // path's picture could not be held in memory
    OutputError,    // a coder could not write its output: no path, no closing text
    Corrupt,        // a coded stream is broken; detail says how
    Refused,        // sound input this program cannot turn into what was asked; detail says why
    Failed,         // detail is the whole message (the reading commands' wording)
  };
  // How a run ends on it: the packing run shows no closing text after an OutputError.
  enum class Kind { Ok, Failed, OutputError };

  static Status ok() { return Status(Code::Ok); }
  static Status failed(std::string detail) {
    Status status(Code::Failed);
    status.detail_ = std::move(detail);
    return status;
  }
  static Status outputError() { return Status(Code::OutputError); }
  // A decoder's failures: no path (the source or sink knows it), `reason` in English.
  // CannotRead: the source failed; OutputError: the sink refused; Corrupt, Refused as above.
  static Status decoding(Code code, std::string reason) {
    Status status(code);
    status.detail_ = std::move(reason);
    return status;
  }
  static Status corrupt(std::string reason) { return decoding(Code::Corrupt, std::move(reason)); }
  // A failure about one file; `errorNumber` is the errno of the failed call (0: none).
  static Status file(Code code, std::string path, int errorNumber = 0) {
    Status status(code);
    status.path_ = std::move(path);
    status.errorNumber_ = errorNumber;
    return status;
  }
  static Status rename(std::string from, std::string to, int errorNumber) {
    Status status = file(Code::CannotRename, std::move(from), errorNumber);
    status.otherPath_ = std::move(to);
    return status;
  }

  bool isOk() const { return code_ == Code::Ok; }
  explicit operator bool() const { return isOk(); }
  Code code() const { return code_; }
  Kind kind() const {
    if (code_ == Code::Ok) return Kind::Ok;
    return code_ == Code::OutputError ? Kind::OutputError : Kind::Failed;
  }
  const std::string& path() const { return path_; }
  const std::string& otherPath() const { return otherPath_; }
  int errorNumber() const { return errorNumber_; }
  const std::string& detail() const { return detail_; }
  // The console text (code page 932) of this status: statusMessage(*this).
  std::string message() const;

 private:
  explicit Status(Code code) : code_(code) {}
  Code code_;
  std::string path_;
  std::string otherPath_;
  int errorNumber_ = 0;
  std::string detail_;
};

// The console text of `status`, the one mapping from codes to messages: "ファイル<path>を
// 開けません(<reason>)" and the like, paths shown as console text, the reason the system's
// explanation of the error number. Empty for Ok. A decoder's status (a detail and no path)
// gives its English reason.
std::string statusMessage(const Status& status);

}  // namespace kupack
